#pragma once

#include <QAccessibleValueInterface>
#include <QAccessibleWidget>

class PictureBox;

// How assistive technology sees a picture box: a named image, or, for one that shows progress,
// a progress bar whose value is the percentage done.
class AccessiblePictureBox : public QAccessibleWidget, public QAccessibleValueInterface
{
public:
    explicit AccessiblePictureBox(PictureBox *box);

    QAccessible::Role role() const override;
    QString text(QAccessible::Text t) const override;
    void *interface_cast(QAccessible::InterfaceType type) override;

    QVariant currentValue() const override;
    void setCurrentValue(const QVariant &) override {}
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    PictureBox *box() const;
};

#pragma once

#include "toolkit/form.h"
#include "toolkit/picturebox.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

// Asks the sending user for the receiver's address.
class IPWin : public Form
{
    Q_OBJECT

public:
    static constexpr int MaxAddressLength = 15;

    static IPWin &instance();

    QPointer<QPushButton> ConBut;
    QPointer<QLineEdit> IPBox;
    QPointer<PictureBox> IPIcon;
    QPointer<QLabel> IPLab;

    void ConBut_Click();

protected:
    void createControls(QWidget *window) override;
    void onUnload() override;
    bool centredOnScreen() const override { return true; }
};

#pragma once

#include "toolkit/form.h"
#include "toolkit/picturebox.h"

class QCompleter;
class QShortcut;

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

// Asks the sending user for the receiver's address, and offers the receivers found on the local
// network in a list that drops down from the address box.
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
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void dropDown();

    QPointer<QCompleter> m_found;
    QList<QPointer<QShortcut>> m_enterKeys;
};

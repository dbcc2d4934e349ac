#pragma once

#include "toolkit/form.h"

#include <QPushButton>

// The start-up window with its four commands; it also holds the two transfer settings that
// the transfer window reads.
class MainWin : public Form
{
    Q_OBJECT

public:
    // Values of XferMode.
    enum : quint8 { NoDirection = 0, Send = 1, Receive = 2 };

    static constexpr int ClientWidth = 360;
    static constexpr int ClientHeight = 180;

    MainWin() = default;
    static MainWin &instance();
    static const QPixmap &background();

    quint8 XferMode = NoDirection;
    QString PeerIP;

    QPointer<QPushButton> AboutBut;
    QPointer<QPushButton> ExitBut;
    QPointer<QPushButton> RecBut;
    QPointer<QPushButton> SendBut;

    void SendBut_Click();
    void RecBut_Click();
    void AboutBut_Click();
    void ExitBut_Click();

protected:
    void createControls(QWidget *window) override;
    void onResize() override;
    // Closing the start window ends the program: nothing else would be left on screen.
    void onFrameClose() override { endProgram(); }
    bool centredOnScreen() const override { return true; }
};

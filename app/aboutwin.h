#pragma once

#include "toolkit/form.h"
#include "toolkit/picturebox.h"

#include <QLabel>

#include <array>

// Who made the program and which version it is; closed through its title bar.
class AboutWin : public Form
{
    Q_OBJECT

public:
    static AboutWin &instance();

    QPointer<PictureBox> AboutIcon;
    // Label1 to Label8: the names in the first column, their values in the second.
    std::array<QPointer<QLabel>, 8> Label;

protected:
    void createControls(QWidget *window) override;
    void onUnload() override;
    bool centredOnScreen() const override { return true; }
};

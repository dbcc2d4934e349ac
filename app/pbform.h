#pragma once

#include "toolkit/form.h"
#include "toolkit/picturebox.h"

#include <array>

// The hidden holder of the eight bar slices, read by index. It is never shown.
class PBForm : public Form
{
    Q_OBJECT

public:
    static constexpr int SliceCount = 8;

    static PBForm &instance();

    PictureBox *pp(int index);
    // Paints the bar in `box` from `drawn` percent, where the last painting left it, to `percent`.
    void paintBar(PictureBox &box, qint16 drawn, qint16 percent);

protected:
    void createControls(QWidget *window) override;

private:
    std::array<QPointer<PictureBox>, SliceCount> m_pp;
};

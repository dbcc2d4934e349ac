#pragma once

#include <QPixmap>
#include <QPushButton>

// A push button in the picture style: a flat #E0E0E0 face with a raised edge, the picture
// centred and the caption beneath it. The face is painted here, not by the widget style, so
// the transparent parts of a picture show exactly the face colour.
class PictureButton : public QPushButton
{
    Q_OBJECT

public:
    explicit PictureButton(const QString &caption, QWidget *parent = nullptr, const QPixmap &picture = {});


protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QPixmap m_picture;
};

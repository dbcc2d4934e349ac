#pragma once

#include <QImage>
#include <QWidget>

// A borderless picture box. What is painted into it lives in an off-screen image, so it
// survives the window being covered, minimised and restored.
class PictureBox : public QWidget
{
    Q_OBJECT

public:
    explicit PictureBox(QWidget *parent = nullptr);

    const QImage &Picture() const { return m_image; }
    void setPicture(const QImage &picture);

    // Copies the whole picture at its natural size with its top-left corner at x, y; whatever
    // falls outside the box is not seen.
    void PaintPicture(const QImage &picture, float x, float y);

    // A box that paints progress tells assistive technology how far it has come, 0 to 100;
    // -1 for a plain picture.
    int progress() const { return m_progress; }
    void setProgress(int percent);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QImage m_image;
    int m_progress = -1;
};

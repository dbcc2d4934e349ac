#pragma once

#include <QColor>
#include <QFont>
#include <QRect>
#include <QString>

class QLabel;
class QWidget;

// The windows' common looks: the face colour, the label font and labels that keep their size.
class Look
{
public:
    static inline const QColor Face = QColor(0xE0, 0xE0, 0xE0);

    // "Times New Roman"; Debian's metric-compatible Liberation Serif stands in for it.
    static QFont labelFont(qreal pointSize, bool bold);

    // A left-aligned label that keeps its rectangle whatever its text; an opaque one fills it
    // with the face colour, a transparent one lets the window's picture show around the text.
    static QLabel *label(QWidget *parent, const QString &caption, const QRect &rect, qreal pointSize, bool bold,
                         bool opaque);

    // A window face of #E0E0E0.
    static void paintFace(QWidget *window);
};

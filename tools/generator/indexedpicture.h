#pragma once

#include <QByteArray>
#include <QList>
#include <QRgb>

// A palette picture as the file formats store it: one table index per pixel, top row first.
struct IndexedPicture
{
    int width = 0;
    int height = 0;
    QList<QRgb> table; // already padded to the size the file declares
    QByteArray indexes;

    int at(int x, int y) const { return quint8(indexes[y * width + x]); }
};

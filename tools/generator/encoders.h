#pragma once

#include "indexedpicture.h"

#include <QByteArray>
#include <QImage>

enum class GifKind {
    Plain,           // GIF87a, no extensions
    WhiteTransparent // GIF89a whose table entry 0 (white) is declared transparent
};

QByteArray encodeGif(const IndexedPicture &picture, GifKind kind);
QByteArray encodeBmp24(const QImage &image);
// One 8-bit image; entry 0 of the table is the colour of the masked-out pixels.
QByteArray encodeIco(const IndexedPicture &picture, const QImage &opacity);

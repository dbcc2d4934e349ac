#pragma once

#include "indexedpicture.h"

#include <QImage>

// Reduces painted artwork to a small colour table. Entry 0 is reserved for the background
// (transparent pixels, and also pure white where white is to become transparent); the opaque
// pixels share entries 1 .. usedColours - 1, and the rest of the table is padded with black.
struct QuantizeOptions
{
    int usedColours = 0;
    int tableSize = 0;
    QRgb background = 0xffffffff;
    bool whiteIsBackground = true;
};

IndexedPicture quantize(const QImage &image, const QuantizeOptions &options);

// For pictures whose every pixel is prescribed: the table lists the colours in order of first use.
IndexedPicture indexExactly(const QImage &image, int tableSize);

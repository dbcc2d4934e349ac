#pragma once

#include <QImage>

#include <map>

// The empty bar as typed from its table: rows 0, 1, 2, 3 to 10, 11, 12 against
// columns 0, 1, 2 to 200, 201, 202.
inline const QRgb BarTable[6][5] = {
    {0x888888, 0x888888, 0x888888, 0x888888, 0x888888}, {0x888888, 0x000000, 0x000000, 0x000000, 0x000000},
    {0x888888, 0x000000, 0x888888, 0xBBBBBB, 0x000000}, {0x888888, 0x000000, 0xBBBBBB, 0xDDDDDD, 0x000000},
    {0x888888, 0x000000, 0xDDDDDD, 0xDDDDDD, 0x000000}, {0x888888, 0x000000, 0x000000, 0x000000, 0x000000},
};

// The eight slices, top to bottom.
inline const QRgb SliceTable[8][10] = {
    {0x6666CC, 0x6666CC, 0x6666CC, 0x6666CC, 0x6666CC, 0x6666CC, 0x6666CC, 0x6666CC, 0x6666CC, 0x6666CC},
    {0x6666CC, 0x9999FF, 0xCCCCFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xCCCCFF, 0x9999FF, 0x6666CC, 0x333399},
    {0x333399, 0x6666CC, 0x9999FF, 0xCCCCFF, 0xFFFFFF, 0xCCCCFF, 0x9999FF, 0x6666CC, 0x333399, 0x000055},
    {0x333399, 0x6666CC, 0x333399, 0x333399, 0x333399, 0x333399, 0x333399, 0x333399, 0x333399, 0x000055},
    {0x333399, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055},
    {0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000},
    {0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555},
    {0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888},
};

// Column -> slice; every column not named keeps the empty bar.
using Slices = std::map<int, int>;

inline QImage rgb(const QImage &image) { return image.convertToFormat(QImage::Format_RGB32); }

// The 203 x 13 bar with the given slices painted from row 2; column 203 lies outside.
inline QImage barWith(const Slices &slices = {})
{
    QImage bar(203, 13, QImage::Format_RGB32);
    for (int y = 0; y < 13; ++y)
        for (int x = 0; x < 203; ++x)
            bar.setPixel(x, y, BarTable[y < 3 ? y : y <= 10 ? 3 : y - 7][x < 2 ? x : x <= 200 ? 2 : x - 198]);
    for (const auto &[x, slice] : slices)
        for (int y = 0; y < 10 && x < 203; ++y)
            bar.setPixel(x, y + 2, SliceTable[slice][y]);
    return bar;
}

// The bar at 100 % from column 4 on; columns 2 and 3 differ by the percentage the bar grew from.
inline QImage fullBarFrom4()
{
    Slices full{{199, 3}, {200, 4}, {201, 5}, {202, 6}};
    for (int x = 4; x < 199; ++x)
        full[x] = 2;
    return barWith(full).copy(4, 0, 199, 13);
}

#pragma once

#include <QImage>

// The 32-pixel motifs are drawn in a 32 x 32 unit square, painted eight times larger and averaged
// down, which gives clean edges before the colours are reduced; the 16-pixel face is set by hand.
// The van is also drawn at the icon theme's sizes, from the same unit square.
QImage paintBackground();
QImage paintVan(int size = 32);
QImage paintSend();
QImage paintReceive();
QImage paintExit();
QImage paintAboutFace();
QImage paintAddress();

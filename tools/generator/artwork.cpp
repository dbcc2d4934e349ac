#include "artwork.h"

#include <QFont>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <functional>
#include <iterator>

namespace {

constexpr int superSample = 8;
const QColor outline(0x2a, 0x2a, 0x2a);

QImage supersampled(int size, const std::function<void(QPainter &)> &paint)
{
    QImage big(size * superSample, size * superSample, QImage::Format_ARGB32_Premultiplied);
    big.fill(Qt::transparent);
    {
        QPainter p(&big);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(double(big.width()) / 32.0, double(big.height()) / 32.0);
        paint(p);
    }
    QImage small(size, size, QImage::Format_ARGB32_Premultiplied);
    const int n = superSample * superSample;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            int sum[4] = {0, 0, 0, 0};
            for (int dy = 0; dy < superSample; ++dy)
                for (int dx = 0; dx < superSample; ++dx) {
                    const QRgb p = big.pixel(x * superSample + dx, y * superSample + dy);
                    sum[0] += qAlpha(p);
                    sum[1] += qRed(p);
                    sum[2] += qGreen(p);
                    sum[3] += qBlue(p);
                }
            small.setPixel(x, y, qRgba((sum[1] + n / 2) / n, (sum[2] + n / 2) / n, (sum[3] + n / 2) / n, (sum[0] + n / 2) / n));
        }
    return small.convertToFormat(QImage::Format_ARGB32);
}

QPolygonF poly(std::initializer_list<QPointF> points)
{
    return QPolygonF(QList<QPointF>(points));
}

void shape(QPainter &p, const QPolygonF &polygon, const QBrush &fill, double pen = 0.8)
{
    p.setPen(QPen(outline, pen, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(fill);
    p.drawPolygon(polygon);
}

void drawGlobe(QPainter &p, QPointF centre, double radius)
{
    QRadialGradient sea(centre - QPointF(radius * 0.35, radius * 0.4), radius * 1.4);
    sea.setColorAt(0, QColor(0x6c, 0xb4, 0xff));
    sea.setColorAt(0.55, QColor(0x20, 0x66, 0xdc));
    sea.setColorAt(1, QColor(0x0c, 0x2c, 0x8c));
    QPainterPath disc;
    disc.addEllipse(centre, radius, radius);
    p.setPen(Qt::NoPen);
    p.setBrush(sea);
    p.drawPath(disc);

    // Two continents, drawn in the unit disc and clipped to it.
    p.save();
    p.setClipPath(disc);
    p.translate(centre);
    p.scale(radius, radius);
    QLinearGradient land(-1, -1, 1, 1);
    land.setColorAt(0, QColor(0x6c, 0xd8, 0x50));
    land.setColorAt(1, QColor(0x18, 0x80, 0x28));
    p.setBrush(land);
    QPainterPath west;
    west.moveTo(-0.95, -0.35);
    west.cubicTo(-0.6, -0.85, -0.1, -0.75, -0.05, -0.45);
    west.cubicTo(0.0, -0.2, -0.35, -0.15, -0.3, 0.15);
    west.cubicTo(-0.25, 0.45, -0.05, 0.55, -0.2, 0.95);
    west.cubicTo(-0.6, 0.8, -0.7, 0.35, -0.95, 0.1);
    west.closeSubpath();
    p.drawPath(west);
    QPainterPath east;
    east.moveTo(0.25, -0.9);
    east.cubicTo(0.65, -0.8, 0.95, -0.4, 0.9, -0.1);
    east.cubicTo(0.7, 0.1, 0.55, -0.05, 0.45, 0.3);
    east.cubicTo(0.4, 0.6, 0.2, 0.55, 0.15, 0.2);
    east.cubicTo(0.1, -0.2, 0.35, -0.4, 0.25, -0.9);
    east.closeSubpath();
    p.drawPath(east);
    p.restore();

    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0x0a, 0x22, 0x5a), radius * 0.16));
    p.drawEllipse(centre, radius, radius);
}

// A point of the van in its own measures (x from the front bumper backwards, y up from the
// road, z from the near side across), seen from the front left and a little from above.
QPointF van(double x, double y, double z = 0)
{
    return {7.2 + x * 1.16 - z * 0.56, 27.4 - y * 1.12 - x * 0.15 - z * 0.30};
}

// The program's emblem: a white delivery van seen from the front left, a sheet of paper and a
// globe in front of its side. Shared by the icon, the about window and the background.
void drawVanMotif(QPainter &p)
{
    constexpr double width = 8.5;
    // Side profile from the bottom of the bumper round the front and over the roof.
    const QPointF profile[] = {{0.0, 1.6}, {0.0, 7.0}, {0.6, 8.6}, {4.2, 9.8}, {7.6, 16.2}, {9.0, 16.6}, {20.6, 16.6}, {20.6, 1.6}};
    constexpr int count = int(std::size(profile));

    const QColor roof(0xe2, 0xe5, 0xea);
    QLinearGradient face(0, 6, 0, 26);
    face.setColorAt(0, QColor(0xc6, 0xcb, 0xd4));
    face.setColorAt(1, QColor(0x94, 0x9a, 0xa6));
    QLinearGradient glass(0, 8, 0, 18);
    glass.setColorAt(0, QColor(0x6a, 0x8c, 0xc4));
    glass.setColorAt(1, QColor(0x1c, 0x2c, 0x5c));
    // The faces turned towards the viewer, in the order of the profile: front, bonnet slope,
    // bonnet, windscreen, roof edge, roof.
    const QBrush fills[] = {face, face, roof, glass, roof, roof};
    for (int i = 0; i + 1 < count - 1; ++i) {
        const QPointF a = profile[i], b = profile[i + 1];
        shape(p, poly({van(a.x(), a.y()), van(b.x(), b.y()), van(b.x(), b.y(), width), van(a.x(), a.y(), width)}), fills[i], 0.7);
    }
    QPolygonF side;
    for (const QPointF &pt : profile)
        side << van(pt.x(), pt.y());
    shape(p, side, Qt::white);

    // Door window behind the windscreen, door seam, headlamps, bumper.
    shape(p, poly({van(4.9, 10.4), van(7.4, 15.3), van(10.4, 15.3), van(10.4, 10.4)}), glass, 0.5);
    p.setPen(QPen(QColor(0x9a, 0x9e, 0xa8), 0.5));
    p.drawLine(van(10.9, 15.6), van(10.9, 3.6));
    p.setPen(QPen(outline, 0.4));
    p.setBrush(QColor(0xff, 0xe4, 0x70));
    for (double z : {1.2, width - 1.2})
        p.drawEllipse(van(0, 5.6, z), 0.75, 0.65);
    shape(p, poly({van(0, 1.6), van(0, 3.0), van(0, 3.0, width), van(0, 1.6, width)}), QColor(0x4c, 0x50, 0x58), 0.4);
    shape(p, poly({van(0, 1.6), van(0, 3.0), van(20.6, 3.0), van(20.6, 1.6)}), QColor(0x4c, 0x50, 0x58), 0.4);

    // Wheels in their arches.
    for (double x : {4.0, 16.6}) {
        p.setPen(QPen(outline, 0.5));
        p.setBrush(QColor(0x1e, 0x1e, 0x22));
        p.drawEllipse(van(x, 1.9), 2.3, 2.6);
        p.setBrush(QColor(0xb0, 0xb4, 0xbc));
        p.drawEllipse(van(x, 1.9), 0.95, 1.1);
    }

    // A sheet of paper in front of the side, with a few lines of writing.
    p.save();
    p.translate(18.8, 12.8);
    p.rotate(-10);
    shape(p, poly({{-4.0, -5.4}, {2.2, -5.4}, {4.0, -3.6}, {4.0, 5.4}, {-4.0, 5.4}}), QColor(0xf6, 0xf4, 0xe4), 0.6);
    shape(p, poly({{2.2, -5.4}, {2.2, -3.6}, {4.0, -3.6}}), QColor(0xcc, 0xc8, 0xb0), 0.4);
    p.setPen(QPen(QColor(0x6c, 0x78, 0x98), 0.55));
    for (double y : {-2.4, -0.6, 1.2, 3.0})
        p.drawLine(QPointF(-2.8, y), QPointF(y < -1 ? 1.0 : 2.8, y));
    p.restore();

    drawGlobe(p, QPointF(25.2, 17.6), 4.5);
}
} // namespace

QImage paintVan(int size)
{
    return supersampled(size, drawVanMotif);
}

QImage paintSend()
{
    return supersampled(32, [](QPainter &p) {
        // Cables running off below the stand.
        p.setBrush(Qt::NoBrush);
        const QColor cableColours[] = {QColor(0x30, 0x30, 0x34), QColor(0x2c, 0x4c, 0x94), QColor(0x48, 0x48, 0x50)};
        const QPointF cableEnds[][3] = {
            {{10.5, 22.0}, {7.0, 26.0}, {1.0, 30.5}},
            {{13.5, 22.5}, {12.0, 27.0}, {9.0, 31.5}},
            {{16.0, 22.0}, {18.0, 27.5}, {16.5, 31.5}},
        };
        for (int i = 0; i < 3; ++i) {
            QPainterPath cable(cableEnds[i][0]);
            cable.quadTo(cableEnds[i][1], cableEnds[i][2]);
            p.setPen(QPen(cableColours[i], 1.3, Qt::SolidLine, Qt::RoundCap));
            p.drawPath(cable);
        }

        // Short stand.
        shape(p, poly({{11.5, 16.5}, {15.5, 16.5}, {15.5, 20.5}, {11.5, 20.5}}), QColor(0x70, 0x70, 0x74), 0.6);
        QLinearGradient base(0, 19.5, 0, 23);
        base.setColorAt(0, QColor(0xb8, 0xb8, 0xbc));
        base.setColorAt(1, QColor(0x6c, 0x6c, 0x70));
        p.setPen(QPen(outline, 0.6));
        p.setBrush(base);
        p.drawRoundedRect(QRectF(7.0, 19.6, 13.0, 3.2), 1.4, 1.4);

        // The box: top, front and right side.
        shape(p, poly({{3.0, 7.0}, {8.0, 3.0}, {29.0, 3.0}, {24.0, 7.0}}), QColor(0xd8, 0xd8, 0xdc));
        QLinearGradient front(0, 7, 0, 18);
        front.setColorAt(0, QColor(0xbc, 0xbc, 0xc0));
        front.setColorAt(1, QColor(0x84, 0x84, 0x8a));
        shape(p, poly({{3.0, 7.0}, {24.0, 7.0}, {24.0, 18.0}, {3.0, 18.0}}), front);
        shape(p, poly({{24.0, 7.0}, {29.0, 3.0}, {29.0, 14.0}, {24.0, 18.0}}), QColor(0x66, 0x66, 0x6c));

        // Vents and the indicator panel on the front.
        p.setPen(QPen(QColor(0x50, 0x50, 0x56), 0.7, Qt::SolidLine, Qt::RoundCap));
        for (double x = 13.0; x <= 21.5; x += 2.0)
            p.drawLine(QPointF(x, 9.5), QPointF(x, 15.5));
        p.setPen(QPen(outline, 0.5));
        p.setBrush(QColor(0x3a, 0x3a, 0x40));
        p.drawRoundedRect(QRectF(5.0, 12.6, 6.0, 3.0), 0.8, 0.8);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xff, 0x30, 0x20));
        p.drawEllipse(QPointF(6.8, 14.1), 0.95, 0.95);
        p.setBrush(QColor(0x30, 0xf0, 0x40));
        p.drawEllipse(QPointF(9.2, 14.1), 0.95, 0.95);

        drawGlobe(p, QPointF(24.8, 24.8), 6.2);
    });
}

QImage paintReceive()
{
    return supersampled(32, [](QPainter &p) {
        // Large at sign at the back.
        QFont font("DejaVu Sans");
        font.setBold(true);
        font.setPixelSize(26);
        QPainterPath at;
        at.addText(0, 0, font, QStringLiteral("@"));
        const QRectF box = at.boundingRect();
        at.translate(QPointF(0.5, 0.5) - box.topLeft());
        p.setPen(QPen(QColor(0x10, 0x1c, 0x5c), 0.6));
        QLinearGradient blue(0, 0, 0, 20);
        blue.setColorAt(0, QColor(0x4c, 0x7c, 0xe8));
        blue.setColorAt(1, QColor(0x18, 0x38, 0xa8));
        p.setBrush(blue);
        p.drawPath(at);

        // Hand below the tray, carrying it as a waiter would: wrist from below, fingers to the right.
        const QColor skin(0xf2, 0xc8, 0x98);
        const QPen skinLine(QColor(0x8a, 0x5a, 0x30), 0.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        p.setPen(skinLine);
        p.setBrush(skin);
        for (int i = 2; i >= 0; --i)
            p.drawRoundedRect(QRectF(15.0, 22.2 + i * 1.7, 10.0 - i * 1.4, 1.9), 0.9, 0.9);
        QPainterPath palm;
        palm.moveTo(10.5, 32.5);
        palm.cubicTo(10.5, 29.0, 9.0, 26.0, 9.6, 22.4);
        palm.lineTo(17.0, 22.4);
        palm.cubicTo(17.8, 24.5, 17.6, 27.0, 16.4, 28.4);
        palm.lineTo(16.4, 32.5);
        palm.closeSubpath();
        p.drawPath(palm);
        QPainterPath thumb;
        thumb.moveTo(10.0, 23.0);
        thumb.cubicTo(8.6, 21.8, 8.0, 20.2, 8.8, 19.8);
        thumb.cubicTo(9.8, 19.4, 10.8, 21.0, 11.6, 22.6);
        p.drawPath(thumb);

        // Brown tray.
        QLinearGradient wood(0, 18.5, 0, 22.5);
        wood.setColorAt(0, QColor(0xc0, 0x84, 0x48));
        wood.setColorAt(1, QColor(0x6a, 0x3e, 0x18));
        shape(p, poly({{2.0, 19.0}, {30.0, 19.0}, {28.0, 22.6}, {4.0, 22.6}}), wood, 0.7);

        // Application window resting on the tray, showing a globe.
        p.setPen(QPen(outline, 0.7));
        p.setBrush(QColor(0xe8, 0xe8, 0xec));
        p.drawRect(QRectF(13.0, 6.0, 16.5, 13.0));
        QLinearGradient title(13, 0, 29.5, 0);
        title.setColorAt(0, QColor(0x10, 0x20, 0x90));
        title.setColorAt(1, QColor(0x30, 0x80, 0xd8));
        p.setBrush(title);
        p.drawRect(QRectF(13.0, 6.0, 16.5, 3.0));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xd0, 0xd0, 0xd4));
        p.drawRect(QRectF(27.0, 6.8, 1.6, 1.4));
        drawGlobe(p, QPointF(21.25, 14.0), 3.7);
    });
}

QImage paintExit()
{
    return supersampled(32, [](QPainter &p) {
        QPolygonF octagon;
        for (int i = 0; i < 8; ++i) {
            const double a = (22.5 + 45.0 * i) * M_PI / 180.0;
            octagon << QPointF(16.0 + 15.2 * std::cos(a), 16.0 + 15.2 * std::sin(a));
        }
        p.setPen(QPen(QColor(0x70, 0x08, 0x08), 1.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(QColor(0xec, 0xe4, 0xe4));
        p.drawPolygon(octagon);
        QTransform inner;
        inner.translate(16, 16).scale(0.86, 0.86).translate(-16, -16);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xd8, 0x18, 0x18));
        p.drawPolygon(inner.map(octagon));

        // Raised open hand: palm, four fingers, thumb to the left.
        const QColor skin(0xf4, 0xcc, 0x9c);
        p.setPen(QPen(QColor(0x5c, 0x30, 0x10), 0.7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(skin);
        const double fingerTops[] = {8.6, 6.6, 7.0, 9.0};
        for (int i = 0; i < 4; ++i)
            p.drawRoundedRect(QRectF(11.2 + i * 2.5, fingerTops[i], 2.4, 10.0), 1.2, 1.2);
        QPainterPath thumb;
        thumb.moveTo(12.0, 19.5);
        thumb.cubicTo(10.5, 17.5, 9.0, 15.0, 8.2, 15.4);
        thumb.cubicTo(7.0, 16.2, 8.6, 19.8, 10.6, 22.5);
        p.drawPath(thumb);
        p.drawRoundedRect(QRectF(10.8, 15.0, 10.8, 10.2), 3.0, 3.0);
        p.setPen(Qt::NoPen);
        p.drawRect(QRectF(11.6, 14.6, 9.2, 2.0));
        p.setPen(QPen(QColor(0xc8, 0x90, 0x60), 0.6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(13.0, 21.8), QPointF(18.5, 21.0));
    });
}

// Sixteen pixels leave no room for smooth edges, so the face is drawn pixel by pixel.
QImage paintAboutFace()
{
    static const char *const rows[16] = {
        "................",
        "..############..",
        ".#bbbbbbbbbbbb#.",
        "#bbbbbbbbbbbbbs#",
        "#bbbbbbbbbbbbbs#",
        "#bbb##bbbb##bbs#",
        "#bbb##bbbb##bbs#",
        "#bbbbbbbbbbbbbs#",
        "#brrbbbbbbbbrrs#",
        "#bbb#bbbbbb#bbs#",
        "#bbbb#bbbb#bbbs#",
        "#bbbbb####bbbbs#",
        "#bbbbbbbbbbbbbs#",
        ".#sssssssssssss#",
        "..############..",
        "................",
    };
    QImage image(16, 16, QImage::Format_ARGB32);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            switch (rows[y][x]) {
            case '#': image.setPixel(x, y, qRgb(0x00, 0x00, 0x00)); break;
            case 'b': image.setPixel(x, y, qRgb(0xf4, 0xd4, 0xa4)); break;
            case 's': image.setPixel(x, y, qRgb(0xc8, 0x98, 0x60)); break;
            case 'r': image.setPixel(x, y, qRgb(0xf0, 0x90, 0x80)); break;
            default: image.setPixel(x, y, qRgba(0xff, 0xff, 0xff, 0)); break;
            }
        }
    return image;
}

QImage paintAddress()
{
    return supersampled(32, [](QPainter &p) {
        // Soft cone of light under the lamp head.
        QLinearGradient light(0, 8, 0, 28);
        light.setColorAt(0, QColor(0xff, 0xec, 0x80, 200));
        light.setColorAt(1, QColor(0xff, 0xf6, 0xc8, 40));
        p.setPen(Qt::NoPen);
        p.setBrush(light);
        p.drawPolygon(poly({{14.2, 8.0}, {19.8, 8.0}, {28.0, 20.0}, {9.0, 20.0}}));

        // Post bending over at the top.
        QLinearGradient metal(3, 0, 8, 0);
        metal.setColorAt(0, QColor(0xb4, 0xb8, 0xc0));
        metal.setColorAt(1, QColor(0x58, 0x5c, 0x64));
        QPainterPath post;
        post.moveTo(5.0, 30.0);
        post.lineTo(5.0, 8.0);
        post.cubicTo(5.0, 3.2, 8.0, 2.6, 12.0, 2.6);
        post.lineTo(17.0, 2.6);
        p.setPen(QPen(outline, 3.0, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(post);
        p.setPen(QPen(QBrush(metal), 1.6, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
        p.drawPath(post);
        shape(p, poly({{2.5, 31.4}, {3.4, 28.6}, {6.6, 28.6}, {7.5, 31.4}}), QColor(0x70, 0x74, 0x7c), 0.6);

        // Lamp head with its bulb.
        p.setPen(QPen(outline, 0.6));
        p.setBrush(QColor(0xff, 0xf0, 0x60));
        p.drawEllipse(QPointF(17.0, 8.0), 1.8, 1.4);
        shape(p, poly({{13.6, 8.2}, {15.6, 4.0}, {18.4, 4.0}, {20.4, 8.2}}), QColor(0x8c, 0x90, 0x98), 0.6);

        // Two small faces under the light.
        const QColor skin(0xf4, 0xcc, 0x9c);
        struct Face { QPointF centre; double r; QColor hair; };
        const Face faces[] = {{{14.8, 22.6}, 4.6, QColor(0x7a, 0x44, 0x18)}, {{25.4, 24.0}, 4.4, QColor(0x30, 0x20, 0x18)}};
        for (const Face &f : faces) {
            p.setPen(QPen(outline, 0.7));
            p.setBrush(skin);
            p.drawEllipse(f.centre, f.r, f.r);
            // Hair: the top of the head, cut off straight above the eyes.
            p.save();
            p.setClipRect(QRectF(f.centre.x() - f.r - 1, f.centre.y() - f.r - 1, 2 * f.r + 2, f.r * 0.55 + 1));
            p.setBrush(f.hair);
            p.drawEllipse(f.centre, f.r, f.r);
            p.restore();
            p.setPen(Qt::NoPen);
            p.setBrush(outline);
            p.drawEllipse(f.centre + QPointF(-1.5, 0.3), 0.6, 0.7);
            p.drawEllipse(f.centre + QPointF(1.5, 0.3), 0.6, 0.7);
            p.setPen(QPen(outline, 0.6, Qt::SolidLine, Qt::RoundCap));
            p.setBrush(Qt::NoBrush);
            p.drawArc(QRectF(f.centre.x() - 2.0, f.centre.y() + 0.2, 4.0, 2.8), 200 * 16, 140 * 16);
        }
    });
}

namespace {

// Deterministic noise, so that running the generator again reproduces the same bytes.
double lattice(int x, int y, quint32 seed)
{
    quint32 h = quint32(x) * 0x8da6b343u ^ quint32(y) * 0xd8163841u ^ seed * 0xcb1ab31fu;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return double(h & 0xffffff) / double(0x1000000);
}

double smooth(double t)
{
    return t * t * (3 - 2 * t);
}

double valueNoise(double x, double y, quint32 seed)
{
    const int ix = int(std::floor(x));
    const int iy = int(std::floor(y));
    const double fx = smooth(x - ix);
    const double fy = smooth(y - iy);
    const double top = lattice(ix, iy, seed) * (1 - fx) + lattice(ix + 1, iy, seed) * fx;
    const double bottom = lattice(ix, iy + 1, seed) * (1 - fx) + lattice(ix + 1, iy + 1, seed) * fx;
    return top * (1 - fy) + bottom * fy;
}

double clouds(double x, double y)
{
    double sum = 0;
    double amplitude = 0.5;
    double total = 0;
    for (int octave = 0; octave < 6; ++octave) {
        const double f = double(1 << octave);
        sum += amplitude * valueNoise(x * f, y * f, quint32(octave + 7));
        total += amplitude;
        amplitude *= 0.5;
    }
    return sum / total;
}

double smoothstep(double edge0, double edge1, double v)
{
    return smooth(qBound(0.0, (v - edge0) / (edge1 - edge0), 1.0));
}

void paintSky(QImage &image)
{
    quint32 grain = 12345;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            // Deeper blue at the top, paler towards the horizon and towards the sun at the right.
            const double t = double(y) / (image.height() - 1);
            const double glow = std::exp(-std::hypot(x - 330.0, y - 10.0) / 160.0);
            double r = 0x58 + (0xb4 - 0x58) * t + 40 * glow;
            double g = 0x9c + (0xdc - 0x9c) * t + 26 * glow;
            double b = 0xe4 + (0xfa - 0xe4) * t + 8 * glow;
            // Wide, flat cloud banks, slightly warped so they billow; brighter where they are
            // dense, a little grey underneath, as lit from above.
            const double nx = x / 70.0 + 0.35 * clouds(x / 40.0 + 9.0, y / 40.0);
            const double ny = y / 30.0;
            const double density = clouds(nx, ny);
            const double cover = smoothstep(0.44, 0.74, density);
            const double below = clouds(nx, ny + 0.15);
            const double body = 0.90 + 0.10 * smoothstep(0.5, 0.8, clouds(x / 18.0 + 3.0, y / 12.0));
            const double shade = body * (1.0 - 0.10 * smoothstep(0.0, 0.1, density - below) * cover);
            const double wr = 248 * shade, wg = 248 * shade, wb = 246 * shade + 6;
            r = r * (1 - cover) + wr * cover;
            g = g * (1 - cover) + wg * cover;
            b = b * (1 - cover) + wb * cover;
            // Faint colour blotches and film grain make the sky look photographed rather than drawn.
            r += 8 * (valueNoise(x / 23.0, y / 23.0, 101) - 0.5);
            g += 6 * (valueNoise(x / 29.0, y / 29.0, 102) - 0.5);
            b += 8 * (valueNoise(x / 19.0, y / 19.0, 103) - 0.5);
            auto noise = [&grain]() {
                grain = grain * 1664525u + 1013904223u;
                return double((grain >> 8) & 0xff) / 255.0 + double((grain >> 16) & 0xff) / 255.0 - 1.0;
            };
            image.setPixel(x, y, qRgb(qBound(0, qRound(r + 8.0 * noise()), 255),
                                      qBound(0, qRound(g + 8.0 * noise()), 255),
                                      qBound(0, qRound(b + 8.0 * noise()), 255)));
        }
}

void paintName(QPainter &p, const QRectF &area)
{
    static const QColor colours[] = {
        QColor(0xe8, 0x18, 0x18), QColor(0xff, 0x88, 0x00), QColor(0xff, 0xdc, 0x00), QColor(0x1c, 0xb0, 0x2c),
        QColor(0x1c, 0x4c, 0xe8), QColor(0x98, 0x28, 0xd0), QColor(0xe8, 0x18, 0x18), QColor(0xff, 0x88, 0x00),
    };
    const QString name = QStringLiteral("Veltrane");
    QFont font("Liberation Sans");
    font.setBold(true);
    font.setItalic(true);
    font.setPixelSize(100);
    const QFontMetricsF metrics(font);
    QList<QPainterPath> letters;
    QRectF bounds;
    for (int i = 0; i < name.size(); ++i) {
        QPainterPath letter;
        letter.addText(metrics.horizontalAdvance(name.left(i)), 0, font, name.mid(i, 1));
        bounds |= letter.boundingRect();
        letters.append(letter);
    }
    QTransform fit;
    const double scale = qMin(area.width() / bounds.width(), area.height() / bounds.height());
    fit.translate(area.center().x(), area.center().y());
    fit.scale(scale, scale * 1.12);
    fit.translate(-bounds.center().x(), -bounds.center().y());

    for (int i = 0; i < letters.size(); ++i) {
        const QPainterPath letter = fit.map(letters[i]);
        const QRectF box = letter.boundingRect();
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x10, 0x28, 0x60, 70));
        p.drawPath(letter.translated(1.6, 1.8));
        p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(letter);
        QLinearGradient fill(0, box.top(), 0, box.bottom());
        fill.setColorAt(0, colours[i].lighter(135));
        fill.setColorAt(0.5, colours[i]);
        fill.setColorAt(1, colours[i].darker(125));
        p.setPen(Qt::NoPen);
        p.setBrush(fill);
        p.drawPath(letter);
    }
}

} // namespace

QImage paintBackground()
{
    QImage image(360, 180, QImage::Format_RGB32);
    paintSky(image);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.save();
    p.translate(20, 12);
    p.scale(45.0 / 32.0, 45.0 / 32.0);
    drawVanMotif(p);
    p.restore();
    paintName(p, QRectF(86, 17, 188, 36));
    return image;
}

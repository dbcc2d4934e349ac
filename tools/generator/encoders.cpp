#include "encoders.h"

#include <QHash>

namespace {

void put16(QByteArray &out, int v)
{
    out.append(char(v & 0xff));
    out.append(char((v >> 8) & 0xff));
}

void put32(QByteArray &out, quint32 v)
{
    put16(out, int(v & 0xffff));
    put16(out, int(v >> 16));
}

class BitWriter
{
public:
    void write(int code, int width)
    {
        m_buffer |= quint32(code) << m_bits;
        m_bits += width;
        while (m_bits >= 8) {
            m_bytes.append(char(m_buffer & 0xff));
            m_buffer >>= 8;
            m_bits -= 8;
        }
    }
    QByteArray finish()
    {
        if (m_bits > 0)
            m_bytes.append(char(m_buffer & 0xff));
        m_buffer = 0;
        m_bits = 0;
        return m_bytes;
    }

private:
    QByteArray m_bytes;
    quint32 m_buffer = 0;
    int m_bits = 0;
};

// Variable-width LZW as GIF decoders expect it: the code width grows when the decoder's next free
// code reaches the next power of two, and the dictionary is cleared just before it would overflow
// 4096 entries.
QByteArray lzw(const QByteArray &pixels, int minCodeSize)
{
    const int clearCode = 1 << minCodeSize;
    const int endCode = clearCode + 1;
    int width = minCodeSize + 1;
    int lastCode = endCode;
    QHash<quint32, int> dictionary;
    BitWriter bits;
    bits.write(clearCode, width);

    int prefix = quint8(pixels[0]);
    for (qsizetype i = 1; i < pixels.size(); ++i) {
        const int next = quint8(pixels[i]);
        const quint32 key = (quint32(prefix) << 8) | quint32(next);
        const auto found = dictionary.constFind(key);
        if (found != dictionary.cend()) {
            prefix = *found;
            continue;
        }
        bits.write(prefix, width);
        dictionary.insert(key, ++lastCode);
        if (lastCode >= (1 << width) && width < 12)
            ++width;
        if (lastCode == 4095) {
            bits.write(clearCode, width);
            dictionary.clear();
            width = minCodeSize + 1;
            lastCode = endCode;
        }
        prefix = next;
    }
    bits.write(prefix, width);
    // The decoder adds an entry for that last code too, and may widen before it reads the end code.
    if (lastCode + 1 >= (1 << width) && width < 12)
        ++width;
    bits.write(endCode, width);
    return bits.finish();
}

} // namespace

QByteArray encodeGif(const IndexedPicture &picture, GifKind kind)
{
    int tableBits = 1;
    while ((1 << tableBits) < picture.table.size())
        ++tableBits;
    Q_ASSERT((1 << tableBits) == picture.table.size());

    QByteArray out(kind == GifKind::Plain ? "GIF87a" : "GIF89a");
    put16(out, picture.width);
    put16(out, picture.height);
    out.append(char(0x80 | (7 << 4) | (tableBits - 1))); // global table, 8 bits per primary
    out.append(char(0));                                  // background index
    out.append(char(0));                                  // square pixels
    for (QRgb c : picture.table) {
        out.append(char(qRed(c)));
        out.append(char(qGreen(c)));
        out.append(char(qBlue(c)));
    }
    if (kind == GifKind::WhiteTransparent) {
        out.append("\x21\xf9\x04", 3);
        out.append(char(0x01)); // no disposal, no user input, transparent index valid
        put16(out, 0);          // no delay
        out.append(char(0));    // transparent index
        out.append(char(0));
    }
    out.append(char(0x2c));
    put16(out, 0);
    put16(out, 0);
    put16(out, picture.width);
    put16(out, picture.height);
    out.append(char(0)); // no local table, not interlaced

    const int minCodeSize = qMax(2, tableBits);
    out.append(char(minCodeSize));
    const QByteArray data = lzw(picture.indexes, minCodeSize);
    for (qsizetype at = 0; at < data.size(); at += 255) {
        const QByteArray block = data.mid(at, 255);
        out.append(char(block.size()));
        out.append(block);
    }
    out.append(char(0));
    out.append(char(0x3b));
    return out;
}

QByteArray encodeBmp24(const QImage &image)
{
    const int rowBytes = (image.width() * 3 + 3) & ~3;
    const quint32 dataSize = quint32(rowBytes) * quint32(image.height());
    QByteArray out("BM");
    put32(out, 54 + dataSize);
    put32(out, 0);
    put32(out, 54);
    put32(out, 40);
    put32(out, quint32(image.width()));
    put32(out, quint32(image.height())); // positive: rows are stored bottom-up
    put16(out, 1);
    put16(out, 24);
    put32(out, 0); // BI_RGB, no compression
    put32(out, dataSize);
    put32(out, 3780); // 96 dots per inch
    put32(out, 3780);
    put32(out, 0);
    put32(out, 0);
    for (int y = image.height() - 1; y >= 0; --y) {
        QByteArray row;
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            row.append(char(qBlue(p)));
            row.append(char(qGreen(p)));
            row.append(char(qRed(p)));
        }
        row.append(QByteArray(rowBytes - row.size(), '\0'));
        out.append(row);
    }
    return out;
}

QByteArray encodeIco(const IndexedPicture &picture, const QImage &opacity)
{
    Q_ASSERT(picture.table.size() == 256);
    const int w = picture.width;
    const int h = picture.height;
    const int maskRow = ((w + 31) / 32) * 4;
    const quint32 imageSize = quint32(w * h + maskRow * h);
    const quint32 resourceSize = 40 + 256 * 4 + imageSize;

    QByteArray out;
    put16(out, 0);
    put16(out, 1); // icon
    put16(out, 1); // one image
    out.append(char(w));
    out.append(char(h));
    out.append(char(0)); // 0 stands for 256 colours
    out.append(char(0));
    put16(out, 1);
    put16(out, 8);
    put32(out, resourceSize);
    put32(out, 22);

    put32(out, 40);
    put32(out, quint32(w));
    put32(out, quint32(h * 2)); // colour rows and mask rows together
    put16(out, 1);
    put16(out, 8);
    put32(out, 0);
    put32(out, imageSize);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    for (QRgb c : picture.table) {
        out.append(char(qBlue(c)));
        out.append(char(qGreen(c)));
        out.append(char(qRed(c)));
        out.append(char(0));
    }
    for (int y = h - 1; y >= 0; --y)
        out.append(picture.indexes.mid(qsizetype(y) * w, w));
    for (int y = h - 1; y >= 0; --y) {
        QByteArray row(maskRow, '\0');
        for (int x = 0; x < w; ++x)
            if (qAlpha(opacity.pixel(x, y)) < 128)
                row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
        out.append(row);
    }
    return out;
}

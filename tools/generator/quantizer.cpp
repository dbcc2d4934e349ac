#include "quantizer.h"

#include <QHash>

#include <algorithm>
#include <array>
#include <limits>

namespace {

struct Sample
{
    std::array<int, 3> rgb;
    qint64 count;
};

// Green weighs most and blue least, roughly as the eye judges differences.
constexpr std::array<int, 3> weight = {3, 4, 2};

qint64 distance(const std::array<int, 3> &a, const std::array<double, 3> &b)
{
    double sum = 0;
    for (int c = 0; c < 3; ++c)
        sum += weight[c] * (a[c] - b[c]) * (a[c] - b[c]);
    return qint64(sum);
}

std::array<double, 3> mean(const QList<Sample> &samples)
{
    std::array<double, 3> sum = {0, 0, 0};
    qint64 total = 0;
    for (const Sample &s : samples) {
        for (int c = 0; c < 3; ++c)
            sum[c] += double(s.rgb[c]) * s.count;
        total += s.count;
    }
    for (double &v : sum)
        v /= double(std::max<qint64>(total, 1));
    return sum;
}

double spread(const QList<Sample> &box)
{
    const std::array<double, 3> m = mean(box);
    double sum = 0;
    for (const Sample &s : box)
        sum += double(distance(s.rgb, m)) * s.count;
    return sum;
}

// Median cut: split the box with the largest error at the weighted median of its widest channel.
QList<QList<Sample>> medianCut(const QList<Sample> &samples, int boxes)
{
    QList<QList<Sample>> result{samples};
    while (result.size() < boxes) {
        int worst = -1;
        double worstSpread = 0;
        for (int i = 0; i < result.size(); ++i) {
            if (result[i].size() < 2)
                continue;
            const double s = spread(result[i]);
            if (s > worstSpread) {
                worstSpread = s;
                worst = i;
            }
        }
        if (worst < 0)
            break;
        QList<Sample> box = result.takeAt(worst);
        int axis = 0;
        int widest = -1;
        for (int c = 0; c < 3; ++c) {
            const auto [lo, hi] = std::minmax_element(box.begin(), box.end(), [c](const Sample &a, const Sample &b) {
                return a.rgb[c] < b.rgb[c];
            });
            const int range = (hi->rgb[c] - lo->rgb[c]) * weight[c];
            if (range > widest) {
                widest = range;
                axis = c;
            }
        }
        std::sort(box.begin(), box.end(), [axis](const Sample &a, const Sample &b) { return a.rgb[axis] < b.rgb[axis]; });
        qint64 total = 0;
        for (const Sample &s : box)
            total += s.count;
        qint64 running = 0;
        qsizetype cut = 1;
        for (qsizetype i = 0; i < box.size() - 1; ++i) {
            running += box[i].count;
            cut = i + 1;
            if (running * 2 >= total)
                break;
        }
        result.append(box.mid(0, cut));
        result.append(box.mid(cut));
    }
    return result;
}

QRgb toRgb(const std::array<double, 3> &c, bool whiteIsBackground)
{
    int r = qBound(0, qRound(c[0]), 255);
    int g = qBound(0, qRound(c[1]), 255);
    int b = qBound(0, qRound(c[2]), 255);
    // Where pure white is the transparent entry, an opaque colour must never turn into it.
    if (whiteIsBackground && r == 255 && g == 255 && b == 255)
        r = g = b = 254;
    return qRgb(r, g, b);
}

} // namespace

IndexedPicture quantize(const QImage &image, const QuantizeOptions &options)
{
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    auto isBackground = [&options](QRgb p) {
        if (qAlpha(p) < 128)
            return true;
        return options.whiteIsBackground && qRed(p) >= 248 && qGreen(p) >= 248 && qBlue(p) >= 248;
    };

    QHash<QRgb, qint64> histogram;
    for (int y = 0; y < argb.height(); ++y)
        for (int x = 0; x < argb.width(); ++x) {
            const QRgb p = argb.pixel(x, y);
            if (!isBackground(p))
                ++histogram[p & 0xffffff];
        }
    QList<Sample> samples;
    for (auto it = histogram.cbegin(); it != histogram.cend(); ++it)
        samples.append({{qRed(it.key()), qGreen(it.key()), qBlue(it.key())}, it.value()});
    std::sort(samples.begin(), samples.end(), [](const Sample &a, const Sample &b) { return a.rgb < b.rgb; });

    // Median cut for a start, then a few rounds of k-means to pull each entry to its pixels.
    QList<std::array<double, 3>> centres;
    for (const QList<Sample> &box : medianCut(samples, options.usedColours - 1))
        centres.append(mean(box));
    QList<int> owner(samples.size(), 0);
    for (int round = 0; round < 8; ++round) {
        for (qsizetype i = 0; i < samples.size(); ++i) {
            qint64 best = std::numeric_limits<qint64>::max();
            for (qsizetype k = 0; k < centres.size(); ++k) {
                const qint64 d = distance(samples[i].rgb, centres[k]);
                if (d < best) {
                    best = d;
                    owner[i] = int(k);
                }
            }
        }
        QList<QList<Sample>> members(centres.size());
        for (qsizetype i = 0; i < samples.size(); ++i)
            members[owner[i]].append(samples[i]);
        for (qsizetype k = 0; k < centres.size(); ++k) {
            if (members[k].isEmpty()) {
                // Reseed an idle entry with the colour that is served worst.
                qsizetype worst = 0;
                qint64 worstDistance = -1;
                for (qsizetype i = 0; i < samples.size(); ++i) {
                    const qint64 d = distance(samples[i].rgb, centres[owner[i]]) * samples[i].count;
                    if (d > worstDistance) {
                        worstDistance = d;
                        worst = i;
                    }
                }
                centres[k] = {double(samples[worst].rgb[0]), double(samples[worst].rgb[1]), double(samples[worst].rgb[2])};
                owner[worst] = int(k);
            } else {
                centres[k] = mean(members[k]);
            }
        }
    }

    IndexedPicture out;
    out.width = argb.width();
    out.height = argb.height();
    out.table = QList<QRgb>(options.tableSize, qRgb(0, 0, 0));
    out.table[0] = options.background;
    for (qsizetype k = 0; k < centres.size(); ++k)
        out.table[k + 1] = toRgb(centres[k], options.whiteIsBackground);
    QHash<QRgb, int> indexOf;
    for (qsizetype i = 0; i < samples.size(); ++i)
        indexOf.insert(qRgb(samples[i].rgb[0], samples[i].rgb[1], samples[i].rgb[2]) & 0xffffff, owner[i] + 1);
    out.indexes.resize(qsizetype(out.width) * out.height);
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            const QRgb p = argb.pixel(x, y);
            out.indexes[y * out.width + x] = char(isBackground(p) ? 0 : indexOf.value(p & 0xffffff));
        }
    return out;
}

IndexedPicture indexExactly(const QImage &image, int tableSize)
{
    IndexedPicture out;
    out.width = image.width();
    out.height = image.height();
    out.table = QList<QRgb>(tableSize, qRgb(0, 0, 0));
    int used = 0;
    out.indexes.resize(qsizetype(out.width) * out.height);
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            const QRgb p = image.pixel(x, y) | 0xff000000;
            qsizetype index = out.table.mid(0, used).indexOf(p);
            if (index < 0) {
                Q_ASSERT(used < tableSize);
                index = used;
                out.table[used++] = p;
            }
            out.indexes[y * out.width + x] = char(index);
        }
    return out;
}

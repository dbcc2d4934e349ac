#include "terminal/progressline.h"

#include "transfer/statustext.h"

#include <QLocale>

namespace {
// The span the rate is measured over.
constexpr qint64 RateWindowMs = 3000;

// `bytes` in units of `unit` with one decimal, rounded half up, in the user's notation.
QString tenths(qint64 bytes, qint64 unit)
{
    const qint64 count = (bytes / unit * 10) + ((bytes % unit) * 10 + unit / 2) / unit;
    QString text = QString::number(count / 10);
    if (count % 10)
        text += QLocale().decimalPoint() + QString::number(count % 10);
    return text;
}
}

ProgressLine::ProgressLine(const QString &name)
    : m_name(name.size() > NameWidth ? name.first(NameWidth / 2 - 1) + u'…' + name.last(NameWidth / 2) : name)
{
}

QString ProgressLine::line(qint64 done, qint64 total, qint64 ms)
{
    m_samples.append({ms, done});
    while (m_samples.size() > 2 && ms - m_samples[1].ms >= RateWindowMs)
        m_samples.removeFirst();
    const int percent = total > 0 ? int(done * 100 / total) : 100;
    QString text = QStringLiteral("%1  %2%  %3 of %4").arg(m_name).arg(percent).arg(size(done), size(total));

    const Sample &first = m_samples.constFirst();
    const qint64 spanMs = ms - first.ms;
    // Too short a span says more about the clock than the link.
    if (spanMs < 200 || done <= first.done)
        return text;
    const double perSecond = double(done - first.done) * 1000.0 / double(spanMs);
    text += QStringLiteral("  %1/s").arg(size(qint64(perSecond)));
    if (done < total)
        text += QStringLiteral("  %1 left").arg(duration(qint64(double(total - done) / perSecond + 0.999)));
    return text;
}

QString ProgressLine::size(qint64 bytes)
{
    constexpr qint64 KiB = 1024, MiB = KiB * 1024, GiB = MiB * 1024;
    if (bytes < MiB)
        return StatusText::kilobytes(bytes) + QStringLiteral(" KB");
    if (bytes < GiB)
        return tenths(bytes, MiB) + QStringLiteral(" MB");
    return tenths(bytes, GiB) + QStringLiteral(" GB");
}

QString ProgressLine::duration(qint64 seconds)
{
    if (seconds >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(seconds / 3600)
            .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

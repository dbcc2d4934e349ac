#include "transfer/fileoffer.h"

#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>

FoundName FileOffer::GetFN(const QString &text, quint8 mode)
{
    const qsizetype len = text.size();
    if (mode == 1) {
        for (qint32 n = 1; n <= std::numeric_limits<qint16>::max(); ++n) {
            const QChar c = n > len ? (len ? text.front() : QChar()) : text[len - n];
            if (c == u'\\')
                return {text.right(n - 1)};
        }
        return {{}, FoundName::Overflow};
    }
    if (mode == 2) {
        for (qint32 p = 1; p <= std::numeric_limits<qint16>::max(); ++p) {
            const QChar c = p > len ? (len ? text.back() : QChar()) : text[p - 1];
            if (c == u'\\') {
                if (p < 3)
                    return {{}, FoundName::InvalidArgument};
                return {text.mid(2, p - 3)};
            }
        }
        return {{}, FoundName::Overflow};
    }
    return {};
}

QByteArray FileOffer::build(const QString &path, qint32 size)
{
    QString name = QFileInfo(path).fileName();
    name.replace(u'\\', u'_');
    const QByteArray sizeText = (size >= 0 ? " " : "") + QByteArray::number(size);
    // A peer reads the name in its 8-bit character set: Latin-1 shows right there, and only a
    // name that Latin-1 cannot hold goes out as UTF-8.
    const bool latin1 = std::all_of(name.cbegin(), name.cend(), [](QChar c) { return c.unicode() < 0x100; });
    return "FN" + (latin1 ? name.toLatin1() : name.toUtf8()) + '\\' + sizeText;
}

std::optional<qint32> FileOffer::parseSize(const QString &text)
{
    const QByteArray s = text.toLatin1();
    qsizetype i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
        ++i;
    const qsizetype start = i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    qsizetype digits = 0;
    while (i < s.size() && std::isdigit(uchar(s[i])))
        ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && std::isdigit(uchar(s[i])))
            ++i, ++digits;
    }
    if (digits == 0)
        return 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        qsizetype j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-'))
            ++j;
        if (j < s.size() && std::isdigit(uchar(s[j]))) {
            while (j < s.size() && std::isdigit(uchar(s[j])))
                ++j;
            i = j;
        }
    }
    // Ties to even, as the conversion to a 32-bit integer rounds; the text is read in the C locale.
    const double value = std::nearbyint(s.mid(start, i - start).toDouble());
    if (!(value >= std::numeric_limits<qint32>::min() && value <= std::numeric_limits<qint32>::max()))
        return std::nullopt;
    return qint32(value);
}

QString FileOffer::decodeName(const QString &latin1Name)
{
    const QByteArray bytes = latin1Name.toLatin1();
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8(bytes);
    return utf8.hasError() ? latin1Name : decoded;
}

QString FileOffer::safeName(const QString &name)
{
    QString safe = name.mid(name.lastIndexOf(u'/') + 1);
    safe.removeIf([](QChar c) { return c.category() == QChar::Other_Control; });
    if (safe.isEmpty() || safe == u"." || safe == u".." || safe.toUtf8().size() > MaxNameBytes)
        return QString();
    return safe;
}

#include "transfer/fileoffer.h"

#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>
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

QByteArray FileOffer::build(const QString &path, qint64 size)
{
    return buildFor(QFileInfo(path).fileName(), size);
}

QByteArray FileOffer::buildFor(QString name, qint64 size)
{
    name.replace(u'\\', u'_');
    const QByteArray sizeText = (size >= 0 ? " " : "") + QByteArray::number(size);
    // A peer reads the name in its 8-bit character set: Latin-1 shows right there, and only a
    // name that Latin-1 cannot hold goes out as UTF-8.
    const bool latin1 = std::all_of(name.cbegin(), name.cend(), [](QChar c) { return c.unicode() < 0x100; });
    return "FN" + (latin1 ? name.toLatin1() : name.toUtf8()) + '\\' + sizeText;
}

std::optional<qint64> FileOffer::parseSize(const QString &text)
{
    // The sender writes a blank before the number; a peer may end the line after it.
    const QStringView digits = QStringView(text).trimmed();
    if (digits.isEmpty())
        return std::nullopt;
    qint64 size = 0;
    for (const QChar c : digits) {
        const int digit = c.unicode() - u'0';
        if (digit < 0 || digit > 9 || size > (std::numeric_limits<qint64>::max() - digit) / 10)
            return std::nullopt;
        size = size * 10 + digit;
    }
    return size;
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

std::optional<std::pair<QString, qint64>> FileOffer::read(const QString &offer)
{
    const FoundName name = GetFN(offer, 2), sizeText = GetFN(offer, 1);
    if (!name.ok() || !sizeText.ok())
        return std::nullopt;
    const std::optional<qint64> size = parseSize(sizeText.text);
    if (!size || *size < 1)
        return std::nullopt;
    return std::pair(name.text, *size);
}

#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <stdexcept>

// GetFN's failures, as the scan over a 16-bit counter produces them.
class GetFNOverflow : public std::overflow_error
{
public:
    GetFNOverflow() : std::overflow_error("no backslash within 32767 positions") {}
};

class GetFNInvalidArgument : public std::invalid_argument
{
public:
    GetFNInvalidArgument() : std::invalid_argument("backslash before the name") {}
};

// The file offer on the wire: "FN" + name + "\" + size, no framing, 8-bit characters.
class FileOffer
{
public:
    static constexpr int MaxNameBytes = 255;

    static QString GetFN(const QString &text, quint8 mode);

    // The offer for a chosen file: its name without folders, one byte per character (UTF-8 only
    // when Latin-1 cannot hold it), backslashes sent as "_" (they would cut the name on the
    // receiver), and the size as the standard conversion writes it, a blank before a
    // non-negative number.
    static QByteArray build(const QString &path, qint32 size);

    // The size text of an offer: leading blanks skipped, the number read as far as it goes,
    // brought to a 32-bit integer with ties to even. No number gives 0; nullopt when out of range.
    static std::optional<qint32> parseSize(const QString &text);

    // The offered name as the receiver shows it: UTF-8 when the bytes are, Latin-1 otherwise.
    static QString decodeName(const QString &latin1Name);

    // A name that can only name a file in the dialog's own folder, or "" when none is left.
    static QString safeName(const QString &name);
};

#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// What GetFN cut from a text, or which of its two failures the scan over a 16-bit counter ran into.
struct FoundName {
    enum Failure { None, Overflow, InvalidArgument };
    QString text;
    Failure failure = None;
    bool ok() const { return failure == None; }
    bool operator==(const FoundName &) const = default;
};

// The file offer on the wire: "FN" + name + "\" + size, no framing, 8-bit characters.
class FileOffer
{
public:
    static constexpr int MaxNameBytes = 255;

    // Mode 1: the text after the last backslash; 2: between "FN" and the first backslash; else "".
    // Overflow when no backslash lies within 32,767 characters, InvalidArgument when mode 2 finds
    // one before the name.
    static FoundName GetFN(const QString &text, quint8 mode);

    // The offer for a chosen file: its name without folders, one byte per character (UTF-8 only
    // when Latin-1 cannot hold it), backslashes sent as "_" (they would cut the name on the
    // receiver), and the size as the standard conversion writes it, a blank before a
    // non-negative number.
    static QByteArray build(const QString &path, qint64 size);
    // The same for a name as it stands.
    static QByteArray buildFor(QString name, qint64 size);

    // The size text of an offer: blanks around it, decimal digits in between, read exactly as a
    // 63-bit count. A sign, a fraction, an exponent, no digits or an overflow give nothing: such an
    // offer cannot say how many bytes are ours to write.
    static std::optional<qint64> parseSize(const QString &text);

    // The name and size an offer announces; nothing when it is malformed or its size unusable,
    // since an offer without a usable size would make us write whatever arrives.
    static std::optional<std::pair<QString, qint64>> read(const QString &offer);

    // The offered name as the receiver shows it: UTF-8 when the bytes are, Latin-1 otherwise.
    static QString decodeName(const QString &latin1Name);

    // A name that can only name a file in the dialog's own folder, or "" when none is left.
    static QString safeName(const QString &name);
};

#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The control messages as they come off a stream that has no framing. TCP may split them or
// deliver them back to back, so a text is taken message by message: "RC", "OK", "CC" and "SD" are
// two letters each, an offer ("FN"...) runs to the end, and a trailing letter that can still
// become a message waits for the rest. Text that does not split so matches nothing.
class ControlText
{
public:
    struct Split {
        QStringList messages;
        QString offer;
        QString unfinished;
    };
    // Nothing when the text matches nothing.
    static std::optional<Split> split(QStringView text);

    // Where a receiver's "TL" stands among its two-letter messages, or -1.
    static qsizetype answerAt(QStringView text);
};

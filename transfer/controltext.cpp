#include "transfer/controltext.h"

#include <algorithm>
#include <array>

namespace {
constexpr std::array<QStringView, 4> Known = {u"RC", u"OK", u"CC", u"SD"};
}

std::optional<ControlText::Split> ControlText::split(QStringView text)
{
    Split split;
    for (qsizetype at = 0; at < text.size(); at += 2) {
        const QStringView piece = text.sliced(at);
        if (piece.startsWith(u"FN")) {
            split.offer = piece.toString();
            break;
        }
        if (piece.size() == 1) {
            if (piece != u"F" && std::none_of(Known.begin(), Known.end(), [&](QStringView m) { return m.startsWith(piece); }))
                return std::nullopt;
            split.unfinished = piece.toString();
            break;
        }
        const QStringView message = piece.first(2);
        if (std::find(Known.begin(), Known.end(), message) == Known.end())
            return std::nullopt;
        split.messages.append(message.toString());
    }
    return split;
}

qsizetype ControlText::answerAt(QStringView text)
{
    for (qsizetype at = 0; at + 1 < text.size(); at += 2)
        if (text.sliced(at, 2) == u"TL")
            return at;
    return -1;
}

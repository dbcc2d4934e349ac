#pragma once

#include <QString>
#include <QStringList>

// The two settings a transfer window reads each time it needs them, also while the window
// that holds them is unloaded.
struct TransferSettings {
    // Values of XferMode.
    enum : quint8 { NoDirection = 0, Send = 1, Receive = 2 };

    quint8 XferMode = NoDirection;
    // Exactly as typed.
    QString PeerIP;
    // The receiver at PeerIP announced that it speaks privately: it is never served in the clear.
    bool PeerPrivate = false;
    // What to send when it was chosen before the transfer (on the command line, by dropping);
    // empty: the open dialog asks.
    QStringList Paths;
};

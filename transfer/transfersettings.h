#pragma once

#include <QString>

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
};

#pragma once

#include "transfer/privatechannel.h"
#include "transfer/tcpcontrol.h"

#include <QObject>
#include <QTimer>

#include <optional>

// The first moments of a connection, which decide whether it is private:
//   sender -> its probe; receiver -> "TL", then TLS 1.3, and both ends show one code;
//   a receiver that says nothing of "TL" within 2 s is answered "RC" in the clear, its "OK" kept;
//   a sender that says "RC" or offers at once is served in the clear;
//   the channel must stand 10 s after the connection, or the transfer ends; a receiver that heard
//   nothing usable by then lets that connection go and listens again.
class PrivacyOpening : public QObject
{
    Q_OBJECT

public:
    // What a sender keeps of a receiver's words in the clear while it waits for "TL".
    static constexpr qsizetype MaxPreamble = 4096;

    PrivacyOpening(TcpControl &socket, int clearFallbackMs, int privateLimitMs, QObject *parent = nullptr);

    // A sender's connection stands; a receiver that announced privacy is never served in the clear.
    void connected(bool peerPrivate);
    // A receiver took a sender's connection.
    void accepted();
    // What came in the clear while the opening lasts.
    void heard(const QString &read);
    // Everything heard and not yet taken.
    const QString &text() const { return m_text; }
    void stop();

signals:
    // Goes on in the clear with `words`, the messages heard and not yet taken.
    void wentClear(const QString &words);
    void secured(const QString &code);
    void failed();
    // Nothing a sender would say came from whoever connected.
    void abandoned();

private:
    void awaitAnswer();
    void awaitProbe(const QString &held, const QString &read);
    void clearFallbackReached();
    // By value: the words are often the held text, which going clear empties.
    void goClear(QString words);
    void startPrivate(bool asServer);
    void onSecured();
    void privateLimitReached();
    void fail();

    TcpControl &NT;
    bool m_receiving = false;
    bool m_deciding = false;
    // Made anew for each connection that may go private.
    std::optional<PrivateChannel> m_private;
    QString m_text;
    QTimer m_clearFallback;
    QTimer m_privateLimit;
};

#pragma once

#include "app/mainwin.h"
#include "scripteddialog.h"
#include "transfer/procwin.h"

#include <QDeadlineTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

// Waits without qWaitFor's naps, so that thousands of short exchanges stay quick.
template <typename Predicate> bool waitFor(Predicate done, int ms = 3000)
{
    for (QDeadlineTimer deadline(ms);;) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (done())
            return true;
        if (deadline.hasExpired())
            return false;
    }
}

// Makes `window` the active one. Without a window manager a focus request made while the window
// is still being mapped is lost, so it is asked again until it holds.
inline bool activate(QWidget *window)
{
    return QTest::qWaitForWindowExposed(window)
           && waitFor([window] { return window->activateWindow(), QTest::qWaitForWindowActive(window, 200); }, 10000);
}

inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

inline QByteArray randomBytes(int size, quint32 seed = 0)
{
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator(seed ? seed : quint32(size)).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

inline QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline int openFds() { return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System).size(); }

inline bool isOpenHere(const QString &path)
{
    const QString wanted = QFileInfo(path).canonicalFilePath();
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        if (QFile::symLinkTarget(fds.filePath(fd)) == wanted)
            return true;
    return false;
}

// The closing sentence for kilobytes typed as "9.8", in the user's notation.
inline QString finished(QString kb) { return "Finished. (" + kb.replace(u'.', QLocale().decimalPoint()) + " KB)"; }

// Loopback splits nothing, so an offer settles at once; a short wait keeps thousands of runs quick.
inline constexpr TransferTiming QuickTiming{.offerSettleMs = 20};

// A transfer window with settings and a scripted dialog of its own, shown at once.
struct Side {
    MainWin main;
    std::shared_ptr<ScriptedDialog> dg = std::make_shared<ScriptedDialog>();
    ProcWin win;
    Side(quint8 mode, quint16 port, const QString &choice, TransferTiming timing = QuickTiming)
        : win(main, main, port, dg, timing)
    {
        main.XferMode = mode, main.PeerIP = QStringLiteral("127.0.0.1");
        if (!choice.isEmpty())
            dg->choose(choice);
        win.Show();
    }
    bool listening() { return waitFor([this] { return win.NT->State() == TcpControl::Listening; }); }
};

// One window and the test's raw peer for it; `wire` keeps every byte the window sent.
struct RawRig {
    QTemporaryDir dir;
    QByteArray wire;
    QTcpServer server;
    std::unique_ptr<QTcpSocket> peer;
    std::optional<Side> side;
    ProcWin &win() { return side->win; }

    // Up to the window's greeting.
    bool open(quint8 mode, const QString &choice, TransferTiming timing = QuickTiming)
    {
        const bool sending = mode == MainWin::Send;
        const quint16 port = sending && (server.isListening() || server.listen(QHostAddress::LocalHost, 0))
                                 ? server.serverPort()
                                 : freePort();
        side.emplace(mode, port, choice, timing);
        if (!(sending ? waitFor([this] { return server.hasPendingConnections(); }) : side->listening()))
            return false;
        peer.reset(sending ? server.nextPendingConnection() : new QTcpSocket);
        QObject::connect(peer.get(), &QTcpSocket::readyRead, peer.get(), [this] { wire += peer->readAll(); });
        if (!sending)
            peer->connectToHost(QHostAddress::LocalHost, port);
        return waitFor([&] { return wire == (sending ? "RC" : "OK"); });
    }
};

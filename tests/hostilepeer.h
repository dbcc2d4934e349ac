#pragma once

#include "transferrig.h"

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QRegularExpression>

#include <sys/ioctl.h>

// True when the window holds no unread byte, neither in its socket nor in the operating system.
inline bool drained(ProcWin &win)
{
    for (QTcpSocket *own : win.NT->findChildren<QTcpSocket *>()) {
        int inKernel = 0;
        ioctl(int(own->socketDescriptor()), FIONREAD, &inKernel);
        if (own->bytesAvailable() > 0 || inKernel > 0)
            return false;
    }
    return true;
}

// Plays a peer against one transfer window from a script of bytes, for the fuzz target and the
// hostile-peer tests alike. The first byte picks the side (bit 0 set: the window sends) and how far
// a proper exchange goes before the script takes over (bits 1 and 2: before the offer, at the offer,
// during the file, after it); the next two give the file's size. The rest are blocks, each a length
// byte and up to that many bytes plus one, written whole and taken by the window before the next
// goes. Then the peer closes, and every rule of an ending is checked.
class HostilePeer
{
public:
    enum Stage { BeforeOffer, AtOffer, DuringFile, AfterFile };

    static QByteArray script(bool sending, Stage stage, quint16 size, const QByteArray &blocks)
    {
        return char(int(sending) | stage << 1) + QByteArray(1, char(size >> 8)) + char(size & 0xff) + blocks;
    }

    // What broke a rule, or nothing.
    static QString play(QByteArrayView script)
    {
        if (script.size() < 3)
            return {};
        HostilePeer peer(script);
        const QString cwd = QDir::currentPath();
        // A relative path written by mistake would land in the sandbox and be seen.
        QDir::setCurrent(peer.m_dir.path());
        QString broken = peer.m_sending ? peer.playSender() : peer.playReceiver();
        if (broken.isEmpty())
            broken = peer.end();
        QDir::setCurrent(cwd);
        return broken;
    }

private:
    explicit HostilePeer(QByteArrayView script)
        : m_sending(script[0] & 1)
        , m_stage(Stage((script[0] >> 1) & 3))
        , m_size(1 + (uchar(script[1]) << 8 | uchar(script[2])) % (3 * ProcWin::ChunkSize))
        , m_content(randomBytes(m_size))
    {
        for (QByteArrayView rest = script.sliced(3); !rest.isEmpty();) {
            const qsizetype length = qMin(rest.size() - 1, qsizetype(uchar(rest[0])) + 1);
            m_blocks.append(rest.sliced(1, length).toByteArray());
            rest = rest.sliced(1 + length);
        }
        QDir(m_dir.path()).mkdir(QStringLiteral("chosen"));
    }

    // Waits without qWaitFor's naps, so that a fuzzer gets through many scripts a second.
    template <typename Predicate> static bool until(Predicate done, int ms = 3000)
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

    ProcWin &win() { return m_side->win; }
    bool ended() { return win().CDBut->text() == u"Done"; }
    void listenTo(QTcpSocket *socket)
    {
        socket->setParent(nullptr);
        m_peer.reset(socket);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this] { m_wire += m_peer->readAll(); });
    }

    QString playReceiver()
    {
        const quint16 port = freePort();
        m_side.emplace(MainWin::Receive, port, QString());
        // The person keeps the offered name, or types one when none is preset, in the folder they chose.
        m_side->dg->whileOpen = [this] {
            const QString name = m_side->dg->FileName.isEmpty() ? QStringLiteral("unnamed") : m_side->dg->FileName;
            m_side->dg->choose(m_dir.filePath(QStringLiteral("chosen/") + name));
        };
        if (!until([this] { return win().NT->State() == TcpControl::Listening; }))
            return QStringLiteral("the receiver does not listen");
        listenTo(new QTcpSocket);
        m_peer->connectToHost(QHostAddress::LocalHost, port);
        if (!until([this] { return m_wire == "OK"; }))
            return QStringLiteral("no greeting");
        if (m_stage == AtOffer && m_blocks.isEmpty())
            m_blocks.append("FN");
        else if (m_stage == AtOffer)
            m_blocks.first().prepend("FN");
        if (m_stage >= AtOffer)
            m_peer->write("RC");
        if (m_stage >= DuringFile) {
            m_peer->write("FNdata.bin\\ " + QByteArray::number(m_size));
            if (!until([this] { return m_wire == "OKSD"; }))
                return QStringLiteral("the offer is not taken");
            m_data = m_stage == AfterFile ? m_content : m_blocks.join();
        }
        if (m_stage == AfterFile) {
            m_peer->write(m_content);
            if (!until([this] { return ended(); }))
                return QStringLiteral("the file does not finish");
        }
        return feed();
    }

    QString playSender()
    {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        m_source = m_dir.filePath(QStringLiteral("source.bin"));
        writeFile(m_source, m_content);
        m_side.emplace(MainWin::Send, server.serverPort(), m_source);
        if (!until([&] { return server.hasPendingConnections(); }))
            return QStringLiteral("the sender does not connect");
        listenTo(server.nextPendingConnection());
        m_offer = "FNsource.bin\\ " + QByteArray::number(m_size);
        if (!until([this] { return m_wire == "RC"; }))
            return QStringLiteral("no greeting");
        if (m_stage >= AtOffer) {
            m_peer->write("OK");
            if (!until([this] { return m_wire == "RC" + m_offer; }))
                return QStringLiteral("no offer");
        }
        if (m_stage >= DuringFile) {
            m_peer->write("SD");
            if (!until([this] { return win().BytesDone > 0; }))
                return QStringLiteral("the pump does not start");
        }
        if (m_stage == AfterFile && !until([this] { return ended(); }))
            return QStringLiteral("the file does not finish");
        return feed();
    }

    // Each block goes once the window has taken the one before, or has stopped reading.
    QString feed()
    {
        for (const QByteArray &block : std::as_const(m_blocks)) {
            m_peer->write(block);
            until([this] {
                if (m_peer->bytesToWrite() > 0)
                    return false;
                if (ended() || win().XferState >= ProcWin::ReadyForChunk)
                    return true;
                return drained(win());
            }, 1000);
        }
        return {};
    }

    QString end()
    {
        static const QRegularExpression ending(QStringLiteral(
            R"(^(Finished\. \(\d+([.,]\d)? KB\)|Error ! Connection closed by (reciever|sender)\.|)"
            R"(Error ! Could not (read|write) file\.|(No file selected|Zero length file|File too large|)"
            R"(Could not read file)\. Connection cancelled\.|Saving file cancelled\. Connection closed\.)$)"));
        m_peer->disconnectFromHost();
        if (!until([this] { return ended(); }))
            return "no end: " + win().StatBox->text();
        if (!ending.match(win().StatBox->text()).hasMatch())
            return "ends with " + win().StatBox->text();

        QStringList written;
        for (QDirIterator it(m_dir.path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
             it.hasNext();)
            written << QDir(m_dir.path()).relativeFilePath(it.next());
        if (m_sending) {
            if (written != QStringList{QStringLiteral("source.bin")})
                return "written: " + written.join(u' ');
            // After the greeting only the offer and bytes really read from the file may go out.
            const QByteArray data = m_wire.sliced(qMin(m_wire.size(), 2 + m_offer.size()));
            if (!m_wire.startsWith("RC") || (m_wire.size() > 2 && !m_wire.startsWith("RC" + m_offer))
                || !m_content.startsWith(data))
                return QStringLiteral("sent %1 bytes that are not the file's").arg(m_wire.size());
            if (isOpenHere(m_source))
                return QStringLiteral("the source stays open");
        } else {
            if (written.size() > 1 || (!written.isEmpty() && written.first().count(u'/') != 1))
                return "written outside the chosen folder: " + written.join(u' ');
            if (!written.isEmpty()) {
                const QString target = m_dir.filePath(written.first());
                const QByteArray got = contentOf(target);
                if (got.size() > win().FileSize || got.size() != win().BytesDone)
                    return QStringLiteral("wrote %1 of %2 announced").arg(got.size()).arg(win().FileSize);
                if (m_stage >= DuringFile && !m_data.startsWith(got))
                    return QStringLiteral("the target is not the data sent");
                if (isOpenHere(target))
                    return QStringLiteral("the target stays open");
            }
        }
        win().CDBut->click();
        return win().isLoaded() ? QStringLiteral("Done does not close the window") : QString();
    }

    QTemporaryDir m_dir;
    const bool m_sending;
    const Stage m_stage;
    const qint32 m_size;
    const QByteArray m_content;
    QList<QByteArray> m_blocks;
    QByteArray m_wire, m_offer, m_data;
    QString m_source;
    std::unique_ptr<QTcpSocket> m_peer;
    std::optional<Side> m_side;
};

#pragma once

#include "exchangerig.h"
#include "transfer/paxreader.h"

#include <QDirIterator>
#include <QRegularExpression>

#include <fcntl.h>

// Plays a peer against one transfer from a script of bytes, for the fuzz target and the
// hostile-peer tests alike. The first byte picks the side (bit 0 set: the transfer sends) and how far
// a proper exchange goes before the script takes over (bits 1 and 2: before the offer, at the offer,
// during the file, after it), or, when its bits 3 to 7 are all set, has the peer speak the probe or
// answer it with "TL" and then send the script where TLS belongs; the next two give the file's size. The rest are blocks, each a length
// byte and up to that many bytes plus one, written whole and taken by the transfer before the next
// goes. Then the peer closes, and every rule of an ending is checked.
class HostilePeer
{
public:
    // Private sets bits 3 to 7 of the first byte.
    enum Stage { BeforeOffer, AtOffer, DuringFile, AfterFile, Private = 0x7c };

    static QByteArray script(bool sending, Stage stage, quint16 size, const QByteArray &blocks)
    {
        return char(int(sending) | stage << 1) + QByteArray(1, char(size >> 8)) + char(size & 0xff) + blocks;
    }

    // What broke a rule, or nothing.
    static QString play(QByteArrayView script)
    {
        if (!script.isEmpty() && uchar(script[0]) == 0xfe)
            return unpack(script.sliced(1));
        if (script.size() < 3)
            return {};
        HostilePeer peer(script);
        const QString cwd = QDir::currentPath();
        // A relative path written by mistake would land in the sandbox and be seen.
        QDir::setCurrent(peer.m_rig.dir.path());
        QString broken = peer.m_sending ? peer.playSender() : peer.playReceiver();
        if (broken.isEmpty())
            broken = peer.end();
        QDir::setCurrent(cwd);
        return broken;
    }

    // The rest of a script as a bundle's stream, in pieces of up to 512 bytes: whatever it holds,
    // nothing appears outside the folder it is unpacked into.
    static QString unpack(QByteArrayView stream)
    {
        QTemporaryDir dir;
        QDir(dir.path()).mkdir(QStringLiteral("in"));
        {
            // Announced as long as it is, as a transfer would have it.
            PaxReader reader(::open(QFile::encodeName(dir.filePath(QStringLiteral("in"))).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC),
                             stream.size(), QStringLiteral("box"));
            for (qsizetype at = 0; at < stream.size(); at += 512)
                reader.feed(stream.data() + at, qMin<qsizetype>(512, stream.size() - at));
        }
        const QStringList beside = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        return beside == QStringList{QStringLiteral("in")} ? QString() : "written beside the folder: " + beside.join(u' ');
    }

private:
    explicit HostilePeer(QByteArrayView script)
        : m_sending(script[0] & 1)
        , m_stage(Stage((script[0] >> 1) & 3))
        , m_private(uchar(script[0]) >> 3 == 0x1f)
        , m_size(1 + (uchar(script[1]) << 8 | uchar(script[2])) % (3 * 4096))
        , m_content(randomBytes(m_size))
    {
        for (QByteArrayView rest = script.sliced(3); !rest.isEmpty();) {
            const qsizetype length = qMin(rest.size() - 1, qsizetype(uchar(rest[0])) + 1);
            m_blocks.append(rest.sliced(1, length).toByteArray());
            rest = rest.sliced(1 + length);
        }
        QDir(m_rig.dir.path()).mkdir(QStringLiteral("chosen"));
    }

    Party &side() { return *m_rig.side; }
    Transfer &transfer() { return m_rig.side->transfer; }
    bool ended() { return side().ended; }
    // The transfer counts what it was told of: once every byte sent is announced, none waits unseen.
    bool open(quint8 mode, const QString &choice)
    {
        // A sender that is to hear "TL" must not have given up on it first.
        if (m_private ? !m_rig.reach(mode, choice, QuickTiming) : !m_rig.open(mode, choice))
            return false;
        QObject::connect(transfer().NT, &TcpControl::DataArrival, &transfer(), [this](qint32 count) { m_heard += count; });
        return true;
    }
    void send(const QByteArray &bytes) { m_sent += bytes.size(), m_rig.peer->write(bytes); }

    QString playReceiver()
    {
        if (!open(TransferSettings::Receive, QString()) || (m_private && !waitFor([this] { return m_rig.wire == "OK"; })))
            return QStringLiteral("no greeting");
        if (m_private) {
            send(PeerIdentity::a().probe());
            return waitFor([this] { return m_rig.wire == "OKTL"; }) ? feed() : QStringLiteral("the probe is not answered");
        }
        // The person keeps the offered name, or types one when none is offered, in the folder they chose.
        ScriptedChooser &chooser = side().chooser;
        chooser.whileOpen = [this, &chooser] {
            const QString name = chooser.shown.last().name;
            chooser.choose(m_rig.dir.filePath("chosen/" + (name.isEmpty() ? QStringLiteral("unnamed") : name)));
        };
        if (m_stage == AtOffer)
            m_blocks.isEmpty() ? m_blocks.append("FN") : void(m_blocks.first().prepend("FN"));
        if (m_stage >= AtOffer)
            send("RC");
        if (m_stage >= DuringFile) {
            send("FNdata.bin\\ " + QByteArray::number(m_size));
            if (!waitFor([this] { return m_rig.wire == "OKSD"; }))
                return QStringLiteral("the offer is not taken");
            m_data = m_stage == AfterFile ? m_content : m_blocks.join();
        }
        if (m_stage == AfterFile) {
            send(m_content);
            if (!waitFor([this] { return ended(); }))
                return QStringLiteral("the file does not finish");
        }
        return feed();
    }

    QString playSender()
    {
        m_source = m_rig.dir.filePath(QStringLiteral("source.bin"));
        m_offer = "FNsource.bin\\ " + QByteArray::number(m_size);
        if (!writeFile(m_source, m_content) || !open(TransferSettings::Send, m_source))
            return QStringLiteral("no greeting");
        if (m_private) {
            if (!waitFor([this] { return isProbe(m_rig.probe); }))
                return QStringLiteral("no probe");
            send("TL");
            return feed();
        }
        if (m_stage >= AtOffer) {
            send("OK");
            if (!waitFor([this] { return m_rig.wire == "RC" + m_offer; }))
                return QStringLiteral("no offer");
        }
        if (m_stage >= DuringFile) {
            send("SD");
            if (!waitFor([this] { return transfer().BytesDone > 0; }))
                return QStringLiteral("the pump does not start");
        }
        if (m_stage == AfterFile && !waitFor([this] { return ended(); }))
            return QStringLiteral("the file does not finish");
        return feed();
    }

    // Each block goes once the transfer has taken the one before, or has stopped reading.
    QString feed()
    {
        for (const QByteArray &block : std::as_const(m_blocks)) {
            send(block);
            waitFor([this] {
                // Bytes where TLS belongs are TLS's to take, and announce nothing.
                return m_rig.peer->bytesToWrite() == 0
                       && (ended() || transfer().XferState >= Transfer::ReadyForChunk || m_heard >= m_sent
                           || transfer().NT->privateStarted());
            }, 1000);
        }
        return {};
    }

    QString end()
    {
        static const QRegularExpression ending(QStringLiteral(
            R"(^(Finished\. \(\d+([.,]\d)? KB\)|Error ! Connection closed by (reciever|sender)\.|)"
            R"(Error ! Could not (read|write) file\.|(No file selected|Zero length file|)"
            R"(Could not read file)\. Connection cancelled\.|Saving file cancelled\. Connection closed\.|)"
            R"(Error ! The connection could not be made private\.)$)"));
        m_rig.peer->disconnectFromHost();
        if (!waitFor([this] { return ended(); }))
            return "no end: " + side().status;
        if (!ending.match(side().status).hasMatch())
            return "ends with " + side().status;

        QStringList written;
        for (QDirIterator it(m_rig.dir.path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
             it.hasNext();)
            written << QDir(m_rig.dir.path()).relativeFilePath(it.next());
        if (m_sending) {
            if (written != QStringList{QStringLiteral("source.bin")})
                return "written: " + written.join(u' ');
            // Nothing of the file goes out where TLS did not stand.
            if (m_private && (m_rig.wire.contains(m_offer) || side().title != u"Veltrane"))
                return "the file was offered: " + side().title;
            // After the greeting only the offer and bytes really read from the file may go out.
            const QByteArray data = m_rig.wire.sliced(qMin(m_rig.wire.size(), 2 + m_offer.size()));
            if (!m_private && (!m_rig.wire.startsWith("RC") || (m_rig.wire.size() > 2 && !m_rig.wire.startsWith("RC" + m_offer))
                               || !m_content.startsWith(data)))
                return QStringLiteral("sent %1 bytes that are not the file's").arg(m_rig.wire.size());
            if (isOpenHere(m_source))
                return QStringLiteral("the source stays open");
        } else {
            if (written.size() > 1 || (!written.isEmpty() && written.first().count(u'/') != 1))
                return "written outside the chosen folder: " + written.join(u' ');
            if (!written.isEmpty()) {
                const QString target = m_rig.dir.filePath(written.first());
                const QByteArray got = contentOf(target);
                if (got.size() > transfer().FileSize || got.size() != transfer().BytesDone)
                    return QStringLiteral("wrote %1 of %2 announced").arg(got.size()).arg(transfer().FileSize);
                if (m_stage >= DuringFile && !m_data.startsWith(got))
                    return QStringLiteral("the target is not the data sent");
                if (isOpenHere(target))
                    return QStringLiteral("the target stays open");
            }
        }
        // What the person's Done does: the connection goes, and nothing more is said.
        const QString said = side().status;
        transfer().stop();
        if (transfer().NT->State() != TcpControl::Closed)
            return QStringLiteral("stop leaves the connection open");
        return waitFor([this, &said] { return side().status != said; }, 0) ? "ends again with " + side().status : QString();
    }

    RawRig m_rig;
    const bool m_sending;
    const Stage m_stage;
    const bool m_private;
    const qint64 m_size;
    const QByteArray m_content;
    QList<QByteArray> m_blocks;
    QByteArray m_offer, m_data;
    QString m_source;
    qint64 m_sent = 0, m_heard = 0;
};

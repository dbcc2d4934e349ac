#pragma once

#include "transferrig.h"

#include <QDirIterator>
#include <QRegularExpression>

#include <fcntl.h>

// Plays a peer against one transfer window from a script of bytes, for the fuzz target and the
// hostile-peer tests alike. The first byte picks the side (bit 0 set: the window sends) and how far
// a proper exchange goes before the script takes over (bits 1 and 2: before the offer, at the offer,
// during the file, after it), or, when its bits 3 to 7 are all set, has the peer speak the probe or
// answer it with "TL" and then send the script where TLS belongs; the next two give the file's size. The rest are blocks, each a length
// byte and up to that many bytes plus one, written whole and taken by the window before the next
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
            // Announced as long as it is, as a window would have it.
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

    ProcWin &win() { return m_rig.win(); }
    bool ended() { return win().CDBut->text() == u"Done"; }
    // The window counts what it was told of: once every byte sent is announced, none waits unseen.
    bool open(quint8 mode, const QString &choice)
    {
        // A sender that is to hear "TL" must not have given up on it first.
        if (m_private ? !m_rig.reach(mode, choice, QuickTiming) : !m_rig.open(mode, choice))
            return false;
        QObject::connect(win().NT, &TcpControl::DataArrival, &win(), [this](qint32 count) { m_heard += count; });
        return true;
    }
    void send(const QByteArray &bytes) { m_sent += bytes.size(), m_rig.peer->write(bytes); }

    QString playReceiver()
    {
        if (!open(MainWin::Receive, QString()) || (m_private && !waitFor([this] { return m_rig.wire == "OK"; })))
            return QStringLiteral("no greeting");
        if (m_private) {
            send(PeerIdentity::a().probe());
            return waitFor([this] { return m_rig.wire == "OKTL"; }) ? feed() : QStringLiteral("the probe is not answered");
        }
        // The person keeps the offered name, or types one when none is preset, in the folder they chose.
        ScriptedDialog &dg = *m_rig.side->dg;
        dg.whileOpen = [this, &dg] {
            dg.choose(m_rig.dir.filePath("chosen/" + (dg.FileName.isEmpty() ? QStringLiteral("unnamed") : dg.FileName)));
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
        if (!writeFile(m_source, m_content) || !open(MainWin::Send, m_source))
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
            if (!waitFor([this] { return win().BytesDone > 0; }))
                return QStringLiteral("the pump does not start");
        }
        if (m_stage == AfterFile && !waitFor([this] { return ended(); }))
            return QStringLiteral("the file does not finish");
        return feed();
    }

    // Each block goes once the window has taken the one before, or has stopped reading.
    QString feed()
    {
        for (const QByteArray &block : std::as_const(m_blocks)) {
            send(block);
            waitFor([this] {
                // Bytes where TLS belongs are TLS's to take, and announce nothing.
                return m_rig.peer->bytesToWrite() == 0
                       && (ended() || win().XferState >= ProcWin::ReadyForChunk || m_heard >= m_sent
                           || win().NT->privateStarted());
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
            return "no end: " + win().StatBox->text();
        if (!ending.match(win().StatBox->text()).hasMatch())
            return "ends with " + win().StatBox->text();

        QStringList written;
        for (QDirIterator it(m_rig.dir.path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
             it.hasNext();)
            written << QDir(m_rig.dir.path()).relativeFilePath(it.next());
        if (m_sending) {
            if (written != QStringList{QStringLiteral("source.bin")})
                return "written: " + written.join(u' ');
            // Nothing of the file goes out where TLS did not stand.
            if (m_private && (m_rig.wire.contains(m_offer) || win().Caption() != u"Veltrane"))
                return "the file was offered: " + win().Caption();
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

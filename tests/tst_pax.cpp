#include "tarblocks.h"
#include "treefixture.h"
#include "transfer/paxreader.h"
#include "transfer/paxwriter.h"

#include <QDirIterator>
#include <QProcess>

#include <fcntl.h>
#include <linux/perf_event.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
// The folder as the receiving side hands it over.
int folderAt(const QString &path) { return open(local(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

QByteArray drain(PaxWriter &writer)
{
    QByteArray stream, buffer(256 * 1024, '\0');
    for (qint64 n; (n = writer.read(buffer.data(), buffer.size())) > 0;)
        stream.append(buffer.constData(), n);
    return stream;
}

// Pieces of one to three bytes and of up to 150 KB, mixed, so every boundary gets split somewhere.
PaxReader::Result feedPieces(PaxReader &reader, const QByteArray &stream, quint32 seed)
{
    QRandomGenerator random(seed);
    PaxReader::Result result = PaxReader::Going;
    for (qint64 at = 0; at < stream.size() && result == PaxReader::Going;) {
        const qint64 piece = std::min<qint64>(random.bounded(2) ? random.bounded(1, 4) : random.bounded(1, 150000), stream.size() - at);
        result = reader.feed(stream.constData() + at, piece);
        at += piece;
    }
    return result;
}

QByteArray run(const QString &program, const QStringList &arguments, const QByteArray &input = {})
{
    QProcess process;
    process.setEnvironment(QProcess::systemEnvironment() << u"LC_ALL=C.UTF-8"_s);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return "failed: " + process.readAllStandardError();
    return process.readAllStandardOutput();
}

// A pax header of one record, "<length> key=value\n", the length counting its own digits.
QByteArray pax(const QByteArray &keyValue)
{
    qsizetype length = keyValue.size() + 3;
    while (QByteArray::number(length).size() + keyValue.size() + 2 != length)
        length = QByteArray::number(length).size() + keyValue.size() + 2;
    return padded(header("PaxHeaders/x", 'x', length) + QByteArray::number(length) + ' ' + keyValue + '\n');
}
const QByteArray End(1024, '\0');

// An entry with its own mode and time; a name too long for ustar goes in a pax record.
QByteArray entry(const QByteArray &name, char type, quint32 mode, qint64 mtime, const QByteArray &content = {})
{
    QByteArray block = header(name.size() <= 100 ? name : "long", type, content.size());
    block.replace(100, 7, QByteArray::number(mode, 8).rightJustified(7, '0'));
    block.replace(136, 11, QByteArray::number(mtime, 8).rightJustified(11, '0'));
    return (name.size() > 100 ? pax("path=" + name) : QByteArray()) + sealed(block) + padded(content);
}

// The process's umask for the span of a test.
struct Umask {
    explicit Umask(mode_t mask) : saved(umask(mask)) {}
    ~Umask() { umask(saved); }
    const mode_t saved;
};

// "<name> <mode> <time>" of what `fd` is, the time left out when not asked for.
QString modeAndTime(int fd, const QString &name, bool time = true)
{
    struct stat st {};
    fstat(fd, &st);
    return name + u' ' + QString::number(st.st_mode & 07777, 8) + (time ? u' ' + QString::number(st.st_mtim.tv_sec) : QString());
}
const QByteArray Escape = "/tmp/veltrane-pax-escape";

// Counts the system calls this thread makes while it lives, through the kernel's own tracepoint.
struct SyscallCount {
    const int fd = [] {
        perf_event_attr attr{};
        attr.type = PERF_TYPE_TRACEPOINT, attr.size = sizeof attr;
        attr.config = contentOf(u"/sys/kernel/tracing/events/raw_syscalls/sys_enter/id"_s).trimmed().toULongLong();
        return int(syscall(SYS_perf_event_open, &attr, 0, -1, -1, PERF_FLAG_FD_CLOEXEC));
    }();
    ~SyscallCount() { close(fd); }
    qint64 made() const
    {
        quint64 count = 0;
        return fd >= 0 && read(fd, &count, sizeof count) == sizeof count ? qint64(count) : -1;
    }
};
}

class tst_Pax : public QObject
{
    Q_OBJECT

private slots:
    void archiversListAndUnpackWhatWeWrite_data()
    {
        QTest::addColumn<QString>("program");
        QTest::newRow("GNU tar") << u"tar"_s;
        QTest::newRow("bsdtar") << u"bsdtar"_s;
    }
    void archiversListAndUnpackWhatWeWrite()
    {
        QFETCH(QString, program);
        QTemporaryDir source, target;
        makeTrip(source.path());
        PaxWriter writer({source.filePath(u"Trip"_s)});
        QVERIFY2(writer.isValid(), qPrintable(writer.errorString()));
        const QByteArray stream = drain(writer);
        QCOMPARE(stream.size(), writer.size());
        QStringList listed = QString::fromUtf8(run(program, {u"-tf"_s, u"-"_s}, stream)).split(u'\n', Qt::SkipEmptyParts), names;
        for (const QString &line : manifest(source.path()))
            names << line.section(u'\t', 0, 0) + (line.section(u'\t', 1).startsWith(u"40"_s) ? u"/"_s : QString());
        listed.sort(), names.sort();
        QCOMPARE(listed, names);
        QCOMPARE(run(program, {u"-xpf"_s, u"-"_s, u"-C"_s, target.path()}, stream), QByteArray());
        QCOMPARE(manifest(target.path()), manifest(source.path()));
    }

    void readerUnpacksWhatArchiversWriteFedInAnyPieces_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("format");
        QTest::newRow("GNU tar pax") << u"tar"_s << QStringList{u"--format=pax"_s};
        QTest::newRow("GNU tar gnu, long names as entries") << u"tar"_s << QStringList{u"--format=gnu"_s};
        QTest::newRow("bsdtar pax") << u"bsdtar"_s << QStringList{u"--format"_s, u"pax"_s};
    }
    void readerUnpacksWhatArchiversWriteFedInAnyPieces()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, format);
        QTemporaryDir source, target;
        makeTrip(source.path());
        const QByteArray stream = run(program, format + QStringList{u"-cf"_s, u"-"_s, u"-C"_s, source.path(), u"Trip"_s});
        QVERIFY2(!stream.startsWith("failed"), stream.constData());
        // What archivers write fits the budget of its own length, as ours does.
        PaxReader reader(folderAt(target.path()), stream.size());
        QCOMPARE(feedPieces(reader, stream, 7), PaxReader::Going);
        QVERIFY(reader.complete());
        QCOMPARE(manifest(target.path()), manifest(source.path()));
    }

    void roundTripPutsTheOneFolderStraightIntoTheTarget()
    {
        QTemporaryDir source, target, several;
        makeTrip(source.path());
        const QString trip = source.filePath(u"Trip"_s);
        QCOMPARE(PaxWriter::bundleName({trip}), u"Trip"_s);
        // What is there already under an entry's name is replaced, never followed; the rest stays.
        QVERIFY(writeFile(source.filePath(u"outside"_s), "theirs") && writeFile(target.filePath(u"mine.txt"_s), "mine"));
        QVERIFY(writeFile(target.filePath(u"big.bin"_s), randomBytes(5 << 20)));
        QVERIFY(QFile::link(source.filePath(u"outside"_s), target.filePath(u"run.sh"_s)));
        const QString mine = manifest(target.path()).filter(u"mine.txt"_s).value(0);
        PaxWriter writer({trip});
        PaxReader reader(folderAt(target.path()), writer.size(), u"Trip"_s);
        QByteArray buffer(256 * 1024, '\0');
        qint64 n, total = 0;
        while ((n = writer.read(buffer.data(), buffer.size())) > 0) {
            QCOMPARE(reader.feed(buffer.constData(), n), PaxReader::Going);
            total += n;
        }
        QCOMPARE(n, 0);
        QCOMPARE(total, writer.size());
        QVERIFY(reader.complete());
        QCOMPARE(contentOf(source.filePath(u"outside"_s)), "theirs");
        QStringList expected = manifest(trip) << mine;
        expected.sort();
        QCOMPARE(manifest(target.path()), expected);

        // Several items sit side by side at the top; the bundle takes the name of their folder.
        const QStringList chosen{trip + u"/run.sh"_s, trip + u"/a b"_s};
        QCOMPARE(PaxWriter::bundleName(chosen), u"Trip"_s);
        PaxWriter writerOfTwo(chosen);
        PaxReader readerOfTwo(folderAt(several.path()), writerOfTwo.size());
        QCOMPARE(feedPieces(readerOfTwo, drain(writerOfTwo), 3), PaxReader::Going);
        QVERIFY(readerOfTwo.complete());
        const QStringList both = manifest(trip).filter(QRegularExpression(u"^(run\\.sh|a b)[\t/]"_s));
        QCOMPARE(manifest(several.path()), both);
    }

    void choicesThatCannotBeReadAreRefused()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath(u"one"_s), "1");
        QDir(dir.path()).mkpath(u"sub"_s);
        writeFile(dir.filePath(u"sub/one"_s), "2");
        QVERIFY(PaxWriter({dir.filePath(u"one"_s)}).isValid());
        QVERIFY(!PaxWriter({dir.filePath(u"missing"_s)}).isValid());
        QVERIFY(PaxWriter({dir.filePath(u"missing"_s)}).errorString().contains(u"missing"_s));
        // Both would land on one name on the receiver.
        QVERIFY(!PaxWriter({dir.filePath(u"one"_s), dir.filePath(u"sub/one"_s)}).isValid());
    }

    void namesAReceiverWouldRefuseAreRefusedWhenMeasured_data()
    {
        QTest::addColumn<QStringList>("chosen");
        QTest::addColumn<QString>("refused");
        // Trip/ holds sub/, sub/file, top (a file) and, per row, one entry more made below.
        QTest::newRow("a file named Icon\\r") << QStringList{u"Trip"_s} << u"Trip/Icon\r"_s;
        QTest::newRow("a folder with a tab, refused before what it holds") << QStringList{u"Trip"_s} << u"Trip/a\tb"_s;
        QTest::newRow("an absolute link") << QStringList{u"Trip"_s} << u"Trip/sub/abs"_s;
        QTest::newRow("../x at the top of the one chosen folder") << QStringList{u"Trip"_s} << u"Trip/up"_s;
        QTest::newRow("../x one folder down") << QStringList{u"Trip"_s} << QString();
        QTest::newRow("../x at the top of several chosen items") << QStringList{u"Trip/up"_s, u"Trip/top"_s} << u"up"_s;
        QTest::newRow("../x one down among several chosen items") << QStringList{u"Trip/sub"_s, u"Trip/top"_s} << QString();
        QTest::newRow("sub/../.. reaching out through a name") << QStringList{u"Trip"_s} << u"Trip/sub/back"_s;
    }
    void namesAReceiverWouldRefuseAreRefusedWhenMeasured()
    {
        QFETCH(QStringList, chosen);
        QFETCH(QString, refused);
        QTemporaryDir dir;
        QDir(dir.path()).mkpath(u"Trip/sub"_s);
        QVERIFY(writeFile(dir.filePath(u"Trip/sub/file"_s), "f") && writeFile(dir.filePath(u"Trip/top"_s), "t"));
        const QByteArray tag = QTest::currentDataTag();
        if (tag.startsWith("a file named"))
            QVERIFY(writeFile(dir.filePath(u"Trip/Icon\r"_s), ""));
        if (tag.startsWith("a folder with"))
            QVERIFY(QDir(dir.path()).mkpath(u"Trip/a\tb/inside"_s));
        if (tag.startsWith("an absolute"))
            QCOMPARE(symlink("/etc", local(dir.filePath(u"Trip/sub/abs"_s))), 0);
        if (tag.startsWith("../x at the top"))
            QCOMPARE(symlink("../x", local(dir.filePath(u"Trip/up"_s))), 0);
        if (tag.startsWith("../x one"))
            QCOMPARE(symlink("../top", local(dir.filePath(u"Trip/sub/up"_s))), 0);
        if (tag.startsWith("sub/../.."))
            QCOMPARE(symlink("../sub/../..", local(dir.filePath(u"Trip/sub/back"_s))), 0);
        for (QString &path : chosen)
            path = dir.filePath(path);

        PaxWriter writer(chosen);
        QCOMPARE(writer.refusedName(), refused);
        QCOMPARE(writer.isValid(), refused.isEmpty());
        if (!refused.isEmpty()) {
            // The whole local path, its control characters escaped, never raw.
            const QString shown = QString(refused).replace(u'\r', u"\\r"_s).replace(u'\t', u"\\t"_s);
            QVERIFY2(writer.errorString().endsWith(shown + u": a receiver would refuse its name"_s), qPrintable(writer.errorString()));
            QVERIFY(writer.errorString().startsWith(dir.path()));
            QVERIFY(!writer.errorString().contains(u'\r') && !writer.errorString().contains(u'\t'));
            return;
        }
        // What is allowed, the receiver takes whole: its own rules agree.
        QTemporaryDir target;
        PaxReader reader(folderAt(target.path()), writer.size(), chosen.size() == 1 ? u"Trip"_s : QString());
        QCOMPARE(feedPieces(reader, drain(writer), 5), PaxReader::Going);
        QVERIFY(reader.complete());
        QVERIFY(QFileInfo(target.filePath(chosen.size() == 1 ? u"sub/up"_s : u"sub/file"_s)).exists());
    }

    void fileSwappedWhileTheStreamRunsIsNotSent_data()
    {
        QTest::addColumn<bool>("folderForLink");
        QTest::newRow("a folder swapped for a link to one holding the same name and size") << true;
        QTest::newRow("a file swapped for another of the same size") << false;
    }
    void fileSwappedWhileTheStreamRunsIsNotSent()
    {
        QFETCH(bool, folderForLink);
        QTemporaryDir dir;
        QDir(dir.path()).mkpath(u"Trip/private"_s), QDir(dir.path()).mkpath(u"other"_s);
        const QByteArray chosen = randomBytes(4000, 1), secret = randomBytes(4000, 2);
        QVERIFY(writeFile(dir.filePath(u"Trip/a.bin"_s), randomBytes(1 << 20, 3)));
        QVERIFY(writeFile(dir.filePath(u"Trip/private/notes.txt"_s), chosen));
        QVERIFY(writeFile(dir.filePath(u"other/notes.txt"_s), secret));
        PaxWriter writer({dir.filePath(u"Trip"_s)});
        QVERIFY(writer.isValid());
        QByteArray buffer(64 * 1024, '\0');
        QByteArray stream(buffer.constData(), writer.read(buffer.data(), buffer.size()));
        QCOMPARE(stream.size(), buffer.size());
        if (folderForLink) {
            QVERIFY(QDir(dir.path()).rename(u"Trip/private"_s, u"old"_s));
            QCOMPARE(symlink(local(dir.filePath(u"other"_s)), local(dir.filePath(u"Trip/private"_s))), 0);
        } else {
            QCOMPARE(::rename(local(dir.filePath(u"other/notes.txt"_s)), local(dir.filePath(u"Trip/private/notes.txt"_s))), 0);
        }
        qint64 n;
        while ((n = writer.read(buffer.data(), buffer.size())) > 0)
            stream.append(buffer.constData(), n);
        QCOMPARE(n, -1);
        QVERIFY(!stream.contains(secret.left(512)));
        QVERIFY(!isOpenHere(dir.filePath(u"Trip/private/notes.txt"_s)));
        // Measured anew, the same tree goes whole, folders and all.
        if (!folderForLink) {
            PaxWriter again({dir.filePath(u"Trip"_s)});
            QVERIFY(drain(again).contains(secret));
        }
    }

    void hostileArchiveStopsWithNothingOutsideAndEarlierEntriesKept_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<int>("expected");
        QTest::addColumn<QStringList>("made");
        const int unsafe = PaxReader::Unsafe, malformed = PaxReader::Malformed;
        QByteArray badChecksum = file("x.txt", "x");
        badChecksum[0] = 'y';
        QByteArray badOctal = file("x.txt", "x");
        badOctal.replace(124, 11, "0000000009z");
        QTest::newRow("../escape") << file("../escape", "x") << unsafe << QStringList();
        QTest::newRow("a/../../escape") << file("a/../../escape", "x") << unsafe << QStringList();
        QTest::newRow("absolute") << file(Escape, "x") << unsafe << QStringList();
        QTest::newRow("pax path ../escape") << pax("path=../escape") + file("fine.txt", "x") << unsafe << QStringList();
        QTest::newRow("link out, file through it") << header("out", '2', 0, "../..") + file("out/escape", "x") << unsafe << QStringList();
        QTest::newRow("link absolute") << header("out", '2', 0, "/tmp") << unsafe << QStringList();
        QTest::newRow("link with .. after a name") << header("out", '2', 0, "sub/../..") << unsafe << QStringList();
        QTest::newRow("link in, file through it") << header("sub/", '5') + header("in", '2', 0, "sub") + file("in/x", "x") << unsafe
                                                  << QStringList{u"in"_s, u"sub"_s};
        QTest::newRow("through a link already there") << file("pre/escape", "x") << unsafe << QStringList();
        QTest::newRow("hard link") << header("hard", '1', 0, "kept.txt") << unsafe << QStringList();
        QTest::newRow("character device") << header("tty", '3') << unsafe << QStringList();
        QTest::newRow("fifo") << header("pipe", '6') << unsafe << QStringList();
        QTest::newRow("control character") << file("bad\nname", "x") << unsafe << QStringList();
        QTest::newRow("component over NAME_MAX") << pax("path=" + QByteArray(256, 'n')) + file("x", "x") << unsafe << QStringList();
        QTest::newRow("GNU sparse map") << pax("GNU.sparse.major=1") + file("holes", "x") << unsafe << QStringList();
        QTest::newRow("bad checksum") << badChecksum << malformed << QStringList();
        QTest::newRow("bad octal") << sealed(badOctal.left(512)) + badOctal.mid(512) << malformed << QStringList();
        QTest::newRow("pax record of length 0") << padded(header("PaxHeaders/x", 'x', 9) + "0 path=x\n") + file("x", "x") << malformed << QStringList();
        QTest::newRow("pax record short of its own digits") << padded(header("PaxHeaders/x", 'x', 12) + "2 path=xyz\n") + file("x", "x") << malformed << QStringList();
        QTest::newRow("pax record of a wrong length") << padded(header("PaxHeaders/x", 'x', 10) + "99 path=x\n") + file("x", "x") << malformed << QStringList();
        QTest::newRow("absurd pax size") << pax("size=99999999999999999999") + file("x", "x") << malformed << QStringList();
        // 300 folders made for one long name: far more disk than the stream's few blocks.
        QTest::newRow("folders beyond the announced size") << pax("path=" + QByteArray("d/").repeated(300) + "x") + file("x", "x") << unsafe << QStringList{u"d"_s};
        QTest::newRow("truncated") << file("part.bin", randomBytes(1000)).left(512 + 700) << int(PaxReader::Going) << QStringList{u"part.bin"_s};
    }
    void hostileArchiveStopsWithNothingOutsideAndEarlierEntriesKept()
    {
        QFETCH(QByteArray, archive);
        QFETCH(int, expected);
        QFETCH(QStringList, made);
        QTemporaryDir sandbox;
        QDir(sandbox.path()).mkpath(u"target"_s), QDir(sandbox.path()).mkpath(u"outside"_s);
        QVERIFY(QFile::link(sandbox.filePath(u"outside"_s), sandbox.filePath(u"target/pre"_s)));
        QFile::remove(QString::fromLatin1(Escape));
        const bool truncated = expected == PaxReader::Going;
        // Announced whole, as a window has it before the stream is cut.
        PaxReader reader(folderAt(sandbox.filePath(u"target"_s)), 512 + 512 + archive.size() + End.size());
        QCOMPARE(int(feedPieces(reader, file("kept.txt", "kept") + archive + (truncated ? QByteArray() : End), 11)), expected);
        QVERIFY(!reader.complete());
        if (!truncated)
            QCOMPARE(int(reader.feed(End.constData(), End.size())), expected);
        QCOMPARE(QDir(sandbox.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), (QStringList{u"outside"_s, u"target"_s}));
        QVERIFY(QDir(sandbox.filePath(u"outside"_s)).isEmpty(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot));
        QVERIFY(!QFileInfo::exists(QString::fromLatin1(Escape)));
        QCOMPARE(contentOf(sandbox.filePath(u"target/kept.txt"_s)), "kept");
        made << u"kept.txt"_s << u"pre"_s;
        made.sort();
        QCOMPARE(QDir(sandbox.filePath(u"target"_s)).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), made);
    }

    void readFailsWhenAFileChangesUnderIt_data()
    {
        QTest::addColumn<int>("change");
        QTest::newRow("shrinks while read") << 0;
        QTest::newRow("grows while read") << 1;
        QTest::newRow("vanishes") << 2;
        QTest::newRow("becomes a folder") << 3;
    }
    void readFailsWhenAFileChangesUnderIt()
    {
        QFETCH(int, change);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"data.bin"_s);
        QVERIFY(writeFile(path, randomBytes(1 << 20)));
        PaxWriter writer({path});
        QVERIFY(writer.isValid());
        QByteArray buffer(256 * 1024, '\0');
        if (change < 2)
            QCOMPARE(writer.read(buffer.data(), buffer.size()), buffer.size());
        if (change == 0)
            QCOMPARE(truncate(local(path), 100 * 1024), 0);
        if (QFile grown(path); change == 1)
            QVERIFY(grown.open(QIODevice::Append) && grown.write("more") == 4);
        if (change >= 2)
            QVERIFY(QFile::remove(path));
        if (change == 3)
            QVERIFY(QDir(dir.path()).mkdir(u"data.bin"_s));
        qint64 n;
        while ((n = writer.read(buffer.data(), buffer.size())) > 0) {}
        QCOMPARE(n, -1);
        QCOMPARE(writer.read(buffer.data(), buffer.size()), -1);
        if (change != 2)
            QVERIFY(!isOpenHere(path));
    }
    void whatIsCreatedStaysWithinTheUmaskAndWhatWasThereKeepsItsModeAndTime_data()
    {
        QTest::addColumn<int>("mask");
        QTest::addColumn<QStringList>("expected");
        // Typed from the archive below: its mode less set-id, sticky and the umask's bits.
        QTest::newRow("umask 022") << 022
                                   << QStringList{u"top 755 1500000100"_s, u"top/open.txt 644 1500000001"_s, u"top/run 755 1500000002"_s,
                                                  u"top/setid 755 1500000003"_s, u"top/ro 555 1500000004"_s, u"top/ro/in.txt 600 1500000005"_s,
                                                  u"top/link"_s, u"made 755"_s, u"made/deep 755"_s, u"made/deep/x 644 1500000006"_s,
                                                  u"old 700 1400000000"_s, u"older 700"_s, u"older/new.txt 640 1500000007"_s};
        QTest::newRow("umask 077") << 077
                                   << QStringList{u"top 700 1500000100"_s, u"top/open.txt 600 1500000001"_s, u"top/run 700 1500000002"_s,
                                                  u"top/setid 700 1500000003"_s, u"top/ro 500 1500000004"_s, u"top/ro/in.txt 600 1500000005"_s,
                                                  u"top/link"_s, u"made 700"_s, u"made/deep 700"_s, u"made/deep/x 600 1500000006"_s,
                                                  u"old 700 1400000000"_s, u"older 700"_s, u"older/new.txt 600 1500000007"_s};
    }
    void whatIsCreatedStaysWithinTheUmaskAndWhatWasThereKeepsItsModeAndTime()
    {
        QFETCH(int, mask);
        QFETCH(QStringList, expected);
        QTemporaryDir target;
        const QByteArray root = local(target.path());
        // Folders of the person's own, which a merge must leave as they are.
        for (const char *name : {"old", "older"}) {
            QVERIFY(mkdirat(AT_FDCWD, root + '/' + name, 0700) == 0 && chmod(root + '/' + name, 0700) == 0);
            const timespec times[2] = {{1400000000, 0}, {1400000000, 0}};
            QVERIFY(utimensat(AT_FDCWD, root + '/' + name, times, 0) == 0);
        }
        const QByteArray archive = entry("top/", '5', 01777, 1500000100) + entry("top/open.txt", '0', 0666, 1500000001, "open")
                                   + entry("top/run", '0', 0777, 1500000002, "#!/bin/sh\n") + entry("top/setid", '0', 04755, 1500000003, "id")
                                   + entry("top/ro/", '5', 0555, 1500000004) + entry("top/ro/in.txt", '0', 0600, 1500000005, "in")
                                   + header("top/link", '2', 0, "run") + entry("made/deep/x", '0', 0644, 1500000006, "x")
                                   + entry("old/", '5', 0777, 1500000008) + entry("older/new.txt", '0', 0640, 1500000007, "new") + End;
        {
            const Umask masked{mode_t(mask)};
            PaxReader reader(folderAt(target.path()), archive.size());
            QCOMPARE(feedPieces(reader, archive, 5), PaxReader::Going);
            QVERIFY(reader.complete());
        }
        QStringList got;
        for (const QString &name : {u"top"_s, u"top/open.txt"_s, u"top/run"_s, u"top/setid"_s, u"top/ro"_s, u"top/ro/in.txt"_s, u"top/link"_s,
                                    u"made"_s, u"made/deep"_s, u"made/deep/x"_s, u"old"_s, u"older"_s, u"older/new.txt"_s}) {
            const int fd = open(local(target.filePath(name)), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            const bool link = fd < 0 && errno == ELOOP;
            // Times of folders made for a name, or written into, are the moment's own.
            got << (link ? name : modeAndTime(fd, name, name != u"made"_s && name != u"made/deep"_s && name != u"older"_s));
            if (fd >= 0)
                close(fd);
        }
        QCOMPARE(got, expected);
    }

    void foldersAreFinishedSoonAfterTheLastByteHoweverManyOrDeep_data()
    {
        QTest::addColumn<int>("chains");
        QTest::addColumn<int>("depth");
        // About the deepest a name may reach: its file's name is just short of PATH_MAX.
        QTest::newRow("4 chains of 2,040 nested folders") << 4 << 2040;
        QTest::newRow("10,000 folders side by side") << 10000 << 1;
    }
    void foldersAreFinishedSoonAfterTheLastByteHoweverManyOrDeep()
    {
        QFETCH(int, chains);
        QFETCH(int, depth);
        const Umask masked{022};
        // Each folder its own time; one in three read-only, which must not bar the way to those below.
        const auto modeOf = [](int level) { return level % 3 == 1 ? 0555u : 0750u; };
        const auto timeOf = [](int chain, int level) { return qint64(1500000000) + chain * 4096 + level; };
        // The system calls made from the last byte to the end, for `n` chains `deep` folders deep.
        const auto unpack = [&](const QString &into, int n, int deep) -> qint64 {
            QByteArray archive = entry("top/", '5', 0700, 1400000000);
            for (int chain = 0; chain < n; ++chain) {
                QByteArray path = "top/c" + QByteArray::number(chain) + '/';
                for (int level = 0; level < deep; ++level, path += "a/")
                    archive += entry(path, '5', modeOf(level), timeOf(chain, level));
                archive += entry(path.chopped(2) + "end.txt", '0', 0644, timeOf(chain, deep), "end");
            }
            PaxReader reader(folderAt(into), archive.size() + End.size());
            if (reader.feed(archive.constData(), archive.size()) != PaxReader::Going)
                return -1;
            const SyscallCount calls;
            return reader.feed(End.constData(), End.size()) == PaxReader::Going && reader.complete() ? calls.made() : -1;
        };
        if (SyscallCount().made() < 0)
            QSKIP("counting system calls needs root and the kernel's tracing file system");
        // Counted rather than timed: four times the folders may cost four times the calls, not sixteen.
        QTemporaryDir quarter, target;
        const qint64 few = unpack(quarter.path(), depth > 1 ? chains : chains / 4, depth > 1 ? depth / 4 : depth);
        const qint64 many = unpack(target.path(), chains, depth);
        QVERIFY2(few > 0 && many > 0 && many < 6 * few + 100, qPrintable(u"%1 and %2 calls"_s.arg(few).arg(many)));

        const int top = open(local(target.filePath(u"top"_s)), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QCOMPARE(modeAndTime(top, u"top"_s), u"top 700 1400000000"_s);
        for (int chain = 0; chain < chains; ++chain) {
            int fd = openat(top, "c" + QByteArray::number(chain), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            for (int level = 0; level < depth; ++level) {
                const QString where = QString::number(chain) + u'/' + QString::number(level);
                QCOMPARE(modeAndTime(fd, where), where + u' ' + QString::number(modeOf(level), 8) + u' ' + QString::number(timeOf(chain, level)));
                const int next = openat(fd, level + 1 < depth ? "a" : "end.txt", O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
                close(fd);
                fd = next;
            }
            QCOMPARE(modeAndTime(fd, u"end.txt"_s), u"end.txt 644 "_s + QString::number(timeOf(chain, depth)));
            close(fd);
        }
        close(top);
        // Deeper than PATH_MAX below the temporary folder, which QDir cannot remove.
        QCOMPARE(QProcess::execute(u"rm"_s, {u"-rf"_s, target.path(), quarter.path()}), 0);
    }

    void budgetCountsWhatIsCreatedAndNothingThatWasThere_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<qint64>("budget");
        QTest::addColumn<int>("expected");
        const QByteArray file100 = file("x", QByteArray(100, 'x'));
        QTest::newRow("a file: its header and its block, exactly") << file100 << qint64(1024) << int(PaxReader::Going);
        QTest::newRow("a file: a byte short") << file100 << qint64(1023) << int(PaxReader::Unsafe);
        QTest::newRow("folders made for a name count") << file("a/b/x", {}) << qint64(3 * 512) << int(PaxReader::Going);
        QTest::newRow("folders made for a name, a byte short") << file("a/b/x", {}) << qint64(3 * 512 - 1) << int(PaxReader::Unsafe);
        QTest::newRow("a folder that is there costs nothing") << header("old/", '5') + file("old/x", {}) << qint64(512) << int(PaxReader::Going);
        QTest::newRow("a link costs its header") << header("l", '2', 0, "x") + header("m", '2', 0, "x") << qint64(1023) << int(PaxReader::Unsafe);
    }
    void budgetCountsWhatIsCreatedAndNothingThatWasThere()
    {
        QFETCH(QByteArray, archive);
        QFETCH(qint64, budget);
        QFETCH(int, expected);
        QTemporaryDir target;
        QVERIFY(QDir(target.path()).mkdir(u"old"_s));
        PaxReader reader(folderAt(target.path()), budget);
        QCOMPARE(int(reader.feed(archive.constData(), archive.size())), expected);
        QCOMPARE(int(reader.feed(End.constData(), End.size())), expected);
        QCOMPARE(reader.complete(), expected == PaxReader::Going);
    }
};

QTEST_GUILESS_MAIN(tst_Pax)
#include "tst_pax.moc"

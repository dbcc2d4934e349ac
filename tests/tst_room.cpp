// A folder on a file system too small for the offered file: the save dialog says so and stays
// open, and a disk that fills anyway ends the transfer with the write failure.
#include "savedialogperson.h"
#include "transfer/saveplace.h"

#include <sched.h>
#include <sys/mount.h>

namespace {
// A 1 MiB tmpfs, mounted in a mount namespace of the test's own, so nothing outside sees it.
struct SmallFileSystem {
    QString path;
    QString why;
    explicit SmallFileSystem(const QString &at)
        : path(at)
    {
        if (geteuid() != 0)
            why = QStringLiteral("mounting a small file system needs root");
        else if (!QDir().mkpath(at) || unshare(CLONE_NEWNS) != 0
                 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
                 || mount("veltrane-test", QFile::encodeName(at).constData(), "tmpfs", 0, "size=1m") != 0)
            why = QStringLiteral("cannot mount a tmpfs: ") + QString::fromLocal8Bit(strerror(errno));
    }
    ~SmallFileSystem()
    {
        if (why.isEmpty())
            umount2(QFile::encodeName(path).constData(), MNT_DETACH);
    }
};
}

class TstRoom : public QObject
{
    Q_OBJECT

    QTemporaryDir base;

private slots:
    void initTestCase()
    {
        Form::setProgramEnd([] {});
        qputenv("HOME", base.filePath("user").toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", base.filePath("user/.config").toLocal8Bit());
    }

    void placeWithoutRoomIsRefusedAndTheDialogStaysOpen()
    {
        // The download folder is the small file system; the temporary folder has room.
        SmallFileSystem small(base.filePath("user/Downloads"));
        if (!small.why.isEmpty())
            QSKIP(qPrintable(small.why));
        const QString roomy = base.filePath("roomy.bin");
        SaveDialogPerson person;
        QVERIFY(person.save("FNroomy.bin\\ 2000000", {QString(), "other.bin", roomy}));
        QCOMPARE(person.saw, QStringList({"Downloads OK", "There is not enough free space in this folder.",
                                          "Downloads OK", "There is not enough free space in this folder.", "Downloads OK"}));
        QVERIFY(!QFile::exists(small.path + "/roomy.bin") && !QFile::exists(small.path + "/other.bin"));
        QCOMPARE(QFileInfo(roomy).size(), 0);

        // A file it would replace counts: its bytes are freed when it is emptied.
        const QString old = small.path + "/old.bin";
        QVERIFY(writeFile(old, QByteArray(700 * 1024, 'x')));
        QVERIFY(SavePlace::hasRoom(old, 900 * 1024));
        QVERIFY(!SavePlace::hasRoom(small.path + "/new.bin", 900 * 1024));
    }

    void diskThatFillsDuringTheTransferEndsItWithTheWriteFailure()
    {
        SmallFileSystem small(base.filePath("full"));
        if (!small.why.isEmpty())
            QSKIP(qPrintable(small.why));
        // The stand-in at the dialog checks nothing, as if another program had taken the room since.
        const QString target = small.path + "/in.bin";
        RawRig rig;
        QVERIFY(rig.open(TransferSettings::Receive, target));
        const QByteArray content = randomBytes(2000000);
        rig.peer->write("RCFNin.bin\\ 2000000");
        QTRY_COMPARE(rig.wire, QByteArray("OKSD"));
        rig.peer->write(content);
        QTRY_COMPARE(rig.side->status, QStringLiteral("Error ! Could not write file."));
        QVERIFY(rig.side->ended && !rig.side->finished);
        const QByteArray partial = contentOf(target);
        QVERIFY(partial.size() < content.size() && content.startsWith(partial));
    }
};

QTEST_MAIN(TstRoom)
#include "tst_room.moc"

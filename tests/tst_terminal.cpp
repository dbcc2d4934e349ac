// `veltrane send` and `veltrane receive`: the real program, as a script or a person at a terminal
// runs it, against itself, the window, and a receiver of the design. The test runs in a network
// namespace of its own (as root), so the product's port 1001 is its alone.

#include "datarows.h"
#include "avahinet.h"
#include "terminal/terminalfrontend.h"
#include "windowrig.h"

#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
constexpr quint16 Port = Transfer::Port;

// Every file under `folder`, by its path inside it, with its bytes.
QMap<QString, QByteArray> treeOf(const QString &folder)
{
    QMap<QString, QByteArray> tree;
    for (QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
        const QString path = it.next();
        tree.insert(QDir(folder).relativeFilePath(path), contentOf(path));
    }
    return tree;
}

// Whether something in this namespace listens on `port`, as the kernel lists it: a test that
// knocked to find out would be taken for a sender.
bool listening(quint16 port, const QString &process = u"self"_s)
{
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QString &path : {u"/proc/%1/net/tcp"_s.arg(process), u"/proc/%1/net/tcp6"_s.arg(process)})
        for (const QByteArray &line : contentOf(path).split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 3 && fields[1].endsWith(local) && fields[3] == "0A")
                return true;
        }
    return false;
}

QStringList linesOf(const QByteArray &text)
{
    return QString::fromLocal8Bit(text).split(u'\n', Qt::SkipEmptyParts);
}

const QRegularExpression CodeLine(u"^Private\\. Code (\\d{3} \\d{3}): compare it with the other side\\.$"_s);

QString codeIn(const QStringList &lines)
{
    for (const QString &line : lines)
        if (const auto match = CodeLine.match(line); match.hasMatch())
            return match.captured(1);
    return {};
}

// The program as a script runs it: no terminal, no display.
class Program : public QProcess
{
public:
    explicit Program(const QString &folder = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QString::fromLatin1(name));
        setProcessEnvironment(environment);
        setStandardInputFile(QProcess::nullDevice());
        if (!folder.isEmpty())
            setWorkingDirectory(folder);
    }
    ~Program() override
    {
        if (state() != NotRunning) {
            kill();
            waitForFinished(5000);
        }
    }
    void run(const QStringList &arguments) { start(QStringLiteral(VELTRANE_PROGRAM), arguments); }
    void sendTo127(const QStringList &paths) { run(QStringList{u"send"_s, u"--to"_s, u"127.0.0.1"_s} + paths); }
    // Runs a receiver and waits until it listens.
    bool listens(const QStringList &arguments)
    {
        run(arguments);
        return QTest::qWaitFor([] { return listening(Port); }, 10000);
    }
    // Waits with the test's own loop running, for the windows and peers that live in it.
    bool ended(int ms = 30000) { return QTest::qWaitFor([this] { return state() == NotRunning; }, ms); }
    // The exit code once ended of itself, or -1 (not ended, or a crash).
    int exited() { return ended() && exitStatus() == NormalExit ? exitCode() : -1; }
    void interrupt() { ::kill(pid_t(processId()), SIGINT); }
    QStringList errLines()
    {
        err += readAllStandardError();
        return linesOf(err);
    }
    QByteArray err;
};

// The program on a pseudo-terminal of its own: stdin and stderr are the terminal, as when a person
// runs it; what it writes is read back from the terminal's other side.
class PtyProgram
{
public:
    // `launcher` runs the program elsewhere (another namespace, another bus).
    PtyProgram(const QStringList &arguments, const QString &folder, const QStringList &launcher = {})
    {
        QList<QByteArray> words;
        for (const QString &word : launcher + QStringList{QStringLiteral(VELTRANE_PROGRAM)} + arguments)
            words.append(word.toLocal8Bit());
        QList<QByteArray> environment{"PATH=/usr/bin:/bin", "LANG=C.UTF-8", "TERM=xterm",
                                      "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent"};
        const QByteArray where = folder.toLocal8Bit();
        // Built before fork: the child only changes folder and runs the program.
        std::vector<char *> argv, envp;
        for (QByteArray &word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        for (QByteArray &variable : environment)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        m_pid = forkpty(&m_master, nullptr, nullptr, nullptr);
        if (m_pid == 0) {
            if (chdir(where.constData()) != 0)
                _exit(126);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        if (m_master >= 0)
            fcntl(m_master, F_SETFL, O_NONBLOCK);
    }
    ~PtyProgram()
    {
        if (m_pid > 0 && m_status < 0) {
            ::kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_master >= 0)
            close(m_master);
    }
    bool started() const { return m_pid > 0; }

    void type(const QByteArray &keys) { QCOMPARE(::write(m_master, keys.constData(), size_t(keys.size())), keys.size()); }
    // Everything written so far, the terminal's echo of what was typed included.
    const QByteArray &output()
    {
        drain();
        return m_output;
    }
    bool shows(const QByteArray &text, int ms = 15000)
    {
        return QTest::qWaitFor([&] { return output().contains(text); }, ms);
    }
    // The exit status, or -1 when it has not ended within `ms`.
    int status(int ms = 30000)
    {
        (void)QTest::qWaitFor(
            [this] {
                drain();
                int raw = 0;
                if (m_status < 0 && waitpid(m_pid, &raw, WNOHANG) == m_pid)
                    m_status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                return m_status >= 0;
            },
            ms);
        drain();
        return m_status;
    }

private:
    void drain()
    {
        char bytes[65536];
        ssize_t count;
        while ((count = ::read(m_master, bytes, sizeof bytes)) > 0)
            m_output.append(bytes, count);
    }

    pid_t m_pid = -1;
    int m_master = -1;
    int m_status = -1;
    QByteArray m_output;
};

// A receiver built to the design: it says "OK", never answers the probe, and takes an offer with
// "SD" when told to; what it reads is kept.
class DesignReceiver : public QObject
{
public:
    explicit DesignReceiver(bool acceptOffer, bool read = true)
        : m_accept(acceptOffer)
        , m_read(read)
    {
        QVERIFY(m_server.listen(QHostAddress::LocalHost, Port));
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            m_peer = m_server.nextPendingConnection();
            m_peer->write("OK");
            connect(m_peer, &QTcpSocket::readyRead, this, &DesignReceiver::take);
            connect(m_peer, &QTcpSocket::disconnected, this, [this] { closed = true; });
        });
    }
    // Reads on, after it stopped.
    void readAgain()
    {
        m_read = true;
        m_peer->setReadBufferSize(0);
        QTimer::singleShot(0, this, &DesignReceiver::take);
    }
    QByteArray received;
    QByteArray data;
    QString offered;
    bool closed = false;

private:
    void take()
    {
        if (!m_read && !offered.isEmpty())
            return;
        const QByteArray bytes = m_peer->readAll();
        if (!offered.isEmpty())
            return void(data += bytes);
        received += bytes;
        const qsizetype at = received.indexOf("FN");
        const qsizetype size = received.lastIndexOf("\\ ");
        if (!m_accept || at < 0 || size < at || received.size() < size + 3)
            return;
        // The offer is whole once its size has come and the line is quiet: a sender says nothing
        // more until answered.
        QTimer::singleShot(200, this, [this, at] {
            if (!offered.isEmpty())
                return;
            offered = QString::fromLatin1(received.sliced(at));
            // One that stops reading holds the sender to what the kernel's buffers take.
            if (!m_read)
                m_peer->setReadBufferSize(64 * 1024);
            m_peer->write("SD");
        });
    }

    QTcpServer m_server;
    QTcpSocket *m_peer = nullptr;
    bool m_accept;
    bool m_read;
};

}

class TerminalTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_from, m_into;

private slots:
    void initTestCase()
    {
        if (geteuid() != 0)
            QSKIP("needs root for a network namespace of its own");
        // Only this thread moves, and every process it starts: port 1001 is ours alone.
        QVERIFY(unshare(CLONE_NEWNET) == 0);
        QCOMPARE(QProcess::execute(u"ip"_s, {u"link"_s, u"set"_s, u"lo"_s, u"up"_s}), 0);
        QVERIFY(m_dir.isValid());
    }

    void init()
    {
        static int round = 0;
        ++round;
        m_from = m_dir.filePath(u"from%1"_s.arg(round));
        m_into = m_dir.filePath(u"into%1"_s.arg(round));
        QVERIFY(QDir().mkpath(m_from + u"/Trip/sub"_s) && QDir().mkpath(m_into));
        // What most cases send: a file, and a folder with a folder inside.
        QVERIFY(writeFile(m_from + u"/notes.txt"_s, randomBytes(5000, 1)) && writeFile(m_from + u"/Trip/a"_s, randomBytes(1000, 5)));
        QVERIFY(writeFile(m_from + u"/Trip/day 1.jpg"_s, randomBytes(2000, 2)) && writeFile(m_from + u"/Trip/sub/notes"_s, randomBytes(100, 3)));
        QVERIFY(writeFile(m_from + u"/Trip/b"_s, randomBytes(70000, 6)));
        QVERIFY(QTest::qWaitFor([] { return !listening(Port); }, 5000));
    }

    void badInputIsOneLineAndSendsNothing_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("line");
        QTest::newRow("unknown option") << QStringList{u"send"_s, u"--fast"_s, u"notes.txt"_s}
                                        << u"veltrane: unknown option '--fast' for send (see veltrane --help)"_s;
        QTest::newRow("option of the other command") << QStringList{u"receive"_s, u"--to"_s, u"127.0.0.1"_s}
                                                     << u"veltrane: unknown option '--to' for receive (see veltrane --help)"_s;
        QTest::newRow("nothing to send") << QStringList{u"send"_s, u"--to=127.0.0.1"_s}
                                         << u"veltrane: send needs at least one file or folder (see veltrane --help)"_s;
        QTest::newRow("no --to without a terminal")
            << QStringList{u"send"_s, u"notes.txt"_s}
            << u"veltrane: send needs --to RECEIVER when no one is at a terminal to choose"_s;
        QTest::newRow("unreadable path") << QStringList{u"send"_s, u"--to"_s, u"127.0.0.1"_s, u"notes.txt"_s, u"gone.txt"_s}
                                         << u"veltrane: cannot read gone.txt"_s;
        QTest::newRow("unreadable file") << QStringList{u"send"_s, u"--to"_s, u"127.0.0.1"_s, u"locked.txt"_s}
                                         << u"veltrane: cannot read locked.txt"_s;
        QTest::newRow("receiver not found") << QStringList{u"send"_s, u"--to"_s, u"no-such-receiver.invalid"_s, u"notes.txt"_s}
                                            << u"veltrane: cannot find the receiver no-such-receiver.invalid"_s;
        QTest::newRow("into a file") << QStringList{u"receive"_s, u"--into"_s, u"notes.txt"_s}
                                     << u"veltrane: notes.txt is not a folder"_s;
    }

    void badInputIsOneLineAndSendsNothing()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, line);
        // Root reads any file; a FIFO is what no one can send.
        QCOMPARE(mkfifo(QFile::encodeName(m_from + u"/locked.txt"_s).constData(), 0600), 0);
        // Whatever it would send to comes here.
        QTcpServer guard;
        QVERIFY(guard.listen(QHostAddress::Any, Port));

        Program program(m_from);
        program.run(arguments);
        QCOMPARE(program.exited(), 2);
        QCOMPARE(program.errLines(), QStringList{line});
        QVERIFY(program.readAllStandardOutput().isEmpty());
        QVERIFY(!guard.hasPendingConnections() && !guard.waitForNewConnection(100));
    }

    void helpFitsAndVersionIsTheProgramsOwn()
    {
        for (const QString &help : {u"--help"_s, u"-h"_s}) {
            Program program;
            program.run({help});
            QCOMPARE(program.exited(), 0);
            const QByteArray usage = program.readAllStandardOutput();
            QVERIFY(usage.startsWith("Usage: veltrane send [--to RECEIVER] [--private] PATH...\n"));
            QVERIFY2(usage.count('\n') <= 24, usage.constData());
            for (const char *option : {"--to", "--private", "--into", "--yes", "--keep", "--version"})
                QVERIFY2(usage.contains(option), option);
            QVERIFY(program.errLines().isEmpty());
        }
        Program program;
        program.run({u"--version"_s});
        QCOMPARE(program.exited(), 0);
        QCOMPARE(program.readAllStandardOutput(), "veltrane 1.0.8\n");
    }

    void withoutItsWindowsAPathFailsInOneLine()
    {
        // A copy with neither the build tree's windows beside it nor an installed tree around it.
        const QString alone = m_from + u"/veltrane"_s;
        QVERIFY(QFile::copy(QStringLiteral(VELTRANE_PROGRAM), alone));
        QProcess program;
        program.start(alone, {u"notes.txt"_s});
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitCode(), 127);
        const QByteArray said = program.readAllStandardError();
        QVERIFY2(said.startsWith("veltrane: cannot start its windows (" + QFile::encodeName(m_dir.path())), said.constData());
        QCOMPARE(said.count('\n'), 1);
        QVERIFY(program.readAllStandardOutput().isEmpty());
    }

    void terminalToTerminal_data()
    {
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QString>("offered");
        QTest::addColumn<QString>("arrives");
        QTest::newRow("file") << QStringList{u"notes.txt"_s} << u"notes.txt (4.9 KB)"_s << u"notes.txt"_s;
        QTest::newRow("folder") << QStringList{u"Trip"_s} << u"Trip/ ("_s << u"Trip"_s;
        QTest::newRow("several files") << QStringList{u"notes.txt"_s, u"Trip/day 1.jpg"_s} << u"from"_s << u""_s;
    }

    void terminalToTerminal()
    {
        QFETCH(QStringList, paths);
        QFETCH(QString, offered);
        QFETCH(QString, arrives);

        Program receiver(m_into), sender(m_from);
        QVERIFY(receiver.listens({u"receive"_s, u"--yes"_s}));
        sender.sendTo127(paths);
        QCOMPARE(sender.exited(), 0);
        QCOMPARE(receiver.exited(), 0);
        const QStringList said = sender.errLines(), heard = receiver.errLines();

        // Both show the same code; the receiver names who offers what, and the code again.
        const QString code = codeIn(said);
        QVERIFY2(!code.isEmpty(), qPrintable(said.join(u'\n')));
        QCOMPARE(codeIn(heard), code);
        QCOMPARE(heard.size(), 3);
        QVERIFY2(heard[1].startsWith(u"127.0.0.1 offers "_s + offered) && heard[1].endsWith(u", code "_s + code),
                 qPrintable(heard[1]));
        QVERIFY(said.last().startsWith(u"Finished. ("_s));
        QCOMPARE(heard.last(), said.last());
        // No terminal: no progress drawn.
        QVERIFY(!sender.err.contains('\r') && !receiver.err.contains('\r'));

        if (arrives == u"notes.txt")
            QCOMPARE(contentOf(m_into + u"/notes.txt"_s), contentOf(m_from + u"/notes.txt"_s));
        else if (arrives == u"Trip")
            QCOMPARE(treeOf(m_into + u"/Trip"_s), treeOf(m_from + u"/Trip"_s));
        else {
            QList<QByteArray> arrived = treeOf(m_into).values(), sent{contentOf(m_from + u"/notes.txt"_s),
                                                                      contentOf(m_from + u"/Trip/day 1.jpg"_s)};
            std::sort(arrived.begin(), arrived.end());
            std::sort(sent.begin(), sent.end());
            QCOMPARE(arrived, sent);
        }
    }

    void terminalAndWindow_data()
    {
        QTest::addColumn<bool>("windowSends");
        QTest::addColumn<QString>("path");
        QTest::newRow("terminal sends a file to a window") << false << u"notes.txt"_s;
        QTest::newRow("terminal sends a folder to a window") << false << u"Trip"_s;
        QTest::newRow("window sends a file to a terminal") << true << u"notes.txt"_s;
        QTest::newRow("window sends a folder to a terminal") << true << u"Trip"_s;
    }

    void terminalAndWindow()
    {
        QFETCH(bool, windowSends);
        QFETCH(QString, path);
        QVERIFY(writeFile(m_from + u"/notes.txt"_s, randomBytes(300000, 4)));
        const QString source = m_from + u'/' + path, target = m_into + u'/' + path;

        std::optional<Side> window;
        Program terminal(windowSends ? m_into : m_from);
        if (windowSends) {
            QVERIFY(terminal.listens({u"receive"_s, u"--yes"_s}));
            window.emplace(MainWin::Send, Port, source, TransferTiming{});
        } else {
            window.emplace(MainWin::Receive, Port, target, TransferTiming{});
            QVERIFY(QTest::qWaitFor([] { return listening(Port); }, 10000));
            terminal.sendTo127({path});
        }
        QCOMPARE(terminal.exited(), 0);
        const QStringList lines = terminal.errLines();
        QTRY_VERIFY(window->win.StatBox->text().startsWith(u"Finished. ("_s));
        QCOMPARE(lines.last(), window->win.StatBox->text());
        // The window's title carries the code the terminal printed.
        QCOMPARE(window->win.window()->windowTitle(), u"Veltrane ("_s + codeIn(lines) + u')');
        if (path == u"Trip")
            QCOMPARE(treeOf(target), treeOf(source));
        else
            QCOMPARE(contentOf(target), contentOf(source));
    }

    void designReceiver_data()
    {
        flagRows("mustBePrivate", {{"--private never falls back", true}, {"a bundle goes as a tar file in the clear", false}});
    }

    void designReceiver()
    {
        QFETCH(bool, mustBePrivate);
        DesignReceiver receiver(!mustBePrivate);
        Program sender(m_from);
        sender.sendTo127(mustBePrivate ? QStringList{u"--private"_s, u"Trip"_s} : QStringList{u"Trip"_s});
        QVERIFY2(sender.ended(), receiver.received.constData() + QByteArray(" / ") + sender.errLines().join(u'|').toUtf8());
        const QStringList lines = sender.errLines();
        QCOMPARE(sender.exitCode(), mustBePrivate ? 1 : 0);
        if (mustBePrivate) {
            QCOMPARE(lines, QStringList{u"Error ! The connection could not be made private."_s});
            // Nothing after the probe: no "RC" in the clear, and no offer.
            QTest::qWait(50);
            QVERIFY2(receiver.received.startsWith("TL") && !receiver.received.contains("FN")
                         && !receiver.received.endsWith("RC"),
                     receiver.received.constData());
            return;
        }
        QCOMPARE(lines.first(), u"Not encrypted: the other side does not speak privately."_s);
        QVERIFY2(receiver.offered.startsWith(u"FNTrip.tar\\ "_s), qPrintable(receiver.offered));
        const qint64 size = receiver.offered.section(u' ', -1).toLongLong();
        QTRY_COMPARE(receiver.data.size(), size);
        // Its tar form is tst_bundle's: GNU tar unpacks what a receiver of the design is sent.
        QCOMPARE(lines.last(), u"Finished. ("_s + StatusText::kilobytes(size) + u" KB)"_s);
    }

    void designSender()
    {
        // A sender of the design speaks in the clear at once: "RC", then its offer, then the bytes.
        Program receiver(m_into);
        QVERIFY(receiver.listens({u"receive"_s, u"--yes"_s}));
        const QByteArray bytes = randomBytes(100000, 15);
        QTcpSocket sender;
        sender.connectToHost(QHostAddress::LocalHost, Port);
        QVERIFY(sender.waitForConnected(5000));
        QVERIFY(QTest::qWaitFor([&] { return sender.bytesAvailable() >= 2; }, 5000));
        QCOMPARE(sender.readAll(), "OK");
        sender.write("RC");
        QTest::qWait(100);
        sender.write("FNnotes.txt\\ 100000");
        QVERIFY(QTest::qWaitFor([&] { return sender.bytesAvailable() >= 2; }, 5000));
        QCOMPARE(sender.readAll(), "SD");
        sender.write(bytes);
        QCOMPARE(receiver.exited(), 0);
        QCOMPARE(receiver.errLines(), QStringList({u"Not encrypted: the other side does not speak privately."_s,
                                                   u"127.0.0.1 offers notes.txt (97.7 KB), not encrypted"_s,
                                                   u"Finished. (97.7 KB)"_s}));
        QCOMPARE(contentOf(m_into + u"/notes.txt"_s), bytes);
    }

    void receiverWithoutTerminal_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("savedAs");
        QTest::newRow("refused without --yes") << QStringList{} << u"notes.txt"_s << QString();
        QTest::newRow("--yes keeps a file there") << QStringList{u"--yes"_s} << u"notes.txt"_s << u"notes (2).txt"_s;
        QTest::newRow("--yes keeps a folder there") << QStringList{u"-y"_s} << u"Trip"_s << u"Trip (2)"_s;
    }

    void receiverWithoutTerminal()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, path);
        QFETCH(QString, savedAs);
        // What is there already stays as it is.
        QVERIFY(writeFile(m_into + u"/notes.txt"_s, "mine"));
        QVERIFY(QDir().mkpath(m_into + u"/Trip"_s));
        QVERIFY(writeFile(m_into + u"/Trip/a"_s, "mine"));
        const QMap<QString, QByteArray> before = treeOf(m_into);

        // --into, from anywhere.
        Program receiver, sender(m_from);
        QVERIFY(receiver.listens(QStringList{u"receive"_s, u"--into"_s, m_into} + options));
        sender.sendTo127({path});
        QCOMPARE(sender.exited(), savedAs.isEmpty() ? 1 : 0);
        QCOMPARE(receiver.exited(), savedAs.isEmpty() ? 1 : 0);
        const QStringList heard = receiver.errLines(), said = sender.errLines();
        QVERIFY(!receiver.err.contains('\r') && !sender.err.contains('\r'));
        if (savedAs.isEmpty()) {
            QCOMPARE(heard.mid(2),
                     QStringList({u"Refused: no one is at a terminal to accept it (--yes accepts without asking)."_s,
                                  u"Saving file cancelled. Connection closed."_s}));
            QCOMPARE(said.last(), u"Error ! Connection closed by reciever."_s);
            QCOMPARE(treeOf(m_into), before);
            return;
        }
        QVERIFY(heard.last().startsWith(u"Finished. ("_s));
        // What was there, and what was sent under its new name.
        QMap<QString, QByteArray> expected = before;
        const QMap<QString, QByteArray> sent = path == u"Trip" ? treeOf(m_from + u"/Trip"_s)
                                                               : QMap<QString, QByteArray>{{QString(), contentOf(m_from + u"/notes.txt"_s)}};
        for (auto it = sent.cbegin(); it != sent.cend(); ++it)
            expected.insert(it.key().isEmpty() ? savedAs : savedAs + u'/' + it.key(), it.value());
        QCOMPARE(treeOf(m_into), expected);
    }

    void keepTakesTwoTransfers()
    {
        QVERIFY(writeFile(m_from + u"/one.txt"_s, randomBytes(10000, 10)));
        QVERIFY(writeFile(m_from + u"/two.txt"_s, randomBytes(20000, 11)));
        Program receiver(m_into);
        receiver.run({u"receive"_s, u"--yes"_s, u"--keep"_s});
        for (const QString &name : {u"one.txt"_s, u"two.txt"_s}) {
            QVERIFY(QTest::qWaitFor([] { return listening(Port); }, 10000));
            Program sender(m_from);
            sender.sendTo127({name});
            QCOMPARE(sender.exited(), 0);
            QCOMPARE(contentOf(m_into + u'/' + name), contentOf(m_from + u'/' + name));
        }
        // Still listening, until interrupted.
        QVERIFY(QTest::qWaitFor([] { return listening(Port); }, 10000));
        QCOMPARE(receiver.state(), QProcess::Running);
        receiver.interrupt();
        QCOMPARE(receiver.exited(), 130);
        const QStringList heard = receiver.errLines();
        QCOMPARE(heard.filter(QRegularExpression(u"^Finished\\. \\("_s)).size(), 2);
        QCOMPARE(heard.last(), u"Interrupted."_s);
        QVERIFY(!listening(Port));
    }

    void noDisplayAndNoPlatformPlugin()
    {
        for (const QStringList &arguments :
             {QStringList{u"receive"_s}, QStringList{u"send"_s, u"--to"_s, u"no-such-receiver.invalid"_s, u"notes.txt"_s}}) {
            Program program(m_from);
            QVERIFY(!program.processEnvironment().contains(u"DISPLAY"_s));
            QVERIFY(!program.processEnvironment().contains(u"WAYLAND_DISPLAY"_s));
            program.run(arguments);
            QVERIFY(program.waitForStarted());
            // Listening, or looking for the receiver for two seconds: well past start-up either way.
            QTest::qWait(700);
            QCOMPARE(program.state(), QProcess::Running);
            const QByteArray maps = contentOf(u"/proc/%1/maps"_s.arg(program.processId()));
            QVERIFY(maps.contains("libQt6Core"));
            // Nor the window libraries: loading them alone would double a command's memory.
            for (const char *plugin :
                 {"/platforms/", "libqxcb", "libqoffscreen", "libqwayland", "libqminimal", "libQt6Gui", "libQt6Widgets"})
                QVERIFY2(!maps.contains(plugin), plugin);
            program.interrupt();
            QCOMPARE(program.exited(), 130);
            QCOMPARE(program.errLines(), QStringList{u"Interrupted."_s});
        }
    }

    void terminalAsksAndDrawsProgress()
    {
        const qsizetype size = 48 * 1024 * 1024;
        QVERIFY(writeFile(m_from + u"/notes.bin"_s, randomBytes(size, 12)));
        QVERIFY(writeFile(m_into + u"/notes.bin"_s, "old"));
        PtyProgram receiver({u"receive"_s}, m_into);
        QVERIFY(receiver.started());
        QVERIFY(receiver.shows("Waiting for connection ..."));
        PtyProgram sender({u"send"_s, u"--to"_s, u"127.0.0.1"_s, u"notes.bin"_s}, m_from);
        QVERIFY(receiver.shows(", code "));
        QVERIFY(receiver.shows("Accept? [y/N] "));
        receiver.type("y\r");
        QVERIFY(receiver.shows("notes.bin is already there. Replace it? [y/N] "));
        receiver.type("Y\r");
        QVERIFY2(sender.status() == 0, sender.output().right(300).constData());
        QVERIFY2(receiver.status() == 0, receiver.output().right(300).constData());
        QCOMPARE(contentOf(m_into + u"/notes.bin"_s), contentOf(m_from + u"/notes.bin"_s));

        for (PtyProgram *side : {&sender, &receiver}) {
            // The line is redrawn in place: each drawing starts at the line's start and erases the rest.
            const QString shown = QString::fromUtf8(side->output());
            static const QRegularExpression drawn(
                u"\r(notes\\.bin)  (\\d+)%  ([\\d.]+ [KMG]B) of ([\\d.]+ [KMG]B)(  [\\d.]+ [KMG]B/s)?(  \\d+:\\d\\d left)?\x1b\\[K"_s);
            QList<QRegularExpressionMatch> draws;
            for (auto it = drawn.globalMatch(shown); it.hasNext();)
                draws.append(it.next());
            QVERIFY2(!draws.isEmpty(), qPrintable(shown));
            int percent = -1;
            for (const QRegularExpressionMatch &draw : draws) {
                QVERIFY(draw.captured(2).toInt() >= percent);
                percent = draw.captured(2).toInt();
                QCOMPARE(draw.captured(4), u"48 MB"_s);
            }
            QCOMPARE(draws.last().captured(2), u"100"_s);
            QCOMPARE(draws.last().captured(3), u"48 MB"_s);
            // The ending stands on a line of its own after the last drawing.
            QVERIFY2(shown.contains(u"\x1b[K\r\nFinished. (49152 KB)\r\n"_s), qPrintable(shown.right(200)));
            QVERIFY2(shown.contains(u"Private. Code "_s), qPrintable(shown));
        }
    }

    void ctrlC_data() { flagRows("duringData", {{"receiver asked whether to accept", false}, {"sender during the data", true}}); }

    void ctrlC()
    {
        QFETCH(bool, duringData);
        QVERIFY(writeFile(m_from + u"/notes.bin"_s, randomBytes(duringData ? 32 * 1024 * 1024 : 1000, 13)));
        if (!duringData) {
            PtyProgram receiver({u"receive"_s}, m_into);
            QVERIFY(receiver.shows("Waiting for connection ..."));
            Program sender(m_from);
            sender.sendTo127({u"notes.bin"_s});
            QVERIFY(receiver.shows("Accept? [y/N] "));
            receiver.type("\x03");
            QCOMPARE(receiver.status(), 130);
            QVERIFY(receiver.output().contains("Interrupted.\r\n"));
            // The sender heard "CC", not a connection that broke.
            QCOMPARE(sender.exited(), 1);
            QCOMPARE(sender.errLines().last(), u"Error ! Connection closed by reciever."_s);
            QVERIFY(treeOf(m_into).isEmpty());
            return;
        }
        // A receiver that takes the offer and then reads nothing holds the sender in its data.
        DesignReceiver receiver(true, false);
        PtyProgram sender({u"send"_s, u"--to"_s, u"127.0.0.1"_s, u"notes.bin"_s}, m_from);
        QVERIFY(sender.shows("% "));
        QTest::qWait(200);
        sender.type("\x03");
        QCOMPARE(sender.status(), 130);
        QVERIFY(sender.output().endsWith("\r\nInterrupted.\r\n"));
        // What came is the start of the file, with nothing after it: the connection just closed.
        receiver.readAgain();
        QTRY_VERIFY(receiver.closed);
        QVERIFY(!receiver.data.isEmpty() && receiver.data.size() < 32 * 1024 * 1024);
        QVERIFY(contentOf(m_from + u"/notes.bin"_s).startsWith(receiver.data));
    }

    void frontEndOnAPortOfItsOwn()
    {
        // The front end in this process, on a port of the test's choosing, drawing into a file as it
        // would on a terminal; an exchange of its own sends to it.
        QVERIFY(writeFile(m_from + u"/notes.txt"_s, randomBytes(3 * 1024 * 1024, 14)));
        QTemporaryFile shown, typed;
        QVERIFY(shown.open() && typed.open());
        const quint16 port = 20000 + quint16(QRandomGenerator::global()->bounded(20000));
        TerminalFrontEnd receiver(CommandLine({u"receive"_s, u"--yes"_s, u"--into"_s, m_into}),
                                  {int(typed.handle()), int(shown.handle()), false, true}, port);
        int status = -1;
        connect(&receiver, &TerminalFrontEnd::done, this, [&status](int s) { status = s; });
        receiver.start();
        QVERIFY(QTest::qWaitFor([port] { return listening(port); }, 5000));

        TransferSettings settings{TransferSettings::Send, u"127.0.0.1"_s, false, {m_from + u"/notes.txt"_s}};
        ScriptedChooser chooser;
        Transfer sender(settings, chooser, port);
        bool sent = false;
        connect(&sender, &Transfer::ended, this, [&sent](const QString &, bool finished) { sent = finished; });
        sender.start();
        QTRY_COMPARE_WITH_TIMEOUT(status, 0, 20000);
        QVERIFY(sent);
        QCOMPARE(contentOf(m_into + u"/notes.txt"_s), contentOf(m_from + u"/notes.txt"_s));

        const QString text = QString::fromUtf8(contentOf(shown.fileName()));
        QVERIFY2(text.contains(u"\rnotes.txt  100%  3 MB of 3 MB"_s), qPrintable(text));
        QVERIFY2(text.endsWith(u"\x1b[K\nFinished. (3072 KB)\n"_s), qPrintable(text));
        QVERIFY(text.startsWith(u"Waiting for connection ...\nPrivate. Code "_s));
    }

    void announcedReceivers()
    {
        // Two computers with avahi-daemon each: the receiver announces itself as the window does, and
        // the sender finds it by the name it is listed under, or lists it to choose from.
        AvahiNet net;
        QCOMPARE(net.start(), QString());
        const QString listed = QSysInfo::machineHostName() + u" — "_s + net.address(0);
        const QStringList onHost1{u"/usr/bin/env"_s, u"DBUS_SYSTEM_BUS_ADDRESS=unix:path="_s + net.bus(1), u"nsenter"_s, net.netns(1)};
        // By the announced name alone (a receiver on a computer of another name), by the row as the
        // list shows it, and chosen from the list.
        for (const QString &way : {u"name"_s, u"row"_s, u"chosen"_s}) {
            const QString into = m_into + u'/' + way;
            QVERIFY(QDir().mkpath(into));
            const QString receive = QStringLiteral(VELTRANE_PROGRAM) + u" receive --yes --into "_s + into;
            Child &receiver = net.exec(0, {u"unshare"_s, u"--uts"_s, u"sh"_s, u"-c"_s,
                                           (way == u"name" ? u"hostname terminal-receiver && exec "_s : u"exec "_s) + receive});
            QVERIFY(receiver.waitForStarted());
            QVERIFY(QTest::qWaitFor([&] { return listening(Port, QString::number(receiver.processId())); }, 10000));
            if (way == u"chosen") {
                PtyProgram sender({u"send"_s, u"notes.txt"_s}, m_from, onHost1);
                QVERIFY(sender.shows("Looking for receivers ..."));
                QVERIFY2(sender.shows("1) " + listed.toUtf8() + "\r\nSend to [1-1]: "), sender.output().constData());
                sender.type("1\r");
                QCOMPARE(sender.status(), 0);
                QVERIFY(sender.output().contains("Connecting to " + net.address(0).toUtf8() + " ..."));
            } else {
                Program sender(m_from);
                sender.start(u"/usr/bin/env"_s, onHost1.mid(1) + QStringList{QStringLiteral(VELTRANE_PROGRAM), u"send"_s, u"--to"_s,
                                                                              way == u"name" ? u"terminal-receiver"_s : listed,
                                                                              u"notes.txt"_s});
                QVERIFY2(sender.exited() == 0, sender.errLines().join(u'\n').toUtf8());
            }
            QVERIFY(QTest::qWaitFor([&] { return receiver.state() == QProcess::NotRunning; }, 10000));
            QCOMPARE(receiver.exitCode(), 0);
            QCOMPARE(contentOf(into + u"/notes.txt"_s), contentOf(m_from + u"/notes.txt"_s));
        }
        net.programs.clear();
    }
};

QTEST_MAIN(TerminalTest)
#include "tst_terminal.moc"


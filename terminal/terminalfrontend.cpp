#include "terminal/terminalfrontend.h"

#include "transfer/filesource.h"
#include "transfer/paxwriter.h"
#include "transfer/saveplace.h"
#include "transfer/statustext.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

using namespace StatusText;

namespace {
// At most ten redraws a second: a terminal over SSH pays for every one.
constexpr qint64 DrawEveryMs = 100;
// How long the last word may take to leave.
constexpr int LastWordMs = 2000;

bool isYes(const QString &answer)
{
    return answer.compare(u"y", Qt::CaseInsensitive) == 0 || answer.compare(u"yes", Qt::CaseInsensitive) == 0;
}
}

TerminalStreams TerminalStreams::standard()
{
    return {STDIN_FILENO, STDERR_FILENO, isatty(STDIN_FILENO) == 1, isatty(STDERR_FILENO) == 1};
}

int TerminalFrontEnd::run(int argc, char **argv)
{
    // Help, the version and a usage error need no application object, and start the quicker for it.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const CommandLine line(arguments);
    if (!line.error().isEmpty()) {
        std::fprintf(stderr, "veltrane: %s (see veltrane --help)\n", qPrintable(line.error()));
        return Usage;
    }
    if (line.command() == CommandLine::Command::Help)
        return std::fputs(qPrintable(CommandLine::usage()), stdout), Finished;
    if (line.command() == CommandLine::Command::Version)
        return std::fputs(qPrintable(CommandLine::version()), stdout), Finished;
    // A reader of stderr that went away (`| head`) ends nothing but the lines.
    signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Veltrane"));
    TerminalFrontEnd frontEnd(line);
    connect(&frontEnd, &TerminalFrontEnd::done, &app, [](int status) { QCoreApplication::exit(status); });
    QTimer::singleShot(0, &frontEnd, &TerminalFrontEnd::start);
    return app.exec();
}

TerminalFrontEnd::TerminalFrontEnd(const CommandLine &line, TerminalStreams streams, quint16 port,
                                   TransferTiming timing, QObject *parent)
    : QObject(parent)
    , m_line(line)
    , m_streams(streams)
    , m_into(line.into().isEmpty() ? QDir::currentPath() : line.into())
    , m_transfer(m_settings, *this, port, timing)
    , m_reader(streams.in)
{
    connect(&m_transfer, &Transfer::statusChanged, this, &TerminalFrontEnd::onStatus);
    connect(&m_transfer, &Transfer::secured, this, [this](const QString &code) {
        m_met = true;
        m_code = code;
        say(QStringLiteral("Private. Code %1: compare it with the other side.").arg(code));
    });
    connect(&m_transfer, &Transfer::wentClear, this, [this] {
        m_met = true;
        say(QStringLiteral("Not encrypted: the other side does not speak privately."));
    });
    connect(&m_transfer, &Transfer::offered, this, &TerminalFrontEnd::onOffered);
    connect(&m_transfer, &Transfer::progressed, this, &TerminalFrontEnd::onProgressed);
    connect(&m_transfer, &Transfer::ended, this, &TerminalFrontEnd::onEnded);
    connect(&m_transfer, &Transfer::cancelled, this, [this] { finish(Interrupted); });
    connect(&m_reader, &AnswerReader::answered, this, [this](const QString &answer) {
        if (auto then = std::exchange(m_then, {}))
            then(answer);
    });
    connect(&m_interrupts, &InterruptWatch::interrupted, this, &TerminalFrontEnd::onInterrupted);
}

void TerminalFrontEnd::start()
{
    if (m_line.command() == CommandLine::Command::Receive)
        return listen();
    // Refused before anything is looked up, let alone offered.
    if (!pathsReadable())
        return finish(Usage);
    m_lookup = new ReceiverLookup(this);
    if (!m_line.to().isEmpty()) {
        connect(m_lookup, &ReceiverLookup::found, this, &TerminalFrontEnd::sendTo);
        connect(m_lookup, &ReceiverLookup::notFound, this, [this] {
            say(QStringLiteral("veltrane: cannot find the receiver %1").arg(m_line.to()));
            finish(Usage);
        });
        return m_lookup->find(m_line.to());
    }
    if (!m_streams.asks) {
        say(QStringLiteral("veltrane: send needs --to RECEIVER when no one is at a terminal to choose"));
        return finish(Usage);
    }
    say(QStringLiteral("Looking for receivers ..."));
    connect(m_lookup, &ReceiverLookup::listed, this, &TerminalFrontEnd::pickReceiver);
    m_lookup->list();
}

// Sending

bool TerminalFrontEnd::pathsReadable()
{
    // As the window takes them: one readable file, or anything a bundle can be made of.
    for (const QString &path : m_line.paths()) {
        const QFileInfo item(path);
        const PaxWriter walk({path});
        if (!item.exists() || !walk.isValid() || (item.isFile() && !QFile(path).open(QIODevice::ReadOnly))) {
            say(QStringLiteral("veltrane: cannot read %1").arg(path));
            return false;
        }
    }
    return true;
}

void TerminalFrontEnd::pickReceiver(const QList<ReceiverLookup::Receiver> &receivers)
{
    if (receivers.isEmpty()) {
        say(QStringLiteral("No receivers found on the local network; name one with --to."));
        return finish(Failed);
    }
    for (qsizetype i = 0; i < receivers.size(); ++i)
        say(QStringLiteral("%1) %2").arg(i + 1).arg(receivers[i].text));
    ask(QStringLiteral("Send to [1-%1]: ").arg(receivers.size()), [this, receivers](const QString &answer) {
        bool number = false;
        const int chosen = answer.toInt(&number);
        if (number && chosen >= 1 && chosen <= receivers.size())
            return sendTo(receivers[chosen - 1].address, receivers[chosen - 1].speaksPrivately);
        if (answer.isEmpty()) {
            say(QStringLiteral("No receiver chosen."));
            return finish(Failed);
        }
        pickReceiver(receivers);
    });
}

void TerminalFrontEnd::sendTo(const QString &address, bool speaksPrivately)
{
    m_settings.XferMode = TransferSettings::Send;
    m_settings.PeerIP = address;
    m_settings.PeerPrivate = speaksPrivately || m_line.mustBePrivate();
    m_settings.Paths = m_line.paths();
    const QStringList &paths = m_line.paths();
    const bool bundle = paths.size() > 1 || QFileInfo(paths.constFirst()).isDir();
    m_progress.emplace(bundle ? FileSource::bundleName(paths) : QFileInfo(paths.constFirst()).fileName());
    m_transfer.start();
}

void TerminalFrontEnd::chooseToSend()
{
    // The paths are always chosen before the transfer starts; nothing chosen refuses.
    m_transfer.send({});
}

// Receiving

void TerminalFrontEnd::listen()
{
    if (!QFileInfo(m_into).isDir()) {
        say(QStringLiteral("veltrane: %1 is not a folder").arg(m_into));
        return finish(Usage);
    }
    m_settings.XferMode = TransferSettings::Receive;
    m_code.clear();
    m_progress.reset();
    m_transfer.start();
}

void TerminalFrontEnd::chooseTarget(const Transfer::Offer &offer)
{
    const QString path = QDir(m_into).filePath(offer.name);
    if (m_line.acceptAll()) {
        const QFileInfo there(path);
        return saveTo(offer, there.exists() || there.isSymLink() ? SavePlace::freeName(m_into, offer.name) : path);
    }
    if (!m_streams.asks) {
        say(QStringLiteral("Refused: no one is at a terminal to accept it (--yes accepts without asking)."));
        return m_transfer.saveTo({});
    }
    ask(QStringLiteral("Accept? [y/N] "), [this, offer, path](const QString &answer) {
        isYes(answer) ? placeOffer(offer, path) : m_transfer.saveTo({});
    });
}

void TerminalFrontEnd::placeOffer(const Transfer::Offer &offer, const QString &path)
{
    const QFileInfo there(path);
    if (!there.exists() && !there.isSymLink())
        return saveTo(offer, path);
    // A file never replaces a folder, nor a folder a file: the new one takes a free name.
    const bool sameKind = !there.isSymLink() && (offer.bundle ? there.isDir() : there.isFile());
    if (!sameKind) {
        const QString free = SavePlace::freeName(m_into, offer.name);
        say(QStringLiteral("%1 is already there; saving as %2.").arg(offer.name, QFileInfo(free).fileName()));
        return saveTo(offer, free);
    }
    const QString question = offer.bundle ? QStringLiteral("The folder %1 is already there. Merge into it? [y/N] ")
                                          : QStringLiteral("%1 is already there. Replace it? [y/N] ");
    ask(question.arg(offer.name),
        [this, offer, path](const QString &answer) { saveTo(offer, isYes(answer) ? path : QString()); });
}

void TerminalFrontEnd::saveTo(const Transfer::Offer &offer, const QString &path)
{
    if (path.isEmpty())
        return m_transfer.saveTo({});
    // The window's checks, with its reasons: a bundle merges into a folder that is there.
    const bool merging = offer.bundle && QFileInfo(path).isDir();
    if (!merging && !SavePlace::canCreate(path)) {
        say(QStringLiteral("Cannot write %1 here.").arg(QFileInfo(path).fileName()));
        return m_transfer.saveTo({});
    }
    if (!SavePlace::hasRoom(path, offer.size)) {
        say(QStringLiteral("There is not enough free space in %1.").arg(m_into));
        return m_transfer.saveTo({});
    }
    m_progress.emplace(QFileInfo(path).fileName());
    m_transfer.saveTo(path);
}

// What the transfer reports

void TerminalFrontEnd::onStatus(const QString &sentence)
{
    // Where it stands, for a person watching; a script reads the ending alone.
    if (!m_streams.draws)
        return;
    if (sentence == Waiting || sentence.startsWith(Connecting) || sentence == SendingRequest
        || sentence == WaitingForFile)
        say(sentence);
}

void TerminalFrontEnd::onOffered(const Transfer::Offer &offer)
{
    m_met = true;
    say(QStringLiteral("%1 offers %2 (%3), %4")
            .arg(offer.from, offer.name + (offer.bundle ? QStringLiteral("/") : QString()), ProgressLine::size(offer.size),
                 m_code.isEmpty() ? QStringLiteral("not encrypted") : QStringLiteral("code ") + m_code));
}

void TerminalFrontEnd::onProgressed(qint64 done, qint64 total)
{
    if (!m_streams.draws || !m_progress)
        return;
    if (!m_clock.isValid())
        m_clock.start();
    const qint64 now = m_clock.elapsed();
    if (m_lineDrawn && done < total && now - m_drawnAt < DrawEveryMs)
        return;
    m_drawnAt = now;
    QString line = m_progress->line(done, total, now);
    // A line that wrapped could not be drawn over: it is cut to the terminal's width.
    winsize size{};
    if (ioctl(m_streams.err, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && line.size() >= size.ws_col)
        line.truncate(size.ws_col - 1);
    // Back to the start of the line, and whatever a longer line left there erased.
    write(u'\r' + line + QStringLiteral("\x1b[K"));
    m_lineDrawn = true;
}

void TerminalFrontEnd::onEnded(const QString &sentence, bool finished)
{
    if (m_interrupted)
        return;
    // A question about an offer that is gone takes no answer, least of all one meant for the next.
    m_reader.stopWaiting();
    m_then = {};
    say(sentence);
    m_clock.invalidate();
    // An inbox that failed to listen at all has nothing to go on with.
    if (m_line.keepListening() && m_line.command() == CommandLine::Command::Receive && m_met) {
        m_met = false;
        return afterLastWord([this] { listen(); });
    }
    afterLastWord([this, finished] { finish(finished ? Finished : Failed); });
}

void TerminalFrontEnd::afterLastWord(const std::function<void()> &then)
{
    // The transfer's last word ("OK" after the last byte, "CC") may still wait in the socket, and
    // closing it, as leaving or listening again does, would drop it. A peer that takes nothing
    // more is not waited for long.
    auto *wait = new QTimer(this);
    wait->setInterval(10);
    connect(wait, &QTimer::timeout, this, [this, wait, then, left = LastWordMs / 10]() mutable {
        if (--left > 0 && m_transfer.NT->State() == TcpControl::Connected && !m_transfer.NT->allSent())
            return;
        wait->deleteLater();
        then();
    });
    wait->start();
}

void TerminalFrontEnd::onInterrupted()
{
    // A second Ctrl-C does not wait for the first.
    if (std::exchange(m_interrupted, true))
        return finish(Interrupted);
    m_reader.stopWaiting();
    m_then = {};
    say(QStringLiteral("Interrupted."));
    const Transfer::Stage stage = m_transfer.stage();
    if (stage == Transfer::Stage::Idle || stage == Transfer::Stage::Ended)
        return finish(Interrupted);
    // Finishes through cancelled().
    m_transfer.cancel();
}

// The terminal

void TerminalFrontEnd::ask(const QString &question, std::function<void(const QString &)> then)
{
    write(m_lineDrawn ? u'\n' + question : question);
    m_lineDrawn = false;
    m_then = std::move(then);
    m_reader.awaitLine();
}

void TerminalFrontEnd::say(const QString &line)
{
    write((m_lineDrawn ? QStringLiteral("\n") : QString()) + line + u'\n');
    m_lineDrawn = false;
}

void TerminalFrontEnd::write(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    // stderr is unbuffered and ours alone: a short write is finished, not dropped.
    for (qsizetype at = 0; at < bytes.size();) {
        const ssize_t written = ::write(m_streams.err, bytes.constData() + at, size_t(bytes.size() - at));
        if (written <= 0)
            return;
        at += written;
    }
}

void TerminalFrontEnd::finish(int status)
{
    if (std::exchange(m_finished, true))
        return;
    m_reader.stopWaiting();
    emit done(status);
}

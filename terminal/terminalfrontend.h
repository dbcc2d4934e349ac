#pragma once

#include "terminal/answerreader.h"
#include "terminal/commandline.h"
#include "terminal/interruptwatch.h"
#include "terminal/progressline.h"
#include "terminal/receiverlookup.h"
#include "transfer/transfer.h"

#include <QElapsedTimer>

#include <functional>
#include <optional>

// Where a terminal command reads its answers and writes what it says.
struct TerminalStreams {
    int in = 0;
    int err = 2;
    // A person at `in` can answer questions.
    bool asks = false;
    // `err` is a terminal, where a line can be redrawn.
    bool draws = false;

    static TerminalStreams standard();
};

// `veltrane send` and `veltrane receive`: one transfer (or, with --keep, one after another) shown
// as lines on stderr, with the two choices made by the command line or asked at the terminal.
// Exit statuses: 0 finished, 1 failed or refused by either side, 2 a usage error or an unreadable
// path, 130 interrupted.
class TerminalFrontEnd : public QObject, private Transfer::Chooser
{
    Q_OBJECT

public:
    enum Status { Finished = 0, Failed = 1, Usage = 2, Interrupted = 130 };

    // The program's entry for the terminal commands: no display, no platform plugin.
    static int run(int argc, char **argv);

    TerminalFrontEnd(const CommandLine &line, TerminalStreams streams = TerminalStreams::standard(),
                     quint16 port = Transfer::Port, TransferTiming timing = {}, QObject *parent = nullptr);

    void start();

signals:
    void done(int status);

private:
    // Sending
    bool pathsReadable();
    void pickReceiver(const QList<ReceiverLookup::Receiver> &receivers);
    void sendTo(const QString &address, bool speaksPrivately);
    void chooseToSend() override;

    // Receiving
    void listen();
    void chooseTarget(const Transfer::Offer &offer) override;
    void placeOffer(const Transfer::Offer &offer, const QString &path);
    void saveTo(const Transfer::Offer &offer, const QString &path);

    // What the transfer reports
    void onStatus(const QString &sentence);
    void onOffered(const Transfer::Offer &offer);
    void onProgressed(qint64 done, qint64 total);
    void onEnded(const QString &sentence, bool finished);
    void onInterrupted();
    void afterLastWord(const std::function<void()> &then);

    // The terminal
    void ask(const QString &question, std::function<void(const QString &)> then);
    void say(const QString &line);
    void write(const QString &text);
    void finish(int status);

    CommandLine m_line;
    TerminalStreams m_streams;
    QString m_into;
    TransferSettings m_settings;
    Transfer m_transfer;
    AnswerReader m_reader;
    InterruptWatch m_interrupts;
    ReceiverLookup *m_lookup = nullptr;
    std::function<void(const QString &)> m_then;
    // The peer's code while the channel is private.
    QString m_code;
    // Someone connected: a failure after that does not end --keep.
    bool m_met = false;
    bool m_interrupted = false;
    bool m_finished = false;
    // Progress
    std::optional<ProgressLine> m_progress;
    QElapsedTimer m_clock;
    qint64 m_drawnAt = 0;
    bool m_lineDrawn = false;
};

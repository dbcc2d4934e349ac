#pragma once

#include <QString>
#include <QStringList>

// What a terminal command line asks for:
//   veltrane send [--to RECEIVER] [--private] PATH...
//   veltrane receive [--into FOLDER] [--yes] [--keep]
//   veltrane --help | --version
// Anything else is the window's: the paths it sends.
class CommandLine
{
public:
    enum class Command { Send, Receive, Help, Version };

    // Whether the arguments (the program's name first) belong to the terminal at all.
    static bool claims(int argc, char **argv);
    // The arguments after the program's name; error() says what was wrong with them.
    explicit CommandLine(const QStringList &arguments);

    static QString usage();
    static QString version();

    Command command() const { return m_command; }
    // Empty when the line is usable; otherwise one sentence for the user.
    const QString &error() const { return m_error; }

    // Sending
    const QString &to() const { return m_to; }
    bool mustBePrivate() const { return m_private; }
    const QStringList &paths() const { return m_paths; }

    // Receiving
    const QString &into() const { return m_into; }
    bool acceptAll() const { return m_yes; }
    bool keepListening() const { return m_keep; }

private:
    bool takeValue(const QStringList &arguments, qsizetype &at, const QString &option, QString &value);
    void fail(const QString &sentence);

    Command m_command = Command::Help;
    QString m_error;
    QString m_to;
    bool m_private = false;
    QStringList m_paths;
    QString m_into;
    bool m_yes = false;
    bool m_keep = false;
};

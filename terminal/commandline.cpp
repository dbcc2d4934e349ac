#include "terminal/commandline.h"

#include <cstring>

namespace {
bool isHelp(const QString &word) { return word == u"--help" || word == u"-h"; }
}

bool CommandLine::claims(int argc, char **argv)
{
    if (argc < 2)
        return false;
    for (const char *word : {"send", "receive", "--help", "-h", "--version"})
        if (std::strcmp(argv[1], word) == 0)
            return true;
    return false;
}

CommandLine::CommandLine(const QStringList &arguments)
{
    const QString first = arguments.value(0);
    if (isHelp(first)) {
        m_command = Command::Help;
        return;
    }
    if (first == u"--version") {
        m_command = Command::Version;
        return;
    }
    if (first == u"send") {
        m_command = Command::Send;
    } else if (first == u"receive") {
        m_command = Command::Receive;
    } else {
        fail(QStringLiteral("unknown command '%1'").arg(first));
        return;
    }

    const bool sending = m_command == Command::Send;
    bool optionsEnd = false;
    for (qsizetype at = 1; at < arguments.size(); ++at) {
        const QString &word = arguments[at];
        const bool option = !optionsEnd && word.startsWith(u'-') && word != u"-";
        if (!option) {
            if (!sending) {
                fail(QStringLiteral("receive takes no paths ('%1')").arg(word));
                return;
            }
            m_paths.append(word);
        } else if (word == u"--") {
            optionsEnd = true;
        } else if (isHelp(word)) {
            m_command = Command::Help;
            return;
        } else if (sending && (word == u"--to" || word.startsWith(u"--to="))) {
            if (!takeValue(arguments, at, QStringLiteral("--to"), m_to))
                return;
        } else if (sending && word == u"--private") {
            m_private = true;
        } else if (!sending && (word == u"--into" || word.startsWith(u"--into="))) {
            if (!takeValue(arguments, at, QStringLiteral("--into"), m_into))
                return;
        } else if (!sending && (word == u"--yes" || word == u"-y")) {
            m_yes = true;
        } else if (!sending && word == u"--keep") {
            m_keep = true;
        } else {
            fail(QStringLiteral("unknown option '%1' for %2").arg(word, first));
            return;
        }
    }
    if (sending && m_paths.isEmpty())
        fail(QStringLiteral("send needs at least one file or folder"));
}

bool CommandLine::takeValue(const QStringList &arguments, qsizetype &at, const QString &option, QString &value)
{
    const QString &word = arguments[at];
    if (word.size() > option.size())
        value = word.sliced(option.size() + 1);
    else if (at + 1 < arguments.size())
        value = arguments[++at];
    if (value.isEmpty())
        fail(QStringLiteral("%1 needs a value").arg(option));
    return !value.isEmpty();
}

void CommandLine::fail(const QString &sentence)
{
    if (m_error.isEmpty())
        m_error = sentence;
}

QString CommandLine::usage()
{
    return QStringLiteral(
        "Usage: veltrane send [--to RECEIVER] [--private] PATH...\n"
        "       veltrane receive [--into FOLDER] [--yes] [--keep]\n"
        "       veltrane [PATH...]             open the window, sending PATH if given\n"
        "\n"
        "Moves files and folders to another computer on port 1001, privately\n"
        "(TLS) when both sides are Veltrane; compare the code both sides print.\n"
        "\n"
        "send:\n"
        "  --to RECEIVER   an IPv4 address, a host name, or a receiver's announced\n"
        "                  name; without it, pick one of the receivers found nearby\n"
        "  --private       never fall back to an unencrypted connection\n"
        "  Several paths, or a folder, go as one bundle.\n"
        "\n"
        "receive:\n"
        "  --into FOLDER   save into FOLDER instead of the current folder\n"
        "  -y, --yes       accept every offer; an existing name gets a free one\n"
        "  --keep          go on listening after each transfer until interrupted\n"
        "\n"
        "  --help          show this help     --version   show the version\n"
        "\n"
        "Exit status: 0 finished, 1 failed or refused, 2 usage error or unreadable\n"
        "path, 130 interrupted.\n");
}

QString CommandLine::version()
{
    // The file version is 1.0.0.8; people know the program as 1.0.8, as the about window shows it.
    const QStringList parts = QStringLiteral(VELTRANE_VERSION).split(u'.');
    return QStringLiteral("veltrane %1.%2.%3\n").arg(parts.value(0), parts.value(1), parts.value(3));
}

#pragma once

#include <QAbstractSocket>
#include <QLocale>
#include <QString>

// Every sentence the transfer window can show, spelled as peers and users know them.
namespace StatusText {
inline constexpr char Connecting[] = "Connecting to ";
inline constexpr char ConnectingEnd[] = " ...";
inline constexpr char CouldNotConnect[] = "Could not connect to ";
inline constexpr char Waiting[] = "Waiting for connection ...";
inline constexpr char CouldNotListen[] = "Could not listen on port ";
inline constexpr char NoListenPermission[] = "No permission to listen on port ";
inline constexpr char PortPrefix[] = "Port ";
inline constexpr char InUse[] = " is already in use!";
inline constexpr char SelectFile[] = "Connected. Pease select a file ...";
inline constexpr char SendingRequest[] = "Sending request ...";
inline constexpr char SaveFileTo[] = "Save file to ...";
// The save dialog's title: who offers the file, and how big it says it is.
inline constexpr char SaveFileFrom[] = "Save file from ";
inline constexpr char RecievingFile[] = "Recieving file ...";
inline constexpr char SendingFile[] = "Sending file ...";
inline constexpr char WaitingForFile[] = "Connected. Waiting for file ...";
inline constexpr char ClosedByReciever[] = "Error ! Connection closed by reciever.";
inline constexpr char ClosedBySender[] = "Error ! Connection closed by sender.";
inline constexpr char NoFileSelected[] = "No file selected. Connection cancelled.";
inline constexpr char ZeroLength[] = "Zero length file. Connection cancelled.";
inline constexpr char CannotReadChoice[] = "Could not read file. Connection cancelled.";
// "Could not send <name>: ..." for an entry of a bundle that a receiving Veltrane would refuse.
inline constexpr char CannotSendName[] = "Could not send ";
inline constexpr char CannotSendNameEnd[] = ": the reciever would refuse its name. Connection cancelled.";
inline constexpr char SaveCancelled[] = "Saving file cancelled. Connection closed.";
inline constexpr char CannotRead[] = "Error ! Could not read file.";
inline constexpr char CannotWrite[] = "Error ! Could not write file.";
inline constexpr char RunningSend[] = "Sending file ... (";
inline constexpr char RunningRecieve[] = "Recieving file ... (";
inline constexpr char KbOf[] = " KB of ";
inline constexpr char KbEnd[] = " KB)";
inline constexpr char Finished[] = "Finished. (";
inline constexpr char UnsafeName[] = "Error ! The folder holds an unsafe name.";
inline constexpr char NotPrivate[] = "Error ! The connection could not be made private.";
inline constexpr char Cancel[] = "Cancel";
inline constexpr char Done[] = "Done";
// The transfer window's title: the code both ends show while the transfer is private.
inline constexpr char Title[] = "Veltrane";
inline constexpr char TitleNotEncrypted[] = "Veltrane (not encrypted)";
// A desktop notification of an offer: "<address> offers <name> (<size> KB)".
inline constexpr char Offers[] = " offers ";
inline constexpr char OffersSizeStart[] = " (";
// The label of a notification's default action, where the desktop shows one.
inline constexpr char ShowAction[] = "Show";

// Why the port could not be had, as the user can act on it.
inline QString cannotListen(QAbstractSocket::SocketError error, quint16 port)
{
    const QString number = QString::number(port);
    if (error == QAbstractSocket::SocketAccessError)
        return NoListenPermission + number + u'!';
    if (error == QAbstractSocket::AddressInUseError)
        return PortPrefix + number + InUse;
    return CouldNotListen + number + u'!';
}

// A name as it can be shown: control characters as escapes ("Icon\r"), never raw.
inline QString visible(const QString &name)
{
    QString shown;
    for (const QChar c : name) {
        if (c.category() != QChar::Other_Control)
            shown += c;
        else if (c == u'\r' || c == u'\n' || c == u'\t')
            shown += c == u'\r' ? QStringLiteral("\\r") : c == u'\n' ? QStringLiteral("\\n") : QStringLiteral("\\t");
        else
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    }
    return shown;
}

inline QString wouldRefuse(const QString &name) { return CannotSendName + visible(name) + CannotSendNameEnd; }

// A byte count as kilobytes with at most one decimal, ties to even, in the user's notation.
// Tenths of a kilobyte in integers: a double cannot hold the tenths of a count this large.
inline QString kilobytes(qint64 bytes)
{
    qint64 tenths = bytes / 1024 * 10;
    const qint64 rest = bytes % 1024 * 10;
    tenths += rest / 1024;
    const qint64 left = rest % 1024;
    if (left > 512 || (left == 512 && tenths % 2))
        ++tenths;
    QString text = QString::number(tenths / 10);
    if (tenths % 10)
        text += QLocale().decimalPoint() + QString::number(tenths % 10);
    return text;
}
}

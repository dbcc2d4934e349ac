#pragma once

#include <QString>

// What a receiver announces and a sender looks for through avahi-daemon's D-Bus interface on the
// system bus (the same one KDE's and GNOME's service discovery talk to).
namespace DnsSd {
inline const QString ServiceType = QStringLiteral("_veltrane._tcp");
// The text record of a receiver that speaks privately.
inline const QByteArray PrivateRecord = QByteArrayLiteral("tls=1");

inline const QString Service = QStringLiteral("org.freedesktop.Avahi");
inline const QString ServerPath = QStringLiteral("/");
inline const QString Server = QStringLiteral("org.freedesktop.Avahi.Server");
inline const QString EntryGroup = QStringLiteral("org.freedesktop.Avahi.EntryGroup");
inline const QString ServiceBrowser = QStringLiteral("org.freedesktop.Avahi.ServiceBrowser");
inline const QString CollisionError = QStringLiteral("org.freedesktop.Avahi.CollisionError");

// Every interface, IPv4 only: an IPv6 entry resolves to a link-local address without its scope,
// which nobody can type.
constexpr int AnyInterface = -1;
constexpr int IPv4 = 0;

// Entry group states that need an answer.
constexpr int Collision = 3;
}

#include "transfer/serviceannouncer.h"

#include "transfer/dnssd.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSysInfo>

namespace {
QDBusMessage serverCall(const QString &method)
{
    return QDBusMessage::createMethodCall(DnsSd::Service, DnsSd::ServerPath, DnsSd::Server, method);
}
}

ServiceAnnouncer::ServiceAnnouncer(QObject *parent)
    : QObject(parent)
{
}

ServiceAnnouncer::~ServiceAnnouncer()
{
    withdraw();
}

template <typename Then> void ServiceAnnouncer::whenAnswered(const QDBusPendingCall &call, Then then)
{
    auto *watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, then, generation = m_generation](QDBusPendingCallWatcher *answered) {
                answered->deleteLater();
                if (generation == m_generation)
                    then(answered->reply());
            });
}

QDBusMessage ServiceAnnouncer::groupCall(const QString &method) const
{
    return QDBusMessage::createMethodCall(DnsSd::Service, m_group, DnsSd::EntryGroup, method);
}

void ServiceAnnouncer::announce(quint16 port)
{
    withdraw();
    // Connecting to a bus that is not there fails at once, and quietly.
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return;
    m_wanted = true;
    m_port = port;
    m_name = QSysInfo::machineHostName();
    const quint32 generation = m_generation;
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(serverCall(QStringLiteral("EntryGroupNew"))), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, generation](QDBusPendingCallWatcher *answered) {
        answered->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> reply = *answered;
        if (reply.isError())
            return;
        const QString group = reply.value().path();
        if (generation != m_generation) {
            // Withdrawn while the group was being made: it goes at once.
            QDBusConnection::systemBus().asyncCall(
                QDBusMessage::createMethodCall(DnsSd::Service, group, DnsSd::EntryGroup, QStringLiteral("Free")));
            return;
        }
        m_group = group;
        // The group reports its state only after Commit, so listening now misses nothing.
        QDBusConnection::systemBus().connect(QString(), m_group, DnsSd::EntryGroup, QStringLiteral("StateChanged"),
                                             this, SLOT(groupStateChanged(int, QString, QDBusMessage)));
        addService();
    });
}

void ServiceAnnouncer::addService()
{
    // One text record, "aay": senders that find it never fall back to the clear.
    QDBusArgument txt;
    txt.beginArray(QMetaType::fromType<QByteArray>());
    txt << DnsSd::PrivateRecord;
    txt.endArray();
    QDBusMessage add = groupCall(QStringLiteral("AddService"));
    add << DnsSd::AnyInterface << DnsSd::IPv4 << 0u << m_name << DnsSd::ServiceType << QString() << QString()
        << QVariant::fromValue(m_port) << QVariant::fromValue(txt);
    whenAnswered(QDBusConnection::systemBus().asyncCall(add), [this](const QDBusMessage &reply) {
        if (reply.type() == QDBusMessage::ErrorMessage) {
            // Another program on this computer holds the name already.
            if (reply.errorName() == DnsSd::CollisionError)
                rename();
            return;
        }
        QDBusConnection::systemBus().asyncCall(groupCall(QStringLiteral("Commit")));
    });
}

void ServiceAnnouncer::rename()
{
    QDBusMessage alternative = serverCall(QStringLiteral("GetAlternativeServiceName"));
    alternative << m_name;
    whenAnswered(QDBusConnection::systemBus().asyncCall(alternative), [this](const QDBusMessage &reply) {
        if (reply.type() == QDBusMessage::ErrorMessage || reply.arguments().isEmpty())
            return;
        m_name = reply.arguments().constFirst().toString();
        // The daemon takes one connection's calls in order: the reset is done before the add.
        QDBusConnection::systemBus().asyncCall(groupCall(QStringLiteral("Reset")));
        addService();
    });
}

void ServiceAnnouncer::groupStateChanged(int state, const QString &, const QDBusMessage &message)
{
    if (message.path() != m_group || !m_wanted)
        return;
    if (state == DnsSd::Collision)
        rename();
}

void ServiceAnnouncer::withdraw()
{
    ++m_generation;
    m_wanted = false;
    if (m_group.isEmpty())
        return;
    QDBusConnection bus = QDBusConnection::systemBus();
    bus.disconnect(QString(), m_group, DnsSd::EntryGroup, QStringLiteral("StateChanged"), this,
                   SLOT(groupStateChanged(int, QString, QDBusMessage)));
    bus.asyncCall(groupCall(QStringLiteral("Free")));
    m_group.clear();
}

#pragma once

#include <QObject>

class QDBusMessage;
class QDBusPendingCall;

// Announces a receiver on the local network through avahi-daemon while it waits:
//   Server.EntryGroupNew -> group; group.AddService(name, type, port); group.Commit;
//   on a name taken elsewhere (StateChanged: collision, or CollisionError at once) the group
//   is reset and the service added again under Server.GetAlternativeServiceName ("host #2");
//   group.Free withdraws it, and the daemon drops it by itself when the program goes away.
// Every call is asynchronous; with no bus or no daemon nothing happens and nothing is said.
class ServiceAnnouncer : public QObject
{
    Q_OBJECT

public:
    explicit ServiceAnnouncer(QObject *parent = nullptr);
    ~ServiceAnnouncer() override;

    // Under the computer's host name.
    void announce(quint16 port);
    void withdraw();

private slots:
    void groupStateChanged(int state, const QString &error, const QDBusMessage &message);

private:
    // Runs `then` with the reply of `call` if the announcement is still the one that made it.
    template <typename Then> void whenAnswered(const QDBusPendingCall &call, Then then);
    QDBusMessage groupCall(const QString &method) const;
    void addService();
    void rename();

    // Each announce and withdraw starts a new generation; late replies of an older one are dropped.
    quint32 m_generation = 0;
    bool m_wanted = false;
    QString m_group;
    QString m_name;
    quint16 m_port = 0;
};

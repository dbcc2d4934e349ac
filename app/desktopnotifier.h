#pragma once

#include <QObject>
#include <QSet>
#include <QString>

#include <optional>

// Tells the person about an event through the desktop's notification service, when the window it
// concerns is not in front:
//   GetCapabilities once (the body is escaped where the service reads markup);
//   Notify(app, replaces_id, icon, summary, body, ["default", ...], hints, -1) -> id;
//   the service may send ActivationToken(id, token) and then ActionInvoked(id, "default").
// Each show replaces the one before it until forget(), so a transfer keeps one notification.
// Every call is asynchronous; with no bus or no service nothing happens and nothing is said.
class DesktopNotifier : public QObject
{
    Q_OBJECT

public:
    explicit DesktopNotifier(QObject *parent = nullptr);

    void show(const QString &body);
    // Takes the last notification away, if one is shown.
    void withdraw();
    // The next show starts a notification of its own; the last one stays.
    void forget();

signals:
    // The person chose a notification of ours; `token` lets the window be raised on Wayland.
    void invoked(const QString &token);

private slots:
    void actionInvoked(uint id, const QString &action);
    void activationToken(uint id, const QString &token);
    void notificationClosed(uint id, uint reason);

private:
    void send(const QString &body);
    void answered();

    bool m_subscribed = false;
    std::optional<bool> m_markup;
    // A call awaits its reply; what is to be shown meanwhile waits for it, only the latest.
    bool m_busy = false;
    std::optional<QString> m_next;
    quint32 m_generation = 0;
    uint m_current = 0;
    QSet<uint> m_ours;
    QString m_token;
};

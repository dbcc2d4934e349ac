#include "app/desktopnotifier.h"

#include "transfer/statustext.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace {
const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");
const QString DefaultAction = QStringLiteral("default");
const QString IconName = QStringLiteral("io.github.veltrane.veltrane");

QDBusMessage call(const QString &method)
{
    return QDBusMessage::createMethodCall(Service, Path, Interface, method);
}
}

DesktopNotifier::DesktopNotifier(QObject *parent)
    : QObject(parent)
{
}

void DesktopNotifier::show(const QString &body)
{
    if (m_busy) {
        m_next = body;
        return;
    }
    send(body);
}

void DesktopNotifier::send(const QString &body)
{
    // The bus is reached only when there is something to say, so a window never waits for it.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    if (!m_subscribed) {
        // Before the first Notify, so that no answer to it can pass unheard.
        bus.connect(QString(), Path, Interface, QStringLiteral("ActionInvoked"), this,
                    SLOT(actionInvoked(uint, QString)));
        bus.connect(QString(), Path, Interface, QStringLiteral("ActivationToken"), this,
                    SLOT(activationToken(uint, QString)));
        bus.connect(QString(), Path, Interface, QStringLiteral("NotificationClosed"), this,
                    SLOT(notificationClosed(uint, uint)));
        m_subscribed = true;
    }
    m_busy = true;
    if (!m_markup) {
        // Where the service reads markup, a name like "a<b>&c" must reach the person as typed.
        m_next = body;
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call(QStringLiteral("GetCapabilities"))), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *reply) {
            reply->deleteLater();
            const QDBusPendingReply<QStringList> capabilities = *reply;
            // No service: this event goes unsaid, and the next one asks again.
            if (capabilities.isError())
                return m_next.reset(), answered();
            m_markup = capabilities.value().contains(QStringLiteral("body-markup"));
            answered();
        });
        return;
    }
    QDBusMessage notify = call(QStringLiteral("Notify"));
    notify << QString::fromLatin1(StatusText::Title) << m_current << IconName << QString::fromLatin1(StatusText::Title)
           << (*m_markup ? body.toHtmlEscaped() : body)
           << QStringList{DefaultAction, QString::fromLatin1(StatusText::ShowAction)}
           << QVariantMap{{QStringLiteral("desktop-entry"), IconName}} << -1;
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(notify), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, generation = m_generation](QDBusPendingCallWatcher *reply) {
                reply->deleteLater();
                const QDBusPendingReply<uint> id = *reply;
                if (!id.isError()) {
                    m_ours.insert(id.value());
                    if (generation == m_generation)
                        m_current = id.value();
                }
                answered();
            });
}

void DesktopNotifier::answered()
{
    m_busy = false;
    if (m_next) {
        const QString body = *std::exchange(m_next, std::nullopt);
        send(body);
    }
}

void DesktopNotifier::withdraw()
{
    m_next.reset();
    if (!m_current)
        return;
    QDBusMessage close = call(QStringLiteral("CloseNotification"));
    close << m_current;
    QDBusConnection::sessionBus().asyncCall(close);
    m_current = 0;
}

void DesktopNotifier::forget()
{
    ++m_generation;
    m_current = 0;
    m_next.reset();
}

void DesktopNotifier::activationToken(uint id, const QString &token)
{
    // Sent just before ActionInvoked, for the same notification.
    if (m_ours.contains(id))
        m_token = token;
}

void DesktopNotifier::actionInvoked(uint id, const QString &action)
{
    if (!m_ours.contains(id) || action != DefaultAction)
        return;
    emit invoked(std::exchange(m_token, QString()));
}

void DesktopNotifier::notificationClosed(uint id, uint)
{
    m_ours.remove(id);
    if (id == m_current)
        m_current = 0;
}

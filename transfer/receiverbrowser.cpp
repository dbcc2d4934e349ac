#include "transfer/receiverbrowser.h"

#include "transfer/dnssd.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <optional>
#include <utility>

namespace {
const QString ItemNewSignal = QStringLiteral("ItemNew");
const QString ItemRemoveSignal = QStringLiteral("ItemRemove");

QDBusMessage serverCall(const QString &method)
{
    return QDBusMessage::createMethodCall(DnsSd::Service, DnsSd::ServerPath, DnsSd::Server, method);
}

// Runs `then` with the answer to `message`, unless `context` has gone by then.
template <typename Then> void ask(QObject *context, const QDBusMessage &message, Then then)
{
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(message), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context, [then](QDBusPendingCallWatcher *answered) {
        answered->deleteLater();
        then(answered->reply());
    });
}
}

ReceiverBrowser::ReceiverBrowser(QObject *parent)
    : QAbstractListModel(parent)
{
    // Connecting to a bus that is not there fails at once, and quietly.
    if (!QDBusConnection::systemBus().isConnected())
        return;
    subscribe(true);
    QDBusMessage create = serverCall(QStringLiteral("ServiceBrowserNew"));
    create << DnsSd::AnyInterface << DnsSd::IPv4 << DnsSd::ServiceType << QString() << 0u;
    ask(this, create, [this](const QDBusMessage &reply) {
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            return browserCreated(qvariant_cast<QDBusObjectPath>(reply.arguments().constFirst()).path());
        // No daemon, or it refused: the list stays empty.
        subscribe(false);
        m_early.clear();
    });
}

ReceiverBrowser::~ReceiverBrowser()
{
    if (m_browser.isEmpty())
        return;
    subscribe(false);
    QDBusConnection::systemBus().asyncCall(
        QDBusMessage::createMethodCall(DnsSd::Service, m_browser, DnsSd::ServiceBrowser, QStringLiteral("Free")));
}

void ReceiverBrowser::subscribe(bool on)
{
    // Any sender and any path: the browser's path is not known yet, and naming the daemon's bus
    // name would make Qt look up its owner while we wait.
    QDBusConnection bus = QDBusConnection::systemBus();
    for (const auto &[name, slot] : {std::pair(ItemNewSignal, SLOT(itemNew(QDBusMessage))),
                                     std::pair(ItemRemoveSignal, SLOT(itemRemove(QDBusMessage)))}) {
        if (on)
            bus.connect(QString(), QString(), DnsSd::ServiceBrowser, name, this, slot);
        else
            bus.disconnect(QString(), QString(), DnsSd::ServiceBrowser, name, this, slot);
    }
}

void ReceiverBrowser::browserCreated(const QString &path)
{
    m_browser = path;
    const QList<QDBusMessage> early = std::exchange(m_early, {});
    for (const QDBusMessage &message : early) {
        if (message.member() == ItemNewSignal)
            itemNew(message);
        else
            itemRemove(message);
    }
}

std::optional<ReceiverBrowser::Item> ReceiverBrowser::itemOf(const QDBusMessage &message)
{
    // interface, protocol, name, type, domain, flags
    const QList<QVariant> args = message.arguments();
    if (args.size() < 5)
        return std::nullopt;
    return Item{args[0].toInt(), args[2].toString(), args[4].toString()};
}

void ReceiverBrowser::itemNew(const QDBusMessage &message)
{
    if (m_browser.isEmpty())
        return m_early.append(message);
    const std::optional<Item> item = itemOf(message);
    if (message.path() != m_browser || !item || m_items.contains(*item))
        return;
    m_items.insert(*item, QString());
    resolve(*item);
}

void ReceiverBrowser::itemRemove(const QDBusMessage &message)
{
    if (m_browser.isEmpty())
        return m_early.append(message);
    const std::optional<Item> item = itemOf(message);
    if (message.path() != m_browser || !item)
        return;
    forget(*item);
}

void ReceiverBrowser::resolve(const Item &item)
{
    QDBusMessage call = serverCall(QStringLiteral("ResolveService"));
    call << item.interface << DnsSd::IPv4 << item.name << DnsSd::ServiceType << item.domain << DnsSd::IPv4 << 0u;
    ask(this, call, [this, item](const QDBusMessage &reply) {
        // interface, protocol, name, type, domain, host, address protocol, address, port, txt, flags
        const QList<QVariant> args = reply.arguments();
        if (reply.type() != QDBusMessage::ReplyMessage || args.size() < 10)
            return;
        QList<QByteArray> records;
        args[9].value<QDBusArgument>() >> records;
        resolved(item, args[7].toString(), records.contains(DnsSd::PrivateRecord));
    });
}

void ReceiverBrowser::resolved(const Item &item, const QString &address, bool speaksPrivately)
{
    // Gone while it was being resolved, or known already.
    const auto known = m_items.find(item);
    if (known == m_items.end() || !known->isEmpty() || address.isEmpty())
        return;
    *known = address;
    const QString text = item.name + QStringLiteral(" — ") + address;
    // One row per name and address, however many interfaces it is seen on; in order, so the
    // list reads the same however the answers arrived.
    int row = 0;
    for (; row < m_rows.size(); ++row) {
        const QString &here = m_rows[row].text;
        if (here == text)
            return;
        if (here > text)
            break;
    }
    beginInsertRows({}, row, row);
    m_rows.insert(row, {text, address, speaksPrivately});
    endInsertRows();
    if (m_rows.size() == 1)
        emit firstFound();
}

void ReceiverBrowser::forget(const Item &item)
{
    const QString address = m_items.take(item);
    if (address.isEmpty())
        return;
    // The row stays while the same receiver is still seen on another interface.
    for (auto it = m_items.cbegin(); it != m_items.cend(); ++it)
        if (it.key().name == item.name && it.value() == address)
            return;
    const QString text = item.name + QStringLiteral(" — ") + address;
    for (int row = int(m_rows.size()) - 1; row >= 0; --row) {
        if (m_rows[row].text != text)
            continue;
        beginRemoveRows({}, row, row);
        m_rows.removeAt(row);
        endRemoveRows();
    }
}

QVariant ReceiverBrowser::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const Row &row = m_rows[index.row()];
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return row.text;
    case AddressRole:
        return row.address;
    case PrivateRole:
        return row.speaksPrivately;
    }
    return {};
}

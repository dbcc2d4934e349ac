#pragma once

#include <QHash>
#include <QList>
#include <QAbstractListModel>

#include <optional>

class QDBusMessage;

// The receivers avahi-daemon finds on the local network, as rows "name — address" for the
// address dialog's list or a terminal's:
//   Server.ServiceBrowserNew(type) -> browser; its ItemNew and ItemRemove signals say what comes
//   and goes; Server.ResolveService turns each new item into an address; browser.Free ends it.
// The signals are subscribed before the browser exists, since the daemon may send the first ones
// before its answer that names the browser. Every call is asynchronous; with no bus or no daemon
// the list stays empty and nothing is said.
class ReceiverBrowser : public QAbstractListModel
{
    Q_OBJECT

public:
    // The address a row puts into the box.
    static constexpr int AddressRole = Qt::UserRole + 1;
    // True when the receiver announced that it speaks privately.
    static constexpr int PrivateRole = Qt::UserRole + 2;

    explicit ReceiverBrowser(QObject *parent = nullptr);
    ~ReceiverBrowser() override;

    QAbstractItemModel *model() { return this; }
    int rowCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : int(m_rows.size()); }
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

signals:
    // The list has gone from empty to holding one receiver.
    void firstFound();

private slots:
    void itemNew(const QDBusMessage &message);
    void itemRemove(const QDBusMessage &message);

private:
    // A service as the daemon names it: seen once per interface it is seen on.
    struct Item {
        int interface;
        QString name;
        QString domain;
        bool operator==(const Item &) const = default;
    };
    friend size_t qHash(const Item &item, size_t seed) { return qHashMulti(seed, item.interface, item.name, item.domain); }
    static std::optional<Item> itemOf(const QDBusMessage &message);

    void subscribe(bool on);
    void browserCreated(const QString &path);
    void resolve(const Item &item);
    void resolved(const Item &item, const QString &address, bool speaksPrivately);
    void forget(const Item &item);

    struct Row {
        QString text, address;
        bool speaksPrivately;
    };
    QList<Row> m_rows;
    QString m_browser;
    // Signals that came before the answer that tells which browser is ours.
    QList<QDBusMessage> m_early;
    // Every item seen, with its address once resolved (empty until then).
    QHash<Item, QString> m_items;
};

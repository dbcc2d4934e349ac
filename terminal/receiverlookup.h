#pragma once

#include <QList>
#include <QObject>
#include <QTimer>

class ReceiverBrowser;

// Who "--to" names, or which receivers there are to choose from: an IPv4 address stands for
// itself; anything else is asked of the system's resolver and looked for among the receivers
// announced on the local network (as the address dialog lists them), whichever answers first.
class ReceiverLookup : public QObject
{
    Q_OBJECT

public:
    // As long as the address dialog gives the network to answer before a list is shown.
    static constexpr int BrowseMs = 2000;

    struct Receiver {
        QString text, address;
        bool speaksPrivately = false;
    };

    explicit ReceiverLookup(QObject *parent = nullptr);
    ~ReceiverLookup() override;

    // Every receiver found within BrowseMs, through listed().
    void list();
    // Through found() or notFound(), once.
    void find(const QString &name);

signals:
    void listed(const QList<Receiver> &receivers);
    void found(const QString &address, bool speaksPrivately);
    void notFound();

private:
    QList<Receiver> receivers() const;
    void checkAnnounced();
    void resolved(const QString &address);
    void settle();
    void answer(const QString &address, bool speaksPrivately);

    ReceiverBrowser *m_browser = nullptr;
    QTimer m_browsing;
    QString m_name;
    int m_lookupId = -1;
    bool m_resolving = false;
    bool m_answered = false;
};

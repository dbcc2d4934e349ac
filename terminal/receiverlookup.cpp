#include "terminal/receiverlookup.h"

#include "transfer/receiverbrowser.h"

#include <QHostAddress>
#include <QHostInfo>

namespace {
// The browser's rows read "name — address".
const QString Separator = QStringLiteral(" — ");

bool isIPv4(const QString &text)
{
    QHostAddress address;
    return address.setAddress(text) && address.protocol() == QAbstractSocket::IPv4Protocol;
}
}

ReceiverLookup::ReceiverLookup(QObject *parent)
    : QObject(parent)
{
    m_browsing.setSingleShot(true);
    m_browsing.setInterval(BrowseMs);
}

ReceiverLookup::~ReceiverLookup()
{
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(m_lookupId);
}

void ReceiverLookup::list()
{
    m_browser = new ReceiverBrowser(this);
    connect(&m_browsing, &QTimer::timeout, this, [this] { emit listed(receivers()); });
    m_browsing.start();
}

void ReceiverLookup::find(const QString &name)
{
    m_name = name;
    if (isIPv4(name))
        return QTimer::singleShot(0, this, [this] { answer(m_name, false); });
    m_browser = new ReceiverBrowser(this);
    connect(m_browser, &QAbstractItemModel::rowsInserted, this, &ReceiverLookup::checkAnnounced);
    connect(m_browser, &QAbstractItemModel::dataChanged, this, &ReceiverLookup::checkAnnounced);
    connect(&m_browsing, &QTimer::timeout, this, &ReceiverLookup::settle);
    m_browsing.start();
    // The resolver works on a thread of Qt's own; the loop goes on meanwhile.
    m_resolving = true;
    m_lookupId = QHostInfo::lookupHost(name, this, [this](const QHostInfo &info) {
        m_lookupId = -1;
        m_resolving = false;
        for (const QHostAddress &address : info.addresses())
            if (address.protocol() == QAbstractSocket::IPv4Protocol)
                return answer(address.toString(), false);
        settle();
    });
}

QList<ReceiverLookup::Receiver> ReceiverLookup::receivers() const
{
    QList<Receiver> found;
    for (int row = 0; m_browser && row < m_browser->rowCount(); ++row) {
        const QModelIndex index = m_browser->index(row);
        found.append({index.data().toString(), index.data(ReceiverBrowser::AddressRole).toString(),
                      index.data(ReceiverBrowser::PrivateRole).toBool()});
    }
    return found;
}

void ReceiverLookup::checkAnnounced()
{
    // The name as announced, or the whole row as the list shows it.
    for (const Receiver &receiver : receivers())
        if (receiver.text.section(Separator, 0, 0).compare(m_name, Qt::CaseInsensitive) == 0
            || receiver.text == m_name)
            return answer(receiver.address, receiver.speaksPrivately);
}

void ReceiverLookup::settle()
{
    if (!m_resolving && !m_browsing.isActive() && !m_answered) {
        m_answered = true;
        emit notFound();
    }
}

void ReceiverLookup::answer(const QString &address, bool speaksPrivately)
{
    if (std::exchange(m_answered, true))
        return;
    m_browsing.stop();
    emit found(address, speaksPrivately);
}

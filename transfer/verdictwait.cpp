#include "transfer/verdictwait.h"

#include <algorithm>

namespace {
// How often a wait for bytes still on their way looks again.
constexpr int ShortestLookMs = 10;
}

VerdictWait::VerdictWait(TcpControl &socket, int limitMs, QObject *parent)
    : QObject(parent)
    , NT(socket)
    , m_limitMs(limitMs)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &VerdictWait::check);
}

void VerdictWait::start()
{
    m_acknowledged = false;
    m_timer.start(std::max(ShortestLookMs, m_limitMs / 10));
}

void VerdictWait::check()
{
    if (NT.bytesUnacknowledged() > 0)
        return start();
    if (!std::exchange(m_acknowledged, true))
        return m_timer.start(m_limitMs);
    emit overdue();
}

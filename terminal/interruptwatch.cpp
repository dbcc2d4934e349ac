#include "terminal/interruptwatch.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

InterruptWatch::InterruptWatch(QObject *parent)
    : QObject(parent)
{
    if (pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(s_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &InterruptWatch::drain);
    struct sigaction action = {};
    action.sa_handler = &InterruptWatch::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
}

InterruptWatch::~InterruptWatch()
{
    signal(SIGINT, SIG_DFL);
    for (int &end : s_pipe)
        if (end >= 0)
            close(std::exchange(end, -1));
}

void InterruptWatch::handle(int)
{
    const int saved = errno;
    const char byte = 1;
    // A full pipe already holds an interruption that has not been seen yet.
    [[maybe_unused]] const ssize_t written = write(s_pipe[1], &byte, 1);
    errno = saved;
}

void InterruptWatch::drain()
{
    char bytes[64];
    while (read(s_pipe[0], bytes, sizeof bytes) > 0) {
    }
    emit interrupted();
}

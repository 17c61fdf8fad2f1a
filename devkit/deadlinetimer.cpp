#include "deadlinetimer.h"

#include <QSocketNotifier>

#include <cstdint>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

constexpr qint64 nanosecondsPerSecond = 1000000000;

} // namespace

DeadlineTimer::DeadlineTimer(QObject* parent) : QObject(parent)
{
    fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd >= 0) {
        notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &DeadlineTimer::expire);
    }
}

DeadlineTimer::~DeadlineTimer()
{
    if (fd >= 0)
        ::close(fd);
}

void DeadlineTimer::start(qint64 nanoseconds)
{
    if (fd < 0)
        return;
    // A zero it_value would disarm the timer; one nanosecond fires at once.
    const qint64 wait = qMax<qint64>(nanoseconds, 1);
    itimerspec expiry{};
    expiry.it_value.tv_sec = time_t(wait / nanosecondsPerSecond);
    expiry.it_value.tv_nsec = long(wait % nanosecondsPerSecond);
    ::timerfd_settime(fd, 0, &expiry, nullptr);
    active = true;
}

void DeadlineTimer::stop()
{
    if (fd < 0)
        return;
    const itimerspec disarm{};
    ::timerfd_settime(fd, 0, &disarm, nullptr);
    uint64_t expirations = 0;
    while (::read(fd, &expirations, sizeof expirations) > 0) {}
    active = false;
}

void DeadlineTimer::expire()
{
    uint64_t expirations = 0;
    if (::read(fd, &expirations, sizeof expirations) <= 0)
        return; // stopped or re-armed since the notification was queued
    active = false;
    emit timeout();
}

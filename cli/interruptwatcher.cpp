#include "interruptwatcher.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX
int signalSockets[2] = {-1, -1};
constexpr int watchedSignals[] = {SIGINT, SIGTERM};
struct sigaction previousActions[2];

void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t ignored = ::write(signalSockets[1], &byte, 1);
    errno = savedErrno;
}
#endif

} // namespace

InterruptWatcher::InterruptWatcher(QObject* parent) : QObject(parent)
{
#ifdef Q_OS_UNIX
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalSockets) != 0)
        return;
    notifier = new QSocketNotifier(signalSockets[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &InterruptWatcher::readSignal);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    ::sigemptyset(&action.sa_mask);
    // Once: should the event loop ever be stuck, a second Ctrl-C still ends
    // the process the default way.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (int i = 0; i < 2; ++i)
        ::sigaction(watchedSignals[i], &action, &previousActions[i]);
#endif
}

InterruptWatcher::~InterruptWatcher()
{
#ifdef Q_OS_UNIX
    if (notifier == nullptr)
        return;
    for (int i = 0; i < 2; ++i)
        ::sigaction(watchedSignals[i], &previousActions[i], nullptr);
    delete notifier;
    notifier = nullptr;
    ::close(signalSockets[0]);
    ::close(signalSockets[1]);
    signalSockets[0] = signalSockets[1] = -1;
#endif
}

void InterruptWatcher::readSignal()
{
#ifdef Q_OS_UNIX
    unsigned char byte = 0;
    if (::read(signalSockets[0], &byte, 1) == 1)
        emit interrupted(int(byte));
#endif
}

#pragma once

#include <QString>

#include <functional>

class QTcpServer;
class QThread;

// Runs a TCP server of the devkit (the firmware server, the proxy) on
// 127.0.0.1 in a thread of its own, so that it keeps answering while the
// thread that started it waits (a test, the demo, the command-line tool).
class LoopbackServerThread
{
public:
    LoopbackServerThread() = default;
    LoopbackServerThread(const LoopbackServerThread&) = delete;
    LoopbackServerThread& operator=(const LoopbackServerThread&) = delete;
    ~LoopbackServerThread();

    // Takes `server` (no parent, not listening), moves it to a new thread
    // called `threadName` and lets it listen on a free loopback port. On
    // stop(), `closeAll` runs on that thread just before the server is
    // deleted there. False, with errorString() set, when it cannot listen.
    bool start(QTcpServer* server, const QString& threadName, std::function<void()> closeAll);
    void stop();

    bool isRunning() const { return thread != nullptr; }
    quint16 port() const { return listeningPort; }
    QString errorString() const { return lastError; }

private:
    QThread* thread = nullptr;
    QTcpServer* server = nullptr;
    std::function<void()> closeAll;
    quint16 listeningPort = 0;
    QString lastError;
};

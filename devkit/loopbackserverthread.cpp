#include "loopbackserverthread.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QTcpServer>
#include <QThread>

LoopbackServerThread::~LoopbackServerThread()
{
    stop();
}

bool LoopbackServerThread::start(QTcpServer* newServer, const QString& threadName,
                                 std::function<void()> newCloseAll)
{
    if (thread)
        return true;
    thread = new QThread;
    thread->setObjectName(threadName);
    server = newServer;
    closeAll = std::move(newCloseAll);
    server->moveToThread(thread);
    thread->start();
    bool listening = false;
    QMetaObject::invokeMethod(
        server,
        [this, &listening] {
            listening = server->listen(QHostAddress::LocalHost, 0);
            if (listening)
                listeningPort = server->serverPort();
            else
                lastError = server->errorString();
        },
        Qt::BlockingQueuedConnection);
    if (!listening) {
        stop();
        return false;
    }
    return true;
}

void LoopbackServerThread::stop()
{
    if (!thread)
        return;
    QTcpServer* dying = server;
    QMetaObject::invokeMethod(
        dying,
        [this, dying] {
            if (closeAll)
                closeAll();
            delete dying;
        },
        Qt::BlockingQueuedConnection);
    server = nullptr;
    closeAll = nullptr;
    thread->quit();
    thread->wait();
    delete thread;
    thread = nullptr;
    listeningPort = 0;
}

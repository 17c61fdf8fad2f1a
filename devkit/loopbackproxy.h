#pragma once

#include "loopbackserverthread.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

// A minimal HTTP proxy for tests and the devkit: listens on 127.0.0.1 on a
// free port and serves CONNECT tunnels only, each to 127.0.0.1 at the port
// asked for, whatever host the request names (so nothing ever leaves this
// computer, and a name such as DevCertificates::proxiedHostName reaches the
// local firmware server). It records the target of every CONNECT. TLS runs
// end to end through the tunnel: the client checks the server's
// certificate as without a proxy. Runs on its own thread; all public
// functions are thread-safe, start() and stop() belong to the owning thread.
class LoopbackProxy : public QObject
{
    Q_OBJECT

public:
    enum class Mode {
        Tunnel, // every CONNECT is tunnelled
        RefuseAll, // every CONNECT gets 403 Forbidden
        RequireAuth, // 407 unless Basic credentials user:password come with it
    };

    static const QString user; // "korvo"
    static const QString password; // "tunnel"

    explicit LoopbackProxy(QObject* parent = nullptr);
    ~LoopbackProxy() override;

    // False (see errorString()) when nothing could be bound.
    bool start();
    void stop(); // closes every tunnel
    QString errorString() const;

    quint16 port() const;
    // http://127.0.0.1:<port>, or with the credentials when `withCredentials`.
    QString url(bool withCredentials = false) const;

    Mode mode() const;
    void setMode(Mode mode);

    // "host:port" of every CONNECT received, in order, refused ones included.
    QStringList connectTargets() const;
    void clearConnectTargets();

public:
    struct Shared;

private:
    std::shared_ptr<Shared> d;
    LoopbackServerThread host;
};

#include "loopbackproxy.h"

#include "debugline.h"

#include <QHostAddress>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <chrono>

namespace {

// A request head larger than this is refused; a CONNECT is a few lines.
constexpr int maxRequestHeadSize = 16 * 1024;

QByteArray plainAnswer(const QByteArray& status, const QByteArray& headers = {})
{
    return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: 0\r\nConnection: close\r\n\r\n";
}

} // namespace

const QString LoopbackProxy::user = QStringLiteral("korvo");
const QString LoopbackProxy::password = QStringLiteral("tunnel");

struct LoopbackProxy::Shared
{
    mutable QMutex mutex;
    Mode mode = Mode::Tunnel;
    QStringList targets;
};

// One client connection: a CONNECT head, then (if allowed) bytes piped both
// ways between the client and 127.0.0.1:<port> until either side closes.
class ProxyTunnel : public QObject
{
public:
    ProxyTunnel(QTcpSocket* clientSocket, std::shared_ptr<LoopbackProxy::Shared> sharedState,
                QObject* parent)
        : QObject(parent), client(clientSocket), shared(std::move(sharedState))
    {
        client->setParent(this);
        connect(client, &QTcpSocket::readyRead, this, &ProxyTunnel::fromClient);
        connect(client, &QTcpSocket::disconnected, this, [this] {
            close();
            deleteLater();
        });
    }

    // Closes both sides; the tunnel goes once the client's side has taken
    // everything written to it.
    void close()
    {
        if (closing)
            return;
        closing = true;
        if (upstream) {
            if (upstream->bytesAvailable() > 0)
                client->write(upstream->readAll());
            upstream->disconnectFromHost();
        }
        client->disconnectFromHost();
        if (client->state() == QAbstractSocket::UnconnectedState)
            deleteLater();
    }

private:
    void fromClient();
    void answerHead(const QByteArray& head);
    void refuse(const QByteArray& answer)
    {
        client->write(answer);
        client->disconnectFromHost();
    }

    QTcpSocket* client;
    QPointer<QTcpSocket> upstream;
    std::shared_ptr<LoopbackProxy::Shared> shared;
    QByteArray head;
    bool headRead = false;
    bool closing = false;
};

void ProxyTunnel::fromClient()
{
    if (headRead) {
        if (upstream && upstream->state() == QAbstractSocket::ConnectedState)
            upstream->write(client->readAll());
        return; // kept in the client's buffer until the tunnel stands
    }
    head += client->readAll();
    const int end = head.indexOf("\r\n\r\n");
    if (end < 0) {
        if (head.size() > maxRequestHeadSize) {
            headRead = true;
            refuse(plainAnswer("431 Request Header Fields Too Large"));
        }
        return;
    }
    headRead = true;
    const QByteArray rest = head.mid(end + 4);
    head.truncate(end);
    answerHead(head);
    if (!rest.isEmpty() && upstream)
        upstream->write(rest);
}

void ProxyTunnel::answerHead(const QByteArray& requestHead)
{
    const QList<QByteArray> lines = requestHead.split('\n');
    const QList<QByteArray> parts = lines.value(0).trimmed().split(' ');
    if (parts.size() != 3 || parts.at(0) != "CONNECT") {
        refuse(plainAnswer("405 Method Not Allowed"));
        return;
    }
    const QByteArray target = parts.at(1);
    const int colon = target.lastIndexOf(':');
    bool portOk = false;
    const uint port = colon < 0 ? 0 : target.mid(colon + 1).toUInt(&portOk);
    if (!portOk || port == 0 || port > 65535) {
        refuse(plainAnswer("400 Bad Request"));
        return;
    }
    LoopbackProxy::Mode mode;
    {
        QMutexLocker lock(&shared->mutex);
        shared->targets.append(QString::fromLatin1(target));
        mode = shared->mode;
    }
    debugLine() << "loopback-proxy CONNECT" << target;
    if (mode == LoopbackProxy::Mode::RefuseAll) {
        refuse(plainAnswer("403 Forbidden"));
        return;
    }
    if (mode == LoopbackProxy::Mode::RequireAuth) {
        const QByteArray expected
            = "Basic " + (LoopbackProxy::user + ':' + LoopbackProxy::password).toUtf8().toBase64();
        bool authorised = false;
        for (const QByteArray& line : lines) {
            const int separator = line.indexOf(':');
            if (separator > 0
                && line.left(separator).trimmed().toLower() == "proxy-authorization"
                && line.mid(separator + 1).trimmed() == expected)
                authorised = true;
        }
        if (!authorised) {
            refuse(plainAnswer("407 Proxy Authentication Required",
                               "Proxy-Authenticate: Basic realm=\"korvo-devkit\"\r\n"));
            return;
        }
    }

    upstream = new QTcpSocket(this);
    connect(upstream, &QTcpSocket::connected, this, [this] {
        client->write("HTTP/1.1 200 Connection established\r\n\r\n");
        if (client->bytesAvailable() > 0)
            upstream->write(client->readAll());
    });
    connect(upstream, &QTcpSocket::readyRead, this,
            [this] { client->write(upstream->readAll()); });
    connect(upstream, &QTcpSocket::disconnected, this, &ProxyTunnel::close);
    connect(upstream, &QTcpSocket::errorOccurred, this, [this] {
        if (upstream->state() != QAbstractSocket::UnconnectedState)
            return;
        if (client->state() == QAbstractSocket::ConnectedState && !closing)
            refuse(plainAnswer("502 Bad Gateway"));
    });
    // Loopback only, whatever host was named.
    upstream->connectToHost(QHostAddress::LocalHost, quint16(port));
}

class ProxyListener : public QTcpServer
{
public:
    explicit ProxyListener(std::shared_ptr<LoopbackProxy::Shared> sharedState)
        : shared(std::move(sharedState))
    {}

    void closeAll()
    {
        close();
        for (const QPointer<ProxyTunnel>& tunnel : qAsConst(tunnels))
            delete tunnel.data();
        tunnels.clear();
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QTcpSocket;
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        tunnels.append(new ProxyTunnel(socket, shared, this));
    }

private:
    std::shared_ptr<LoopbackProxy::Shared> shared;
    QList<QPointer<ProxyTunnel>> tunnels;
};

LoopbackProxy::LoopbackProxy(QObject* parent) : QObject(parent), d(std::make_shared<Shared>()) {}

LoopbackProxy::~LoopbackProxy()
{
    stop();
}

bool LoopbackProxy::start()
{
    if (host.isRunning())
        return true;
    auto* listener = new ProxyListener(d);
    return host.start(listener, QStringLiteral("loopback-proxy"),
                      [listener] { listener->closeAll(); });
}

void LoopbackProxy::stop()
{
    host.stop();
}

QString LoopbackProxy::errorString() const
{
    return host.errorString();
}

quint16 LoopbackProxy::port() const
{
    return host.port();
}

QString LoopbackProxy::url(bool withCredentials) const
{
    const QString credentials = withCredentials ? user + ':' + password + '@' : QString();
    return QStringLiteral("http://") + credentials
        + QStringLiteral("127.0.0.1:%1").arg(host.port());
}

LoopbackProxy::Mode LoopbackProxy::mode() const
{
    QMutexLocker lock(&d->mutex);
    return d->mode;
}

void LoopbackProxy::setMode(Mode mode)
{
    QMutexLocker lock(&d->mutex);
    d->mode = mode;
}

QStringList LoopbackProxy::connectTargets() const
{
    QMutexLocker lock(&d->mutex);
    return d->targets;
}

void LoopbackProxy::clearConnectTargets()
{
    QMutexLocker lock(&d->mutex);
    d->targets.clear();
}

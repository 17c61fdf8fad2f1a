#include "localfirmwareserver.h"

#include "debugline.h"
#include "devcertificates.h"
#include "firmwaresignature.h"
#include "korvofirmwareimage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>

using namespace std::chrono_literals;

namespace {

// A request head larger than this is refused; ours are a few hundred bytes.
constexpr int maxRequestHeadSize = 16 * 1024;
// A connection that sends no complete request within this time is dropped.
constexpr std::chrono::milliseconds requestTimeout{30000};
// A rate-limited answer goes out in a piece per this period.
constexpr std::chrono::milliseconds pacingPeriod{50};
const QString everyPath = QStringLiteral("*");

struct Reply
{
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/octet-stream";
};

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

Reply textReply(int status)
{
    return {status, QByteArray::number(status) + ' ' + reasonPhrase(status) + '\n',
            "text/plain; charset=utf-8"};
}

bool matches(const QString& faultPath, const QString& path)
{
    return !faultPath.isEmpty() && (faultPath == everyPath || faultPath == path);
}

// A name taken from a request path: one decoded segment that cannot leave
// its folder.
bool isSafeName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))
        && !name.contains(QChar(0));
}

} // namespace

const QString LocalFirmwareServer::basePath = QStringLiteral("/trennics_firmware");
const QString LocalFirmwareServer::cataloguePath = QStringLiteral("/trennics_firmware/app.php");

struct LocalFirmwareServer::Shared
{
    mutable QMutex mutex;
    QString root;
    LocalFirmwareServerFaults faults;
    QStringList requests;
    // Made once, read from the server's thread: never changed afterwards.
    const MinisignSigner signer = MinisignSigner::generate();
    const MinisignSigner otherSigner = MinisignSigner::generate();
};

namespace {

QByteArray buildCatalogue(const QString& root)
{
    QJsonObject catalogue;
    const QDir rootDir(root);
    const QDir::Filters folders = QDir::Dirs | QDir::NoDotAndDotDot;
    for (const QString& device : rootDir.entryList(folders, QDir::Name)) {
        const QDir deviceDir(rootDir.filePath(device));
        QJsonObject deviceObject;
        for (const QString& folder : deviceDir.entryList(folders, QDir::Name)) {
            const QDir folderDir(deviceDir.filePath(folder));
            QStringList files = folderDir.entryList(QDir::Files, QDir::Name);
            files.erase(std::remove_if(files.begin(), files.end(),
                                       [](const QString& name) {
                                           return name.endsWith(FirmwareSignature::suffix)
                                               || name.endsWith(QLatin1String(".pub"));
                                       }),
                        files.end());
            deviceObject.insert(folder, QJsonArray::fromStringList(files));
        }
        catalogue.insert(device, deviceObject);
    }
    return QJsonDocument(catalogue).toJson(QJsonDocument::Compact);
}

} // namespace

// One client connection: reads one request head, answers it (or, as a
// fault, does not), then closes.
class HttpsConnection : public QObject
{
public:
    HttpsConnection(QSslSocket* clientSocket,
                    std::shared_ptr<LocalFirmwareServer::Shared> sharedState, QObject* parent)
        : QObject(parent), socket(clientSocket), idle(nullptr), shared(std::move(sharedState))
    {
        socket->setParent(this);
        connect(socket, &QSslSocket::readyRead, this, &HttpsConnection::readRequest);
        connect(socket, &QSslSocket::disconnected, this, &QObject::deleteLater);
        connect(socket, &QSslSocket::errorOccurred, this, [this] {
            if (socket->state() == QAbstractSocket::UnconnectedState)
                deleteLater();
        });
        idle = new QTimer(this);
        idle->setSingleShot(true);
        connect(idle, &QTimer::timeout, this, [this] {
            socket->abort();
            deleteLater();
        });
        idle->start(requestTimeout);
    }

private:
    void readRequest();
    Reply answer(const QByteArray& method, const QByteArray& target, const QString& path,
                 const LocalFirmwareServerFaults& faults);
    Reply signatureOf(const QString& imagePath, const QString& device,
                      const LocalFirmwareServerFaults& faults);
    void write(const Reply& reply, qint64 bodyBytes, qint64 bytesPerSecond);
    void writeNextPiece(qint64 pieceBytes);

    QSslSocket* socket;
    QByteArray unsent; // of a rate-limited answer
    QTimer* idle;
    std::shared_ptr<LocalFirmwareServer::Shared> shared;
    QByteArray head;
    bool answered = false;
};

void HttpsConnection::readRequest()
{
    if (answered) {
        socket->readAll(); // one request per connection; the rest is ignored
        return;
    }
    head += socket->readAll();
    const int end = head.indexOf("\r\n\r\n");
    if (end < 0) {
        if (head.size() > maxRequestHeadSize) {
            answered = true;
            idle->stop();
            write(textReply(431), -1, 0);
        }
        return;
    }
    answered = true;
    idle->stop(); // from here the answer (or a stall, on purpose) decides

    const QByteArray requestLine = head.left(head.indexOf("\r\n"));
    const QList<QByteArray> parts = requestLine.split(' ');
    if (parts.size() != 3 || !parts.at(2).startsWith("HTTP/1.")) {
        write(textReply(400), -1, 0);
        return;
    }
    const QByteArray& method = parts.at(0);
    const QByteArray& target = parts.at(1);
    const int queryAt = target.indexOf('?');
    const QString path = QUrl::fromPercentEncoding(queryAt < 0 ? target : target.left(queryAt));

    LocalFirmwareServerFaults faults;
    {
        QMutexLocker lock(&shared->mutex);
        shared->requests.append(QString::fromLatin1(method + ' ' + target));
        faults = shared->faults;
    }
    debugLine() << "local-firmware-server" << method << target;
    if (matches(faults.stalledPath, path))
        return; // read, never answered; the connection stays open until the client gives up

    const Reply reply = answer(method, target, path, faults);
    const qint64 bodyBytes = matches(faults.truncatedPath, path) ? faults.truncateAfter : -1;
    const qint64 rate = faults.bytesPerSecond;
    if (faults.delay > 0ms) {
        QTimer::singleShot(faults.delay, this,
                           [this, reply, bodyBytes, rate] { write(reply, bodyBytes, rate); });
        return;
    }
    write(reply, bodyBytes, rate);
}

Reply HttpsConnection::answer(const QByteArray& method, const QByteArray& target,
                              const QString& path, const LocalFirmwareServerFaults& faults)
{
    if (faults.statusForPath.contains(path))
        return textReply(faults.statusForPath.value(path));
    if (faults.statusForPath.contains(everyPath))
        return textReply(faults.statusForPath.value(everyPath));
    if (method != "GET")
        return textReply(405);

    QString root;
    {
        QMutexLocker lock(&shared->mutex);
        root = shared->root;
    }
    const int queryAt = target.indexOf('?');
    if (path == LocalFirmwareServer::cataloguePath) {
        const QUrlQuery query(
            QString::fromUtf8(queryAt < 0 ? QByteArray() : target.mid(queryAt + 1)));
        if (query.queryItemValue(QStringLiteral("listFirmwares")) != QLatin1String("ALL"))
            return textReply(404);
        return {200, faults.catalogueBody ? *faults.catalogueBody : buildCatalogue(root),
                "application/json"};
    }

    // /trennics_firmware/<device>/<folder>/<file>, each segment decoded on
    // its own so an encoded slash stays part of a name (and is refused).
    const QByteArray rawPath = queryAt < 0 ? target : target.left(queryAt);
    const QByteArray prefix = LocalFirmwareServer::basePath.toUtf8() + '/';
    if (root.isEmpty() || !rawPath.startsWith(prefix))
        return textReply(404);
    const QList<QByteArray> rawNames = rawPath.mid(prefix.size()).split('/');
    if (rawNames.size() != 3)
        return textReply(404);
    QString relative;
    for (const QByteArray& rawName : rawNames) {
        const QString name = QUrl::fromPercentEncoding(rawName);
        if (!isSafeName(name))
            return textReply(404);
        relative += QLatin1Char('/') + name;
    }
    QFile file(root + relative);
    if (QFileInfo(file.fileName()).isFile() && file.open(QIODevice::ReadOnly))
        return {200, file.readAll(), "application/octet-stream"};
    if (relative.endsWith(FirmwareSignature::suffix))
        return signatureOf(root + relative.chopped(FirmwareSignature::suffix.size()),
                           QUrl::fromPercentEncoding(rawNames.first()), faults);
    return textReply(404);
}

Reply HttpsConnection::signatureOf(const QString& imagePath, const QString& device,
                                   const LocalFirmwareServerFaults& faults)
{
    using Signature = LocalFirmwareServerFaults::Signature;
    QFile image(imagePath);
    if (faults.signature == Signature::Missing || !image.open(QIODevice::ReadOnly))
        return textReply(404);
    const QByteArray file = image.readAll();
    QByteArray version = KorvoFirmwareImage::versionOf(KorvoFirmwareImage::transmittedPart(file));
    if (KorvoFirmwareImage::isValidVersion(version))
        version.insert(2, '.');
    if (!faults.signedVersion.isEmpty())
        version = faults.signedVersion.toUtf8();
    QByteArray comment = "device:"
        + (faults.signature == Signature::OtherDevice ? QByteArray("Korvo 99") : device.toUtf8());
    if (!version.isEmpty())
        comment += "\tversion:" + version;
    const MinisignSigner& signer
        = faults.signature == Signature::OtherKey ? shared->otherSigner : shared->signer;
    QByteArray text = signer.sign(file, comment);
    if (faults.signature == Signature::Corrupted) {
        // One bit of the signature itself, inside its base64 line.
        QList<QByteArray> lines = text.split('\n');
        QByteArray raw = QByteArray::fromBase64(lines.at(1));
        raw[20] = char(raw.at(20) ^ 0x01);
        lines[1] = raw.toBase64();
        text = lines.join('\n');
    }
    return {200, text, "text/plain; charset=utf-8"};
}

void HttpsConnection::write(const Reply& reply, qint64 bodyBytes, qint64 bytesPerSecond)
{
    QByteArray response = "HTTP/1.1 " + QByteArray::number(reply.status) + ' '
        + reasonPhrase(reply.status) + "\r\nContent-Type: " + reply.contentType
        + "\r\nContent-Length: " + QByteArray::number(reply.body.size())
        + "\r\nConnection: close\r\n\r\n";
    response += bodyBytes < 0 ? reply.body : reply.body.left(int(bodyBytes));
    if (bytesPerSecond <= 0) {
        socket->write(response);
        socket->disconnectFromHost(); // after the bytes are out
        return;
    }
    unsent = response;
    const qint64 pieceBytes = qMax<qint64>(1, bytesPerSecond * pacingPeriod.count() / 1000);
    auto* pacer = new QTimer(this);
    connect(pacer, &QTimer::timeout, this, [this, pieceBytes] { writeNextPiece(pieceBytes); });
    pacer->start(pacingPeriod);
    writeNextPiece(pieceBytes);
}

void HttpsConnection::writeNextPiece(qint64 pieceBytes)
{
    if (unsent.isEmpty())
        return;
    socket->write(unsent.left(int(pieceBytes)));
    unsent.remove(0, int(qMin<qint64>(pieceBytes, unsent.size())));
    if (unsent.isEmpty())
        socket->disconnectFromHost();
}

// The listening side; lives on the server's thread.
class FirmwareHttpsServer : public QTcpServer
{
public:
    FirmwareHttpsServer(std::shared_ptr<LocalFirmwareServer::Shared> shared,
                        const QSslConfiguration& configuration)
        : shared(std::move(shared)), configuration(configuration)
    {}

    void closeAll()
    {
        close();
        for (const QPointer<HttpsConnection>& connection : qAsConst(connections))
            delete connection.data();
        connections.clear();
        for (const QPointer<QSslSocket>& socket : qAsConst(waiting))
            delete socket.data();
        waiting.clear();
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setSslConfiguration(configuration);
        connections.removeAll(nullptr);
        bool oneAtATime = false;
        {
            QMutexLocker lock(&shared->mutex);
            oneAtATime = shared->faults.oneConnectionAtATime;
        }
        if (oneAtATime && !connections.isEmpty()) {
            waiting.append(socket);
            return;
        }
        serve(socket);
    }

private:
    void serve(QSslSocket* socket)
    {
        auto* connection = new HttpsConnection(socket, shared, this);
        connections.append(connection);
        // Queued: the list's pointer to it is cleared by then.
        connect(connection, &QObject::destroyed, this, &FirmwareHttpsServer::serveWaiting,
                Qt::QueuedConnection);
        socket->startServerEncryption();
    }

    void serveWaiting()
    {
        connections.removeAll(nullptr);
        waiting.removeAll(nullptr);
        if (connections.isEmpty() && !waiting.isEmpty())
            serve(waiting.takeFirst());
    }

private:
    std::shared_ptr<LocalFirmwareServer::Shared> shared;
    QSslConfiguration configuration;
    QList<QPointer<HttpsConnection>> connections;
    QList<QPointer<QSslSocket>> waiting; // accepted, handshake not yet begun
};

LocalFirmwareServer::LocalFirmwareServer(const QString& root, QObject* parent)
    : QObject(parent), d(std::make_shared<Shared>())
{
    d->root = root;
}

LocalFirmwareServer::~LocalFirmwareServer()
{
    stop();
}

QString LocalFirmwareServer::root() const
{
    QMutexLocker lock(&d->mutex);
    return d->root;
}

bool LocalFirmwareServer::start()
{
    if (host.isRunning())
        return true;
    const DevCertificates::Set& certificates = DevCertificates::get();
    if (!certificates.ok) {
        lastError = certificates.error;
        return false;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain({certificates.serverCertificate});
    configuration.setPrivateKey(certificates.serverKey);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);

    auto* server = new FirmwareHttpsServer(d, configuration);
    if (!host.start(server, QStringLiteral("local-firmware-server"),
                    [server] { server->closeAll(); })) {
        lastError = host.errorString();
        return false;
    }
    return true;
}

void LocalFirmwareServer::stop()
{
    host.stop();
}

bool LocalFirmwareServer::isRunning() const
{
    return host.isRunning();
}

QString LocalFirmwareServer::errorString() const
{
    return lastError;
}

quint16 LocalFirmwareServer::port() const
{
    return host.port();
}

QString LocalFirmwareServer::baseUrl() const
{
    return QStringLiteral("https://127.0.0.1:%1").arg(host.port()) + basePath;
}

QString LocalFirmwareServer::catalogueUrl(const QString& clientVersion) const
{
    return baseUrl() + QStringLiteral("/app.php?listFirmwares=ALL&clientVer=") + clientVersion;
}

QString LocalFirmwareServer::fileUrl(const QString& deviceName, const QString& folder,
                                     const QString& file) const
{
    const auto encode = [](const QString& name) {
        return QString::fromLatin1(QUrl::toPercentEncoding(name));
    };
    return baseUrl() + '/' + encode(deviceName) + '/' + encode(folder) + '/' + encode(file);
}

QString LocalFirmwareServer::caFile()
{
    return DevCertificates::get().caFile;
}

QByteArray LocalFirmwareServer::catalogueJson() const
{
    return buildCatalogue(root());
}

LocalFirmwareServerFaults LocalFirmwareServer::faults() const
{
    QMutexLocker lock(&d->mutex);
    return d->faults;
}

void LocalFirmwareServer::setFaults(const LocalFirmwareServerFaults& faults)
{
    QMutexLocker lock(&d->mutex);
    d->faults = faults;
}

MinisignKey LocalFirmwareServer::signingKey() const
{
    return d->signer.publicKey();
}

QStringList LocalFirmwareServer::requests() const
{
    QMutexLocker lock(&d->mutex);
    return d->requests;
}

#pragma once

#include <QByteArray>
#include <QHash>
#include "loopbackserverthread.h"
#include "minisigner.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>
#include <optional>

// Faults the local firmware server can play. Paths are request paths after
// percent-decoding, without the query, e.g. "/trennics_firmware/app.php";
// "*" stands for every path.
struct LocalFirmwareServerFaults
{
    QHash<QString, int> statusForPath; // answered with this HTTP status and a short text body
    std::optional<QByteArray> catalogueBody; // served instead of the catalogue built from the tree
    QString stalledPath; // requests for it are read and never answered
    QString truncatedPath; // the body is cut after truncateAfter bytes and the connection closed
    qint64 truncateAfter = 0;
    std::chrono::milliseconds delay{0}; // every answer waits this long
    qint64 bytesPerSecond = 0; // answers trickle out at this rate (a slow link); 0: at once
    // Like a small single-threaded server: a connection's TLS handshake
    // waits until the connection before it has closed.
    bool oneConnectionAtATime = false;

    // What the signatures the server makes say (see LocalFirmwareServer).
    enum class Signature {
        Valid, // by signingKey(), naming the file's device and version
        Missing, // "<file>.minisig" is answered with 404
        OtherKey, // by another key, made for the run
        Corrupted, // one bit of the signature flipped
        OtherDevice, // naming a device "Korvo 99"
    };
    Signature signature = Signature::Valid;
    // The version the signatures name instead of the file's own (a lower
    // one for a downgrade).
    QString signedVersion;
};

// The firmware server on this computer: HTTPS on 127.0.0.1 on a free port,
// with a certificate made for the run (DevCertificates), serving a folder
// tree <root>/<device name>/<folder>/<file>:
//   GET /trennics_firmware/app.php?listFirmwares=ALL&clientVer=<v>
//       the catalogue {"<device>": {"<folder>": ["<file>", ...]}}, names in
//       ascending order, read from the tree at each request;
//   GET /trennics_firmware/<device>/<folder>/<file>   the file;
//   GET /trennics_firmware/<device>/<folder>/<file>.minisig   its signature:
//       the file of that name in the tree if there is one, else a minisign
//       signature made at the request by signingKey(), its trusted comment
//       "device:<device><TAB>version:<vv.vv of the image>" (the catalogue
//       lists neither .minisig nor .pub files).
// HTTP/1.1, one request per connection, Content-Length on every answer;
// 404 for anything else, 405 for methods other than GET. It runs on its own
// thread, so a client that blocks its own thread never stalls it. All public
// functions are thread-safe; start() and stop() belong to the owning thread.
class LocalFirmwareServer : public QObject
{
    Q_OBJECT

public:
    static const QString basePath; // "/trennics_firmware"
    static const QString cataloguePath; // "/trennics_firmware/app.php"

    explicit LocalFirmwareServer(const QString& root = {}, QObject* parent = nullptr);
    ~LocalFirmwareServer() override;

    QString root() const;

    // Listens on 127.0.0.1 on a free port; false (see errorString()) when no
    // certificate could be made or nothing could be bound.
    bool start();
    void stop(); // closes every connection, stalled ones included
    bool isRunning() const;
    QString errorString() const;

    quint16 port() const;
    QString baseUrl() const; // https://127.0.0.1:<port>/trennics_firmware
    QString catalogueUrl(const QString& clientVersion = QStringLiteral("0.01")) const;
    QString fileUrl(const QString& deviceName, const QString& folder, const QString& file) const;

    // The PEM file of the CA that signed the server's certificate.
    static QString caFile();

    // The catalogue the tree gives now.
    QByteArray catalogueJson() const;

    LocalFirmwareServerFaults faults() const;
    void setFaults(const LocalFirmwareServerFaults& faults);

    // The key made for the run that signs every file (trusted by the demo).
    MinisignKey signingKey() const;

    // Every request line received ("GET /trennics_firmware/..."), in order.
    QStringList requests() const;

public:
    struct Shared;

private:
    std::shared_ptr<Shared> d;
    LoopbackServerThread host;
    QString lastError; // the certificates' problem, or the host's
};

#include "firmwareserver.h"
#include "korvofirmwareimage.h"
#include "localfirmwareserver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace std::chrono_literals;

namespace {

constexpr int replyTimeoutMs = 10000;

// The catalogue of the sample tree, written out by hand.
const QByteArray sampleCatalogue
    = R"({"Korvo 7":{"beta":["korvo7_v0200 beta.bin"],"release":["korvo7_v0106.bin","korvo7_v0107.bin"]},)"
      R"("Korvo X20":{"release":["korvox20_v0301.bin","korvox20_v0302.bin"]}})";

struct Fetched
{
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray body;
    qint64 elapsedMs = 0;
};

} // namespace

Q_DECLARE_METATYPE(LocalFirmwareServerFaults)

class TestLocalFirmwareServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void catalogue_listsTheTreeInNameOrder();
    void download_equalsTheFile_data();
    void download_equalsTheFile();
    void requestOutsideTheTree_isNotFound_data();
    void requestOutsideTheTree_isNotFound();
    void fault_changesTheAnswer_data();
    void fault_changesTheAnswer();
    void clientWithoutTheCa_isRefused();

private:
    Fetched fetch(const QString& url, std::chrono::milliseconds transferTimeout = 0ms,
                  QNetworkAccessManager* manager = nullptr);
    // A hand-written request line, sent as it stands.
    int rawStatus(const QByteArray& requestLine);

    QTemporaryDir tree;
    std::unique_ptr<LocalFirmwareServer> server;
    QNetworkAccessManager network;
};

void TestLocalFirmwareServer::initTestCase()
{
    QVERIFY(tree.isValid());
    QString error;
    QVERIFY2(KorvoFirmwareImage::writeSampleTree(tree.path(), &error), qPrintable(error));
    server = std::make_unique<LocalFirmwareServer>(tree.path());
    QVERIFY2(server->start(), qPrintable(server->errorString()));
    QVERIFY(FirmwareServer::addTrustedCaFile(LocalFirmwareServer::caFile()));
}

void TestLocalFirmwareServer::init()
{
    server->setFaults({});
}

Fetched TestLocalFirmwareServer::fetch(const QString& url,
                                       std::chrono::milliseconds transferTimeout,
                                       QNetworkAccessManager* manager)
{
    QNetworkRequest request{QUrl(url)};
    if (transferTimeout > 0ms)
        request.setTransferTimeout(int(transferTimeout.count()));
    QElapsedTimer clock;
    clock.start();
    QNetworkReply* reply = (manager ? manager : &network)->get(request);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    Fetched result;
    if (!finished.isValid() || !finished.wait(replyTimeoutMs)) {
        result.error = QNetworkReply::UnknownNetworkError;
        delete reply;
        return result;
    }
    result.elapsedMs = clock.elapsed();
    result.error = reply->error();
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->isOpen())
        result.body = reply->readAll();
    reply->deleteLater();
    return result;
}

int TestLocalFirmwareServer::rawStatus(const QByteArray& requestLine)
{
    QSslSocket socket;
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server->port());
    if (!socket.waitForEncrypted(replyTimeoutMs))
        return -1;
    socket.write(requestLine + "\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(replyTimeoutMs))
        answer += socket.readAll();
    answer += socket.readAll();
    // "HTTP/1.1 404 Not Found"
    return answer.mid(9, 3).toInt();
}

void TestLocalFirmwareServer::catalogue_listsTheTreeInNameOrder()
{
    const Fetched reply = fetch(server->catalogueUrl(QStringLiteral("0.01")));
    QCOMPARE(reply.error, QNetworkReply::NoError);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, sampleCatalogue);
    QCOMPARE(server->requests().last(),
             QStringLiteral("GET /trennics_firmware/app.php?listFirmwares=ALL&clientVer=0.01"));
}

void TestLocalFirmwareServer::download_equalsTheFile_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("file");
    QTest::newRow("1 MiB image") << "Korvo 7"
                                 << "release"
                                 << "korvo7_v0107.bin";
    QTest::newRow("name with a space") << "Korvo 7"
                                       << "beta"
                                       << "korvo7_v0200 beta.bin";
    QTest::newRow("other device") << "Korvo X20"
                                  << "release"
                                  << "korvox20_v0301.bin";
}

void TestLocalFirmwareServer::download_equalsTheFile()
{
    QFETCH(QString, device);
    QFETCH(QString, folder);
    QFETCH(QString, file);
    QFile onDisk(tree.filePath(device + '/' + folder + '/' + file));
    QVERIFY(onDisk.open(QIODevice::ReadOnly));
    const Fetched reply = fetch(server->fileUrl(device, folder, file));
    QCOMPARE(reply.error, QNetworkReply::NoError);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, onDisk.readAll());
}

void TestLocalFirmwareServer::requestOutsideTheTree_isNotFound_data()
{
    QTest::addColumn<QByteArray>("requestLine");
    QTest::addColumn<int>("status");
    QTest::newRow("missing file") << QByteArray(
        "GET /trennics_firmware/Korvo%207/release/none.bin HTTP/1.1")
                                  << 404;
    QTest::newRow("folder, not a file")
        << QByteArray("GET /trennics_firmware/Korvo%207/release HTTP/1.1") << 404;
    QTest::newRow("one level too deep")
        << QByteArray("GET /trennics_firmware/Korvo%207/release/a/b HTTP/1.1") << 404;
    QTest::newRow("parent folder")
        << QByteArray("GET /trennics_firmware/Korvo%207/../../etc/passwd HTTP/1.1") << 404;
    QTest::newRow("encoded parent folder")
        << QByteArray("GET /trennics_firmware/%2E%2E/%2E%2E/passwd HTTP/1.1") << 404;
    QTest::newRow("encoded slash")
        << QByteArray("GET /trennics_firmware/Korvo%207/release%2Fkorvo7_v0106.bin/x HTTP/1.1")
        << 404;
    QTest::newRow("catalogue without listFirmwares")
        << QByteArray("GET /trennics_firmware/app.php?clientVer=0.01 HTTP/1.1") << 404;
    QTest::newRow("outside the base path")
        << QByteArray("GET /Korvo%207/release/korvo7_v0106.bin HTTP/1.1") << 404;
    QTest::newRow("not a GET") << QByteArray(
        "POST /trennics_firmware/app.php?listFirmwares=ALL HTTP/1.1")
                               << 405;
    QTest::newRow("not HTTP") << QByteArray("HELLO") << 400;
}

void TestLocalFirmwareServer::requestOutsideTheTree_isNotFound()
{
    QFETCH(QByteArray, requestLine);
    QFETCH(int, status);
    QCOMPARE(rawStatus(requestLine), status);
}

void TestLocalFirmwareServer::fault_changesTheAnswer_data()
{
    QTest::addColumn<LocalFirmwareServerFaults>("faults");
    QTest::addColumn<bool>("catalogue"); // else the 200 KiB image
    QTest::addColumn<QNetworkReply::NetworkError>("error");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("atLeastMs");

    LocalFirmwareServerFaults serverError;
    serverError.statusForPath.insert(LocalFirmwareServer::cataloguePath, 500);
    QTest::newRow("status 500 for the catalogue")
        << serverError << true << QNetworkReply::InternalServerError << 500
        << QByteArray("500 Internal Server Error\n") << 0;
    LocalFirmwareServerFaults forbidden;
    forbidden.statusForPath.insert(QStringLiteral("*"), 403);
    QTest::newRow("status 403 for everything")
        << forbidden << false << QNetworkReply::ContentAccessDenied << 403
        << QByteArray("403 Forbidden\n") << 0;

    const QList<QByteArray> rawBodies{"{\"Korvo 7\": [", "{}", "[]"};
    for (const QByteArray& body : rawBodies) {
        LocalFirmwareServerFaults raw;
        raw.catalogueBody = body;
        QTest::addRow("catalogue body %s", body.constData())
            << raw << true << QNetworkReply::NoError << 200 << body << 0;
    }

    LocalFirmwareServerFaults truncated;
    truncated.truncatedPath = QStringLiteral("*");
    truncated.truncateAfter = 1000;
    QTest::newRow("body cut after 1000 bytes")
        << truncated << false << QNetworkReply::RemoteHostClosedError << 200 << QByteArray() << 0;

    // A file's path has no query; faults for it must apply all the same.
    const QString imagePath
        = LocalFirmwareServer::basePath + QStringLiteral("/Korvo 7/release/korvo7_v0106.bin");
    LocalFirmwareServerFaults imageUnavailable;
    imageUnavailable.statusForPath.insert(imagePath, 503);
    QTest::newRow("status 503 for one image")
        << imageUnavailable << false << QNetworkReply::ServiceUnavailableError << 503
        << QByteArray("503 Service Unavailable\n") << 0;
    LocalFirmwareServerFaults imageTruncated;
    imageTruncated.truncatedPath = imagePath;
    imageTruncated.truncateAfter = 10;
    QTest::newRow("one image cut after 10 bytes")
        << imageTruncated << false << QNetworkReply::RemoteHostClosedError << 200 << QByteArray()
        << 0;

    LocalFirmwareServerFaults stalled;
    stalled.stalledPath = LocalFirmwareServer::cataloguePath;
    QTest::newRow("stalled catalogue")
        << stalled << true << QNetworkReply::OperationCanceledError << 0 << QByteArray() << 250;

    LocalFirmwareServerFaults delayed;
    delayed.delay = 250ms;
    QTest::newRow("delayed catalogue")
        << delayed << true << QNetworkReply::NoError << 200 << sampleCatalogue << 250;
}

void TestLocalFirmwareServer::fault_changesTheAnswer()
{
    QFETCH(LocalFirmwareServerFaults, faults);
    QFETCH(bool, catalogue);
    QFETCH(QNetworkReply::NetworkError, error);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(int, atLeastMs);
    server->setFaults(faults);
    const QString url = catalogue
        ? server->catalogueUrl()
        : server->fileUrl(QStringLiteral("Korvo 7"), QStringLiteral("release"),
                          QStringLiteral("korvo7_v0106.bin"));
    // A stalled reply only ends by the client's own time-out.
    const Fetched reply = fetch(url, faults.stalledPath.isEmpty() ? 0ms : 300ms);
    QCOMPARE(reply.error, error);
    QCOMPARE(reply.status, status);
    if (error == QNetworkReply::RemoteHostClosedError)
        QVERIFY(reply.body.size() <= faults.truncateAfter);
    else
        QCOMPARE(reply.body, body);
    QVERIFY2(reply.elapsedMs >= atLeastMs, qPrintable(QString::number(reply.elapsedMs)));
}

void TestLocalFirmwareServer::clientWithoutTheCa_isRefused()
{
    // A manager of its own: the shared one may resume an earlier session.
    const QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
    QSslConfiguration systemOnly = trusting;
    systemOnly.setCaCertificates(QSslConfiguration::systemCaCertificates());
    QSslConfiguration::setDefaultConfiguration(systemOnly);
    QNetworkAccessManager stranger;
    const Fetched refused = fetch(server->catalogueUrl(), 0ms, &stranger);
    QSslConfiguration::setDefaultConfiguration(trusting);
    QCOMPARE(refused.error, QNetworkReply::SslHandshakeFailedError);
    QVERIFY(refused.body.isEmpty());
}

QTEST_GUILESS_MAIN(TestLocalFirmwareServer)
#include "tst_localfirmwareserver.moc"

#include "devcertificates.h"
#include "dfu_client.h"
#include "firmwareserver.h"
#include "korvoenums.h"
#include "localfirmwareserver.h"
#include "logcapture.h"
#include "runrecorder.h"

#include <QSslError>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(LocalFirmwareServerFaults)

namespace {

constexpr int replyTimeoutMs = 10000;
constexpr std::chrono::milliseconds shortTransferTimeout{300};
const QByteArray example
    = R"({"DeviceA":{"folder1":["image_1.bin","image_2.bin"],"folder2":["image_3.bin"]},)"
      R"("DeviceB":{"folder1":["image_4.bin"]}})";

LocalFirmwareServerFaults served(const QByteArray& body)
{
    LocalFirmwareServerFaults faults;
    faults.catalogueBody = body;
    return faults;
}

bool writeFile(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

QByteArray httpReply(const QByteArray& status, const QByteArray& headers, const QByteArray& body)
{
    return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: "
        + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// Answers each path with a fixed HTTPS reply, redirects included, which the
// local firmware server does not give.
class RedirectingServer : public QTcpServer
{
public:
    QHash<QByteArray, QByteArray> replies; // request path -> whole HTTP reply

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setLocalCertificate(DevCertificates::get().serverCertificate);
        socket->setPrivateKey(DevCertificates::get().serverKey);
        connect(socket, &QSslSocket::readyRead, socket, [this, socket] {
            socket->write(replies.value(socket->readAll().split(' ').value(1)));
            socket->disconnectFromHost();
        });
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        socket->startServerEncryption();
    }
};

} // namespace

// The catalogue client and the firmware sources over real HTTPS (certificate
// checking on) against the local firmware server. No device is connected, so
// a recognised download shows as the engine's "firmwareBin loaded ok" line.
class TestCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void catalogueReply_replacesOrKeepsCatalogue_data();
    void catalogueReply_replacesOrKeepsCatalogue();
    void firmwareSource_loadsOnlyWhatWasAskedFor_data();
    void firmwareSource_loadsOnlyWhatWasAskedFor();
    void download_outlivesCatalogueCutBeforeIt();

private:
    void requestCatalogue(const LocalFirmwareServerFaults& faults);
    QString url(const QString& file) const { return server->fileUrl("Korvo 7", "v1", file); }
    QVariantMap entry(const QString& device, const QString& folder, const QString& file) const;
    QList<int> loadedSizes() const;

    QTemporaryDir tree;
    std::unique_ptr<LocalFirmwareServer> server;
    RedirectingServer redirecting;
    std::unique_ptr<USB_StmFlasher> flasher;
    std::unique_ptr<LogCapture> log;
};

void TestCatalogue::initTestCase()
{
    const QString folder = tree.path() + "/Korvo 7/v1/";
    QVERIFY(writeFile(folder + "a.bin", makeFirmwareFile(1000)));
    QVERIFY(writeFile(folder + "b.bin", makeFirmwareFile(2000)));
    QVERIFY(writeFile(folder + "new image.bin", makeFirmwareFile(3000)));
    QVERIFY(writeFile(folder + "100%.bin", makeFirmwareFile(4000)));
    QVERIFY(writeFile(folder + "huge.bin", QByteArray(DFU_client::maxImageDownloadBytes + 1, 'Z')));
    server = std::make_unique<LocalFirmwareServer>(tree.path());
    QVERIFY2(server->start(), qPrintable(server->errorString()));
    QVERIFY(FirmwareServer::addTrustedCaFile(LocalFirmwareServer::caFile()));

    QVERIFY(redirecting.listen(QHostAddress::LocalHost));
    const QByteArray origin = "127.0.0.1:" + QByteArray::number(redirecting.serverPort());
    redirecting.replies["/image.bin"] = httpReply("200 OK", {}, makeFirmwareFile(500));
    for (const QByteArray scheme : {"https", "http"})
        redirecting.replies["/to-" + scheme]
            = httpReply("302 Found", "Location: " + scheme + "://" + origin + "/image.bin\r\n", {});
}

void TestCatalogue::init()
{
    FirmwareServer::setBaseUrl(server->baseUrl());
    log = std::make_unique<LogCapture>();
    flasher = std::make_unique<USB_StmFlasher>();
    // The client on its own: what the cache adds when the server cannot be
    // reached is the business of tst_offline.
    flasher->dfu()->setCacheEnabled(false);
}

void TestCatalogue::cleanup()
{
    DFU_client::setTransferTimeout(DFU_client::defaultTransferTimeout);
    server->setFaults({});
    flasher.reset();
    log.reset();
}

void TestCatalogue::requestCatalogue(const LocalFirmwareServerFaults& faults)
{
    server->setFaults(faults);
    const int before = log->messagesStartingWith("webServerReply  \"").size();
    flasher->dfu()->webServerFileListRequest();
    QTRY_COMPARE_WITH_TIMEOUT(log->messagesStartingWith("webServerReply  \"").size(), before + 1,
                              replyTimeoutMs);
}

QVariantMap TestCatalogue::entry(const QString& device, const QString& folder,
                                 const QString& file) const
{
    return {{"fileName", file},
            {"fileUrl", server->baseUrl() + '/' + device + '/' + folder + '/' + file}};
}

QList<int> TestCatalogue::loadedSizes() const
{
    QList<int> sizes;
    for (const QString& line : log->messagesStartingWith("firmwareBin loaded ok, size:"))
        sizes.append(line.section(' ', 5, 5).toInt());
    return sizes;
}

void TestCatalogue::catalogueReply_replacesOrKeepsCatalogue_data()
{
    QTest::addColumn<LocalFirmwareServerFaults>("faults");
    QTest::addColumn<bool>("signalled");
    QTest::addColumn<QVariantMap>("catalogue");
    QTest::addColumn<QString>("logLine"); // how one of the log lines ends
    QTest::addColumn<QString>("cause"); // catalogueError; empty: the request succeeded
    const QVariantMap kept{{"DeviceA",
                            QVariantList{entry("DeviceA", "folder1", "image_1.bin"),
                                         entry("DeviceA", "folder1", "image_2.bin"),
                                         entry("DeviceA", "folder2", "image_3.bin")}},
                           {"DeviceB", QVariantList{entry("DeviceB", "folder1", "image_4.bin")}}};
    QTest::newRow("folders in name order, odd values, names as plain text")
        << served(R"({"A":5,"B":["f"],"D":{"b":["x",12],"a":"f.bin","c":["y%20 z"]}})") << true
        << QVariantMap{{"A", QVariantList{}},
                       {"B", QVariantList{}},
                       {"D",
                        QVariantList{entry("D", "b", "x"), entry("D", "b", "12"),
                                     entry("D", "c", "y%20 z")}}}
        << "availableFirmwaresChanged:  3" << "";
    QTest::newRow("empty object") << served("{}") << false << kept << "JSON object is empty."
                                  << "empty catalogue";
    QTest::newRow("array") << served("[]") << false << kept << "Failed to create JSON doc."
                           << "malformed catalogue";
    QTest::newRow("not JSON") << served("Service Unavailable") << false << kept
                              << "Failed to create JSON doc." << "malformed catalogue";
    LocalFirmwareServerFaults serverError, stalled;
    serverError.statusForPath.insert(LocalFirmwareServer::cataloguePath, 500);
    stalled.stalledPath = LocalFirmwareServer::cataloguePath;
    QTest::newRow("HTTP 500") << serverError << true << kept << "\"InternalServerError\""
                              << "HTTP 500";
    QTest::newRow("nobody listening") << served(example) << true << kept
                                      << "\"ConnectionRefusedError\"" << "Connection refused";
    // Asked first: a connection made before would be used again.
    QTest::newRow("server not trusted")
        << served(example) << true << QVariantMap{} << "\"SslHandshakeFailedError\""
        << QSslError(QSslError::UnableToGetLocalIssuerCertificate).errorString() + "; "
            + QSslError(QSslError::UnableToVerifyFirstCertificate).errorString();
    const QByteArray tooLarge
        = "{\"D\":{\"f\":[\"" + QByteArray(DFU_client::maxCatalogueBytes, 'x') + "\"]}}";
    QTest::newRow("over 4 MiB") << served(tooLarge) << true << kept << "\"OperationCanceledError\""
                                << "reply too large";
    QTest::newRow("stalled past the transfer time-out")
        << stalled << true << kept << "\"OperationCanceledError\"" << "timed out";
}

void TestCatalogue::catalogueReply_replacesOrKeepsCatalogue()
{
    QFETCH(LocalFirmwareServerFaults, faults);
    QFETCH(bool, signalled);
    QFETCH(QVariantMap, catalogue);
    QFETCH(QString, logLine);
    QFETCH(QString, cause);
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    QCOMPARE(flasher->catalogueState(), DFU_client::CatalogueIdle);
    if (tag != "server not trusted")
        requestCatalogue(served(example));
    QSignalSpy changed(flasher.get(), &USB_StmFlasher::availableFirmwaresChanged);
    QVERIFY(changed.isValid());
    QSignalSpy states(flasher.get(), &USB_StmFlasher::catalogueStateChanged);
    QVERIFY(states.isValid());
    if (tag == "nobody listening")
        FirmwareServer::setBaseUrl(QStringLiteral("https://127.0.0.1:1/trennics_firmware"));
    if (!faults.stalledPath.isEmpty())
        DFU_client::setTransferTimeout(shortTransferTimeout);
    const QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
    if (tag == "server not trusted") {
        QSslConfiguration systemOnly = trusting;
        systemOnly.setCaCertificates(QSslConfiguration::systemCaCertificates());
        QSslConfiguration::setDefaultConfiguration(systemOnly);
    }
    requestCatalogue(faults);
    QSslConfiguration::setDefaultConfiguration(trusting);
    QCOMPARE(changed.size(), signalled ? 1 : 0);
    const QStringList lines = log->messages();
    QVERIFY2(std::any_of(lines.cbegin(), lines.cend(),
                         [&](const QString& line) { return line.endsWith(logLine); }),
             qPrintable(lines.join('\n')));
    QCOMPARE(flasher->dfu()->getWebFirmwaresList(), catalogue);
    // Loading, then the outcome.
    QCOMPARE(states.size(), 2);
    QCOMPARE(flasher->catalogueState(),
             cause.isEmpty() ? DFU_client::CatalogueReady : DFU_client::CatalogueFailed);
    QCOMPARE(flasher->catalogueError(), cause);

    // A later good reply makes it good again. (Not after the untrusted
    // server: the access manager keeps that connection's configuration.)
    if (tag == "server not trusted")
        return;
    FirmwareServer::setBaseUrl(server->baseUrl());
    DFU_client::setTransferTimeout(DFU_client::defaultTransferTimeout);
    requestCatalogue(served(example));
    QCOMPARE(flasher->catalogueState(), DFU_client::CatalogueReady);
    QCOMPARE(flasher->catalogueError(), QString());
}

void TestCatalogue::firmwareSource_loadsOnlyWhatWasAskedFor_data()
{
    QTest::addColumn<QStringList>("sources"); // URLs, or paths of local files
    QTest::addColumn<bool>("oneByOne"); // else all asked for at once
    QTest::addColumn<QList<int>>("loaded");
    QTest::addColumn<QStringList>("messages");
    const QStringList failed{DFU_client::downloadFailedMessage};
    const QStringList unreadable{DFU_client::fileUnreadableMessage};
    const QString redirect = QStringLiteral("https://127.0.0.1:%1/").arg(redirecting.serverPort());
    QTest::newRow("A then B: only B")
        << QStringList{url("a.bin"), url("b.bin")} << false << QList<int>{2000} << QStringList{};
    QTest::newRow("name with a space")
        << QStringList{url("new image.bin")} << false << QList<int>{3000} << QStringList{};
    QTest::newRow("name with a percent sign")
        << QStringList{url("100%.bin")} << false << QList<int>{4000} << QStringList{};
    QTest::newRow("failed, then another")
        << QStringList{url("none.bin"), url("b.bin")} << true << QList<int>{2000} << failed;
    QTest::newRow("over 16 MiB") << QStringList{url("huge.bin")} << false << QList<int>{} << failed;
    QTest::newRow("body cut short") << QStringList{url("b.bin")} << false << QList<int>{} << failed;
    QTest::newRow("redirected to https")
        << QStringList{redirect + "to-https"} << false << QList<int>{500} << QStringList{};
    QTest::newRow("redirected to plain http: refused")
        << QStringList{redirect + "to-http"} << false << QList<int>{} << failed;
    QTest::newRow("local file") << QStringList{tree.filePath("Korvo 7/v1/b.bin")} << false
                                << QList<int>{2000} << QStringList{};
    QTest::newRow("missing local file")
        << QStringList{tree.filePath("none.bin")} << false << QList<int>{} << unreadable;
}

void TestCatalogue::firmwareSource_loadsOnlyWhatWasAskedFor()
{
    QFETCH(QStringList, sources);
    QFETCH(bool, oneByOne);
    QFETCH(QList<int>, loaded);
    QFETCH(QStringList, messages);
    // A boot loader takes the image (no port: PrepareToFlash goes nowhere);
    // without one, a loaded image would end its run as a lost link.
    flasher->setDevConnStatus(korvoEnums::korvoBootOnline);
    RunRecorder recorder(flasher.get());
    // Named for this one image: a fault for a path without a query must
    // apply as well as one for every path.
    LocalFirmwareServerFaults cut;
    cut.truncatedPath = LocalFirmwareServer::basePath + "/Korvo 7/v1/b.bin";
    cut.truncateAfter = 1000;
    if (QTest::currentDataTag() == QLatin1String("body cut short"))
        server->setFaults(cut);
    int requests = 0;
    for (const QString& source : sources) {
        if (source.startsWith('/')) {
            flasher->dfu()->flashFromFile(source);
            continue;
        }
        flasher->flashFromUrl(source);
        if (++requests == sources.size() || oneByOne)
            QTRY_COMPARE_WITH_TIMEOUT(log->messagesStartingWith("webServerReply  \"").size(),
                                      requests, replyTimeoutMs);
    }
    QCOMPARE(loadedSizes(), loaded);
    QCOMPARE(recorder.messages, messages);
}

// The catalogue is asked for as a device connects, so a download asked for
// at once waits for a connection of its own while the catalogue's is served.
// A catalogue reply cut short there must not end that download.
void TestCatalogue::download_outlivesCatalogueCutBeforeIt()
{
    flasher->setDevConnStatus(korvoEnums::korvoBootOnline);
    RunRecorder recorder(flasher.get());
    LocalFirmwareServerFaults faults;
    faults.truncatedPath = LocalFirmwareServer::cataloguePath;
    faults.truncateAfter = 5;
    faults.oneConnectionAtATime = true;
    server->setFaults(faults);
    flasher->dfu()->webServerFileListRequest();
    flasher->flashFromUrl(url("b.bin"));
    QTRY_COMPARE_WITH_TIMEOUT(log->messagesStartingWith("webServerReply  \"").size(), 2,
                              replyTimeoutMs);
    QCOMPARE(flasher->dfu()->catalogueState(), DFU_client::CatalogueFailed);
    QCOMPARE(loadedSizes(), QList<int>{2000});
    QCOMPARE(recorder.messages, QStringList{});
}

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"

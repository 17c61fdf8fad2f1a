#include "devcertificates.h"
#include "dfu_client.h"
#include "firmwarecache.h"
#include "firmwareserver.h"
#include "korvoemulator.h"
#include "korvoenums.h"
#include "korvofirmwareimage.h"
#include "localfirmwareserver.h"
#include "loopbackproxy.h"
#include "runrecorder.h"

#include <QScopeGuard>
#include <QSslError>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Failure = DFU_client::NetworkFailure;
using State = DFU_client::CatalogueState;
Q_DECLARE_METATYPE(LocalFirmwareServerFaults)
Q_DECLARE_METATYPE(LoopbackProxy::Mode)

namespace {

constexpr int stepTimeoutMs = 30000;
const QString closedBase = QStringLiteral("https://127.0.0.1:1/trennics_firmware"); // refused
const QString release = QStringLiteral("/Korvo 7/release/korvo7_v0201.bin"); // a few packets
const QByteArray example = R"({"Korvo 7":{"release":["korvo7_v0201.bin"]}})";
const QString untrustedText = QSslError(QSslError::UnableToGetLocalIssuerCertificate).errorString()
    + "; " + QSslError(QSslError::UnableToVerifyFirstCertificate).errorString();

bool writeFile(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

LocalFirmwareServerFaults body(const QByteArray& text)
{
    LocalFirmwareServerFaults faults;
    faults.catalogueBody = text;
    return faults;
}

// Fixed HTTPS replies per path, redirects included (the local server gives none).
struct RedirectingServer : QTcpServer
{
    QHash<QByteArray, QByteArray> replies; // request path -> whole HTTP reply

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

// Over real HTTPS against the local firmware server, a fresh cache folder for
// each case; flashing cases run into the emulated boot loader on a pty.
class TestNetwork : public QObject
{
    Q_OBJECT

    enum Server { Online, Closed, FileWithdrawn, CatalogueErrorFileWithdrawn, Stalls };

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase() { FirmwareCache::setDefaultFolder({}); }
    void catalogue_replacesKeepsOrStandsInForIt_data();
    void catalogue_replacesKeepsOrStandsInForIt();
    void systemProxy_carriesRequestsOrIsNamedInTheFailure_data();
    void systemProxy_carriesRequestsOrIsNamedInTheFailure();
    void download_loadsOnlyWhatWasAskedFor_data();
    void download_loadsOnlyWhatWasAskedFor();
    void cachedImage_flashedOnlyIntactAndOnlyWhereTheServerHasNoWord_data();
    void cachedImage_flashedOnlyIntactAndOnlyWhereTheServerHasNoWord();
    void cacheBound_evictsTheLeastRecentlyUsedFirst();

private:
    QString url(const QString& file) const { return server->fileUrl("Korvo 7", "v1", file); }
    static QString imageUrl(const QString& base = FirmwareServer::baseUrl()) { return base + release; }
    QString imagePath() const { return tree.path() + release; }
    void requestCatalogue(); // and waits for the outcome

    QTemporaryDir tree;
    std::unique_ptr<QTemporaryDir> cacheFolder;
    std::unique_ptr<LocalFirmwareServer> server;
    RedirectingServer redirecting;
    LoopbackProxy proxy;
    std::unique_ptr<KorvoEmulator> emulator;
    std::unique_ptr<USB_StmFlasher> flasher;
    const QByteArray image = KorvoFirmwareImage::makeFile("0201", 108 + 4096 * 5 + 9, 21);
};

void TestNetwork::initTestCase()
{
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY"})
        qunsetenv(name);
    int size = 0;
    for (const char* name : {"a.bin", "b.bin", "new image.bin", "100%.bin"})
        QVERIFY(writeFile(tree.path() + "/Korvo 7/v1/" + name, makeFirmwareFile(size += 1000)));
    QVERIFY(writeFile(tree.path() + "/Korvo 7/v1/huge.bin", QByteArray(DFU_client::maxImageDownloadBytes + 1, 'Z')));
    server = std::make_unique<LocalFirmwareServer>(tree.path());
    QVERIFY2(server->start(), qPrintable(server->errorString()));
    QVERIFY(FirmwareServer::addTrustedCaFile(LocalFirmwareServer::caFile()));
    QVERIFY2(proxy.start(), qPrintable(proxy.errorString()));
    FirmwareServer::useSystemProxy();
    QVERIFY(redirecting.listen(QHostAddress::LocalHost));
    const QByteArray origin = "127.0.0.1:" + QByteArray::number(redirecting.serverPort());
    const QByteArray close = "Connection: close\r\n\r\n", redirected = makeFirmwareFile(500);
    redirecting.replies["/image.bin"] = "HTTP/1.1 200 OK\r\nContent-Length: "
        + QByteArray::number(redirected.size()) + "\r\n" + close + redirected;
    for (const QByteArray scheme : {"https", "http"})
        redirecting.replies["/to-" + scheme] = "HTTP/1.1 302 Found\r\nLocation: " + scheme + "://"
            + origin + "/image.bin\r\nContent-Length: 0\r\n" + close;
}

void TestNetwork::init()
{
    emulator.reset(); // stops it
    flasher = std::make_unique<USB_StmFlasher>();
    server->setFaults({});
    FirmwareServer::setBaseUrl(server->baseUrl());
    cacheFolder = std::make_unique<QTemporaryDir>();
    QVERIFY(cacheFolder->isValid());
    FirmwareCache::setDefaultFolder(cacheFolder->path());
    QVERIFY(writeFile(imagePath(), image));
}

void TestNetwork::requestCatalogue()
{
    QSignalSpy finished(flasher->dfu(), &DFU_client::catalogueRequestFinished);
    QVERIFY(finished.isValid());
    flasher->dfu()->webServerFileListRequest();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, stepTimeoutMs);
}

void TestNetwork::catalogue_replacesKeepsOrStandsInForIt_data()
{
    QTest::addColumn<LocalFirmwareServerFaults>("faults");
    QTest::addColumn<int>("stored"); // 0 nothing, 1 the catalogue, 2 and its image
    QTest::addColumn<State>("state");
    QTest::addColumn<Failure>("failure");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QVariantMap>("catalogue");
    const QString base = server->baseUrl();
    QVariantMap kept, offline;
    DFU_client::catalogueFromJson(example, base, &kept);
    DFU_client::catalogueFromJson(example, closedBase, &offline);
    const auto entry = [&](const QString& folder, const QString& file) {
        return QVariantMap{{"fileName", file}, {"fileUrl", base + "/D/" + folder + '/' + file}};
    };
    QTest::newRow("folders in name order, odd values, names as plain text")
        << body(R"({"A":5,"B":["f"],"D":{"b":["x",12],"a":"f.bin","c":["y%20 z"]}})") << 0
        << State::CatalogueReady << Failure::NoNetworkFailure << ""
        << QVariantMap{{"A", QVariantList{}}, {"B", QVariantList{}},
                       {"D", QVariantList{entry("b", "x"), entry("b", "12"), entry("c", "y%20 z")}}};
    const auto failed = [&](const char* tag, const LocalFirmwareServerFaults& faults,
                            Failure failure, const char* error) {
        QTest::newRow(tag) << faults << 0 << State::CatalogueFailed << failure << QString(error)
                           << kept;
    };
    failed("empty object", body("{}"), Failure::EmptyCatalogue, "empty catalogue");
    failed("array", body("[]"), Failure::MalformedReply, "malformed catalogue");
    failed("not JSON", body("Service Unavailable"), Failure::MalformedReply, "malformed catalogue");
    failed("over 4 MiB",
           body("{\"D\":{\"f\":[\"" + QByteArray(DFU_client::maxCatalogueBytes, 'x') + "\"]}}"),
           Failure::TooLarge, "reply too large");
    LocalFirmwareServerFaults stalled;
    stalled.stalledPath = LocalFirmwareServer::cataloguePath;
    failed("stalled past the transfer time-out", stalled, Failure::TimedOut, "timed out");
    LocalFirmwareServerFaults unavailable;
    unavailable.statusForPath.insert(LocalFirmwareServer::cataloguePath, 503);
    QTest::newRow("HTTP 503, catalogue stored: failed, the stored list with its time")
        << unavailable << 1 << State::CatalogueFailed << Failure::HttpStatus << "HTTP 503" << kept;
    for (int stored : {2, 1, 0}) // another base URL's catalogue never stands in
        QTest::addRow("refused, %d stored", stored)
            << LocalFirmwareServerFaults() << stored
            << (stored ? State::CatalogueOffline : State::CatalogueFailed)
            << Failure::ConnectionRefused << "Connection refused"
            << (stored ? offline : QVariantMap{});
}

void TestNetwork::catalogue_replacesKeepsOrStandsInForIt()
{
    QFETCH(LocalFirmwareServerFaults, faults);
    QFETCH(int, stored);
    QFETCH(State, state);
    QFETCH(Failure, failure);
    QFETCH(QString, error);
    QFETCH(QVariantMap, catalogue);
    const QString base = failure == Failure::ConnectionRefused ? closedBase : server->baseUrl();
    // Without a stored catalogue the cache is off, and a good reply comes first to be kept.
    flasher->dfu()->setCacheEnabled(stored || base == closedBase);
    flasher->setProperty("deviceName", "Korvo 7");
    if (!stored && base != closedBase) {
        server->setFaults(body(example));
        requestCatalogue();
    }
    FirmwareCache cache;
    const QDateTime arrived = QDateTime::currentDateTimeUtc().addDays(-1);
    cache.setClock([arrived] { return arrived; });
    QVERIFY(cache.storeCatalogue(base == closedBase ? server->baseUrl() : closedBase, example));
    QVERIFY(!stored || cache.storeCatalogue(base, example));
    QVERIFY(stored < 2 || cache.storeImage(imageUrl(base), image));
    server->setFaults(faults);
    FirmwareServer::setBaseUrl(base);
    const auto restore = qScopeGuard(
        [] { DFU_client::setTransferTimeout(DFU_client::defaultTransferTimeout); });
    if (!faults.stalledPath.isEmpty())
        DFU_client::setTransferTimeout(std::chrono::milliseconds(300));
    QList<State> states, statesSeen; // the outcome is readable as the list changes
    connect(flasher.get(), &USB_StmFlasher::catalogueStateChanged, this,
            [&] { states.append(flasher->catalogueState()); });
    connect(flasher.get(), &USB_StmFlasher::availableFirmwaresChanged, this,
            [&] { statesSeen.append(flasher->catalogueState()); });
    requestCatalogue();
    const bool noCatalogue = failure == Failure::MalformedReply || failure == Failure::EmptyCatalogue;
    QCOMPARE(statesSeen, noCatalogue ? QList<State>{} : QList<State>{state});
    QCOMPARE(states, (QList<State>{State::CatalogueLoading, state}));
    QCOMPARE(flasher->catalogueFailure(), failure);
    QCOMPARE(flasher->catalogueError(), error);
    QCOMPARE(flasher->dfu()->getWebFirmwaresList(), catalogue);
    QCOMPARE(flasher->catalogueTime(), stored ? arrived : QDateTime());
    for (const QVariant& entry : flasher->getWebFirmwaresList()) // marked only offline
        QCOMPARE(entry.toMap().value("stored"),
                 state == State::CatalogueOffline ? QVariant(stored > 1) : QVariant());
}

void TestNetwork::systemProxy_carriesRequestsOrIsNamedInTheFailure_data()
{
    QTest::addColumn<LoopbackProxy::Mode>("mode");
    QTest::addColumn<bool>("credentials"); // in https_proxy
    QTest::addColumn<int>("tunnels"); // CONNECTs the proxy sees
    QTest::addColumn<Failure>("failure");
    QTest::addColumn<QString>("error"); // %1: the proxy's address
    using M = LoopbackProxy::Mode;
    QTest::newRow("through the proxy: catalogue and download")
        << M::Tunnel << false << 2 << Failure::NoNetworkFailure << "";
    QTest::newRow("through the proxy, server not trusted: certificate still checked")
        << M::Tunnel << false << 1 << Failure::TlsFailed << untrustedText;
    QTest::newRow("proxy refuses")
        << M::RefuseAll << false << 1 << Failure::ProxyFailed << "proxy %1: denied connection";
    QTest::newRow("proxy down: https_proxy names a refused port")
        << M::Tunnel << false << 0 << Failure::ProxyFailed << "proxy %1: connection refused";
    QTest::newRow("proxy asks for credentials") << M::RequireAuth << false << 1
        << Failure::ProxyFailed << "proxy %1: requires authentication";
    // Qt asks without the credentials first, and again with them on the 407.
    QTest::newRow("proxy takes the credentials given")
        << M::RequireAuth << true << 2 << Failure::NoNetworkFailure << "";
}

// The proxy reaches the local server under a name nothing else resolves.
void TestNetwork::systemProxy_carriesRequestsOrIsNamedInTheFailure()
{
    QFETCH(LoopbackProxy::Mode, mode);
    QFETCH(bool, credentials);
    QFETCH(int, tunnels);
    QFETCH(Failure, failure);
    QFETCH(QString, error);
    const QString target
        = QStringLiteral("%1:%2").arg(DevCertificates::proxiedHostName).arg(server->port());
    FirmwareServer::setBaseUrl("https://" + target + LocalFirmwareServer::basePath);
    flasher->dfu()->setCacheEnabled(false);
    proxy.setMode(mode);
    proxy.clearConnectTargets();
    const QString proxyAddress = QStringLiteral("127.0.0.1:%1").arg(tunnels ? proxy.port() : 1);
    qputenv("https_proxy", (tunnels ? proxy.url(credentials) : "http://" + proxyAddress).toUtf8());
    const auto unset = qScopeGuard([] { qunsetenv("https_proxy"); });
    const QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
    const auto trust = qScopeGuard([&] { QSslConfiguration::setDefaultConfiguration(trusting); });
    if (failure == Failure::TlsFailed) { // only the system's CAs trusted
        QSslConfiguration systemOnly = trusting;
        systemOnly.setCaCertificates(QSslConfiguration::systemCaCertificates());
        QSslConfiguration::setDefaultConfiguration(systemOnly);
    }
    requestCatalogue();
    QCOMPARE(flasher->catalogueFailure(), failure);
    QCOMPARE(flasher->catalogueError(), error.arg(proxyAddress));
    if (failure == Failure::NoNetworkFailure && !credentials) { // and a download through it
        flasher->setDevConnStatus(korvoEnums::korvoBootOnline);
        QSignalSpy started(flasher->dfu(), &DFU_client::flashingStarted);
        QVERIFY(started.isValid());
        flasher->flashFromUrl(FirmwareServer::baseUrl() + "/Korvo 7/v1/a.bin");
        QVERIFY(started.wait(stepTimeoutMs));
        QCOMPARE(flasher->dfu()->lastRunFigures().size, std::optional<qint64>(1000));
    }
    QCOMPARE(proxy.connectTargets(), QStringList(QVector<QString>(tunnels, target).toList()));
}

void TestNetwork::download_loadsOnlyWhatWasAskedFor_data()
{
    QTest::addColumn<QStringList>("urls"); // asked for at once
    QTest::addColumn<LocalFirmwareServerFaults>("faults");
    QTest::addColumn<int>("sent"); // image bytes of the run that started; 0: none did
    QTest::addColumn<Failure>("failure"); // of the one download that failed
    const QString redirect = QStringLiteral("https://127.0.0.1:%1/").arg(redirecting.serverPort());
    const LocalFirmwareServerFaults none;
    // Named for this one image: a fault for a path without a query applies too.
    LocalFirmwareServerFaults cut;
    cut.truncatedPath = LocalFirmwareServer::basePath + "/Korvo 7/v1/b.bin";
    cut.truncateAfter = 1000;
    // A download waiting for its connection while the catalogue's is served
    // must not end when that catalogue reply is cut short.
    LocalFirmwareServerFaults catalogueCut;
    catalogueCut.truncatedPath = LocalFirmwareServer::cataloguePath;
    catalogueCut.truncateAfter = 5;
    catalogueCut.oneConnectionAtATime = true;
    QTest::newRow("A then B, named with a percent sign: only B")
        << QStringList{url("a.bin"), url("100%.bin")} << none << 4000 << Failure::NoNetworkFailure;
    QTest::newRow("failed, then another named with a space")
        << QStringList{url("none.bin")} << none << 3000 << Failure::HttpStatus;
    QTest::newRow("over 16 MiB") << QStringList{url("huge.bin")} << none << 0 << Failure::TooLarge;
    QTest::newRow("body cut short") << QStringList{url("b.bin")} << cut << 0
                                    << Failure::ConnectionClosed;
    QTest::newRow("redirected to https")
        << QStringList{redirect + "to-https"} << none << 500 << Failure::NoNetworkFailure;
    QTest::newRow("redirected to plain http: refused")
        << QStringList{redirect + "to-http"} << none << 0 << Failure::RedirectRefused;
    QTest::newRow("catalogue cut short before it")
        << QStringList{url("b.bin")} << catalogueCut << 2000 << Failure::NoNetworkFailure;
}

void TestNetwork::download_loadsOnlyWhatWasAskedFor()
{
    QFETCH(QStringList, urls);
    QFETCH(LocalFirmwareServerFaults, faults);
    QFETCH(int, sent);
    QFETCH(Failure, failure);
    flasher->dfu()->setCacheEnabled(false); // what the cache adds is the offline cases'
    // A boot loader takes the image (no port: PrepareToFlash goes nowhere).
    flasher->setDevConnStatus(korvoEnums::korvoBootOnline);
    RunRecorder recorder(flasher.get());
    QSignalSpy started(flasher->dfu(), &DFU_client::flashingStarted);
    QVERIFY(started.isValid());
    server->setFaults(faults);
    if (faults.oneConnectionAtATime)
        flasher->dfu()->webServerFileListRequest();
    for (const QString& source : urls)
        flasher->flashFromUrl(source);
    QTRY_COMPARE_WITH_TIMEOUT(started.size() + recorder.messages.size(), 1, stepTimeoutMs);
    QCOMPARE(flasher->downloadFailure(), failure); // of the first run
    if (failure == Failure::HttpStatus) { // then another
        flasher->flashFromUrl(url("new image.bin"));
        QTRY_COMPARE_WITH_TIMEOUT(started.size(), 1, stepTimeoutMs);
    }
    QCOMPARE(started.size(), sent ? 1 : 0);
    if (faults.oneConnectionAtATime)
        QTRY_COMPARE_WITH_TIMEOUT(flasher->catalogueFailure(), Failure::ConnectionClosed,
                                  stepTimeoutMs);
    QCOMPARE(flasher->dfu()->lastRunFigures().size,
             sent ? std::optional<qint64>(sent) : std::nullopt);
    QCOMPARE(recorder.messages, failure ? QStringList{DFU_client::downloadFailedMessage} : QStringList{});
}

void TestNetwork::cachedImage_flashedOnlyIntactAndOnlyWhereTheServerHasNoWord_data()
{
    QTest::addColumn<int>("serverMode"); // a Server value
    QTest::addColumn<int>("flippedByte"); // of the stored image; -1: none
    QTest::addColumn<bool>("cacheOn");
    QTest::addColumn<bool>("flashed");
    QTest::newRow("online: a changed file downloaded again, flashed and stored")
        << int(Online) << -1 << true << true;
    QTest::newRow("refused: flashed byte for byte") << int(Closed) << -1 << true << true;
    QTest::newRow("refused, one byte flipped: refused, removed, nothing sent")
        << int(Closed) << 5000 << true << false;
    QTest::newRow("refused, cache turned off") << int(Closed) << -1 << false << false;
    QTest::newRow("server up, file withdrawn (404): the server's word stands")
        << int(FileWithdrawn) << -1 << true << false;
    QTest::newRow("catalogue 503, file withdrawn (404): asked first, the server's word stands")
        << int(CatalogueErrorFileWithdrawn) << -1 << true << false;
    QTest::newRow("offline, download would stall: flashed without asking the server")
        << int(Stalls) << -1 << true << true;
    QTest::newRow("offline, download would stall, one byte flipped: refused at once")
        << int(Stalls) << 300 << true << false;
}

void TestNetwork::cachedImage_flashedOnlyIntactAndOnlyWhereTheServerHasNoWord()
{
    QFETCH(int, serverMode);
    QFETCH(int, flippedByte);
    QFETCH(bool, cacheOn);
    QFETCH(bool, flashed);
    const auto restore = qScopeGuard([] {
        USB_StmFlasher::setCatalogueRetryInterval(USB_StmFlasher::catalogueRetryInterval);
        DFU_client::setTransferTimeout(DFU_client::defaultTransferTimeout);
    });
    if (serverMode == Closed)
        FirmwareServer::setBaseUrl(closedBase);
    const QString storedUrl = imageUrl();
    FirmwareCache cache;
    QVERIFY(cache.storeImage(storedUrl, image));
    QFile data(cache.imageDataPath(storedUrl));
    QVERIFY(flippedByte < 0
            || (data.open(QIODevice::ReadWrite | QIODevice::Unbuffered) && data.seek(flippedByte)
                && data.putChar(char(~image.at(flippedByte)))));
    if (serverMode != Online)
        QVERIFY(cache.storeCatalogue(FirmwareServer::baseUrl(), example));
    const QString imageRequest = "GET /trennics_firmware/Korvo%207/release/korvo7_v0201.bin";
    const int imageRequestsBefore = server->requests().count(imageRequest);
    const QByteArray newer = KorvoFirmwareImage::makeFile("0202", image.size() + 300, 22);
    QVERIFY(serverMode != Online || writeFile(imagePath(), newer));
    LocalFirmwareServerFaults faults;
    if (serverMode == FileWithdrawn || serverMode == CatalogueErrorFileWithdrawn)
        QVERIFY(QFile::remove(imagePath()));
    if (serverMode == CatalogueErrorFileWithdrawn)
        faults.statusForPath.insert(LocalFirmwareServer::cataloguePath, 503);
    if (serverMode == Stalls) { // the catalogue runs out; a download would, seen by the server
        faults.stalledPath = QStringLiteral("*");
        DFU_client::setTransferTimeout(std::chrono::milliseconds(1000));
        USB_StmFlasher::setCatalogueRetryInterval(std::chrono::milliseconds(300));
    }
    server->setFaults(faults);
    flasher->dfu()->setCacheEnabled(cacheOn);
    KorvoEmulatorSettings settings;
    settings.startInBootLoader = true;
    emulator = std::make_unique<KorvoEmulator>(settings);
    QVERIFY2(emulator->start(), qPrintable(emulator->errorString()));
    QVERIFY(QMetaObject::invokeMethod(flasher.get(), "tim_portCheckerTimeout"));
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher->getDevConnStatus()), 2u, stepTimeoutMs);
    const State state = cacheOn && (serverMode == Closed || serverMode == Stalls)
        ? State::CatalogueOffline
        : serverMode == Online || serverMode == FileWithdrawn ? State::CatalogueReady
                                                              : State::CatalogueFailed;
    QTRY_COMPARE_WITH_TIMEOUT(flasher->catalogueState(), state, stepTimeoutMs);
    RunRecorder recorder(flasher.get());
    flasher->flashFromUrl(storedUrl);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.results.size(), 1, stepTimeoutMs);
    QVERIFY(recorder.endedOnceAsTold());
    QCOMPARE(recorder.results.first(), flashed ? DFU_client::FlashSucceeded : DFU_client::FlashDownloadFailed);
    const QByteArray sent = serverMode == Online ? newer : image;
    QVERIFY(!flashed || emulator->receivedImage() == KorvoFirmwareImage::transmittedPart(sent));
    QVERIFY(flashed ? recorder.wellFormed() : recorder.progress.isEmpty());
    const int imageRequests = server->requests().count(imageRequest) - imageRequestsBefore;
    QCOMPARE(imageRequests, serverMode == Closed || serverMode == Stalls ? 0 : 1);
    if (serverMode == Stalls) { // asks again by itself until a good reply makes it ready
        server->setFaults({});
        QTRY_COMPARE_WITH_TIMEOUT(flasher->catalogueState(), State::CatalogueReady, stepTimeoutMs);
        QVERIFY(flasher->catalogueFailure() == Failure::NoNetworkFailure
                && flasher->catalogueError().isEmpty() && !flasher->catalogueTime().isValid());
        QVERIFY(!flasher->getWebFirmwaresList().first().toMap().contains("stored")); // no marks
    }
    if (serverMode == CatalogueErrorFileWithdrawn) // asked first
        QCOMPARE(flasher->downloadFailureDetail(), QStringLiteral("404"));
    if (flippedByte >= 0) {
        QCOMPARE(flasher->downloadFailure(), Failure::StoredImageDamaged);
        QVERIFY(!cache.hasImage(storedUrl) && !QFile::exists(cache.imageDataPath(storedUrl)));
    }
    if (serverMode == Online) {
        const auto catalogue = cache.storedCatalogue(server->baseUrl());
        QVERIFY(catalogue && catalogue->body == server->catalogueJson());
        QCOMPARE(cache.storedImage(storedUrl), std::optional<QByteArray>(newer));
    }
}

void TestNetwork::cacheBound_evictsTheLeastRecentlyUsedFirst()
{
    FirmwareCache cache;
    int seconds = 0;
    cache.setClock([&seconds] { return QDateTime::currentDateTimeUtc().addSecs(++seconds); });
    cache.setMaxImageBytes(3000);
    const auto key = [](char c) { return QStringLiteral("https://127.0.0.1:1/f/%1.bin").arg(c); };
    for (char c : {'a', 'b', 'c'})
        QVERIFY(cache.storeImage(key(c), QByteArray(1000, c)));
    QVERIFY(cache.storedImage(key('a'))); // used after b and c were stored
    QVERIFY(cache.storeImage(key('d'), QByteArray(1000, 'd')));
    const QList<bool> kept{cache.hasImage(key('a')), cache.hasImage(key('b')),
                           cache.hasImage(key('c')), cache.hasImage(key('d'))};
    QCOMPARE(kept, QList<bool>({true, false, true, true}));
    QCOMPARE(cache.imageBytes(), qint64(3000));
}

QTEST_GUILESS_MAIN(TestNetwork)
#include "tst_network.moc"

#include "dfu_client.h"
#include "firmwarecache.h"
#include "firmwareserver.h"
#include "korvoemulator.h"
#include "korvofirmwareimage.h"
#include "localfirmwareserver.h"
#include "runrecorder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr int stepTimeoutMs = 30000;
const QString device = QStringLiteral("Korvo 7");
// A few packets, the last one short.
constexpr int imageSize = 108 + 4096 * 5 + 9;

bool writeFile(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

} // namespace

// The firmware cache in the engine's runs, over real HTTPS against the local
// server and into the emulated boot loader on a pty: what an online run
// stores, and what a run uses when the server cannot be reached.
class TestOffline : public QObject
{
    Q_OBJECT

    // How the server meets the runs of the unreachable-server cases.
    enum Server {
        Stopped,
        FileWithdrawn, // up, the image removed (404)
        // The catalogue answered with 503, the image removed (404): the
        // server answered, so it has the last word on the image.
        CatalogueErrorFileWithdrawn,
        Stalls, // nothing answered: the catalogue runs out, a download would too
    };

private slots:
    void init();
    void cleanup();
    void failedCatalogue_isOfflineWithTheStoredOneOrFailedWithout_data();
    void failedCatalogue_isOfflineWithTheStoredOneOrFailedWithout();
    void offline_asksAgainByItselfUntilAGoodReplyMakesItReady();
    void unreachableServer_flashesOnlyAnIntactStoredImage_data();
    void unreachableServer_flashesOnlyAnIntactStoredImage();
    void onlineRun_storesCatalogueAndDownloadsAChangedFileAgain();
    void cacheBound_evictsTheLeastRecentlyUsedFirst();

private:
    QString url() const { return server->fileUrl(device, "release", "korvo7_v0201.bin"); }
    QString filePath() const { return tree->filePath("Korvo 7/release/korvo7_v0201.bin"); }
    void connectBootLoader();
    // Asks for the catalogue and waits for its outcome.
    void requestCatalogue();
    // Flashes `url()` and waits for the run's one message.
    QString flash();

    std::unique_ptr<QTemporaryDir> tree;
    std::unique_ptr<QTemporaryDir> cacheFolder;
    std::unique_ptr<LocalFirmwareServer> server;
    std::unique_ptr<KorvoEmulator> emulator;
    std::unique_ptr<USB_StmFlasher> flasher;
    QByteArray file;
};

void TestOffline::init()
{
    tree = std::make_unique<QTemporaryDir>();
    cacheFolder = std::make_unique<QTemporaryDir>();
    QVERIFY(tree->isValid() && cacheFolder->isValid());
    FirmwareCache::setDefaultFolder(cacheFolder->path());
    file = KorvoFirmwareImage::makeFile("0201", imageSize, 21);
    QVERIFY(writeFile(filePath(), file));
    server = std::make_unique<LocalFirmwareServer>(tree->path());
    QVERIFY2(server->start(), qPrintable(server->errorString()));
    FirmwareServer::setBaseUrl(server->baseUrl());
    QVERIFY(FirmwareServer::addTrustedCaFile(LocalFirmwareServer::caFile()));
}

void TestOffline::cleanup()
{
    flasher.reset();
    if (emulator)
        emulator->stop();
    emulator.reset();
    server.reset();
    FirmwareCache::setDefaultFolder({});
    DFU_client::setTransferTimeout(DFU_client::defaultTransferTimeout);
    USB_StmFlasher::setCatalogueRetryInterval(USB_StmFlasher::catalogueRetryInterval);
}

void TestOffline::connectBootLoader()
{
    if (emulator)
        emulator->stop();
    KorvoEmulatorSettings settings;
    settings.startInBootLoader = true;
    emulator = std::make_unique<KorvoEmulator>(settings);
    QVERIFY2(emulator->start(), qPrintable(emulator->errorString()));
    if (!flasher)
        flasher = std::make_unique<USB_StmFlasher>();
    QVERIFY(QMetaObject::invokeMethod(flasher.get(), "tim_portCheckerTimeout"));
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher->getDevConnStatus()), 2u, stepTimeoutMs);
}

void TestOffline::requestCatalogue()
{
    QSignalSpy finished(flasher->dfu(), &DFU_client::catalogueRequestFinished);
    flasher->dfu()->webServerFileListRequest();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, stepTimeoutMs);
}

QString TestOffline::flash()
{
    RunRecorder recorder(flasher.get());
    flasher->flashFromUrl(url());
    if (!QTest::qWaitFor([&] { return !recorder.messages.isEmpty(); }, stepTimeoutMs))
        return QStringLiteral("(no message)");
    return recorder.messages.join('|');
}

void TestOffline::failedCatalogue_isOfflineWithTheStoredOneOrFailedWithout_data()
{
    QTest::addColumn<bool>("catalogueStored");
    QTest::addColumn<bool>("imageStored");
    QTest::addColumn<bool>("cacheOn");
    QTest::addColumn<bool>("serverStopped"); // else it answers the catalogue with 503
    QTest::newRow("server stopped, catalogue and image stored: offline, marked")
        << true << true << true << true;
    QTest::newRow("server stopped, catalogue stored without the image: offline, unmarked")
        << true << false << true << true;
    // The server answered: not offline, though the stored list is on offer.
    QTest::newRow("HTTP 503, catalogue stored: failed, the stored list with its time")
        << true << true << true << false;
    QTest::newRow("server stopped, nothing stored: failed") << false << false << true << true;
    QTest::newRow("server stopped, cache turned off: failed") << true << true << false << true;
}

void TestOffline::failedCatalogue_isOfflineWithTheStoredOneOrFailedWithout()
{
    QFETCH(bool, catalogueStored);
    QFETCH(bool, imageStored);
    QFETCH(bool, cacheOn);
    QFETCH(bool, serverStopped);
    FirmwareCache cache;
    const QDateTime arrived = QDateTime::currentDateTimeUtc().addDays(-1);
    cache.setClock([arrived] { return arrived; });
    if (catalogueStored)
        QVERIFY(cache.storeCatalogue(server->baseUrl(), server->catalogueJson()));
    if (imageStored)
        QVERIFY(cache.storeImage(url(), file));
    // Another base URL's catalogue never stands in.
    QVERIFY(cache.storeCatalogue(QStringLiteral("https://127.0.0.1:1/trennics_firmware"),
                                 server->catalogueJson()));
    const QString storedUrl = url(); // the server forgets its port when stopped
    if (serverStopped) {
        server->stop();
    } else {
        LocalFirmwareServerFaults unavailable;
        unavailable.statusForPath.insert(LocalFirmwareServer::cataloguePath, 503);
        server->setFaults(unavailable);
    }
    flasher = std::make_unique<USB_StmFlasher>();
    flasher->dfu()->setCacheEnabled(cacheOn);
    // What those told of the outcome read at that moment.
    QList<DFU_client::CatalogueState> statesSeen;
    const auto readState = [&] {
        statesSeen.append(flasher->catalogueState());
    };
    connect(flasher.get(), &USB_StmFlasher::availableFirmwaresChanged, this, readState);
    connect(flasher->dfu(), &DFU_client::catalogueRequestFinished, this, readState);
    flasher->setProperty("deviceName", device);

    requestCatalogue();
    const bool storedList = catalogueStored && cacheOn;
    const bool offline = storedList && serverStopped;
    const DFU_client::CatalogueState expected
        = offline ? DFU_client::CatalogueOffline : DFU_client::CatalogueFailed;
    QCOMPARE(flasher->catalogueState(), expected);
    QCOMPARE(statesSeen, QList<DFU_client::CatalogueState>({expected, expected}));
    QCOMPARE(flasher->catalogueError(),
             serverStopped ? QStringLiteral("Connection refused") : QStringLiteral("HTTP 503"));
    QCOMPARE(flasher->catalogueTime(), storedList ? arrived : QDateTime());
    const QVariantList entries = flasher->getWebFirmwaresList();
    QCOMPARE(entries.size(), storedList ? 1 : 0);
    if (storedList) {
        const QVariantMap entry = entries.first().toMap();
        // As the catalogue spells it: plain text where the server's URL is encoded.
        QCOMPARE(QUrl(entry.value("fileUrl").toString()), QUrl(storedUrl));
        QCOMPARE(entry.value("fileName").toString(), QStringLiteral("korvo7_v0201.bin"));
        // Marked only offline, where a stored image is flashed at once.
        QCOMPARE(entry.value("stored"), offline ? QVariant(imageStored) : QVariant());
    }
}

void TestOffline::offline_asksAgainByItselfUntilAGoodReplyMakesItReady()
{
    constexpr std::chrono::milliseconds shortRetry{300};
    USB_StmFlasher::setCatalogueRetryInterval(shortRetry);
    FirmwareCache cache;
    QVERIFY(cache.storeCatalogue(server->baseUrl(), server->catalogueJson()));
    QVERIFY(cache.storeImage(url(), file));
    // A server that does not answer: the catalogue request runs out.
    DFU_client::setTransferTimeout(std::chrono::milliseconds(500));
    LocalFirmwareServerFaults unavailable;
    unavailable.stalledPath = LocalFirmwareServer::cataloguePath;
    server->setFaults(unavailable);
    // Opening the port asks for the catalogue.
    connectBootLoader();
    QTRY_COMPARE_WITH_TIMEOUT(flasher->catalogueState(), DFU_client::CatalogueOffline,
                              stepTimeoutMs);
    QVERIFY(flasher->getWebFirmwaresList().first().toMap().contains("stored"));

    server->setFaults({});
    QSignalSpy changed(flasher.get(), &USB_StmFlasher::availableFirmwaresChanged);
    QTRY_COMPARE_WITH_TIMEOUT(flasher->catalogueState(), DFU_client::CatalogueReady, stepTimeoutMs);
    QCOMPARE(flasher->catalogueError(), QString());
    QCOMPARE(flasher->catalogueTime(), QDateTime());
    QVERIFY(!changed.isEmpty());
    // Online the list carries no marks.
    QCOMPARE(flasher->getWebFirmwaresList().first().toMap().contains("stored"), false);
}

void TestOffline::unreachableServer_flashesOnlyAnIntactStoredImage_data()
{
    QTest::addColumn<bool>("stored");
    QTest::addColumn<int>("flippedByte"); // -1: none
    QTest::addColumn<bool>("cacheOn");
    QTest::addColumn<int>("serverMode"); // a Server value
    QTest::addColumn<bool>("flashed");
    QTest::newRow("intact: flashed byte for byte") << true << -1 << true << int(Stopped) << true;
    QTest::newRow("one byte flipped: refused, removed, nothing sent")
        << true << 5000 << true << int(Stopped) << false;
    QTest::newRow("nothing stored") << false << -1 << true << int(Stopped) << false;
    QTest::newRow("cache turned off") << true << -1 << false << int(Stopped) << false;
    QTest::newRow("server up, file withdrawn (404): the server's word stands")
        << true << -1 << true << int(FileWithdrawn) << false;
    QTest::newRow("catalogue 503, file withdrawn (404): asked first, the server's word stands")
        << true << -1 << true << int(CatalogueErrorFileWithdrawn) << false;
    QTest::newRow("offline, download would stall: flashed without asking the server")
        << true << -1 << true << int(Stalls) << true;
    QTest::newRow("offline, download would stall, one byte flipped: refused at once")
        << true << 300 << true << int(Stalls) << false;
}

void TestOffline::unreachableServer_flashesOnlyAnIntactStoredImage()
{
    QFETCH(bool, stored);
    QFETCH(int, flippedByte);
    QFETCH(bool, cacheOn);
    QFETCH(int, serverMode);
    QFETCH(bool, flashed);
    FirmwareCache cache;
    if (stored)
        QVERIFY(cache.storeImage(url(), file));
    if (flippedByte >= 0) {
        QFile data(cache.imageDataPath(url()));
        QVERIFY(data.open(QIODevice::ReadWrite));
        QVERIFY(data.seek(flippedByte));
        const char flipped = char(~file.at(flippedByte));
        QVERIFY(data.write(&flipped, 1) == 1);
    }
    QVERIFY(cache.storeCatalogue(server->baseUrl(), server->catalogueJson()));
    const QString storedUrl = url();
    const QString imageRequest
        = QStringLiteral("GET /trennics_firmware/Korvo%207/release/korvo7_v0201.bin");
    LocalFirmwareServerFaults faults;
    switch (serverMode) {
    case FileWithdrawn:
        QVERIFY(QFile::remove(filePath()));
        break;
    case CatalogueErrorFileWithdrawn:
        QVERIFY(QFile::remove(filePath()));
        faults.statusForPath.insert(LocalFirmwareServer::cataloguePath, 503);
        server->setFaults(faults);
        break;
    case Stalls:
        // The catalogue request runs out; a download would too, after the
        // server had seen it.
        faults.stalledPath = QStringLiteral("*");
        server->setFaults(faults);
        DFU_client::setTransferTimeout(std::chrono::milliseconds(1000));
        break;
    default:
        server->stop();
    }

    flasher = std::make_unique<USB_StmFlasher>();
    flasher->dfu()->setCacheEnabled(cacheOn);
    connectBootLoader();
    // The request of the connection itself ends first (a slow machine may
    // still be waiting for it), so what follows answers the one asked here.
    QTRY_VERIFY_WITH_TIMEOUT(flasher->catalogueState() != DFU_client::CatalogueLoading,
                             stepTimeoutMs);
    // The catalogue first, as on connecting: the stored one stands in.
    QSignalSpy changed(flasher.get(), &USB_StmFlasher::availableFirmwaresChanged);
    flasher->dfu()->webServerFileListRequest();
    QTRY_VERIFY_WITH_TIMEOUT(!changed.isEmpty(), stepTimeoutMs);
    const bool storedCatalogueUsed = cacheOn && serverMode != FileWithdrawn;
    QCOMPARE(flasher->dfu()->storedCatalogueTime().isValid(), storedCatalogueUsed);
    const bool answered = serverMode == CatalogueErrorFileWithdrawn;
    QCOMPARE(flasher->catalogueState(),
             storedCatalogueUsed && !answered ? DFU_client::CatalogueOffline
                 : cacheOn && !answered       ? DFU_client::CatalogueReady
                                              : DFU_client::CatalogueFailed);
    QCOMPARE(flasher->getWebFirmwaresList().size(), storedCatalogueUsed ? 1 : 0);

    RunRecorder recorder(flasher.get());
    flasher->flashFromUrl(storedUrl);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, stepTimeoutMs);
    if (flashed) {
        QCOMPARE(recorder.messages.first(), DFU_client::successMessage);
        QVERIFY(emulator->receivedImage() == KorvoFirmwareImage::transmittedPart(file));
        QVERIFY(recorder.wellFormed());
    } else {
        QCOMPARE(recorder.messages.first(), DFU_client::downloadFailedMessage);
        QVERIFY(recorder.progress.isEmpty());
        QCOMPARE(uint(flasher->getDevConnStatus()), 2u);
    }
    if (serverMode == Stalls)
        QVERIFY(!server->requests().contains(imageRequest));
    if (serverMode == CatalogueErrorFileWithdrawn) {
        QVERIFY(server->requests().contains(imageRequest));
        QCOMPARE(flasher->downloadFailure(), DFU_client::HttpStatus);
        QCOMPARE(flasher->downloadFailureDetail(), QStringLiteral("404"));
    }
    if (flippedByte >= 0) {
        QVERIFY(!cache.hasImage(storedUrl));
        QVERIFY(!QFile::exists(cache.imageDataPath(storedUrl)));
    }
}

void TestOffline::onlineRun_storesCatalogueAndDownloadsAChangedFileAgain()
{
    FirmwareCache cache;
    QVERIFY(cache.storeImage(url(), file));
    const QByteArray newer = KorvoFirmwareImage::makeFile("0202", imageSize + 300, 22);
    QVERIFY(writeFile(filePath(), newer));
    connectBootLoader(); // which asks for the catalogue
    QTRY_COMPARE_WITH_TIMEOUT(flasher->catalogueState(), DFU_client::CatalogueReady, stepTimeoutMs);
    QCOMPARE(flash(), DFU_client::successMessage);
    QVERIFY(emulator->receivedImage() == KorvoFirmwareImage::transmittedPart(newer));
    const std::optional<FirmwareCache::Catalogue> stored = cache.storedCatalogue(server->baseUrl());
    QVERIFY(stored && stored->body == server->catalogueJson());
    QVERIFY(server->requests().contains(
        QStringLiteral("GET /trennics_firmware/Korvo%207/release/korvo7_v0201.bin")));
    QCOMPARE(cache.storedImage(url()), std::optional<QByteArray>(newer));
}

void TestOffline::cacheBound_evictsTheLeastRecentlyUsedFirst()
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
    QCOMPARE(QList<bool>({cache.hasImage(key('a')), cache.hasImage(key('b')),
                          cache.hasImage(key('c')), cache.hasImage(key('d'))}),
             QList<bool>({true, false, true, true}));
    QCOMPARE(cache.imageBytes(), qint64(3000));
}

QTEST_GUILESS_MAIN(TestOffline)
#include "tst_offline.moc"

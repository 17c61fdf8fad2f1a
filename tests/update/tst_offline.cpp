#include "dfu_client.h"
#include "firmwarecache.h"
#include "firmwareserver.h"
#include "korvoemulator.h"
#include "korvoenums.h"
#include "korvofirmwareimage.h"
#include "localfirmwareserver.h"
#include "logcapture.h"
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

bool prepareToFlashSent(const KorvoEmulator& emulator)
{
    const QList<KorvoEmulator::ReceivedPacket> packets = emulator.packetLog();
    return std::any_of(packets.cbegin(), packets.cend(), [](const auto& packet) {
        return packet.header.action == korvoEnums::CommandMessage
            && packet.header.dataOrCommand == korvoEnums::PrepareToFlash;
    });
}

} // namespace

// The firmware cache in the engine's runs, over real HTTPS against the local
// server and into the emulated boot loader on a pty: what an online run
// stores, and what a run uses when the server cannot be reached.
class TestOffline : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void onlineRun_storesCatalogueAndImage();
    void unreachableServer_flashesOnlyAnIntactStoredImage_data();
    void unreachableServer_flashesOnlyAnIntactStoredImage();
    void online_aFileChangedOnTheServerIsDownloadedAgain();
    void downloadProgress_risesForAnImageFromASlowServer();

private:
    QString url() const { return server->fileUrl(device, "release", "korvo7_v0201.bin"); }
    QString filePath() const { return tree->filePath("Korvo 7/release/korvo7_v0201.bin"); }
    void connectBootLoader();
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

QString TestOffline::flash()
{
    RunRecorder recorder(flasher.get());
    flasher->flashFromUrl(url());
    if (!QTest::qWaitFor([&] { return !recorder.messages.isEmpty(); }, stepTimeoutMs))
        return QStringLiteral("(no message)");
    return recorder.messages.join('|');
}

void TestOffline::onlineRun_storesCatalogueAndImage()
{
    connectBootLoader();
    // Opening the port asked for the catalogue; this asks once more.
    QSignalSpy catalogue(flasher->dfu(), &DFU_client::catalogueRequestFinished);
    flasher->dfu()->webServerFileListRequest();
    QTRY_VERIFY_WITH_TIMEOUT(!catalogue.isEmpty() && catalogue.last().first().toBool(),
                             stepTimeoutMs);
    QCOMPARE(flash(), DFU_client::successMessage);

    FirmwareCache cache;
    QCOMPARE(cache.folder(), cacheFolder->path());
    const std::optional<FirmwareCache::Catalogue> stored = cache.storedCatalogue(server->baseUrl());
    QVERIFY(stored);
    QCOMPARE(stored->body, server->catalogueJson());
    QVERIFY(qAbs(stored->time.secsTo(QDateTime::currentDateTimeUtc())) < 60);
    QCOMPARE(cache.storedImage(url()), std::optional<QByteArray>(file));
    QCOMPARE(cache.imageRecord(url())->url, url());
}

void TestOffline::unreachableServer_flashesOnlyAnIntactStoredImage_data()
{
    QTest::addColumn<bool>("stored");
    QTest::addColumn<int>("flippedByte"); // -1: none
    QTest::addColumn<bool>("cacheOn");
    QTest::addColumn<bool>("serverAnswers404"); // else it is stopped
    QTest::addColumn<bool>("flashed");
    QTest::newRow("intact: flashed byte for byte") << true << -1 << true << false << true;
    QTest::newRow("one byte flipped: refused, removed, nothing sent")
        << true << 5000 << true << false << false;
    QTest::newRow("nothing stored") << false << -1 << true << false << false;
    QTest::newRow("cache turned off") << true << -1 << false << false << false;
    QTest::newRow("server up, file withdrawn (404): the server's word stands")
        << true << -1 << true << true << false;
}

void TestOffline::unreachableServer_flashesOnlyAnIntactStoredImage()
{
    QFETCH(bool, stored);
    QFETCH(int, flippedByte);
    QFETCH(bool, cacheOn);
    QFETCH(bool, serverAnswers404);
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
    if (serverAnswers404)
        QVERIFY(QFile::remove(filePath()));
    else
        server->stop();

    flasher = std::make_unique<USB_StmFlasher>();
    flasher->dfu()->setCacheEnabled(cacheOn);
    connectBootLoader();
    LogCapture log;
    // The catalogue first, as on connecting: the stored one stands in.
    QSignalSpy changed(flasher.get(), &USB_StmFlasher::availableFirmwaresChanged);
    flasher->dfu()->webServerFileListRequest();
    QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 1, stepTimeoutMs);
    const bool storedCatalogueUsed = cacheOn && !serverAnswers404;
    QCOMPARE(flasher->dfu()->storedCatalogueTime().isValid(), storedCatalogueUsed);
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
        QVERIFY(!prepareToFlashSent(*emulator));
        QVERIFY(recorder.progress.isEmpty());
        QCOMPARE(uint(flasher->getDevConnStatus()), 2u);
    }
    if (flippedByte >= 0) {
        QVERIFY(!cache.hasImage(storedUrl));
        QVERIFY(!QFile::exists(cache.imageDataPath(storedUrl)));
    }
}

void TestOffline::online_aFileChangedOnTheServerIsDownloadedAgain()
{
    FirmwareCache cache;
    QVERIFY(cache.storeImage(url(), file));
    const QByteArray newer = KorvoFirmwareImage::makeFile("0202", imageSize + 300, 22);
    QVERIFY(writeFile(filePath(), newer));
    connectBootLoader();
    QCOMPARE(flash(), DFU_client::successMessage);
    QVERIFY(emulator->receivedImage() == KorvoFirmwareImage::transmittedPart(newer));
    QVERIFY(server->requests().contains(
        QStringLiteral("GET /trennics_firmware/Korvo%207/release/korvo7_v0201.bin")));
    QCOMPARE(cache.storedImage(url()), std::optional<QByteArray>(newer));
}

void TestOffline::downloadProgress_risesForAnImageFromASlowServer()
{
    const QByteArray large = KorvoFirmwareImage::makeFile("0203", 512 * 1024, 23);
    QVERIFY(writeFile(filePath(), large));
    LocalFirmwareServerFaults slow;
    slow.bytesPerSecond = qint64(512) * 1024; // about a second
    server->setFaults(slow);
    connectBootLoader();
    QSignalSpy progress(flasher.get(), &USB_StmFlasher::downloadProgress);
    QVERIFY(progress.isValid());
    QCOMPARE(flash(), DFU_client::successMessage);
    // Qt reports a download at most every 100 ms.
    QVERIFY2(progress.size() >= 3, qPrintable(QString::number(progress.size())));
    qint64 last = 0;
    for (const QList<QVariant>& report : progress) {
        QVERIFY(report.at(0).toLongLong() >= last);
        QCOMPARE(report.at(1).toLongLong(), qint64(large.size()));
        last = report.at(0).toLongLong();
    }
    QCOMPARE(last, qint64(large.size()));
    QVERIFY(emulator->receivedImage() == KorvoFirmwareImage::transmittedPart(large));
}

QTEST_GUILESS_MAIN(TestOffline)
#include "tst_offline.moc"

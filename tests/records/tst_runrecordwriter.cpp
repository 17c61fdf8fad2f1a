#include "dfu_client.h"
#include "firmwareserver.h"
#include "korvoemulator.h"
#include "korvoenums.h"
#include "korvofirmwareimage.h"
#include "localfirmwareserver.h"
#include "runrecord.h"
#include "runrecordwriter.h"
#include "trennicversion.h"
#include "usb_stmflasher.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

using namespace std::chrono_literals;
using Fault = std::function<void(KorvoEmulatorSettings&)>;
Q_DECLARE_METATYPE(Fault)

namespace {

constexpr int stepTimeoutMs = 10000;
constexpr int runTimeoutMs = 30000;
constexpr std::chrono::milliseconds shortReturnTimeout = 2000ms;
const QString serial = QStringLiteral("KRV7-000123");
// Three whole slices and a short last one: four packets.
constexpr int imageSize = 108 + 4096 * 3 + 5;

enum class Source { File, Url, MissingUrl };

QString sha256(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

} // namespace
Q_DECLARE_METATYPE(Source)

// Every flashing run through the real link against the emulated device gets
// exactly one line in the run record, with what the device, the engine and
// the device's return told.
class TestRunRecordWriter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void everyRun_appendsOneLineWithItsFields_data();
    void everyRun_appendsOneLineWithItsFields();
    void quittingWhileTheDeviceRestarts_writesTheSuccessWithoutAfter();

private:
    QTemporaryDir folder;
    std::unique_ptr<LocalFirmwareServer> server;
};

void TestRunRecordWriter::initTestCase()
{
    QVERIFY(folder.isValid());
    const QString root = folder.filePath(QStringLiteral("fw"));
    QDir().mkpath(root + "/Korvo 7/release");
    QFile file(root + "/Korvo 7/release/korvo7_v0108.bin");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(KorvoFirmwareImage::makeFile("0108", imageSize, 8));
    file.close();
    server = std::make_unique<LocalFirmwareServer>(root);
    QVERIFY2(server->start(), qPrintable(server->errorString()));
    FirmwareServer::setBaseUrl(server->baseUrl());
    QVERIFY(FirmwareServer::addTrustedCaFile(LocalFirmwareServer::caFile()));
    RunRecordWriter::setTool(QStringLiteral("cli"));
    USB_StmFlasher::setDeviceReturnTimeout(shortReturnTimeout);
}

void TestRunRecordWriter::cleanupTestCase()
{
    RunRecordWriter::setTool(QString());
    USB_StmFlasher::setDeviceReturnTimeout(USB_StmFlasher::deviceReturnTimeout);
}

void TestRunRecordWriter::everyRun_appendsOneLineWithItsFields_data()
{
    QTest::addColumn<Source>("source");
    QTest::addColumn<int>("transmitted"); // image bytes after the trailer
    QTest::addColumn<Fault>("fault"); // set once the device is in its boot loader
    QTest::addColumn<Fault>("identity"); // set before the device starts
    QTest::addColumn<DFU_client::FlashResult>("result");
    QTest::addColumn<QString>("after");

    const Fault none = [](KorvoEmulatorSettings&) {
    };
    // The last packet is written, its acknowledgement never read: the boot
    // loader resets at once.
    const Fault lastAckCut = [](KorvoEmulatorSettings& s) {
        s.dropAckOfPacket = 3;
        s.resetRightAfterLastAnswer = true;
    };
    QTest::newRow("the last acknowledgement cut off by the reset, the device back")
        << Source::File << imageSize << lastAckCut << none << DFU_client::FlashUnconfirmed
        << "01.08";
    QTest::newRow("the last acknowledgement cut off by the reset, the device stays away")
        << Source::File << imageSize << Fault([lastAckCut](KorvoEmulatorSettings& s) {
               lastAckCut(s);
               s.rebootDelay = 60000ms;
           })
        << none << DFU_client::FlashUnconfirmed << QString();
    QTest::newRow("a boot loader with a serial of its own: the return recognised")
        << Source::File << imageSize << none
        << Fault([](KorvoEmulatorSettings& s) { s.bootLoaderSerialNumber = "KRV7-BOOT"; })
        << DFU_client::FlashSucceeded << "01.08";
    QTest::newRow("a boot loader without a serial: the return recognised")
        << Source::File << imageSize << none
        << Fault([](KorvoEmulatorSettings& s) { s.bootLoaderSerialNumber = QString(); })
        << DFU_client::FlashSucceeded << "01.08";
    QTest::newRow("success: the device comes back with the image's version")
        << Source::File << imageSize << none << none << DFU_client::FlashSucceeded << "01.08";
    QTest::newRow("success from a URL")
        << Source::Url << imageSize << none << none << DFU_client::FlashSucceeded << "01.08";
    QTest::newRow("success, the device stays away: after null")
        << Source::File << imageSize
        << Fault([](KorvoEmulatorSettings& s) { s.rebootDelay = 60000ms; }) << none
        << DFU_client::FlashSucceeded << QString();
    QTest::newRow("device error at packet 2")
        << Source::File << imageSize << Fault([](KorvoEmulatorSettings& s) { s.errorAtPacket = 2; })
        << none << DFU_client::FlashDeviceError << QString();
    QTest::newRow("device silent from packet 2")
        << Source::File << imageSize
        << Fault([](KorvoEmulatorSettings& s) { s.silentFromPacket = 2; }) << none
        << DFU_client::FlashDeviceSilent << QString();
    QTest::newRow("device unplugged at packet 2")
        << Source::File << imageSize
        << Fault([](KorvoEmulatorSettings& s) { s.unplugAtPacket = 2; }) << none
        << DFU_client::FlashPortLost << QString();
    QTest::newRow("image refused: 108 bytes")
        << Source::File << 108 << none << none << DFU_client::FlashImageRefused << QString();
    QTest::newRow("download failed: no such file")
        << Source::MissingUrl << 0 << none << none << DFU_client::FlashDownloadFailed << QString();
}

void TestRunRecordWriter::everyRun_appendsOneLineWithItsFields()
{
    QFETCH(Source, source);
    QFETCH(int, transmitted);
    QFETCH(Fault, fault);
    QFETCH(Fault, identity);
    QFETCH(DFU_client::FlashResult, result);
    QFETCH(QString, after);

    const QString recordPath
        = folder.filePath(QStringLiteral("%1.jsonl").arg(QTest::currentDataTag()));
    const QString imagePath = folder.filePath(QStringLiteral("image.bin"));
    const QByteArray file = KorvoFirmwareImage::makeFile("0108", qMax(transmitted, 0), 8);
    {
        QFile image(imagePath);
        QVERIFY(image.open(QIODevice::WriteOnly));
        image.write(transmitted > 108 ? file : file.left(transmitted + DFU_client::trailerSize));
    }

    // As the window does it: the device in its application firmware first,
    // restarted into its boot loader, then flashed.
    KorvoEmulatorSettings start;
    identity(start);
    KorvoEmulator emulator(start);
    QVERIFY2(emulator.start(), qPrintable(emulator.errorString()));
    USB_StmFlasher flasher;
    flasher.dfu()->setCacheEnabled(false);
    RunRecordWriter writer(&flasher);
    writer.setPath(recordPath);
    QVERIFY(QMetaObject::invokeMethod(&flasher, "tim_portCheckerTimeout"));
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher.getDevConnStatus()), 1u, stepTimeoutMs);
    flasher.sendToKorvo(korvoEnums::CommandMessage, korvoEnums::PrepareToFlash, 0);
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher.getDevConnStatus()), 2u, stepTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(flasher.property("dfuVersion").toUInt() > 0, stepTimeoutMs);
    KorvoEmulatorSettings settings = emulator.settings();
    fault(settings);
    emulator.setSettings(settings);

    // A success is written only once the device's return is known.
    QSignalSpy finished(&flasher, &USB_StmFlasher::runFinished);
    int linesAtFinish = -1;
    connect(&flasher, &USB_StmFlasher::runFinished, this,
            [&] { linesAtFinish = RunRecord::readLast(10, recordPath).size(); });
    QString url = server->fileUrl("Korvo 7", "release", "korvo7_v0108.bin");
    switch (source) {
    case Source::File:
        flasher.flashFromFile(imagePath);
        break;
    case Source::Url:
        flasher.flashFromUrl(url);
        break;
    case Source::MissingUrl:
        url = server->fileUrl("Korvo 7", "release", "none.bin");
        flasher.flashFromUrl(url);
        break;
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, runTimeoutMs);
    QCOMPARE(finished.first().first().value<DFU_client::FlashResult>(), result);
    const QString message = finished.first().at(1).toString();
    // The whole image written: the line waits for the device's return.
    const bool wholeImage
        = result == DFU_client::FlashSucceeded || result == DFU_client::FlashUnconfirmed;
    QCOMPARE(linesAtFinish, wholeImage ? 0 : 1);
    QTRY_COMPARE_WITH_TIMEOUT(RunRecord::readLast(10, recordPath).size(), 1,
                              int(2 * shortReturnTimeout.count()));

    const RunRecord record = RunRecord::readLast(10, recordPath).first();
    QCOMPARE(record.tool, QStringLiteral("cli"));
    QCOMPARE(record.toolVersion, QStringLiteral(TRENNIC_VERSION));
    QVERIFY(record.start.isValid() && record.start <= record.end);
    QVERIFY(record.ms && *record.ms >= 0);
    QCOMPARE(record.device, QStringLiteral("Korvo 7"));
    QCOMPARE(record.serial, serial);
    QCOMPARE(record.boardVersion, std::optional<qint64>(7));
    QCOMPARE(record.boardRevision, QStringLiteral("C"));
    QCOMPARE(record.bootloader, std::optional<qint64>(2));
    QCOMPARE(record.before, QStringLiteral("01.05"));
    QCOMPARE(record.source, source == Source::File ? imagePath : url);
    QCOMPARE(
        record.result,
        QString::fromLatin1(QMetaEnum::fromType<DFU_client::FlashResult>().valueToKey(result)));
    QCOMPARE(record.message, message);
    QCOMPARE(record.after, after);

    if (source == Source::MissingUrl) {
        // Nothing was sent: nothing to tell about an image.
        QVERIFY(!record.size && record.sha256.isNull() && !record.packets && !record.resends);
        return;
    }
    const QByteArray sent = file.left(transmitted);
    QCOMPARE(record.size, std::optional<qint64>(transmitted));
    QCOMPARE(record.sha256, sha256(sent));
    int flashPackets = 0;
    for (const KorvoEmulator::ReceivedPacket& packet : emulator.packetLog())
        flashPackets += packet.header.action == korvoEnums::FlashData ? 1 : 0;
    QCOMPARE(record.packets, std::optional<qint64>(flashPackets));
    QCOMPARE(record.resends, std::optional<qint64>(0));
    if (wholeImage)
        QCOMPARE(record.sha256, sha256(emulator.receivedImage()));
}

void TestRunRecordWriter::quittingWhileTheDeviceRestarts_writesTheSuccessWithoutAfter()
{
    const QString recordPath = folder.filePath(QStringLiteral("quit.jsonl"));
    KorvoEmulatorSettings settings;
    settings.startInBootLoader = true;
    settings.rebootDelay = 60000ms;
    KorvoEmulator emulator(settings);
    QVERIFY2(emulator.start(), qPrintable(emulator.errorString()));
    auto flasher = std::make_unique<USB_StmFlasher>();
    (new RunRecordWriter(flasher.get()))->setPath(recordPath);
    QVERIFY(QMetaObject::invokeMethod(flasher.get(), "tim_portCheckerTimeout"));
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher->getDevConnStatus()), 2u, stepTimeoutMs);
    QSignalSpy finished(flasher.get(), &USB_StmFlasher::runFinished);
    flasher->dfu()->startFlashing(KorvoFirmwareImage::makeFile("0108", imageSize, 8));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, runTimeoutMs);
    QVERIFY(RunRecord::readLast(10, recordPath).isEmpty());
    flasher.reset();
    const QList<RunRecord> records = RunRecord::readLast(10, recordPath);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().result, QStringLiteral("FlashSucceeded"));
    QVERIFY(records.first().after.isNull());
    QVERIFY(records.first().source.isNull()); // an image handed over directly
}

QTEST_GUILESS_MAIN(TestRunRecordWriter)
#include "tst_runrecordwriter.moc"

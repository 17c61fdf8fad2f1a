#include "dfu_client.h"
#include "emulatorrig.h"
#include "logcapture.h"
#include "runrecorder.h"
#include "tools.h"

#include <QtTest>

#include <memory>

// Whole flashing runs through the real link against the emulated boot loader
// on a pseudo-terminal: what arrives, byte for byte, and what the user sees.
class TestFlashingRun : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void wholeRun_deliversImageByteForByte_data();
    void wholeRun_deliversImageByteForByte();
    void resendRequest_sendsPacketAgainAndCountsItOnce_data();
    void resendRequest_sendsPacketAgainAndCountsItOnce();
    void unplugMidRun_abortsWithMessageAndScanningResumes();

private:
    void startDevice(const KorvoEmulatorSettings& settings);
    QString doneLine(int size) const;

    std::unique_ptr<LogCapture> log;
    std::unique_ptr<KorvoEmulator> emulator;
    std::unique_ptr<USB_StmFlasher> flasher;
};

namespace {

constexpr int connectTimeoutMs = 5000;
// Generous for the 1 MiB image in the sanitizer builds.
constexpr int runTimeoutMs = 30000;

} // namespace

void TestFlashingRun::init()
{
    log = std::make_unique<LogCapture>();
}

void TestFlashingRun::cleanup()
{
    flasher.reset();
    if (emulator)
        emulator->stop();
    emulator.reset();
    log.reset();
}

void TestFlashingRun::startDevice(const KorvoEmulatorSettings& settings)
{
    emulator = std::make_unique<KorvoEmulator>(settings);
    QVERIFY2(emulator->start(), qPrintable(emulator->errorString()));
    flasher = std::make_unique<USB_StmFlasher>();
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher->getDevConnStatus()), uint(korvoEnums::korvoBootOnline),
                              connectTimeoutMs);
}

QString TestFlashingRun::doneLine(int size) const
{
    return QStringLiteral("DONE reflashing totalBytesConfirmed:  %1  FileLength:  %1").arg(size);
}

void TestFlashingRun::wholeRun_deliversImageByteForByte_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::newRow("109: one packet of 109") << 109;
    QTest::newRow("4204: one full packet") << 4204;
    QTest::newRow("4205: a one-byte second packet") << 4205;
    QTest::newRow("108 + 4096 * 3: whole last slice") << 108 + 4096 * 3;
    QTest::newRow("1 MiB + 3: odd-length last packet") << (1 << 20) + 3;
}

void TestFlashingRun::wholeRun_deliversImageByteForByte()
{
    QFETCH(int, imageSize);
    startDevice(bootLoaderSettings());
    RunRecorder recorder(flasher.get());
    const QByteArray file = makeFirmwareFile(imageSize, quint32(imageSize));
    const QByteArray image = file.left(imageSize);
    flasher->dfu()->startFlashing(file);

    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, runTimeoutMs);
    QCOMPARE(recorder.messages.first(), DFU_client::successMessage);
    QVERIFY(emulator->receivedImage() == image);
    QTRY_COMPARE_WITH_TIMEOUT(emulator->completedRuns(), 1, connectTimeoutMs);

    const QList<usbMessageHeaderStruct> packets = flashPacketHeaders(*emulator);
    const int count = (imageSize - 108 + 4095) / 4096;
    QCOMPARE(packets.size(), count);
    for (int n = 0; n < count; ++n) {
        const int from = n == 0 ? 0 : 108 + 4096 * n;
        const int to = std::min(imageSize, 108 + 4096 * (n + 1));
        const QByteArray payload = image.mid(from, to - from);
        QCOMPARE(quint32(packets[n].parameter), quint32(n));
        QCOMPARE(quint32(packets[n].dataSize), quint32(payload.size()));
        // Whole 32-bit words only: an odd tail does not enter the checksum.
        QCOMPARE(quint32(packets[n].dataCrc),
                 Tools::calcCrc(payload.constData(), quint32(payload.size() & ~3)));
    }
    QCOMPARE(commandCount(*emulator, korvoEnums::PrepareToFlash), 1);
    QCOMPARE(log->messagesStartingWith("DONE reflashing"), QStringList{doneLine(imageSize)});
    QVERIFY2(recorder.progressWellFormed(), qPrintable(recorder.events.join(", ")));
    // The progress returns to 0 before the success message.
    QCOMPARE(recorder.events.mid(recorder.events.size() - 2),
             (QStringList{"progress 0", "message " + DFU_client::successMessage}));
    QVERIFY(!recorder.progress.contains(100u));
}

void TestFlashingRun::resendRequest_sendsPacketAgainAndCountsItOnce_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<int>("corruptPacket");
    QTest::addColumn<int>("dropAckOf");
    QTest::addColumn<int>("resendCommand");
    QTest::addColumn<int>("resentPacket");
    QTest::newRow("bad CRC of packet 1")
        << 108 + 4096 * 3 + 5 << 1 << -1 << int(korvoEnums::FlashPacketBadCrc) << 1;
    QTest::newRow("bad CRC of the last packet")
        << 108 + 4096 * 3 + 5 << 3 << -1 << int(korvoEnums::FlashPacketBadCrc) << 3;
    QTest::newRow("bad CRC of packet 300")
        << 108 + 4096 * 310 + 7 << 300 << -1 << int(korvoEnums::FlashPacketBadCrc) << 300;
    // The acknowledgement of packet 1 is lost; the device then asks for
    // packet 2, which the tool has not sent yet.
    QTest::newRow("timeout request after a lost acknowledgement")
        << 108 + 4096 * 3 + 5 << -1 << 1 << int(korvoEnums::FlashPacketTimeout) << 2;
}

void TestFlashingRun::resendRequest_sendsPacketAgainAndCountsItOnce()
{
    QFETCH(int, imageSize);
    QFETCH(int, corruptPacket);
    QFETCH(int, dropAckOf);
    QFETCH(int, resendCommand);
    QFETCH(int, resentPacket);
    KorvoEmulatorSettings settings = bootLoaderSettings();
    if (corruptPacket >= 0)
        settings.corruptPacket = quint32(corruptPacket);
    if (dropAckOf >= 0)
        settings.dropAckOfPacket = quint32(dropAckOf);
    startDevice(settings);
    RunRecorder recorder(flasher.get());
    const QByteArray file = makeFirmwareFile(imageSize, 7);
    flasher->dfu()->startFlashing(file);

    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, runTimeoutMs);
    QCOMPARE(recorder.messages.first(), DFU_client::successMessage);
    QVERIFY(emulator->receivedImage() == file.left(imageSize));
    const QList<KorvoEmulator::ResendRequest> resends = emulator->resendRequests();
    QCOMPARE(resends.size(), 1);
    QCOMPARE(int(resends.first().command), resendCommand);
    QCOMPARE(int(resends.first().packet), resentPacket);
    int sentTimes = 0;
    for (const usbMessageHeaderStruct& header : flashPacketHeaders(*emulator))
        if (int(header.parameter) == resentPacket)
            ++sentTimes;
    QCOMPARE(sentTimes, corruptPacket >= 0 ? 2 : 1);
    QCOMPARE(log->messagesStartingWith("DONE reflashing"), QStringList{doneLine(imageSize)});
    QCOMPARE(log->messagesStartingWith("resendErrors"), QStringList{"resendErrors  1"});
    QVERIFY2(recorder.progressWellFormed(), qPrintable(recorder.events.join(", ")));
}

void TestFlashingRun::unplugMidRun_abortsWithMessageAndScanningResumes()
{
    KorvoEmulatorSettings settings = bootLoaderSettings();
    settings.unplugAtPacket = 3;
    startDevice(settings);
    RunRecorder recorder(flasher.get());
    flasher->dfu()->startFlashing(makeFirmwareFile(108 + 4096 * 8));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, runTimeoutMs);
    QCOMPARE(recorder.messages.first(), DFU_client::portLostMessage);
    QCOMPARE(recorder.progress.last(), 0u);
    QVERIFY(!flasher->port()->isOpen());
    QCOMPARE(uint(flasher->getDevConnStatus()), uint(korvoEnums::korvoOffline));

    // The device comes back: the link finds it again, and no second message.
    emulator->stop();
    settings.unplugAtPacket.reset();
    emulator->setSettings(settings);
    QVERIFY(emulator->start());
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher->getDevConnStatus()), uint(korvoEnums::korvoBootOnline),
                              connectTimeoutMs);
    QCOMPARE(recorder.messages.size(), 1);
}

QTEST_GUILESS_MAIN(TestFlashingRun)
#include "tst_flashingrun.moc"

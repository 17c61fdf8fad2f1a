#include "dfu_client.h"
#include "emulatorrig.h"
#include "logcapture.h"
#include "runrecorder.h"

#include <QElapsedTimer>
#include <QtTest>

#include <memory>

// The run's 2 s watchdog against the emulated boot loader: silence ends a
// run, a slow but steady device does not.
class TestFlashingWatchdog : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void silentDevice_abortsRunAfterTwoSeconds();
    void slowButSteadyDevice_completes();

private:
    void startDevice(const KorvoEmulatorSettings& settings);

    std::unique_ptr<KorvoEmulator> emulator;
    std::unique_ptr<USB_StmFlasher> flasher;
};

namespace {

constexpr int connectTimeoutMs = 5000;
constexpr int watchdogMs = int(DFU_client::flashingTimeoutInterval.count());
// 40 packets at 150 ms each take 6 s: three watchdog periods, never one gap.
constexpr int slowPacketMs = 150;
constexpr int slowPackets = 40;
constexpr int slowRunTimeoutMs = 30000;

} // namespace

void TestFlashingWatchdog::cleanup()
{
    flasher.reset();
    if (emulator)
        emulator->stop();
    emulator.reset();
}

void TestFlashingWatchdog::startDevice(const KorvoEmulatorSettings& settings)
{
    emulator = std::make_unique<KorvoEmulator>(settings);
    QVERIFY2(emulator->start(), qPrintable(emulator->errorString()));
    flasher = std::make_unique<USB_StmFlasher>();
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher->getDevConnStatus()), uint(korvoEnums::korvoBootOnline),
                              connectTimeoutMs);
}

void TestFlashingWatchdog::silentDevice_abortsRunAfterTwoSeconds()
{
    KorvoEmulatorSettings settings = bootLoaderSettings();
    settings.silentFromPacket = 3;
    startDevice(settings);
    LogCapture log;
    RunRecorder recorder(flasher.get());
    // The last device answer re-arms the watchdog just before the engine
    // reports the progress of the packet it then sends.
    QElapsedTimer sinceLastAnswer;
    connect(flasher.get(), &USB_StmFlasher::flashing_progress_changed, this, [&](uint value) {
        if (value != 0)
            sinceLastAnswer.start();
    });
    flasher->dfu()->startFlashing(makeFirmwareFile(108 + 4096 * 8));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, 2 * watchdogMs + connectTimeoutMs);
    const qint64 silence = sinceLastAnswer.elapsed();
    QCOMPARE(recorder.messages.first(), DFU_client::timeoutMessage);
    QVERIFY2(silence >= watchdogMs - 20 && silence < watchdogMs + 1500,
             qPrintable(QString::number(silence)));
    QCOMPARE(log.messagesStartingWith("FLASHING TIMEOUT").size(), 1);
    QCOMPARE(recorder.progress.last(), 0u);
    QCOMPARE(flashPacketHeaders(*emulator).size(), 4);
}

void TestFlashingWatchdog::slowButSteadyDevice_completes()
{
    KorvoEmulatorSettings settings = bootLoaderSettings();
    settings.programmingDelay = std::chrono::milliseconds(slowPacketMs);
    startDevice(settings);
    RunRecorder recorder(flasher.get());
    const int imageSize = 108 + 4096 * (slowPackets - 1) + 100;
    const QByteArray file = makeFirmwareFile(imageSize, 3);
    QElapsedTimer run;
    run.start();
    flasher->dfu()->startFlashing(file);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, slowRunTimeoutMs);
    QCOMPARE(recorder.messages.first(), DFU_client::successMessage);
    QVERIFY(run.elapsed() > 2 * watchdogMs);
    QVERIFY(emulator->receivedImage() == file.left(imageSize));
    QVERIFY2(recorder.progressWellFormed(), qPrintable(recorder.events.join(", ")));
}

QTEST_GUILESS_MAIN(TestFlashingWatchdog)
#include "tst_flashingwatchdog.moc"

#include "dfu_client.h"
#include "korvoemulator.h"
#include "korvoenums.h"
#include "korvofirmwareimage.h"
#include "runrecorder.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QtTest>

using namespace std::chrono_literals;
using Settings = KorvoEmulatorSettings;
Q_DECLARE_METATYPE(Settings)

namespace {

constexpr int runTimeoutMs = 30000; // the largest image in the sanitizer builds
constexpr qint64 watchdogMs = 2000; // the device's silence a run waits out
// The texts the user reads, as they are written.
const QString success = QString::fromUtf8("Обновление успешно установлено!");
const QString portLost = QString::fromUtf8("Ошибка обновления: связь с устройством потеряна");

Settings bootLoader(const std::function<void(Settings&)>& fault = {})
{
    Settings settings;
    settings.startInBootLoader = true;
    if (fault)
        fault(settings);
    return settings;
}

void connectFlasher(KorvoEmulator& emulator, USB_StmFlasher& flasher)
{
    QVERIFY2(emulator.start(), qPrintable(emulator.errorString()));
    QVERIFY(QMetaObject::invokeMethod(&flasher, "tim_portCheckerTimeout")); // no wait for a tick
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher.getDevConnStatus()), 2u, 5000);
}

} // namespace

// Whole flashing runs through the real link against the emulated boot loader
// on a pseudo-terminal: what arrives, byte for byte, what the user sees, and
// how the run ends when the device fails.
class TestFlashingRun : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
    void wholeImage_isFollowedByTheDevicesReturnOrItsAbsence_data();
    void wholeImage_isFollowedByTheDevicesReturnOrItsAbsence();
};

void TestFlashingRun::run_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<Settings>("settings");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QList<int>>("resend"); // command and packet the device asks for
    QTest::newRow("109: one packet") << 109 << bootLoader() << success << QList<int>{};

    QTest::newRow("4205: one-byte second packet")
        << 4205 << bootLoader() << success << QList<int>{};
    QTest::newRow("whole last slice") << 108 + 4096 * 3 << bootLoader() << success << QList<int>{};
    QTest::newRow("1.2 MiB, bad CRC of packet 300, 7-byte last packet")
        << 108 + 4096 * 310 + 7 << bootLoader([](Settings& s) { s.corruptPacket = 300; }) << success
        << QList<int>{korvoEnums::FlashPacketBadCrc, 300};
    // The device then asks for packet 2, which the tool has not sent yet.
    QTest::newRow("acknowledgement of packet 1 lost") << 108 + 4096 * 3
            + 5 << bootLoader([](Settings& s) {
        s.dropAckOfPacket = 1;
        s.packetTimeout = 200ms;
    }) << success << QList<int>{korvoEnums::FlashPacketTimeout, 2};
    // Each answer takes 400 ms to come out in pieces: the device restarts
    // only once its last acknowledgement has left.
    QTest::newRow("answers in slow pieces") << 4205 << bootLoader([](Settings& s) {
        s.outputChunkSizes = {3};
        s.chunkGap = 50ms;
        s.finalAckGrace = 200ms;
    }) << success << QList<int>{};
    // 28 packets at 160 ms take over two watchdog periods, never one silence.
    QTest::newRow("slow but steady device")
        << 108 + 4096 * 27 + 100 << bootLoader([](Settings& s) { s.programmingDelay = 160ms; })
        << success << QList<int>{};
    QTest::newRow("device silent from packet 3")
        << 108 + 4096 * 8 << bootLoader([](Settings& s) { s.silentFromPacket = 3; })
        << DFU_client::timeoutMessage << QList<int>{};
    QTest::newRow("device unplugged at packet 3")
        << 108 + 4096 * 8 << bootLoader([](Settings& s) { s.unplugAtPacket = 3; }) << portLost
        << QList<int>{};
}

void TestFlashingRun::run()
{
    QFETCH(int, imageSize);
    QFETCH(Settings, settings);
    QFETCH(QString, message);
    QFETCH(QList<int>, resend);
    KorvoEmulator emulator(settings);
    USB_StmFlasher flasher;
    connectFlasher(emulator, flasher);
    RunRecorder recorder(&flasher);
    // Each device answer re-arms the watchdog just before the engine reports
    // the progress of the packet it sends next.
    QElapsedTimer run, sinceLastAnswer;
    qint64 silence = -1;
    connect(&flasher, &USB_StmFlasher::flashing_progress_changed, this, [&](uint value) {
        if (value != 0)
            sinceLastAnswer.start();
    });
    connect(&flasher, &USB_StmFlasher::showInfoMessage, this,
            [&] { silence = sinceLastAnswer.elapsed(); });
    const QByteArray file = makeFirmwareFile(imageSize, quint32(imageSize));
    run.start();
    flasher.dfu()->startFlashing(file);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, runTimeoutMs);
    QCOMPARE(recorder.messages.first(), message);
    QVERIFY(recorder.endedOnceAsTold());
    QString shown;
    QDebug(&shown) << recorder.progress;
    QVERIFY2(recorder.wellFormed(), qPrintable(shown));
    QList<int> resends;
    for (const KorvoEmulator::ResendRequest& request : emulator.resendRequests())
        resends << request.command << int(request.packet);
    QCOMPARE(resends, resend);
    if (message == success)
        QVERIFY(emulator.receivedImage() == file.left(imageSize));
    if (settings.programmingDelay > 0ms)
        QVERIFY(run.elapsed() > 2 * watchdogMs);
    if (settings.silentFromPacket)
        QVERIFY2(silence >= watchdogMs - 20 && silence < watchdogMs + 1500,
                 qPrintable(QString::number(silence)));
}

void TestFlashingRun::wholeImage_isFollowedByTheDevicesReturnOrItsAbsence_data()
{
    QTest::addColumn<Settings>("settings");
    QTest::addColumn<QString>("version"); // empty: the wait runs out
    QTest::newRow("back with the image's version")
        << bootLoader([](Settings& s) { s.rebootDelay = 100ms; }) << QStringLiteral("01.08");
    QTest::newRow("stays away") << bootLoader([](Settings& s) { s.rebootDelay = 60000ms; })
                                << QString();
    // Whether the tool reads the last answer before the port goes is a race:
    // either way the run never ends as a lost port.
    for (int i = 1; i <= 2; ++i)
        QTest::addRow("reset right after the last answer, %d", i)
            << bootLoader([](Settings& s) { s.resetRightAfterLastAnswer = true; })
            << QStringLiteral("01.08");
}

void TestFlashingRun::wholeImage_isFollowedByTheDevicesReturnOrItsAbsence()
{
    QFETCH(Settings, settings);
    QFETCH(QString, version);
    constexpr int shortReturnMs = 1500;
    USB_StmFlasher::setDeviceReturnTimeout(std::chrono::milliseconds(shortReturnMs));
    const auto restore = qScopeGuard(
        [] { USB_StmFlasher::setDeviceReturnTimeout(USB_StmFlasher::deviceReturnTimeout); });
    KorvoEmulator emulator(settings);
    USB_StmFlasher flasher;
    connectFlasher(emulator, flasher);
    QSignalSpy returned(&flasher, &USB_StmFlasher::deviceReturned);
    QSignalSpy absent(&flasher, &USB_StmFlasher::deviceReturnTimedOut);
    QVERIFY(returned.isValid() && absent.isValid());
    RunRecorder recorder(&flasher);
    flasher.dfu()->startFlashing(KorvoFirmwareImage::makeFile("0108", 108 + 4096 * 2, 8));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.results.size(), 1, runTimeoutMs);
    const DFU_client::FlashResult result = recorder.results.first();
    QVERIFY2(result == DFU_client::FlashSucceeded
                 || (settings.resetRightAfterLastAnswer && result == DFU_client::FlashUnconfirmed),
             QMetaEnum::fromType<DFU_client::FlashResult>().valueToKey(result));
    if (result == DFU_client::FlashUnconfirmed)
        QCOMPARE(recorder.messages.first(), DFU_client::unconfirmedReturnedMessage.arg(version));
    QSignalSpy& expected = version.isEmpty() ? absent : returned;
    QTRY_COMPARE_WITH_TIMEOUT(expected.size(), 1, 2 * shortReturnMs);
    if (!version.isEmpty())
        QCOMPARE(returned.first().first().toString(), version);
    // One answer only, also once the wait would have run out.
    QVERIFY(!(version.isEmpty() ? returned : absent).wait(shortReturnMs + 500));
    QCOMPARE(returned.size() + absent.size(), 1);
    QCOMPARE(recorder.results.size(), 1);
}

QTEST_GUILESS_MAIN(TestFlashingRun)
#include "tst_flashingrun.moc"

#include "korvoemulator.h"
#include "korvoenums.h"
#include "logcapture.h"
#include "usb_stmflasher.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

namespace {

constexpr int deadlineMs = 5000;
// A device that talks all the time: a heartbeat every 15 ms, written in
// pieces of one or two bytes; and a command from a queued call every 2 ms.
constexpr std::chrono::milliseconds chattyHeartbeat{15};
constexpr std::chrono::milliseconds commandPeriod{2};
constexpr int chattyPeriodMs = 3000;

bool isCommand(const KorvoEmulator::ReceivedPacket& packet, quint8 command)
{
    return packet.header.action == korvoEnums::CommandMessage
        && packet.header.dataOrCommand == command;
}

} // namespace

// The link against the emulated device: finding its port, the first
// exchange, and the restart into the boot loader.
class TestEmulatedDevice : public QObject
{
    Q_OBJECT

private slots:
    void appearingDevice_isFoundAtNextTickAndReportsItself();
    void prepareToFlash_restartsDeviceIntoBootLoaderAndReconnects();
    void commandsSentFromQueuedCalls_whileDeviceTalks_keepThePort();
};

void TestEmulatedDevice::appearingDevice_isFoundAtNextTickAndReportsItself()
{
    USB_StmFlasher flasher;
    QSignalSpy ticks(flasher.portCheckTicker(), &QTimer::timeout);
    QVERIFY(ticks.isValid());
    QVERIFY(ticks.wait(deadlineMs)); // scanning while there is no device

    // The status the UI sees at every change, and whether the port was open.
    QList<QPair<uint, bool>> changes;
    connect(&flasher, &USB_StmFlasher::devConnStatusChanged, this, [&] {
        changes.append({flasher.getDevConnStatus(), flasher.port()->isOpen()});
    });

    KorvoEmulator device;
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    const int appearedAt = ticks.count();
    QTRY_VERIFY_WITH_TIMEOUT(flasher.port()->isOpen(), deadlineMs);
    QCOMPARE(ticks.count() - appearedAt, 1);
    QCOMPARE(flasher.property("deviceName").toString(), device.settings().deviceName);
    QCOMPARE(flasher.getDevConnSerial(), device.settings().serialNumber);
    QCOMPARE(uint(flasher.getDevConnType()), 17u);

    // Offline until the device answers the opening KeepOnline, then online.
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher.getDevConnStatus()), 1u, deadlineMs);
    QCOMPARE(changes.value(0), qMakePair(1u, true));
    QCOMPARE(flasher.property("currentFirmwareVersion").toString(), QStringLiteral("01.05"));
    QCOMPARE(flasher.property("currentFirmwareVersionInt").toUInt(), 105u);
    QTRY_COMPARE_WITH_TIMEOUT(flasher.property("dfuVersion").toUInt(), 2u, deadlineMs);
    QCOMPARE(flasher.property("boardVer").toUInt(), 7u);
    QCOMPARE(flasher.property("boardRev").toString(), QStringLiteral("C"));

    // The keep-online ticks fall silent once the device has reported.
    LogCapture log;
    QSignalSpy keepOnlineTicks(flasher.keepOnlineTicker(), &QTimer::timeout);
    QVERIFY(keepOnlineTicks.isValid());
    QTRY_VERIFY_WITH_TIMEOUT(keepOnlineTicks.count() >= 2, deadlineMs);
    QVERIFY(!log.messages().contains(QStringLiteral("keep online sent")));
    QCOMPARE(uint(flasher.getDevConnStatus()), 1u);
}

void TestEmulatedDevice::prepareToFlash_restartsDeviceIntoBootLoaderAndReconnects()
{
    KorvoEmulator device;
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    USB_StmFlasher flasher;
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher.getDevConnStatus()), 1u, deadlineMs);

    LogCapture log;
    QSignalSpy changed(&flasher, &USB_StmFlasher::devConnStatusChanged);
    QVERIFY(changed.isValid());
    flasher.sendToKorvo(korvoEnums::CommandMessage, korvoEnums::PrepareToFlash, 0);

    // Its port goes away: the port error returns the link to scanning.
    QTRY_VERIFY_WITH_TIMEOUT(!flasher.port()->isOpen(), deadlineMs);
    QCOMPARE(uint(flasher.getDevConnStatus()), 0u);
    QCOMPARE(flasher.property("deviceName").toString(), QStringLiteral("---"));
    QVERIFY(flasher.portCheckTicker()->isActive());
    QVERIFY(log.messages().contains(QStringLiteral("Closing port")));

    // The boot loader's port is opened the same way and reports status 2.
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher.getDevConnStatus()), 2u, deadlineMs);
    QCOMPARE(uint(flasher.getDevConnType()), 13u);
    QCOMPARE(flasher.property("deviceName").toString(), device.settings().deviceName);
    QCOMPARE(device.mode(), KorvoEmulator::Mode::BootLoader);
    const QList<KorvoEmulator::ReceivedPacket> packets = device.packetLog();
    QCOMPARE(std::count_if(packets.begin(), packets.end(),
                           [](const KorvoEmulator::ReceivedPacket& packet) {
                               return isCommand(packet, korvoEnums::PrepareToFlash);
                           }),
             1);
    // 1 -> 0 at the port error, 0 -> 2 when the boot loader answers.
    QCOMPARE(changed.count(), 2);
}

void TestEmulatedDevice::commandsSentFromQueuedCalls_whileDeviceTalks_keepThePort()
{
    // Queued calls (a finished download starting a run, for one) are
    // delivered before the event loop acts on the port's readability it
    // noted in the same pass. A command whose send waited and read the
    // port meanwhile left QSerialPort reading nothing there, which it
    // reports as a ReadError: the link closed a healthy port.
    LogCapture log;
    KorvoEmulatorSettings settings;
    settings.heartbeatPeriod = chattyHeartbeat;
    settings.randomChunkMax = 2;
    settings.chunkGap = std::chrono::milliseconds(1);
    KorvoEmulator device(settings);
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    USB_StmFlasher flasher;
    QTRY_VERIFY_WITH_TIMEOUT(flasher.getDevConnStatus() != korvoEnums::korvoOffline, deadlineMs);

    QTimer commands;
    connect(&commands, &QTimer::timeout, &flasher, [&] {
        QMetaObject::invokeMethod(
            &flasher,
            [&] { flasher.sendToKorvo(korvoEnums::CommandMessage, korvoEnums::NoAction, 0); },
            Qt::QueuedConnection);
    });
    commands.start(commandPeriod);
    QTest::qWait(chattyPeriodMs);
    commands.stop();

    QCOMPARE(log.messagesStartingWith("portError QSerialPort::ReadError"), QStringList());
    QCOMPARE(log.messagesStartingWith("PORT OPENED SUCCESFULL").size(), 1);
    QVERIFY(flasher.port()->isOpen());
}

QTEST_GUILESS_MAIN(TestEmulatedDevice)
#include "tst_emulateddevice.moc"

#include "korvoemulator.h"
#include "korvoenums.h"
#include "logcapture.h"
#include "usb_stmflasher.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

namespace {

constexpr int deadlineMs = 5000;

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
    // 1 -> 0 at the port error, 0 -> 2 when the boot loader answers, then
    // its DfuInfo with the board fields the status change had cleared.
    QTRY_COMPARE_WITH_TIMEOUT(flasher.property("dfuVersion").toUInt(), 2u, deadlineMs);
    QCOMPARE(changed.count(), 3);
}

QTEST_GUILESS_MAIN(TestEmulatedDevice)
#include "tst_emulateddevice.moc"

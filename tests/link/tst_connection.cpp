#include "devicepty.h"
#include "dfu_client.h"
#include "korvoemulator.h"
#include "korvoenums.h"
#include "logcapture.h"
#include "usb_stmflasher.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

using namespace LinkPackets;

namespace {

constexpr int tickDeadlineMs = 3000;
// A device that talks all the time: a heartbeat every 15 ms, written in
// pieces of one or two bytes; and a command from a queued call every 2 ms.
constexpr std::chrono::milliseconds chattyHeartbeat{15};
constexpr std::chrono::milliseconds commandPeriod{2};
constexpr int chattyPeriodMs = 3000;

// Runs one port check now instead of waiting for the next tick.
void checkPorts(USB_StmFlasher& flasher)
{
    QVERIFY(QMetaObject::invokeMethod(&flasher, "tim_portCheckerTimeout"));
}

} // namespace

// Port discovery and connection state: which ports are opened, the polling
// of a silent device, status changes with their resets, port errors, and the
// commands the link sends. Devices are played on real pseudo-terminals.
class TestConnection : public QObject
{
    Q_OBJECT

private slots:
    void openedPort_pollsUntilDeviceReportsThenFallsSilent();
    void portCheck_opensOnlyKorvoPorts_data();
    void portCheck_opensOnlyKorvoPorts();
    void portCheck_withTwoMatchingPorts_usesFirstThatOpens();
    void portError_closesPortOnlyForRealFailures_data();
    void portError_closesPortOnlyForRealFailures();
    void sendToKorvo_twiceInARow_writesTwoHeadersAndNoPortError();
    void sendToKorvo_fromQueuedCallsWhileDeviceTalks_keepsThePort();
};

void TestConnection::openedPort_pollsUntilDeviceReportsThenFallsSilent()
{
    DevicePty device(USB_StmFlasher::applicationProductId);
    LogCapture log;
    USB_StmFlasher flasher;
    QSignalSpy changed(&flasher, &USB_StmFlasher::devConnStatusChanged);
    QSignalSpy ticks(flasher.portCheckTicker(), &QTimer::timeout);
    QVERIFY(changed.isValid() && ticks.isValid());
    // Before the first tick: offline and closed, and the current status
    // again changes nothing.
    flasher.setDevConnStatus(korvoEnums::korvoOffline);
    QCOMPARE(flasher.property("currentFirmwareVersion").toString(), QStringLiteral("--.--"));
    flasher.sendToKorvo(korvoEnums::CommandMessage, korvoEnums::PrepareToFlash, 0);
    QCOMPARE(log.messages(), QStringList{"serial port closed, abort sendToKorvo"});

    QVERIFY(ticks.wait(tickDeadlineMs));
    QVERIFY(flasher.port()->isOpen());
    QVERIFY(log.messages().contains("PORT OPENED SUCCESFULL  \"ttyKORVO0\"   \"STM32 Virtual "
                                    "ComPort\"   17   1155   \"SN1\"   \"STMicroelectronics\""));
    QCOMPARE(flasher.property("deviceName").toString(), QStringLiteral("Korvo 7"));
    QCOMPARE(flasher.getDevConnSerial(), QStringLiteral("SN1"));
    QCOMPARE(uint(flasher.getDevConnType()), 17u);
    QCOMPARE(uint(flasher.getDevConnStatus()), 0u);
    QCOMPARE(changed.count(), 0);
    // A KeepOnline at once, and again at every keep-online tick.
    QTRY_VERIFY_WITH_TIMEOUT(!device.received.isEmpty(), tickDeadlineMs);
    QCOMPARE(headerBytes(device.received.first().header), header(1, 0, 0, 0));
    QTRY_VERIFY_WITH_TIMEOUT(log.messages().contains("keep online sent"), tickDeadlineMs);
    QTRY_VERIFY_WITH_TIMEOUT(device.received.size() >= 2, tickDeadlineMs);

    const quint32 version = versionParameter("0105");
    QVERIFY(device.send(
        command(korvoEnums::KeepOnline, korvoEnums::korvoOnline, version)
        + data(korvoEnums::DfuInfo, 1, version, QByteArray::fromHex("0000000003420002"))));
    QTRY_COMPARE_WITH_TIMEOUT(flasher.property("dfuVersion").toUInt(), 2u, tickDeadlineMs);
    QCOMPARE(uint(flasher.getDevConnStatus()), 1u);
    QCOMPARE(changed.count(), 2);
    QVERIFY(log.messages().contains("setDevConnStatus  1"));
    QVERIFY(log.messages().contains(
        QStringLiteral("usb command recieved:  \"CommandMessage\"  =  1 \"KeepOnline\"  =  0 "
                       "parameter:  %1 \"korvoOnline\" 1")
            .arg(version)));

    // Once the device has reported, the ticks send nothing.
    log.clear();
    device.collect();
    const int sent = device.received.size();
    QSignalSpy keepOnlineTicks(flasher.keepOnlineTicker(), &QTimer::timeout);
    QVERIFY(keepOnlineTicks.isValid());
    QTRY_VERIFY_WITH_TIMEOUT(keepOnlineTicks.count() >= 2, tickDeadlineMs);
    QVERIFY(!log.messages().contains("keep online sent"));
    QCOMPARE(device.received.size(), sent);

    // Offline with the port open, as after a flashing run: the device's
    // fields are reset, the port's kept, and the device is polled again.
    flasher.setDevConnStatus(korvoEnums::korvoOffline);
    QCOMPARE(changed.count(), 3);
    QCOMPARE(flasher.property("currentFirmwareVersion").toString(), QStringLiteral("T-.--"));
    QCOMPARE(flasher.property("boardVer").toUInt(), 0u);
    QCOMPARE(flasher.property("dfuVersion").toUInt(), 0u);
    QVERIFY(flasher.property("boardRev").toString().isEmpty());
    QCOMPARE(flasher.property("currentFirmwareVersionInt").toUInt(), 105u);
    QCOMPARE(flasher.property("deviceName").toString(), QStringLiteral("Korvo 7"));
    QCOMPARE(flasher.getDevConnSerial(), QStringLiteral("SN1"));
    QTRY_VERIFY_WITH_TIMEOUT(log.messages().contains("keep online sent"), tickDeadlineMs);
}

void TestConnection::portCheck_opensOnlyKorvoPorts_data()
{
    QTest::addColumn<QString>("portName");
    QTest::addColumn<uint>("vendorId");
    QTest::addColumn<uint>("productId");
    QTest::addColumn<bool>("opened");
    QTest::newRow("tty, application firmware") << "ttyACM0" << 0x0483u << 0x0011u << true;
    QTest::newRow("COM, boot loader") << "COM7" << 0x0483u << 0x000Du << true;
    QTest::newRow("COM, other STMicroelectronics product") << "COM3" << 0x0483u << 0x5740u << false;
    QTest::newRow("com in lower case") << "com7" << 0x0483u << 0x0011u << false;
    QTest::newRow("no COM or tty prefix") << "ACM0" << 0x0483u << 0x0011u << false;
    QTest::newRow("other vendor") << "ttyUSB0" << 0x0403u << 0x0011u << false;
}

void TestConnection::portCheck_opensOnlyKorvoPorts()
{
    QFETCH(QString, portName);
    QFETCH(uint, vendorId);
    QFETCH(uint, productId);
    QFETCH(bool, opened);
    DevicePty device(quint16(productId), portName);
    device.record.vendorIdentifier = quint16(vendorId);
    USB_StmFlasher flasher;
    checkPorts(flasher);
    QCOMPARE(flasher.port()->isOpen(), opened);
    QCOMPARE(flasher.portCheckTicker()->isActive(), !opened);
    QCOMPARE(uint(flasher.getDevConnType()), opened ? productId : 0u);
}

void TestConnection::portCheck_withTwoMatchingPorts_usesFirstThatOpens()
{
    DevicePty broken(USB_StmFlasher::applicationProductId, "ttyKORVO0");
    broken.record.systemLocation = QStringLiteral("/nonexistent/ttyKORVO0");
    DevicePty second(USB_StmFlasher::bootLoaderProductId, "ttyKORVO1", "Korvo Boot");
    DevicePty third(USB_StmFlasher::applicationProductId, "ttyKORVO2");
    USB_StmFlasher flasher;
    LogCapture log;
    checkPorts(flasher);

    QVERIFY(flasher.port()->isOpen());
    QCOMPARE(log.messages().count("Port open error"), 1);
    QCOMPARE(flasher.property("deviceName").toString(), QStringLiteral("Korvo Boot"));
    QCOMPARE(uint(flasher.getDevConnType()), 13u);
    QVERIFY(!flasher.portCheckTicker()->isActive());
    QTRY_COMPARE_WITH_TIMEOUT(second.received.size(), 1, tickDeadlineMs);
    third.collect();
    QVERIFY(third.received.isEmpty());
}

void TestConnection::portError_closesPortOnlyForRealFailures_data()
{
    QTest::addColumn<QSerialPort::SerialPortError>("error");
    QTest::addColumn<bool>("closes");
    QTest::newRow("NoError") << QSerialPort::NoError << false;
    QTest::newRow("TimeoutError") << QSerialPort::TimeoutError << false;
    // A pseudo-terminal refuses DTR this way: logged, the port stays open.
    QTest::newRow("UnsupportedOperationError") << QSerialPort::UnsupportedOperationError << false;
    QTest::newRow("ResourceError") << QSerialPort::ResourceError << true;
    QTest::newRow("ReadError") << QSerialPort::ReadError << true;
}

void TestConnection::portError_closesPortOnlyForRealFailures()
{
    QFETCH(QSerialPort::SerialPortError, error);
    QFETCH(bool, closes);
    DevicePty device(USB_StmFlasher::applicationProductId);
    USB_StmFlasher flasher;
    checkPorts(flasher);
    QVERIFY(device.send(command(korvoEnums::KeepOnline, korvoEnums::korvoOnline)));
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher.getDevConnStatus()), 1u, tickDeadlineMs);
    // The device goes away in the middle of a data block.
    QVERIFY(device.send(header(korvoEnums::FlashData, korvoEnums::AllData, 1, 0, 1000) + "ZZZZ"));
    QTRY_VERIFY_WITH_TIMEOUT(flasher.receiveState().collecting, tickDeadlineMs);

    LogCapture log;
    emit flasher.port()->errorOccurred(error);
    QVERIFY(log.messages().value(0).startsWith("portError ")); // the link's handler runs first
    QCOMPARE(log.messages().contains("Closing port"), closes);
    QCOMPARE(flasher.port()->isOpen(), !closes);
    QCOMPARE(flasher.portCheckTicker()->isActive(), closes);
    QCOMPARE(flasher.property("deviceName").toString(), closes ? "---" : "Korvo 7");
    QCOMPARE(flasher.getDevConnSerial(), closes ? "" : "SN1");
    QCOMPARE(uint(flasher.getDevConnType()), closes ? 0u : 17u);
    // A time-out costs the status, through the engine's abort steps.
    QCOMPARE(uint(flasher.getDevConnStatus()),
             closes || error == QSerialPort::TimeoutError ? 0u : 1u);
    if (!closes)
        return;
    // Scanning opens the port again; what comes then is a new packet, not
    // the rest of the old block.
    QTRY_VERIFY_WITH_TIMEOUT(flasher.port()->isOpen(), tickDeadlineMs);
    QVERIFY(device.send(command(korvoEnums::KeepOnline, korvoEnums::korvoBootOnline)));
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher.getDevConnStatus()), 2u, tickDeadlineMs);
}

void TestConnection::sendToKorvo_twiceInARow_writesTwoHeadersAndNoPortError()
{
    DevicePty device(USB_StmFlasher::bootLoaderProductId);
    USB_StmFlasher flasher;
    checkPorts(flasher);
    flasher.setDevConnStatus(korvoEnums::korvoBootOnline); // the keep-online ticks stay quiet
    QTRY_COMPARE_WITH_TIMEOUT(device.received.size(), 1, tickDeadlineMs); // the opening KeepOnline
    QSignalSpy portErrors(flasher.port(), &QSerialPort::errorOccurred);
    QVERIFY(portErrors.isValid());
    // The second call starts before the event loop has announced the first
    // write; a time-out reported there would cost the status.
    flasher.sendToKorvo(257, korvoEnums::PrepareToFlash, 70000); // low 8 bits: a command
    flasher.sendToKorvo(korvoEnums::CommandMessage, korvoEnums::PrepareToFlash, 70000);
    QTRY_COMPARE_WITH_TIMEOUT(device.received.size(), 3, tickDeadlineMs);
    const QByteArray expected = QByteArray::fromHex("00012277 010d0200 70110100 00000000 00000000")
        + header(1, 13, 2, 70000).right(4);
    QCOMPARE(headerBytes(device.received.at(1).header).toHex(), expected.toHex());
    QCOMPARE(headerBytes(device.received.at(2).header).toHex(), expected.toHex());
    QCOMPARE(portErrors.count(), 0);
}

void TestConnection::sendToKorvo_fromQueuedCallsWhileDeviceTalks_keepsThePort()
{
    // Queued calls (a finished download starting a run, for one) are
    // delivered before the event loop acts on the port's readability it
    // noted in the same pass. A send that waited and read the port
    // meanwhile left QSerialPort reading nothing there, which it reports as
    // a ReadError: the link closed a healthy port.
    LogCapture log;
    KorvoEmulatorSettings settings;
    settings.heartbeatPeriod = chattyHeartbeat;
    settings.randomChunkMax = 2;
    settings.chunkGap = std::chrono::milliseconds(1);
    KorvoEmulator device(settings);
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    USB_StmFlasher flasher;
    checkPorts(flasher);
    QTRY_VERIFY_WITH_TIMEOUT(flasher.getDevConnStatus() != korvoEnums::korvoOffline,
                             tickDeadlineMs);

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

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"

#include "devicepty.h"
#include "korvoemulator.h"
#include "korvoenums.h"
#include "usb_stmflasher.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

using namespace LinkPackets;

namespace {

constexpr int deadlineMs = 3000;

void checkPorts(USB_StmFlasher& flasher)
{
    QVERIFY(QMetaObject::invokeMethod(&flasher, "tim_portCheckerTimeout"));
}

QByteArray dfuInfo(quint8 status, const QByteArray& block)
{
    return data(korvoEnums::DfuInfo, status, versionParameter("0302"), block);
}

QByteArray mpxRecord(quint8 id, quint8 length, const QByteArray& payload, int size = 20)
{
    QByteArray bytes(size, '\0');
    bytes[1] = char(length);
    bytes[3] = char(id);
    return data(korvoEnums::MpxPacketData, 0, 0, bytes.replace(4, payload.size(), payload));
}

} // namespace

// Port discovery and the connection: which ports are opened and how, the
// polling of a silent device, what each packet the device sends does, port
// errors, and the commands the link writes. Devices are played on real
// pseudo-terminals (DevicePty) or emulated.
class TestConnection : public QObject
{
    Q_OBJECT

private slots:
    void openedPort_pollsUntilTheDeviceReports();
    void port_getsTheLineSettingsOfADevice();
    void portCheck_opensOnlyKorvoPorts_data();
    void portCheck_opensOnlyKorvoPorts();
    void portCheck_takesTheFirstPortThatOpens();
    void packets_setTheDeviceStateAndAreAnswered_data();
    void packets_setTheDeviceStateAndAreAnswered();
    void mpxPacketData_keepsTheLatestRecordPerId();
    void portError_closesThePortOnlyForRealFailures_data();
    void portError_closesThePortOnlyForRealFailures();
    void sendToKorvo_fromQueuedCallsWhileTheDeviceTalks_keepsThePort();
};

void TestConnection::openedPort_pollsUntilTheDeviceReports()
{
    DevicePty device(USB_StmFlasher::applicationProductId);
    USB_StmFlasher flasher;
    QSignalSpy changed(&flasher, &USB_StmFlasher::devConnStatusChanged);
    flasher.sendToKorvo(korvoEnums::CommandMessage, korvoEnums::PrepareToFlash, 0); // closed: nothing
    QCOMPARE(flasher.property("currentFirmwareVersion").toString(), QStringLiteral("--.--"));

    QSignalSpy ticks(flasher.portCheckTicker(), &QTimer::timeout);
    QVERIFY(ticks.wait(deadlineMs));
    QVERIFY(flasher.port()->isOpen() && !flasher.portCheckTicker()->isActive());
    QCOMPARE(flasher.connectedDeviceName(), QStringLiteral("Korvo 7"));
    QCOMPARE(flasher.getDevConnSerial(), QStringLiteral("SN1"));
    QCOMPARE(uint(flasher.getDevConnType()), 17u);
    QCOMPARE(changed.count(), 0);
    // A KeepOnline at once, then at every keep-online tick while silent.
    QTRY_VERIFY_WITH_TIMEOUT(device.received.size() >= 3, deadlineMs);
    QCOMPARE(headerBytes(device.received.first().header), header(1, 0, 0, 0));

    const quint32 version = versionParameter("0105");
    QVERIFY(device.send(command(korvoEnums::KeepOnline, korvoEnums::korvoOnline, version)
                        + dfuInfo(1, QByteArray::fromHex("0000000003420002"))));
    QTRY_COMPARE_WITH_TIMEOUT(flasher.bootLoaderVersion(), 2u, deadlineMs);
    QCOMPARE(uint(flasher.getDevConnStatus()), 1u);
    QCOMPARE(changed.count(), 2);
    // Once the device has reported, the ticks poll no more.
    const auto polls = [&device] {
        device.collect();
        const QList<DevicePty::Frame> keepOnline = device.commands(korvoEnums::KeepOnline);
        return std::count_if(keepOnline.cbegin(), keepOnline.cend(),
                             [](const auto& frame) { return frame.header.status == 0; });
    };
    const auto polled = polls();
    QSignalSpy keepOnlineTicks(flasher.keepOnlineTicker(), &QTimer::timeout);
    QTRY_VERIFY_WITH_TIMEOUT(keepOnlineTicks.count() >= 2, deadlineMs);
    QCOMPARE(polls(), polled);

    // Offline with the port open, as after a run: the device's fields reset,
    // the port's kept, and the device polled again.
    flasher.setDevConnStatus(korvoEnums::korvoOffline);
    QCOMPARE(changed.count(), 3);
    QCOMPARE(flasher.firmwareVersionText(), QStringLiteral("T-.--"));
    QCOMPARE(flasher.boardVersion() + flasher.bootLoaderVersion(), 0u);
    QVERIFY(flasher.boardRevision().isEmpty());
    QCOMPARE(flasher.property("currentFirmwareVersionInt").toUInt(), 302u); // never reset
    QCOMPARE(flasher.getDevConnSerial(), QStringLiteral("SN1"));
    QTRY_VERIFY_WITH_TIMEOUT(polls() > polled, deadlineMs);
}

void TestConnection::port_getsTheLineSettingsOfADevice()
{
    // 460800 baud, 8N1, RTS/CTS (DTR cannot be seen on a pseudo-terminal).
    KorvoEmulator emulator;
    QVERIFY2(emulator.start(), qPrintable(emulator.errorString()));
    USB_StmFlasher flasher;
    checkPorts(flasher);
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher.getDevConnStatus()), 1u, deadlineMs);
    const std::optional<KorvoEmulator::LineSettings> line = emulator.lineSettings();
    QVERIFY(line);
    QCOMPARE(line->baudRate, 460800);
    QCOMPARE(line->dataBits, 8);
    QVERIFY(!line->parity && !line->twoStopBits);
    QVERIFY(line->hardwareFlowControl);
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

void TestConnection::portCheck_takesTheFirstPortThatOpens()
{
    DevicePty broken(USB_StmFlasher::applicationProductId, "ttyKORVO0");
    broken.record.systemLocation = QStringLiteral("/nonexistent/ttyKORVO0");
    DevicePty second(USB_StmFlasher::bootLoaderProductId, "ttyKORVO1", "Korvo Boot");
    DevicePty third(USB_StmFlasher::applicationProductId, "ttyKORVO2");
    USB_StmFlasher flasher;
    checkPorts(flasher);
    QCOMPARE(flasher.connectedDeviceName(), QStringLiteral("Korvo Boot"));
    QCOMPARE(uint(flasher.getDevConnType()), 13u);
    QTRY_COMPARE_WITH_TIMEOUT(second.received.size(), 1, deadlineMs);
    third.collect();
    QVERIFY(third.received.isEmpty());
}

void TestConnection::packets_setTheDeviceStateAndAreAnswered_data()
{
    // After a DfuInfo that left status 1, 03.02 and board "4 A 6".
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<uint>("status");
    QTest::addColumn<QString>("version");
    QTest::addColumn<uint>("versionNumber");
    QTest::addColumn<QString>("board"); // version, revision, boot-loader version
    QTest::addColumn<int>("announced");
    QTest::addColumn<int>("answers"); // KeepOnline answers with the device's status
    const quint32 unnumbered = versionParameter("01\xFF"
                                                "5");
    QTest::newRow("KeepOnline") << command(korvoEnums::KeepOnline, 2, versionParameter("0105"))
                                << 2u << "01.05" << 105u << "4 A 6" << 1 << 1;
    QTest::newRow("KeepOnline, third character 0xFF")
        << command(korvoEnums::KeepOnline, 2, unnumbered) << 2u
        << Tools::firmwareVersionText(unnumbered) << 0u << "4 A 6" << 1 << 1;
    QTest::newRow("DfuInfo, status changes")
        << dfuInfo(2, QByteArray::fromHex("0000000003420005")) << 2u << "03.02" << 302u << "3 B 5"
        << 1 << 0;
    // As a device follows its KeepOnline answer: the window must still see them.
    QTest::newRow("DfuInfo, same status, new board fields, two reads")
        << dfuInfo(1, QByteArray::fromHex("ffffffff07430002ffff")) << 1u << "03.02" << 302u
        << "7 C 2" << 1 << 0;
    QTest::newRow("DfuInfo, same values again")
        << dfuInfo(1, QByteArray::fromHex("0000000004410006")) << 1u << "03.02" << 302u << "4 A 6"
        << 0 << 0;
    QTest::newRow("DfuInfo of seven bytes: the board fields kept")
        << dfuInfo(2, QByteArray::fromHex("00000000094400")) << 2u << "03.02" << 302u << "4 A 6"
        << 1 << 0;
}

void TestConnection::packets_setTheDeviceStateAndAreAnswered()
{
    QFETCH(QByteArray, packet);
    QFETCH(uint, status);
    QFETCH(QString, version);
    QFETCH(uint, versionNumber);
    QFETCH(QString, board);
    QFETCH(int, announced);
    QFETCH(int, answers);
    DevicePty device(USB_StmFlasher::applicationProductId);
    USB_StmFlasher flasher;
    checkPorts(flasher);
    QVERIFY(device.send(dfuInfo(1, QByteArray::fromHex("0000000004410006"))));
    QTRY_COMPARE_WITH_TIMEOUT(flasher.bootLoaderVersion(), 6u, deadlineMs);
    flasher.portCheckTicker()->stop();
    device.collect();
    device.received.clear();
    QSignalSpy changed(&flasher, &USB_StmFlasher::devConnStatusChanged);
    QSignalSpy readyRead(flasher.port(), &QSerialPort::readyRead);
    // Split as the operating system may split it.
    QVERIFY(device.send(packet.left(10)));
    QVERIFY(readyRead.wait(deadlineMs));
    QVERIFY(device.send(packet.mid(10)));
    QTRY_COMPARE_WITH_TIMEOUT(flasher.property("currentFirmwareVersion").toString(), version,
                              deadlineMs);
    QTRY_COMPARE_WITH_TIMEOUT(changed.count(), announced, deadlineMs);
    QCOMPARE(uint(flasher.getDevConnStatus()), status);
    QCOMPARE(flasher.property("currentFirmwareVersionInt").toUInt(), versionNumber);
    QCOMPARE(QStringLiteral("%1 %2 %3")
                 .arg(flasher.boardVersion())
                 .arg(flasher.boardRevision())
                 .arg(flasher.bootLoaderVersion()),
             board);
    device.collect();
    int answered = 0;
    for (const DevicePty::Frame& frame : device.commands(korvoEnums::KeepOnline))
        answered += frame.header.status == status && frame.header.parameter == 0 ? 1 : 0;
    QCOMPARE(answered, answers);
}

void TestConnection::mpxPacketData_keepsTheLatestRecordPerId()
{
    USB_StmFlasher flasher; // no port: bytes fed directly
    const int before = USB_StmFlasher::mpxPacketRecords().size();
    flasher.feedBytes(mpxRecord(0x5, 4, QByteArray::fromHex("a1a2"))
                      + mpxRecord(0x7, 3, QByteArray::fromHex("b1"))
                      + mpxRecord(0x5, 5, QByteArray::fromHex("c1c2c3"))
                      + mpxRecord(0xE1, 4, {}, 19)); // too short for a record: dropped
    const QVector<mpxPacketStruct> records = USB_StmFlasher::mpxPacketRecords();
    QCOMPARE(records.size(), before + 2);
    QCOMPARE(records.at(before).id, quint8(0x5));
    QCOMPARE(records.at(before).length, quint8(5));
    QCOMPARE(records.at(before + 1).id, quint8(0x7));
    QCOMPARE(uint(flasher.getDevConnStatus()), 0u); // the status is left alone
}

void TestConnection::portError_closesThePortOnlyForRealFailures_data()
{
    QTest::addColumn<QSerialPort::SerialPortError>("error");
    QTest::addColumn<bool>("closes");
    QTest::newRow("NoError") << QSerialPort::NoError << false;
    QTest::newRow("TimeoutError") << QSerialPort::TimeoutError << false;
    // A pseudo-terminal refuses DTR this way: the port stays open.
    QTest::newRow("UnsupportedOperationError") << QSerialPort::UnsupportedOperationError << false;
    QTest::newRow("ResourceError") << QSerialPort::ResourceError << true;
    QTest::newRow("ReadError") << QSerialPort::ReadError << true;
}

void TestConnection::portError_closesThePortOnlyForRealFailures()
{
    QFETCH(QSerialPort::SerialPortError, error);
    QFETCH(bool, closes);
    DevicePty device(USB_StmFlasher::applicationProductId);
    USB_StmFlasher flasher;
    checkPorts(flasher);
    QVERIFY(device.send(command(korvoEnums::KeepOnline, korvoEnums::korvoOnline)));
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher.getDevConnStatus()), 1u, deadlineMs);
    // The device goes away in the middle of a data block.
    QVERIFY(device.send(header(korvoEnums::FlashData, korvoEnums::AllData, 1, 0, 1000) + "ZZZZ"));
    QTRY_VERIFY_WITH_TIMEOUT(flasher.receiveState().collecting, deadlineMs);

    emit flasher.port()->errorOccurred(error);
    QCOMPARE(flasher.port()->isOpen(), !closes);
    QCOMPARE(flasher.portCheckTicker()->isActive(), closes);
    QCOMPARE(flasher.connectedDeviceName(), closes ? "---" : "Korvo 7");
    QCOMPARE(flasher.getDevConnSerial(), closes ? "" : "SN1");
    QCOMPARE(uint(flasher.getDevConnType()), closes ? 0u : 17u);
    // A time-out costs the status, through the engine's abort steps.
    QCOMPARE(uint(flasher.getDevConnStatus()),
             closes || error == QSerialPort::TimeoutError ? 0u : 1u);
    if (!closes)
        return;
    // Scanning opens the port again; what comes then is a new packet, not
    // the rest of the old block.
    QTRY_VERIFY_WITH_TIMEOUT(flasher.port()->isOpen(), deadlineMs);
    QVERIFY(device.send(command(korvoEnums::KeepOnline, korvoEnums::korvoBootOnline)));
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher.getDevConnStatus()), 2u, deadlineMs);
}

void TestConnection::sendToKorvo_fromQueuedCallsWhileTheDeviceTalks_keepsThePort()
{
    // Queued calls (a finished download starting a run) are delivered before
    // the event loop acts on the readability it noted in the same pass. A
    // send that waited and read the port meanwhile left QSerialPort reading
    // nothing there, which it reports as a ReadError: a healthy port closed.
    KorvoEmulatorSettings settings;
    settings.heartbeatPeriod = std::chrono::milliseconds(15);
    settings.randomChunkMax = 2;
    settings.chunkGap = std::chrono::milliseconds(1);
    KorvoEmulator device(settings);
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    USB_StmFlasher flasher;
    checkPorts(flasher);
    QTRY_VERIFY_WITH_TIMEOUT(flasher.getDevConnStatus() != korvoEnums::korvoOffline, deadlineMs);
    QSignalSpy portErrors(flasher.port(), &QSerialPort::errorOccurred);
    QTimer commands;
    connect(&commands, &QTimer::timeout, &flasher, [&] {
        // Only the low 8 bits of action and command are sent.
        QMetaObject::invokeMethod(
            &flasher, [&] { flasher.sendToKorvo(257, 256 + korvoEnums::NoAction, 70000); },
            Qt::QueuedConnection);
    });
    commands.start(std::chrono::milliseconds(2));
    QVERIFY(!portErrors.wait(2000));
    QVERIFY(flasher.port()->isOpen());
    const QList<KorvoEmulator::ReceivedPacket> packets = device.packetLog();
    QVERIFY(std::any_of(packets.cbegin(), packets.cend(), [](const auto& packet) {
        return packet.header.action == korvoEnums::CommandMessage
            && packet.header.dataOrCommand == korvoEnums::NoAction
            && packet.header.parameter == 70000;
    }));
}

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"

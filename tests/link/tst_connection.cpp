#include "dfu_client.h"
#include "korvoenums.h"
#include "linkpackets.h"
#include "logcapture.h"
#include "rawpty.h"
#include "usb_stmflasher.h"

#include <QMetaEnum>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

using namespace LinkPackets;

namespace {

constexpr int tickDeadlineMs = 3000;
const QString applicationName = QStringLiteral("Korvo 7");
const QString bootLoaderName = QStringLiteral("Korvo Boot");

SerialPortRecord korvoPort(const QString& portName, const RawPty& device, quint16 productId,
                           const QString& serial = QStringLiteral("SN1"))
{
    return TestPorts::port(portName, device.slavePath(), USB_StmFlasher::stmVendorId, productId,
                           serial);
}

BusDescriptionRecord busRecord(const QString& product, const QString& portName)
{
    return BusDescriptionRecord{product,
                                product + QStringLiteral(" (") + portName + QLatin1Char(')')};
}

// Runs one port check now instead of waiting for the next tick.
void checkPorts(USB_StmFlasher& flasher)
{
    QVERIFY(QMetaObject::invokeMethod(&flasher, "tim_portCheckerTimeout"));
}

// The commands the tool wrote to `device` so far.
QList<usbMessageHeaderStruct> writtenTo(RawPty& device)
{
    return headersIn(device.receive());
}

// A link whose port check has opened the one device port `ttyKORVO0`.
struct OpenLink
{
    explicit OpenLink(quint16 productId, const QString& product = applicationName)
    {
        ports.setBusDescriptions({busRecord(product, QStringLiteral("ttyKORVO0"))});
        ports.setPorts({korvoPort(QStringLiteral("ttyKORVO0"), device, productId)});
        checkPorts(flasher);
    }
    // The device reports `status` in a KeepOnline; true once it is adopted.
    bool report(quint8 status, const char (&version)[5] = "0105")
    {
        return device.send(command(korvoEnums::KeepOnline, status, versionParameter(version)))
            && QTest::qWaitFor([&] { return flasher.getDevConnStatus() == status; },
                               tickDeadlineMs);
    }

    RawPty device;
    TestPorts ports;
    USB_StmFlasher flasher;
};

QString errorName(QSerialPort::SerialPortError error)
{
    return QStringLiteral("QSerialPort::")
        + QString::fromLatin1(
               QMetaEnum::fromType<QSerialPort::SerialPortError>().valueToKey(error));
}

} // namespace

// Port discovery and connection state: which ports are opened and how, the
// polling of a silent device, status changes with their resets, port errors
// and removal, and application exit. Devices are real pseudo-terminals.
class TestConnection : public QObject
{
    Q_OBJECT

private slots:
    void construction_leavesLinkOfflineAndClosed();
    void openedPort_pollsUntilDeviceReportsThenFallsSilent();
    void portCheck_opensOnlyKorvoPorts_data();
    void portCheck_opensOnlyKorvoPorts();
    void portCheck_withTwoMatchingPorts_usesFirstThatOpens();
    void setDevConnStatus_bootThenOffline_resetsBoardFieldsOnly();
    void setDevConnStatus_withCurrentValue_changesNothing();
    void memberProperty_write_notifiesOnlyOnChange_data();
    void memberProperty_write_notifiesOnlyOnChange();
    void portError_closesPortOnlyForRealFailures_data();
    void portError_closesPortOnlyForRealFailures();
    void unplug_returnsToScanningAndBootLoaderPortReconnects();
    void onAppQuit_closesPortAndNothingElse();
};

void TestConnection::construction_leavesLinkOfflineAndClosed()
{
    LogCapture log;
    USB_StmFlasher flasher;
    QVERIFY(log.messagesStartingWith(QStringLiteral("setDevConnStatus")).isEmpty());
    QCOMPARE(uint(flasher.getDevConnStatus()), 0u);
    QCOMPARE(uint(flasher.getDevConnType()), 0u);
    QVERIFY(flasher.getDevConnSerial().isEmpty());
    QCOMPARE(flasher.clientVersion(), QStringLiteral("0.01"));
    QCOMPARE(flasher.property("currentFirmwareVersion").toString(), QStringLiteral("--.--"));
    QCOMPARE(flasher.property("currentFirmwareVersionInt").toUInt(), 0u);
    QCOMPARE(flasher.property("deviceName").toString(), QStringLiteral("---"));
    QCOMPARE(flasher.property("boardVer").toUInt(), 0u);
    QCOMPARE(flasher.property("boardRev").toString(), QStringLiteral("-"));
    QCOMPARE(flasher.property("dfuVersion").toUInt(), 0u);
    QVERIFY(!flasher.port()->isOpen());
    QVERIFY(flasher.portCheckTicker()->isActive());
    QVERIFY(flasher.keepOnlineTicker()->isActive());
    QCOMPARE(flasher.portCheckTicker()->intervalAsDuration(), USB_StmFlasher::portCheckInterval);
    QCOMPARE(flasher.keepOnlineTicker()->intervalAsDuration(), USB_StmFlasher::keepOnlineInterval);
    QCOMPARE(flasher.dfu()->parent(), &flasher);
}

void TestConnection::openedPort_pollsUntilDeviceReportsThenFallsSilent()
{
    RawPty device;
    TestPorts ports;
    ports.setBusDescriptions({busRecord(applicationName, QStringLiteral("ttyKORVO0"))});
    ports.setPorts(
        {korvoPort(QStringLiteral("ttyKORVO0"), device, USB_StmFlasher::applicationProductId)});
    USB_StmFlasher flasher;
    QSignalSpy changed(&flasher, &USB_StmFlasher::devConnStatusChanged);
    QVERIFY(changed.isValid());
    LogCapture log;
    checkPorts(flasher);

    QVERIFY(flasher.port()->isOpen());
    QVERIFY(log.messages().contains(
        QStringLiteral("PORT OPENED SUCCESFULL  \"ttyKORVO0\"   \"Test port\"   17   1155   "
                       "\"SN1\"   \"Test\"")));
    QCOMPARE(flasher.property("deviceName").toString(), applicationName);
    QCOMPARE(flasher.getDevConnSerial(), QStringLiteral("SN1"));
    QCOMPARE(uint(flasher.getDevConnType()), 17u);
    // Offline until the device answers, and nothing announced yet.
    QCOMPARE(uint(flasher.getDevConnStatus()), 0u);
    QCOMPARE(changed.count(), 0);
    const auto opening = writtenTo(device);
    QCOMPARE(opening.size(), 1);
    QCOMPARE(headerBytes(opening.first()),
             header(korvoEnums::CommandMessage, korvoEnums::KeepOnline, 0, 0));

    // A silent device is asked again at every keep-online tick.
    QTRY_VERIFY_WITH_TIMEOUT(log.messages().contains(QStringLiteral("keep online sent")),
                             tickDeadlineMs);
    QCOMPARE(writtenTo(device).size(), 1);

    const quint32 version = versionParameter("0105");
    QVERIFY(device.send(command(korvoEnums::KeepOnline, korvoEnums::korvoOnline, version)));
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher.getDevConnStatus()), 1u, tickDeadlineMs);
    QCOMPARE(changed.count(), 1);
    QVERIFY(log.messages().contains(QStringLiteral("setDevConnStatus  1")));
    QVERIFY(log.messages().contains(
        QStringLiteral("usb command recieved:  \"CommandMessage\"  =  1 \"KeepOnline\"  =  0 "
                       "parameter:  %1 \"korvoOnline\" 1")
            .arg(version)));

    // Once the device has reported, the ticks send nothing.
    log.clear();
    writtenTo(device);
    QSignalSpy keepOnlineTicks(flasher.keepOnlineTicker(), &QTimer::timeout);
    QVERIFY(keepOnlineTicks.isValid());
    QTRY_VERIFY_WITH_TIMEOUT(keepOnlineTicks.count() >= 2, tickDeadlineMs);
    QVERIFY(!log.messages().contains(QStringLiteral("keep online sent")));
    QVERIFY(writtenTo(device).isEmpty());

    // Back to offline with the port open (as after a flashing run): polled again.
    flasher.setDevConnStatus(korvoEnums::korvoOffline);
    QTRY_VERIFY_WITH_TIMEOUT(log.messages().contains(QStringLiteral("keep online sent")),
                             tickDeadlineMs);
}

void TestConnection::portCheck_opensOnlyKorvoPorts_data()
{
    QTest::addColumn<QString>("portName");
    QTest::addColumn<uint>("vendorId");
    QTest::addColumn<uint>("productId");
    QTest::addColumn<bool>("opened");
    QTest::addColumn<bool>("postponesKeepOnline");

    QTest::newRow("tty, application firmware")
        << QStringLiteral("ttyACM0") << 0x0483u << 0x0011u << true << true;
    QTest::newRow("COM, boot loader")
        << QStringLiteral("COM7") << 0x0483u << 0x000Du << true << true;
    QTest::newRow("COM, other STMicroelectronics product")
        << QStringLiteral("COM3") << 0x0483u << 0x5740u << false << true;
    QTest::newRow("com in lower case")
        << QStringLiteral("com7") << 0x0483u << 0x0011u << false << false;
    QTest::newRow("no COM or tty prefix")
        << QStringLiteral("ACM0") << 0x0483u << 0x0011u << false << false;
    QTest::newRow("other vendor") << QStringLiteral("ttyUSB0") << 0x0403u << 0x0011u << false
                                  << false;
}

void TestConnection::portCheck_opensOnlyKorvoPorts()
{
    QFETCH(QString, portName);
    QFETCH(uint, vendorId);
    QFETCH(uint, productId);
    QFETCH(bool, opened);
    QFETCH(bool, postponesKeepOnline);

    RawPty device;
    TestPorts ports;
    ports.setPorts(
        {TestPorts::port(portName, device.slavePath(), quint16(vendorId), quint16(productId))});
    USB_StmFlasher flasher;
    flasher.keepOnlineTicker()->stop();
    LogCapture log;
    checkPorts(flasher);

    QCOMPARE(flasher.port()->isOpen(), opened);
    QCOMPARE(flasher.portCheckTicker()->isActive(), !opened);
    QCOMPARE(flasher.keepOnlineTicker()->isActive(), postponesKeepOnline);
    QCOMPARE(log.messagesStartingWith(QStringLiteral("FIND PORT")).size(), opened ? 1 : 0);
    if (opened)
        QCOMPARE(uint(flasher.getDevConnType()), productId & 0xFF);
}

void TestConnection::portCheck_withTwoMatchingPorts_usesFirstThatOpens()
{
    RawPty second;
    RawPty third;
    TestPorts ports;
    ports.setPorts(
        {TestPorts::port(QStringLiteral("ttyKORVO0"), QStringLiteral("/nonexistent/ttyKORVO0"),
                         USB_StmFlasher::stmVendorId, USB_StmFlasher::applicationProductId),
         korvoPort(QStringLiteral("ttyKORVO1"), second, USB_StmFlasher::bootLoaderProductId,
                   QStringLiteral("SN2")),
         korvoPort(QStringLiteral("ttyKORVO2"), third, USB_StmFlasher::applicationProductId,
                   QStringLiteral("SN3"))});
    ports.setBusDescriptions({busRecord(bootLoaderName, QStringLiteral("ttyKORVO1")),
                              busRecord(applicationName, QStringLiteral("ttyKORVO2"))});
    USB_StmFlasher flasher;
    LogCapture log;
    checkPorts(flasher);

    QVERIFY(flasher.port()->isOpen());
    const QStringList tried = log.messagesStartingWith(QStringLiteral("FIND PORT"));
    QCOMPARE(tried.size(), 2);
    QVERIFY(tried[0].contains(QStringLiteral("\"ttyKORVO0\"")));
    QVERIFY(tried[1].contains(QStringLiteral("\"ttyKORVO1\"")));
    QCOMPARE(log.messages().count(QStringLiteral("Port open error")), 1);
    QCOMPARE(flasher.property("deviceName").toString(), bootLoaderName);
    QCOMPARE(flasher.getDevConnSerial(), QStringLiteral("SN2"));
    QCOMPARE(uint(flasher.getDevConnType()), 13u);
    QVERIFY(!flasher.portCheckTicker()->isActive());
    QCOMPARE(writtenTo(second).size(), 1);
    QVERIFY(writtenTo(third).isEmpty());
}

void TestConnection::setDevConnStatus_bootThenOffline_resetsBoardFieldsOnly()
{
    OpenLink link(USB_StmFlasher::bootLoaderProductId, bootLoaderName);
    USB_StmFlasher& flasher = link.flasher;
    QVERIFY(flasher.port()->isOpen());
    flasher.setProperty("currentFirmwareVersion", QStringLiteral("02.01"));
    flasher.setProperty("currentFirmwareVersionInt", 201u);
    flasher.setProperty("boardVer", 3u);
    flasher.setProperty("boardRev", QStringLiteral("B"));
    flasher.setProperty("dfuVersion", 2u);

    QSignalSpy changed(&flasher, &USB_StmFlasher::devConnStatusChanged);
    QVERIFY(changed.isValid());
    LogCapture log;
    flasher.setDevConnStatus(korvoEnums::korvoBootOnline);
    QCOMPARE(flasher.property("currentFirmwareVersion").toString(), QStringLiteral("02.01"));
    flasher.setDevConnStatus(korvoEnums::korvoOffline);

    QCOMPARE(changed.count(), 2);
    QCOMPARE(log.messagesStartingWith(QStringLiteral("setDevConnStatus")),
             (QStringList{QStringLiteral("setDevConnStatus  2"),
                          QStringLiteral("setDevConnStatus  0")}));
    QCOMPARE(flasher.property("currentFirmwareVersion").toString(), QStringLiteral("T-.--"));
    QCOMPARE(flasher.property("boardVer").toUInt(), 0u);
    QCOMPARE(flasher.property("dfuVersion").toUInt(), 0u);
    QVERIFY(flasher.property("boardRev").toString().isEmpty());
    QCOMPARE(flasher.property("currentFirmwareVersionInt").toUInt(), 201u);
    QCOMPARE(flasher.property("deviceName").toString(), bootLoaderName);
    QCOMPARE(flasher.getDevConnSerial(), QStringLiteral("SN1"));
    QCOMPARE(uint(flasher.getDevConnType()), 13u);
}

void TestConnection::setDevConnStatus_withCurrentValue_changesNothing()
{
    USB_StmFlasher flasher;
    flasher.setProperty("currentFirmwareVersion", QStringLiteral("01.05"));
    QSignalSpy changed(&flasher, &USB_StmFlasher::devConnStatusChanged);
    QVERIFY(changed.isValid());
    LogCapture log;
    flasher.setDevConnStatus(korvoEnums::korvoOffline);
    QCOMPARE(changed.count(), 0);
    QVERIFY(log.messages().isEmpty());
    QCOMPARE(flasher.property("currentFirmwareVersion").toString(), QStringLiteral("01.05"));
}

void TestConnection::memberProperty_write_notifiesOnlyOnChange_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QVariant>("otherValue");
    QTest::newRow("currentFirmwareVersion")
        << QByteArray("currentFirmwareVersion") << QVariant(QStringLiteral("09.99"));
    QTest::newRow("currentFirmwareVersionInt")
        << QByteArray("currentFirmwareVersionInt") << QVariant(999u);
    QTest::newRow("deviceName") << QByteArray("deviceName") << QVariant(QStringLiteral("Korvo X"));
    QTest::newRow("boardVer") << QByteArray("boardVer") << QVariant(7u);
    QTest::newRow("boardRev") << QByteArray("boardRev") << QVariant(QStringLiteral("C"));
    QTest::newRow("dfuVersion") << QByteArray("dfuVersion") << QVariant(4u);
}

void TestConnection::memberProperty_write_notifiesOnlyOnChange()
{
    QFETCH(QByteArray, name);
    QFETCH(QVariant, otherValue);
    USB_StmFlasher flasher;
    QSignalSpy changed(&flasher, &USB_StmFlasher::devConnStatusChanged);
    QVERIFY(changed.isValid());

    QVERIFY(flasher.setProperty(name.constData(), flasher.property(name.constData())));
    QCOMPARE(changed.count(), 0);
    QVERIFY(flasher.setProperty(name.constData(), otherValue));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(flasher.property(name.constData()), otherValue);
}

void TestConnection::portError_closesPortOnlyForRealFailures_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("closes");
    QTest::newRow("NoError") << int(QSerialPort::NoError) << false;
    QTest::newRow("TimeoutError") << int(QSerialPort::TimeoutError) << false;
    // A pseudo-terminal refuses DTR this way: logged, the port stays open.
    QTest::newRow("UnsupportedOperationError")
        << int(QSerialPort::UnsupportedOperationError) << false;
    QTest::newRow("ResourceError") << int(QSerialPort::ResourceError) << true;
    QTest::newRow("ReadError") << int(QSerialPort::ReadError) << true;
    QTest::newRow("PermissionError") << int(QSerialPort::PermissionError) << true;
}

void TestConnection::portError_closesPortOnlyForRealFailures()
{
    QFETCH(int, error);
    QFETCH(bool, closes);
    const auto portError = QSerialPort::SerialPortError(error);

    OpenLink link(USB_StmFlasher::applicationProductId);
    USB_StmFlasher& flasher = link.flasher;
    QVERIFY(link.report(korvoEnums::korvoOnline));

    LogCapture log;
    emit flasher.port()->errorOccurred(portError);

    // The link's handler runs before the engine's.
    QCOMPARE(log.messages().value(0), QStringLiteral("portError ") + errorName(portError));
    QCOMPARE(log.messages().contains(QStringLiteral("Closing port")), closes);
    QCOMPARE(flasher.port()->isOpen(), !closes);
    QCOMPARE(flasher.portCheckTicker()->isActive(), closes);
    if (closes) {
        QCOMPARE(uint(flasher.getDevConnStatus()), 0u);
        QVERIFY(flasher.getDevConnSerial().isEmpty());
        QCOMPARE(uint(flasher.getDevConnType()), 0u);
        QCOMPARE(flasher.property("deviceName").toString(), QStringLiteral("---"));
        QCOMPARE(flasher.property("currentFirmwareVersion").toString(), QStringLiteral("T-.--"));
    } else {
        QCOMPARE(flasher.getDevConnSerial(), QStringLiteral("SN1"));
        QCOMPARE(uint(flasher.getDevConnType()), 17u);
        QCOMPARE(flasher.property("deviceName").toString(), applicationName);
        // A time-out costs the status through the engine's abort steps.
        if (portError != QSerialPort::TimeoutError)
            QCOMPARE(uint(flasher.getDevConnStatus()), 1u);
    }
}

void TestConnection::unplug_returnsToScanningAndBootLoaderPortReconnects()
{
    auto application = std::make_unique<RawPty>();
    TestPorts ports;
    ports.setBusDescriptions({busRecord(applicationName, QStringLiteral("ttyKORVO0"))});
    ports.setPorts({korvoPort(QStringLiteral("ttyKORVO0"), *application,
                              USB_StmFlasher::applicationProductId)});
    USB_StmFlasher flasher;
    checkPorts(flasher);
    QVERIFY(application->send(
        command(korvoEnums::KeepOnline, korvoEnums::korvoOnline, versionParameter("0105"))));
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher.getDevConnStatus()), 1u, tickDeadlineMs);

    // The device restarts in the middle of a data block: its port goes away.
    QVERIFY(application->send(
        header(korvoEnums::FlashData, korvoEnums::AllData, korvoEnums::korvoOnline, 0, 1000)
        + QByteArray(10, '\x5A')));
    QTRY_VERIFY_WITH_TIMEOUT(flasher.receiveState().collecting, tickDeadlineMs);
    LogCapture log;
    ports.setPorts({});
    ports.setBusDescriptions({});
    application.reset();
    QTRY_VERIFY_WITH_TIMEOUT(!flasher.port()->isOpen(), tickDeadlineMs);
    QVERIFY(log.messages().contains(QStringLiteral("Closing port")));
    QCOMPARE(uint(flasher.getDevConnStatus()), 0u);
    QCOMPARE(flasher.property("deviceName").toString(), QStringLiteral("---"));
    QVERIFY(flasher.portCheckTicker()->isActive());

    // Its boot loader's port appears and is found by the scan; its first
    // packet is not taken for the rest of the old block.
    RawPty bootLoader;
    ports.setBusDescriptions({busRecord(bootLoaderName, QStringLiteral("ttyKORVO0"))});
    ports.setPorts(
        {korvoPort(QStringLiteral("ttyKORVO0"), bootLoader, USB_StmFlasher::bootLoaderProductId)});
    QTRY_VERIFY_WITH_TIMEOUT(flasher.port()->isOpen(), tickDeadlineMs);
    QCOMPARE(uint(flasher.getDevConnType()), 13u);
    QCOMPARE(flasher.property("deviceName").toString(), bootLoaderName);
    QVERIFY(bootLoader.send(
        command(korvoEnums::KeepOnline, korvoEnums::korvoBootOnline, versionParameter("0201"))));
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher.getDevConnStatus()), 2u, tickDeadlineMs);
    QCOMPARE(flasher.property("currentFirmwareVersion").toString(), QStringLiteral("02.01"));
}

void TestConnection::onAppQuit_closesPortAndNothingElse()
{
    OpenLink link(USB_StmFlasher::applicationProductId);
    USB_StmFlasher& flasher = link.flasher;
    QVERIFY(link.report(korvoEnums::korvoOnline));
    writtenTo(link.device);

    QSignalSpy changed(&flasher, &USB_StmFlasher::devConnStatusChanged);
    QVERIFY(changed.isValid());
    LogCapture log;
    QVERIFY(QMetaObject::invokeMethod(&flasher, "onAppQuit"));
    QVERIFY(!flasher.port()->isOpen());
    QCOMPARE(log.messages(), QStringList{QStringLiteral("onAppQuit")});
    QCOMPARE(changed.count(), 0);
    QCOMPARE(uint(flasher.getDevConnStatus()), 1u);
    QVERIFY(!flasher.portCheckTicker()->isActive());
    QVERIFY(writtenTo(link.device).isEmpty());
}

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"

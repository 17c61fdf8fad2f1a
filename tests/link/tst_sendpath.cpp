#include "korvoenums.h"
#include "linkpackets.h"
#include "logcapture.h"
#include "rawpty.h"
#include "usb_stmflasher.h"

#include <QtTest>

#include <memory>

using namespace LinkPackets;

namespace {
constexpr int openDeadlineMs = 3000;
}

// The send path: one command header per call, written to the open port, or
// one log line when the port is closed.
class TestSendPath : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void sendToKorvo_writesOneCommandHeader_data();
    void sendToKorvo_writesOneCommandHeader();
    void sendToKorvo_twiceInARow_raisesNoPortError();
    void sendToKorvo_withPortClosed_logsAndWritesNothing();

private:
    std::unique_ptr<RawPty> device;
    std::unique_ptr<TestPorts> ports;
    std::unique_ptr<USB_StmFlasher> flasher;
};

void TestSendPath::initTestCase()
{
    device = std::make_unique<RawPty>();
    QVERIFY(device->isValid());
    ports = std::make_unique<TestPorts>();
    ports->setPorts(
        {TestPorts::port(QStringLiteral("ttyKORVO0"), device->slavePath(),
                         USB_StmFlasher::stmVendorId, USB_StmFlasher::bootLoaderProductId)});
    flasher = std::make_unique<USB_StmFlasher>();
    QTRY_VERIFY_WITH_TIMEOUT(flasher->port()->isOpen(), openDeadlineMs);
    // Silence the keep-online ticks: they only send while the status is 0.
    flasher->setDevConnStatus(korvoEnums::korvoBootOnline);
}

void TestSendPath::cleanupTestCase()
{
    flasher.reset();
    ports.reset();
    device.reset();
}

void TestSendPath::sendToKorvo_writesOneCommandHeader_data()
{
    QTest::addColumn<uint>("action");
    QTest::addColumn<uint>("dataOrCommand");
    QTest::addColumn<uint>("parameter");
    QTest::addColumn<uint>("status");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("KeepOnline in the boot loader")
        << 1u << 0u << 0u << uint(korvoEnums::korvoBootOnline)
        << header(korvoEnums::CommandMessage, korvoEnums::KeepOnline, korvoEnums::korvoBootOnline,
                  0);
    QTest::newRow("PrepareToFlash with an image size")
        << 1u << 13u << 70000u << uint(korvoEnums::korvoBootOnline)
        << QByteArray::fromHex("00012277 010d0200 70110100 00000000 00000000")
            + header(1, 13, 2, 70000).right(4);
    QTest::newRow("only the low 8 bits of action and command")
        << 257u << 269u << 5u << uint(korvoEnums::korvoOnline)
        << header(korvoEnums::CommandMessage, korvoEnums::PrepareToFlash, korvoEnums::korvoOnline,
                  5);
    QTest::newRow("status is the current one")
        << 1u << 0u << 0u << uint(korvoEnums::korvoReflash)
        << header(korvoEnums::CommandMessage, korvoEnums::KeepOnline, korvoEnums::korvoReflash, 0);
}

void TestSendPath::sendToKorvo_writesOneCommandHeader()
{
    QFETCH(uint, action);
    QFETCH(uint, dataOrCommand);
    QFETCH(uint, parameter);
    QFETCH(uint, status);
    QFETCH(QByteArray, expected);

    flasher->setDevConnStatus(uint8_t(status));
    device->receive();
    flasher->sendToKorvo(action, dataOrCommand, parameter);
    QByteArray written;
    QTRY_VERIFY((written += device->receive()).size() >= usbHeaderSize);
    QCOMPARE(written.toHex(), expected.toHex());
}

void TestSendPath::sendToKorvo_twiceInARow_raisesNoPortError()
{
    // The second call starts before the event loop has announced the first
    // write; a time-out reported there would cost the status.
    QSignalSpy portErrors(flasher->port(), &QSerialPort::errorOccurred);
    QVERIFY(portErrors.isValid());
    device->receive();
    flasher->sendToKorvo(korvoEnums::CommandMessage, korvoEnums::KeepOnline, 1);
    flasher->sendToKorvo(korvoEnums::CommandMessage, korvoEnums::KeepOnline, 2);
    QByteArray written;
    QTRY_VERIFY((written += device->receive()).size() >= 2 * usbHeaderSize);
    const auto headers = headersIn(written);
    QCOMPARE(quint32(headers.at(0).parameter), 1u);
    QCOMPARE(quint32(headers.at(1).parameter), 2u);
    QCOMPARE(portErrors.count(), 0);
}

void TestSendPath::sendToKorvo_withPortClosed_logsAndWritesNothing()
{
    USB_StmFlasher closed; // its first port check is 500 ms away
    QVERIFY(!closed.port()->isOpen());
    LogCapture log;
    closed.sendToKorvo(korvoEnums::CommandMessage, korvoEnums::PrepareToFlash, 0);
    QCOMPARE(log.messages(), QStringList{QStringLiteral("serial port closed, abort sendToKorvo")});
    QCOMPARE(closed.port()->bytesToWrite(), qint64(0));
}

QTEST_GUILESS_MAIN(TestSendPath)
#include "tst_sendpath.moc"

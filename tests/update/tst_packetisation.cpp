#include "dfu_client.h"
#include "korvoenums.h"
#include "linkpackets.h"
#include "logcapture.h"
#include "runrecorder.h"
#include "usb_stmflasher.h"

#include <QtTest>

// How an image is cut into packets and how progress is stored, on an engine
// whose link has no device (so nothing is ever sent).
class TestPacketisation : public QObject
{
    Q_OBJECT

private slots:
    void preparePacketToSend_clampsToLastPacket_data();
    void preparePacketToSend_clampsToLastPacket();
    void preparePacketToSend_logsOnlyShortLastPacket_data();
    void preparePacketToSend_logsOnlyShortLastPacket();
    void preparePacketToSend_leavesBufferWithoutImage();
    void setFlashingProgress_storesLowEightBits();
    void flash2usb_onClosedPort_writesNothingAndRunGoesOn();
};

void TestPacketisation::preparePacketToSend_clampsToLastPacket_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<uint>("packet");
    QTest::addColumn<int>("from"); // image offset of the slice
    QTest::addColumn<int>("sliceLength");

    // Asking past the end gives the last packet again (whole runs cover
    // the packets themselves).
    QTest::newRow("109: packet 1 is packet 0 again") << 109 << 1u << 108 << 1;
    QTest::newRow("108+4096*3: packet 7 is the last") << 108 + 4096 * 3 << 7u << 108 + 8192 << 4096;
    QTest::newRow("1 MiB + 3: huge number is the last")
        << (1 << 20) + 3 << 0xFFFFFFFFu << 108 + 4096 * 255 << 3991;
}

void TestPacketisation::preparePacketToSend_clampsToLastPacket()
{
    QFETCH(int, imageSize);
    QFETCH(uint, packet);
    QFETCH(int, from);
    QFETCH(int, sliceLength);

    USB_StmFlasher flasher;
    const QByteArray file = makeFirmwareFile(imageSize);
    flasher.dfu()->startFlashing(file);
    QByteArray buffer("stale");
    flasher.dfu()->preparePacketToSend(packet, &buffer);

    QByteArray expected;
    if (from == 108)
        expected = file.left(108);
    expected += file.mid(from, sliceLength);
    QCOMPARE(buffer.size(), expected.size());
    QVERIFY(buffer == expected);
}

void TestPacketisation::preparePacketToSend_logsOnlyShortLastPacket_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<uint>("packet");
    QTest::addColumn<QStringList>("lastPacketLines");
    QTest::newRow("whole last slice") << 108 + 4096 * 2 << 1u << QStringList{};
    QTest::newRow("short last slice")
        << 4205 << 1u << QStringList{"prepared last packet:  1  packetLen:  1"};
    QTest::newRow("not the last") << 4205 << 0u << QStringList{};
}

void TestPacketisation::preparePacketToSend_logsOnlyShortLastPacket()
{
    QFETCH(int, imageSize);
    QFETCH(uint, packet);
    QFETCH(QStringList, lastPacketLines);

    USB_StmFlasher flasher;
    flasher.dfu()->startFlashing(makeFirmwareFile(imageSize));
    LogCapture log;
    QByteArray buffer;
    flasher.dfu()->preparePacketToSend(packet, &buffer);
    QCOMPARE(log.messagesStartingWith("prepared last packet:"), lastPacketLines);
    const QStringList prepared = log.messagesStartingWith("preparePacketToSend");
    QCOMPARE(prepared.size(), 1);
    QVERIFY2(
        prepared.first().startsWith(QStringLiteral("preparePacketToSend  packetNum:  %1  size:  %2"
                                                   "  dataSent:  ")
                                        .arg(packet)
                                        .arg(buffer.size())),
        qPrintable(prepared.first()));
}

void TestPacketisation::preparePacketToSend_leavesBufferWithoutImage()
{
    USB_StmFlasher flasher;
    QByteArray buffer("kept");
    flasher.dfu()->preparePacketToSend(0, &buffer);
    QCOMPARE(buffer, QByteArray("kept"));
}

void TestPacketisation::setFlashingProgress_storesLowEightBits()
{
    USB_StmFlasher flasher;
    QSignalSpy spy(flasher.dfu(), &DFU_client::flashing_progress_changed);
    QVERIFY(spy.isValid());
    auto set = [&](uint16_t value) {
        QVERIFY(QMetaObject::invokeMethod(flasher.dfu(), "setFlashingProgress",
                                          Q_ARG(uint16_t, value)));
    };
    set(300); // stores 44
    set(300); // 300 differs from the stored 44: stores and emits 44 again
    set(44); // equal: nothing
    set(45);
    QCOMPARE(spy.size(), 3);
    QCOMPARE(spy.at(0).at(0).toUInt(), 44u);
    QCOMPARE(spy.at(1).at(0).toUInt(), 44u);
    QCOMPARE(spy.at(2).at(0).toUInt(), 45u);
}

void TestPacketisation::flash2usb_onClosedPort_writesNothingAndRunGoesOn()
{
    // Writing to a closed port would raise NotOpenError, which ends the run
    // as a lost port although the port was never there to lose.
    USB_StmFlasher flasher;
    RunRecorder recorder(&flasher);
    qRegisterMetaType<QSerialPort::SerialPortError>();
    QSignalSpy portErrors(flasher.port(), &QSerialPort::errorOccurred);
    QVERIFY(portErrors.isValid());
    LogCapture log;
    flasher.dfu()->startFlashing(makeFirmwareFile(4205));
    flasher.feedBytes(
        LinkPackets::command(korvoEnums::ReadyToFlash, korvoEnums::korvoReflash, 4205));
    flasher.feedBytes(
        LinkPackets::command(korvoEnums::FlashPacketVerify, korvoEnums::korvoReflash, 0));

    QVERIFY(portErrors.isEmpty());
    QVERIFY(recorder.messages.isEmpty());
    QCOMPARE(uint(flasher.getDevConnStatus()), uint(korvoEnums::korvoReflash));
    // Packet 0 was counted as sent, so its acknowledgement moved the run on.
    QCOMPARE(recorder.progress, (QList<uint>{1, 99}));
    QCOMPARE(log.messagesStartingWith("error, flash2usb, serial port not open").size(), 2);
}

QTEST_GUILESS_MAIN(TestPacketisation)
#include "tst_packetisation.moc"

#include "korvoenums.h"
#include "linkpackets.h"
#include "logcapture.h"
#include "rawpty.h"
#include "tools.h"
#include "usb_stmflasher.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace LinkPackets;

namespace {

constexpr int openDeadlineMs = 3000;
constexpr int readDeadlineMs = 2000;
constexpr quint32 firstSequenceNumber = 1000;

// The `parameter` of every packet the link dispatched, in dispatch order.
QList<quint32> dispatchedParameters(const LogCapture& log)
{
    static const QRegularExpression parameter(QStringLiteral("parameter: +(\\d+)"));
    QList<quint32> parameters;
    for (const QString& message : log.messages()) {
        if (!message.startsWith(QLatin1String("usb command recieved: "))
            && !message.startsWith(QLatin1String("usb data recieved: ")))
            continue;
        const QRegularExpressionMatch match = parameter.match(message);
        if (match.hasMatch())
            parameters.append(match.captured(1).toUInt());
    }
    return parameters;
}

// The last dump line of the MpxPacketData list (a quoted text).
QString lastMpxDump(const LogCapture& log)
{
    const QStringList dumps = log.messagesStartingWith(QStringLiteral("\"id:"));
    return dumps.isEmpty() ? QString() : dumps.last();
}

} // namespace

// The receive path: the byte parser, reads split anywhere by the operating
// system, and what each complete packet does. The link reads a real
// pseudo-terminal whose far end the test writes.
class TestReceivePath : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void parseUsb_reportsEachOutcome_data();
    void parseUsb_reportsEachOutcome();

    void reads_areJoinedWhereverTheySplit_data();
    void reads_areJoinedWhereverTheySplit();
    void randomlyChunkedStream_dispatchesEveryPacketOnceInOrder();

    void keepOnline_storesVersionAndAnswersOnceWithDeviceStatus_data();
    void keepOnline_storesVersionAndAnswersOnceWithDeviceStatus();
    void dfuInfo_storesVersionAndBoardFields_data();
    void dfuInfo_storesVersionAndBoardFields();
    void dfuInfo_withUnchangedStatus_announcesNewValuesOnly();
    void mpxPacketData_keepsLatestRecordPerId();
    void mpxPacketData_shortBlockIgnoredAndLengthClampedInDump_data();
    void mpxPacketData_shortBlockIgnoredAndLengthClampedInDump();
    void otherCommand_adoptsStatusThenReachesEngine();

private:
    // Writes `bytes` as one read of the link and waits until it was read.
    void deliverAsOneRead(const QByteArray& bytes);
    void resetLink();

    std::unique_ptr<RawPty> device;
    std::unique_ptr<TestPorts> ports;
    std::unique_ptr<USB_StmFlasher> flasher;
};

void TestReceivePath::initTestCase()
{
    device = std::make_unique<RawPty>();
    QVERIFY(device->isValid());
    ports = std::make_unique<TestPorts>();
    ports->setPorts(
        {TestPorts::port(QStringLiteral("ttyKORVO0"), device->slavePath(),
                         USB_StmFlasher::stmVendorId, USB_StmFlasher::applicationProductId)});
    flasher = std::make_unique<USB_StmFlasher>();
    QTRY_VERIFY_WITH_TIMEOUT(flasher->port()->isOpen(), openDeadlineMs);
}

void TestReceivePath::init()
{
    resetLink();
}

void TestReceivePath::cleanupTestCase()
{
    flasher.reset();
    ports.reset();
    device.reset();
}

void TestReceivePath::resetLink()
{
    flasher->setDevConnStatus(korvoEnums::korvoOffline);
    // Every test leaves the parser hunting for a header.
    QCOMPARE(flasher->receiveState().byteCounter, 0u);
    QVERIFY(!flasher->receiveState().collecting);
    device->receive();
}

void TestReceivePath::deliverAsOneRead(const QByteArray& bytes)
{
    QSignalSpy readyRead(flasher->port(), &QSerialPort::readyRead);
    QVERIFY(readyRead.isValid());
    QVERIFY(device->send(bytes));
    // The link's slot is connected first, so it has run when the spy fires.
    QVERIFY(readyRead.wait(readDeadlineMs));
    QTRY_COMPARE_WITH_TIMEOUT(flasher->port()->bytesAvailable(), qint64(0), readDeadlineMs);
}

void TestReceivePath::parseUsb_reportsEachOutcome_data()
{
    QTest::addColumn<QByteArray>("input");
    // Every result other than PacketRx_InProgress, in order.
    QTest::addColumn<QList<int>>("outcomes");

    const QByteArray block = QByteArray::fromHex("0102030405060708090a0b0c");
    const QByteArray filler(10, '\xAA');
    const QByteArray goodCommand = command(korvoEnums::NoAction, korvoEnums::korvoOffline, 1);

    QTest::newRow("command") << goodCommand << QList<int>{korvoEnums::PacketRx_Success};
    QTest::newRow("data message") << data(korvoEnums::AllData, korvoEnums::korvoOffline, 1, block)
                                  << QList<int>{korvoEnums::PacketRx_SuccessDataHeader,
                                                korvoEnums::PacketRx_Success};

    QByteArray badHeaderCrc = goodCommand;
    badHeaderCrc[20] = char(badHeaderCrc[20] ^ 0x01);
    QTest::newRow("wrong headerCrc")
        << badHeaderCrc + goodCommand
        << QList<int>{korvoEnums::PacketRx_BadHeaderCrc, korvoEnums::PacketRx_Success};

    QTest::newRow("action 2") << header(2, 0, 0, 0) + goodCommand
                              << QList<int>{korvoEnums::PacketRx_UnknownCanId,
                                            korvoEnums::PacketRx_Success};

    // A command's dataSize is not looked at: the following bytes are hunted.
    QTest::newRow("command announcing 10 data bytes")
        << header(korvoEnums::CommandMessage, korvoEnums::NoAction, 0, 0, 10) + filler + goodCommand
        << QList<int>{korvoEnums::PacketRx_Success, korvoEnums::PacketRx_Success};

    QTest::newRow("data header with dataSize 0")
        << header(korvoEnums::FlashData, korvoEnums::AllData, 0, 0, 0) + goodCommand
        << QList<int>{korvoEnums::PacketRx_BadSize, korvoEnums::PacketRx_Success};

    const QByteArray largest(int(USB_StmFlasher::maxDataBlockSize), '\x3C');
    QTest::newRow("data block at the size bound")
        << data(korvoEnums::AllData, 0, 0, largest)
        << QList<int>{korvoEnums::PacketRx_SuccessDataHeader, korvoEnums::PacketRx_Success};

    // Refused without collecting, so the next packet is not swallowed.
    QTest::newRow("data header beyond the size bound")
        << header(korvoEnums::FlashData, korvoEnums::AllData, 0, 0,
                  USB_StmFlasher::maxDataBlockSize + 1)
            + goodCommand
        << QList<int>{korvoEnums::PacketRx_BadSize, korvoEnums::PacketRx_Success};

    QByteArray corrupted = data(korvoEnums::AllData, 0, 1, block);
    corrupted[usbHeaderSize + 2] = char(corrupted[usbHeaderSize + 2] ^ 0x40);
    QTest::newRow("recovery after a wrong dataCrc")
        << corrupted + data(korvoEnums::AllData, 0, 2, block)
        << QList<int>{korvoEnums::PacketRx_SuccessDataHeader, korvoEnums::PacketRx_BadDataCrc,
                      korvoEnums::PacketRx_SuccessDataHeader, korvoEnums::PacketRx_Success};

    // The second 00 breaks the magic and is dropped, not tried as its start.
    QTest::newRow("00 00 01 22 77 then the rest of a header")
        << QByteArray(1, '\0') + goodCommand << QList<int>{};

    QTest::newRow("bytes outside packets")
        << filler + goodCommand + filler << QList<int>{korvoEnums::PacketRx_Success};
}

void TestReceivePath::parseUsb_reportsEachOutcome()
{
    QFETCH(QByteArray, input);
    QFETCH(QList<int>, outcomes);

    QList<int> seen;
    for (const char byte : qAsConst(input)) {
        const int result = flasher->parseUsb(static_cast<unsigned char>(byte));
        if (result != korvoEnums::PacketRx_InProgress)
            seen.append(result);
    }
    QCOMPARE(seen, outcomes);
    // The 00 00 01 22 77 row leaves a partial header; hunt again.
    while (flasher->receiveState().byteCounter != 0)
        flasher->parseUsb(0xAA);
}

void TestReceivePath::reads_areJoinedWhereverTheySplit_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<int>>("readSizes"); // the last read takes the rest
    QTest::addColumn<QList<quint32>>("dispatched");

    QTest::newRow("two packets in one read")
        << command(korvoEnums::NoAction, 0, 11) + data(korvoEnums::AllData, 0, 12, "abcd")
        << QList<int>{} << QList<quint32>{11, 12};
    QTest::newRow("header split 10 + 14")
        << command(korvoEnums::NoAction, 0, 21) << QList<int>{10} << QList<quint32>{21};
    QByteArray block(4096, Qt::Uninitialized);
    for (int i = 0; i < block.size(); ++i)
        block[i] = char(i * 7);
    QTest::newRow("4096-byte block over many reads")
        << data(korvoEnums::AllData, 0, 31, block) << QVector<int>(8, 500).toList()
        << QList<quint32>{31};
}

void TestReceivePath::reads_areJoinedWhereverTheySplit()
{
    QFETCH(QByteArray, stream);
    QFETCH(QList<int>, readSizes);
    QFETCH(QList<quint32>, dispatched);

    LogCapture log;
    int at = 0;
    for (const int size : qAsConst(readSizes)) {
        deliverAsOneRead(stream.mid(at, size));
        at += size;
    }
    deliverAsOneRead(stream.mid(at));
    QCOMPARE(dispatchedParameters(log), dispatched);
}

void TestReceivePath::randomlyChunkedStream_dispatchesEveryPacketOnceInOrder()
{
    constexpr int packetCount = 60;
    constexpr int maxBlockSize = 600;
    constexpr int maxChunkSize = 97;
    QRandomGenerator random(20240611);

    QByteArray stream;
    QList<quint32> sent;
    for (int i = 0; i < packetCount; ++i) {
        const quint32 sequence = firstSequenceNumber + quint32(i);
        sent.append(sequence);
        if (random.bounded(2) == 0) {
            stream += command(korvoEnums::NoAction, 0, sequence);
        } else {
            QByteArray block(random.bounded(1, maxBlockSize), Qt::Uninitialized);
            for (char& byte : block)
                byte = char(random.bounded(256));
            stream += data(korvoEnums::AllData, 0, sequence, block);
        }
        // Noise between packets that cannot start a magic (no 00 byte).
        const int noise = random.bounded(4);
        for (int k = 0; k < noise; ++k)
            stream += char(random.bounded(1, 256));
    }

    LogCapture log;
    for (int at = 0; at < stream.size();) {
        const int chunk = random.bounded(1, maxChunkSize);
        deliverAsOneRead(stream.mid(at, chunk));
        at += chunk;
    }
    QCOMPARE(dispatchedParameters(log), sent);
}

void TestReceivePath::keepOnline_storesVersionAndAnswersOnceWithDeviceStatus_data()
{
    QTest::addColumn<quint32>("parameter");
    QTest::addColumn<uint>("status");
    QTest::addColumn<QString>("versionText");
    QTest::addColumn<uint>("versionNumber");

    QTest::newRow("application firmware 01.05")
        << versionParameter("0105") << uint(korvoEnums::korvoOnline) << QStringLiteral("01.05")
        << 105u;
    QTest::newRow("boot loader 02.17")
        << versionParameter("0217") << uint(korvoEnums::korvoBootOnline) << QStringLiteral("02.17")
        << 217u;
    const quint32 unnumbered = versionParameter("01\xFF"
                                                "5");
    QTest::newRow("third character 0xFF") << unnumbered << uint(korvoEnums::korvoOnline)
                                          << Tools::firmwareVersionText(unnumbered) << 0u;
}

void TestReceivePath::keepOnline_storesVersionAndAnswersOnceWithDeviceStatus()
{
    QFETCH(quint32, parameter);
    QFETCH(uint, status);
    QFETCH(QString, versionText);
    QFETCH(uint, versionNumber);

    QSignalSpy changed(flasher.get(), &USB_StmFlasher::devConnStatusChanged);
    QVERIFY(changed.isValid());
    LogCapture log;
    deliverAsOneRead(command(korvoEnums::KeepOnline, quint8(status), parameter));

    QCOMPARE(uint(flasher->getDevConnStatus()), status);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(flasher->property("currentFirmwareVersion").toString(), versionText);
    QCOMPARE(flasher->property("currentFirmwareVersionInt").toUInt(), versionNumber);
    QVERIFY(log.messages().contains(
        QStringLiteral("currentFirmwareVersionInt:  %1").arg(versionNumber)));

    // The answer is written while the packet is dispatched; keep-online
    // ticks before it carry status 0.
    int answers = 0;
    const auto written = headersIn(device->receive());
    for (const usbMessageHeaderStruct& h : written) {
        QVERIFY(headerIsValid(h));
        QCOMPARE(h.action, quint8(korvoEnums::CommandMessage));
        QCOMPARE(h.dataOrCommand, quint8(korvoEnums::KeepOnline));
        QCOMPARE(quint32(h.parameter), 0u);
        if (h.status != korvoEnums::korvoOffline) {
            QCOMPARE(uint(h.status), status);
            ++answers;
        }
    }
    QCOMPARE(answers, 1);
}

void TestReceivePath::dfuInfo_storesVersionAndBoardFields_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<uint>("boardVer");
    QTest::addColumn<QString>("boardRev");
    QTest::addColumn<uint>("dfuVersion");

    QTest::newRow("eight bytes") << QByteArray::fromHex("0000000003420005") << 3u
                                 << QStringLiteral("B") << 5u;
    QTest::newRow("longer block") << QByteArray::fromHex("ffffffff07430102ffff") << 7u
                                  << QStringLiteral("C") << 2u;
    // Too short to hold them: the board fields keep what they had.
    QTest::newRow("seven bytes") << QByteArray::fromHex("00000000094400") << 4u
                                 << QStringLiteral("A") << 6u;
}

void TestReceivePath::dfuInfo_storesVersionAndBoardFields()
{
    QFETCH(QByteArray, block);
    QFETCH(uint, boardVer);
    QFETCH(QString, boardRev);
    QFETCH(uint, dfuVersion);

    // Known board fields first, from a complete DfuInfo.
    deliverAsOneRead(data(korvoEnums::DfuInfo, korvoEnums::korvoOnline, versionParameter("0100"),
                          QByteArray::fromHex("0000000004410006")));
    QCOMPARE(uint(flasher->getDevConnStatus()), uint(korvoEnums::korvoOnline));

    LogCapture log;
    deliverAsOneRead(
        data(korvoEnums::DfuInfo, korvoEnums::korvoBootOnline, versionParameter("0302"), block));
    QCOMPARE(uint(flasher->getDevConnStatus()), uint(korvoEnums::korvoBootOnline));
    QCOMPARE(flasher->property("currentFirmwareVersion").toString(), QStringLiteral("03.02"));
    QCOMPARE(flasher->property("currentFirmwareVersionInt").toUInt(), 302u);
    QCOMPARE(flasher->property("boardVer").toUInt(), boardVer);
    QCOMPARE(flasher->property("boardRev").toString(), boardRev);
    QCOMPARE(flasher->property("dfuVersion").toUInt(), dfuVersion);
    QVERIFY(log.messages().contains(
        QStringLiteral("currentFirmwareVersionInt:  302  usb_rx.header.status:  2")));
    // A DfuInfo message is not answered: all that was written are
    // keep-online ticks from before the device reported, with status 0.
    const auto written = headersIn(device->receive());
    for (const usbMessageHeaderStruct& h : written)
        QCOMPARE(h.status, quint8(korvoEnums::korvoOffline));
}

void TestReceivePath::dfuInfo_withUnchangedStatus_announcesNewValuesOnly()
{
    // As a device answers the opening KeepOnline: the status changes first.
    deliverAsOneRead(
        command(korvoEnums::KeepOnline, korvoEnums::korvoOnline, versionParameter("0105")));
    QCOMPARE(uint(flasher->getDevConnStatus()), uint(korvoEnums::korvoOnline));

    QSignalSpy changed(flasher.get(), &USB_StmFlasher::devConnStatusChanged);
    QVERIFY(changed.isValid());
    const QByteArray board = QByteArray::fromHex("3031303507430002");
    deliverAsOneRead(
        data(korvoEnums::DfuInfo, korvoEnums::korvoOnline, versionParameter("0105"), board));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(flasher->property("dfuVersion").toUInt(), 2u);

    // The same values again are no news.
    deliverAsOneRead(
        data(korvoEnums::DfuInfo, korvoEnums::korvoOnline, versionParameter("0105"), board));
    QCOMPARE(changed.count(), 1);
}

void TestReceivePath::mpxPacketData_keepsLatestRecordPerId()
{
    const auto record = [](quint8 id, quint8 length, const QByteArray& payload) {
        QByteArray bytes(20, '\0');
        bytes[0] = char(0xB0);
        bytes[1] = char(length);
        bytes[2] = char(0xB2);
        bytes[3] = char(id);
        bytes.replace(4, payload.size(), payload);
        return bytes;
    };

    const int before = USB_StmFlasher::mpxPacketRecords().size();
    LogCapture log;
    deliverAsOneRead(
        data(korvoEnums::MpxPacketData, 0, 0, record(0x5, 4, QByteArray::fromHex("a1a2"))));
    deliverAsOneRead(
        data(korvoEnums::MpxPacketData, 0, 0, record(0x7, 3, QByteArray::fromHex("b1"))));
    deliverAsOneRead(
        data(korvoEnums::MpxPacketData, 0, 0, record(0x5, 5, QByteArray::fromHex("c1c2c3"))));

    const QVector<mpxPacketStruct> records = USB_StmFlasher::mpxPacketRecords();
    QCOMPARE(records.size(), before + 2);
    const mpxPacketStruct& five = records.at(before);
    const mpxPacketStruct& seven = records.at(before + 1);
    QCOMPARE(five.id, quint8(0x5));
    QCOMPARE(five.length, quint8(5));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(five.payload), 3),
             QByteArray::fromHex("c1c2c3"));
    QCOMPARE(five.byte0, quint8(0xB0));
    QCOMPARE(five.byte2, quint8(0xB2));
    QCOMPARE(seven.id, quint8(0x7));

    QVERIFY(lastMpxDump(log).endsWith(QStringLiteral("id:5 C1C2C3 | id:7 B1 | \"")));
    // Not answered, and the status is left alone.
    QCOMPARE(uint(flasher->getDevConnStatus()), uint(korvoEnums::korvoOffline));
}

void TestReceivePath::mpxPacketData_shortBlockIgnoredAndLengthClampedInDump_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<bool>("stored");
    QTest::addColumn<QString>("dumpEntry");

    QByteArray shortBlock(19, '\x11');
    shortBlock[3] = char(0xE1);
    QTest::newRow("19 bytes") << shortBlock << false << QString();

    QByteArray tooLong(20, '\x22');
    tooLong[1] = char(200);
    tooLong[3] = char(0xE2);
    QTest::newRow("length 200") << tooLong << true
                                << QStringLiteral("id:E2 ") + QString(32, QLatin1Char('2'))
            + QStringLiteral(" | ");

    QByteArray tooShort(24, '\x33');
    tooShort[1] = char(0);
    tooShort[3] = char(0xE3);
    QTest::newRow("length 0, longer block") << tooShort << true << QStringLiteral("id:E3  | ");
}

void TestReceivePath::mpxPacketData_shortBlockIgnoredAndLengthClampedInDump()
{
    QFETCH(QByteArray, block);
    QFETCH(bool, stored);
    QFETCH(QString, dumpEntry);

    const int before = USB_StmFlasher::mpxPacketRecords().size();
    LogCapture log;
    deliverAsOneRead(data(korvoEnums::MpxPacketData, 0, 0, block));
    QCOMPARE(USB_StmFlasher::mpxPacketRecords().size(), before + (stored ? 1 : 0));
    if (stored) {
        QVERIFY(lastMpxDump(log).contains(dumpEntry));
        QCOMPARE(USB_StmFlasher::mpxPacketRecords().last().id, quint8(block[3]));
    }
}

void TestReceivePath::otherCommand_adoptsStatusThenReachesEngine()
{
    LogCapture log;
    deliverAsOneRead(command(korvoEnums::ReadyToFlash, korvoEnums::korvoReflash, 77));
    const QStringList messages = log.messages();
    const int received = messages.indexOf(QRegularExpression("^usb command recieved: .*"));
    const int adopted = messages.indexOf(QStringLiteral("setDevConnStatus  4"));
    const int engine = messages.indexOf(QRegularExpression("^dfu_rx.*"));
    QVERIFY(received >= 0);
    QVERIFY(adopted > received);
    QVERIFY(engine > adopted);
}

QTEST_GUILESS_MAIN(TestReceivePath)
#include "tst_receivepath.moc"

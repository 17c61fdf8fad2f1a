#include "devicepty.h"
#include "korvoenums.h"
#include "logcapture.h"
#include "usb_stmflasher.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

using namespace LinkPackets;

namespace {

constexpr int deadlineMs = 3000;

// The `parameter` of every packet the link dispatched, in dispatch order.
QList<quint32> dispatchedParameters(const LogCapture& log)
{
    static const QRegularExpression line(
        QStringLiteral("^usb (command|data) recieved: .*parameter: +(\\d+)"));
    QList<quint32> parameters;
    for (const QString& message : log.messages()) {
        const QRegularExpressionMatch match = line.match(message);
        if (match.hasMatch())
            parameters.append(match.captured(2).toUInt());
    }
    return parameters;
}

QByteArray mpxRecord(quint8 id, quint8 length, const QByteArray& payload, int size = 20)
{
    QByteArray bytes(size, '\0');
    bytes[1] = char(length);
    bytes[3] = char(id);
    return bytes.replace(4, payload.size(), payload);
}

} // namespace

// The receive path: the byte parser, reads split anywhere by the operating
// system, and what each complete packet does. The link reads a real
// pseudo-terminal whose far end the test writes.
class TestReceivePath : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QTRY_VERIFY_WITH_TIMEOUT(flasher.port()->isOpen(), deadlineMs); }
    void init();

    void parseUsb_reportsEachOutcome_data();
    void parseUsb_reportsEachOutcome();
    void packetAfterGarbage_isFound_data();
    void packetAfterGarbage_isFound();
    void reads_areJoinedWhereverTheySplit_data();
    void reads_areJoinedWhereverTheySplit();
    void deviceState_isStoredAnnouncedAndAnswered_data();
    void deviceState_isStoredAnnouncedAndAnswered();
    void mpxPacketData_keepsLatestRecordPerId();

private:
    // Writes `bytes` as one read of the link and waits until it was read.
    void deliverAsOneRead(const QByteArray& bytes);

    DevicePty device{USB_StmFlasher::applicationProductId}; // listed before the link scans
    USB_StmFlasher flasher;
};

void TestReceivePath::init()
{
    flasher.setDevConnStatus(korvoEnums::korvoOffline);
    // Every test leaves the parser hunting for a header.
    QCOMPARE(flasher.receiveState().byteCounter, 0u);
    device.received.clear();
}

void TestReceivePath::deliverAsOneRead(const QByteArray& bytes)
{
    QSignalSpy readyRead(flasher.port(), &QSerialPort::readyRead);
    QVERIFY(readyRead.isValid());
    QVERIFY(device.send(bytes));
    // The link's slot is connected first, so it has run when the spy fires.
    QVERIFY(readyRead.wait(deadlineMs));
    QTRY_COMPARE_WITH_TIMEOUT(flasher.port()->bytesAvailable(), qint64(0), deadlineMs);
}

void TestReceivePath::parseUsb_reportsEachOutcome_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QList<int>>("outcomes"); // every result but PacketRx_InProgress

    const QByteArray block = QByteArray::fromHex("0102030405060708090a0b0c");
    const QByteArray good = command(korvoEnums::NoAction, 0, 1);
    QByteArray badHeaderCrc = good;
    badHeaderCrc[20] = char(badHeaderCrc[20] ^ 0x01);
    QByteArray badDataCrc = data(korvoEnums::AllData, 0, 1, block);
    badDataCrc[usbHeaderSize + 2] = char(badDataCrc[usbHeaderSize + 2] ^ 0x40);

    QTest::newRow("wrong headerCrc") << badHeaderCrc
            + good << QList<int>{korvoEnums::PacketRx_BadHeaderCrc, korvoEnums::PacketRx_Success};
    QTest::newRow("action 2") << header(2, 0, 0, 0)
            + good << QList<int>{korvoEnums::PacketRx_UnknownCanId, korvoEnums::PacketRx_Success};
    // A command's dataSize is not looked at: the following bytes are hunted.
    QTest::newRow("command announcing 10 data bytes")
        << header(korvoEnums::CommandMessage, 0, 0, 0, 10) + QByteArray(10, '\xAA') + good
        << QList<int>{korvoEnums::PacketRx_Success, korvoEnums::PacketRx_Success};
    QTest::newRow("data header with dataSize 0") << header(korvoEnums::FlashData, 0, 0, 0, 0)
            + good << QList<int>{korvoEnums::PacketRx_BadSize, korvoEnums::PacketRx_Success};
    // Refused without collecting, so the next packet is not swallowed.
    QTest::newRow("data header beyond the size bound")
        << header(korvoEnums::FlashData, 0, 0, 0, PacketParser::maxDataBlockSize + 1) + good
        << QList<int>{korvoEnums::PacketRx_BadSize, korvoEnums::PacketRx_Success};
    QTest::newRow("recovery after a wrong dataCrc")
        << badDataCrc + data(korvoEnums::AllData, 0, 2, block)
        << QList<int>{korvoEnums::PacketRx_SuccessDataHeader, korvoEnums::PacketRx_BadDataCrc,
                      korvoEnums::PacketRx_SuccessDataHeader, korvoEnums::PacketRx_Success};
    // The second 00 breaks the magic and starts it anew.
    QTest::newRow("00 00 01 22 77")
        << QByteArray(1, '\0') + good << QList<int>{korvoEnums::PacketRx_Success};
    // Noise holding the magic takes the packet's first bytes into a header
    // that fails; the hunt goes on inside those bytes and finds the packet.
    QTest::newRow("a magic in the noise, then a packet")
        << QByteArray::fromHex("0001227711") + good
        << QList<int>{korvoEnums::PacketRx_BadHeaderCrc, korvoEnums::PacketRx_Success};
}

void TestReceivePath::parseUsb_reportsEachOutcome()
{
    QFETCH(QByteArray, input);
    QFETCH(QList<int>, outcomes);
    QList<int> seen;
    for (const char byte : qAsConst(input)) {
        const int result = flasher.parseUsb(static_cast<unsigned char>(byte));
        if (result != korvoEnums::PacketRx_InProgress)
            seen.append(result);
    }
    QCOMPARE(seen, outcomes);
}

void TestReceivePath::packetAfterGarbage_isFound_data()
{
    QTest::addColumn<QByteArray>("garbage");
    QTest::addColumn<QList<int>>("readSizes"); // the last read takes the rest

    const QList<QPair<const char*, QByteArray>> tails{
        {"00", QByteArray::fromHex("00")},
        {"00 00", QByteArray::fromHex("0000")},
        {"00 01 00", QByteArray::fromHex("000100")},
        {"00 01 22 00", QByteArray::fromHex("00012200")},
        {"a magic and 5 bytes", QByteArray::fromHex("00012277a5a5a5a5a5")},
        {"a whole header with a wrong headerCrc",
         [] {
             QByteArray bad = command(korvoEnums::NoAction, 0, 9);
             bad[20] = char(bad[20] ^ 0x01);
             return bad;
         }()},
    };
    for (const auto& [name, tail] : tails) {
        const QByteArray garbage = QByteArray::fromHex("a55aff") + tail;
        QTest::addRow("ending in %s, one read", name) << garbage << QList<int>{};
        QTest::addRow("ending in %s, split after it", name) << garbage << QList<int>{garbage.size()};
        QTest::addRow("ending in %s, split before its last byte", name)
            << garbage << QList<int>{garbage.size() - 1};
        QTest::addRow("ending in %s, byte by byte", name)
            << garbage << QVector<int>(2 * garbage.size() + 2 * usbHeaderSize + 4, 1).toList();
    }
}

void TestReceivePath::packetAfterGarbage_isFound()
{
    QFETCH(QByteArray, garbage);
    QFETCH(QList<int>, readSizes);
    const QByteArray stream = garbage + command(korvoEnums::NoAction, 0, 41) + garbage
        + data(korvoEnums::AllData, 0, 42, "abcd");
    LogCapture log;
    int at = 0;
    for (const int size : qAsConst(readSizes)) {
        deliverAsOneRead(stream.mid(at, size));
        at += size;
    }
    if (at < stream.size())
        deliverAsOneRead(stream.mid(at));
    QCOMPARE(dispatchedParameters(log), (QList<quint32>{41, 42}));
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
    QTest::newRow("4096-byte block over many reads")
        << data(korvoEnums::AllData, 0, 31, QByteArray(4096, '\x5A'))
        << QVector<int>(8, 500).toList() << QList<quint32>{31};

    // Commands and data messages with noise between them (no 00 byte, so
    // no false start), cut into reads of random sizes.
    QRandomGenerator random(20240611);
    QByteArray stream;
    QList<quint32> sent;
    for (quint32 sequence = 1000; sequence < 1060; ++sequence) {
        sent.append(sequence);
        QByteArray block(random.bounded(1, 600), Qt::Uninitialized);
        for (char& byte : block)
            byte = char(random.bounded(256));
        stream += random.bounded(2) ? command(korvoEnums::NoAction, 0, sequence)
                                    : data(korvoEnums::AllData, 0, sequence, block);
        stream += QByteArray(random.bounded(4), char(random.bounded(1, 256)));
    }
    QList<int> sizes;
    for (int at = 0, size = 1; at + size < stream.size(); at += size, size = random.bounded(1, 97))
        sizes.append(size);
    QTest::newRow("random reads of a long stream") << stream << sizes << sent;
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

void TestReceivePath::deviceState_isStoredAnnouncedAndAnswered_data()
{
    QTest::addColumn<QByteArray>("packet"); // after a DfuInfo: status 1, 03.02, board "4 A 6"
    QTest::addColumn<uint>("status");
    QTest::addColumn<QString>("version");
    QTest::addColumn<uint>("versionNumber");
    QTest::addColumn<QString>("board"); // version, revision, DFU version
    QTest::addColumn<int>("announced");
    QTest::addColumn<int>("answers"); // KeepOnline answers with the device's status
    const quint32 version = versionParameter("0302");
    const quint32 unnumbered = versionParameter("01\xFF"
                                                "5");
    QTest::newRow("KeepOnline") << command(korvoEnums::KeepOnline, 2, versionParameter("0105"))
                                << 2u << "01.05" << 105u << "4 A 6" << 1 << 1;
    QTest::newRow("KeepOnline, third character 0xFF")
        << command(korvoEnums::KeepOnline, 2, unnumbered) << 2u
        << Tools::firmwareVersionText(unnumbered) << 0u << "4 A 6" << 1 << 1;
    QTest::newRow("DfuInfo, status changes")
        << data(korvoEnums::DfuInfo, 2, version, QByteArray::fromHex("0000000003420005")) << 2u
        << "03.02" << 302u << "3 B 5" << 1 << 0;
    // As a device follows its KeepOnline answer: the UI must still see them.
    QTest::newRow("DfuInfo, same status, new board fields")
        << data(korvoEnums::DfuInfo, 1, version, QByteArray::fromHex("ffffffff07430002ffff")) << 1u
        << "03.02" << 302u << "7 C 2" << 1 << 0;
    QTest::newRow("DfuInfo, same values again")
        << data(korvoEnums::DfuInfo, 1, version, QByteArray::fromHex("0000000004410006")) << 1u
        << "03.02" << 302u << "4 A 6" << 0 << 0;
    // Too short to hold them: the board fields keep what they had.
    QTest::newRow("DfuInfo of seven bytes")
        << data(korvoEnums::DfuInfo, 2, version, QByteArray::fromHex("00000000094400")) << 2u
        << "03.02" << 302u << "4 A 6" << 1 << 0;
}

void TestReceivePath::deviceState_isStoredAnnouncedAndAnswered()
{
    QFETCH(QByteArray, packet);
    QFETCH(uint, status);
    QFETCH(QString, version);
    QFETCH(uint, versionNumber);
    QFETCH(QString, board);
    QFETCH(int, announced);
    QFETCH(int, answers);
    deliverAsOneRead(data(korvoEnums::DfuInfo, 1, versionParameter("0302"),
                          QByteArray::fromHex("0000000004410006")));
    QSignalSpy changed(&flasher, &USB_StmFlasher::devConnStatusChanged);
    QVERIFY(changed.isValid());
    deliverAsOneRead(packet);
    QCOMPARE(changed.count(), announced);
    QCOMPARE(uint(flasher.getDevConnStatus()), status);
    QCOMPARE(flasher.property("currentFirmwareVersion").toString(), version);
    QCOMPARE(flasher.property("currentFirmwareVersionInt").toUInt(), versionNumber);
    QCOMPARE(QStringLiteral("%1 %2 %3")
                 .arg(flasher.property("boardVer").toUInt())
                 .arg(flasher.property("boardRev").toString())
                 .arg(flasher.property("dfuVersion").toUInt()),
             board);
    // Answers were written while the packets were dispatched; keep-online
    // ticks carry status 0.
    device.collect();
    int answered = 0;
    for (const DevicePty::Frame& frame : device.commands(korvoEnums::KeepOnline)) {
        QCOMPARE(quint32(frame.header.parameter), 0u);
        if (frame.header.status != korvoEnums::korvoOffline) {
            QCOMPARE(uint(frame.header.status), status);
            ++answered;
        }
    }
    QCOMPARE(answered, answers);
}

void TestReceivePath::mpxPacketData_keepsLatestRecordPerId()
{
    const int before = USB_StmFlasher::mpxPacketRecords().size();
    LogCapture log;
    const auto deliver = [this](const QByteArray& record) {
        deliverAsOneRead(data(korvoEnums::MpxPacketData, 0, 0, record));
    };
    deliver(mpxRecord(0x5, 4, QByteArray::fromHex("a1a2")));
    deliver(mpxRecord(0x7, 3, QByteArray::fromHex("b1")));
    deliver(mpxRecord(0x5, 5, QByteArray::fromHex("c1c2c3")));
    QVector<mpxPacketStruct> records = USB_StmFlasher::mpxPacketRecords();
    QCOMPARE(records.size(), before + 2);
    QCOMPARE(records.at(before).id, quint8(0x5));
    QCOMPARE(records.at(before).length, quint8(5));
    QCOMPARE(records.at(before + 1).id, quint8(0x7));
    QVERIFY(log.messagesStartingWith("\"id:").last().endsWith("id:5 C1C2C3 | id:7 B1 | \""));
    QCOMPARE(uint(flasher.getDevConnStatus()), 0u); // the status is left alone

    // A block too short for a record is dropped; a length beyond the
    // payload shows the 16 bytes there are.
    deliver(mpxRecord(0xE1, 4, {}, 19));
    QCOMPARE(USB_StmFlasher::mpxPacketRecords().size(), before + 2);
    deliver(mpxRecord(0xE2, 200, QByteArray(16, '\x22')));
    QCOMPARE(USB_StmFlasher::mpxPacketRecords().size(), before + 3);
    QVERIFY(log.messagesStartingWith("\"id:").last().contains("id:E2 " + QString(32, '2') + " | "));
}

QTEST_GUILESS_MAIN(TestReceivePath)
#include "tst_receivepath.moc"

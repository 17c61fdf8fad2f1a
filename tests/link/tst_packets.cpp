#include "devicepty.h"
#include "korvoenums.h"
#include "packetparser.h"
#include "tools.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace LinkPackets;

namespace {

// The CRC unit's definition, word by word and bit by bit: the reference the
// table-driven calcCrc must agree with.
quint32 referenceCrc(const uchar* bytes, uint length)
{
    quint32 reg = 0xFFFFFFFFu;
    for (uint i = 0; i + 4 <= length; i += 4) {
        reg ^= qFromLittleEndian<quint32>(bytes + i);
        for (int bit = 0; bit < 32; ++bit)
            reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
    }
    return reg;
}

// Every outcome but PacketRx_InProgress, and the parameter of each packet.
struct Parsed
{
    QList<int> outcomes;
    QList<quint32> packets;
};

Parsed parse(const QByteArray& bytes)
{
    PacketParser parser;
    Parsed parsed;
    for (const char byte : bytes) {
        const int outcome = parser.parseByte(static_cast<unsigned char>(byte));
        if (outcome != korvoEnums::PacketRx_InProgress)
            parsed.outcomes.append(outcome);
        if (outcome == korvoEnums::PacketRx_Success) {
            parsed.packets.append(parser.header().parameter);
            parser.clearData();
        }
    }
    return parsed;
}

} // namespace

// The link's packet format: the checksum, the header the builder writes, the
// CAN header text, and the byte parser fed directly.
class TestPackets : public QObject
{
    Q_OBJECT

private slots:
    void calcCrc_data();
    void calcCrc();
    void calcCrc_agreesWithBitwiseReference();
    void commandHeader_wireBytes();
    void printCanHeader_data();
    void printCanHeader();
    void parser_reportsEachOutcome_data();
    void parser_reportsEachOutcome();
    void parser_findsPacketsAfterNoise_data();
    void parser_findsPacketsAfterNoise();
};

void TestPackets::calcCrc_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<uint>("crc");
    QTest::newRow("123456789") << QByteArray("123456789") << 0xFEFC54F9u;
    // Buffers under one word are passed as null: they must not be read.
    QTest::newRow("empty") << QByteArray() << 0xFFFFFFFFu;
}

void TestPackets::calcCrc()
{
    QFETCH(QByteArray, bytes);
    QFETCH(uint, crc);
    const char* data = bytes.size() < 4 ? nullptr : bytes.constData();
    QCOMPARE(Tools::calcCrc(data, uint(bytes.size())), crc);
}

void TestPackets::calcCrc_agreesWithBitwiseReference()
{
    QRandomGenerator random(0xC0FFEE);
    QByteArray storage(4300 + 4, '\0');
    for (int alignment = 0; alignment < 4; ++alignment) {
        auto* bytes = reinterpret_cast<uchar*>(storage.data()) + alignment;
        for (uint length = 0; length <= 4300; length += (length < 64 ? 1 : 37)) {
            for (uint i = 0; i < length; ++i)
                bytes[i] = uchar(random.bounded(256));
            QCOMPARE(Tools::calcCrc(bytes, length), referenceCrc(bytes, length));
        }
    }
}

void TestPackets::commandHeader_wireBytes()
{
    QCOMPARE(headerBytes(makePacketHeader(korvoEnums::CommandMessage, korvoEnums::KeepOnline,
                                          korvoEnums::korvoOnline, 0))
                 .toHex(),
             QByteArray("000122770100010000000000000000000000000092" "83b2c3"));
    // sendToKorvo(1, 13, 70000) in the boot loader: parameter bytes 70 11 01 00.
    const QByteArray prefix = QByteArray::fromHex("00012277 010d0200 70110100 00000000 00000000");
    QByteArray crc(4, '\0');
    qToLittleEndian(referenceCrc(reinterpret_cast<const uchar*>(prefix.constData()), 20),
                    crc.data());
    QCOMPARE(headerBytes(makePacketHeader(korvoEnums::CommandMessage, korvoEnums::PrepareToFlash,
                                          korvoEnums::korvoBootOnline, 70000))
                 .toHex(),
             (prefix + crc).toHex());
}

void TestPackets::printCanHeader_data()
{
    QTest::addColumn<uint>("command");
    QTest::addColumn<QByteArray>("parameter");
    QTest::addColumn<uint>("senderSerial");
    QTest::addColumn<QString>("expected");
    const QString tail = QStringLiteral(", parameter1: korvoBootOnline, sender Device_Trennic: "
                                        "serial: %1, reciever Device_USBBoot: serial 7");
    QTest::newRow("KeepOnline shows the version, no serial")
        << 0u << QByteArray("0105") << 0xFFFFFFFFu
        << "CommandMessage - KeepOnline: parameter: 01.05" + tail.arg("FF FF FF FF");
    QTest::newRow("ErrorMessage names the code")
        << 38u << QByteArray("\x02\x01\0\0", 4) << 12u
        << "CommandMessage - ErrorMessage: parameter: Error_BadCrc" + tail.arg(12);
    QTest::newRow("other commands show the number")
        << 13u << QByteArray("\x10\x27\0\0", 4) << 12u
        << "CommandMessage - PrepareToFlash: parameter: 10000" + tail.arg(12);
}

void TestPackets::printCanHeader()
{
    QFETCH(uint, command);
    QFETCH(QByteArray, parameter);
    QFETCH(uint, senderSerial);
    QFETCH(QString, expected);
    canBusMessageHeaderStruct header{};
    header.action = korvoEnums::CommandMessage;
    header.dataOrCommand = quint8(command);
    header.senderModelId = korvoEnums::Device_Trennic;
    header.receiverModelId = korvoEnums::Device_USBBoot;
    header.senderSerial = senderSerial;
    header.receiverSerial = 7;
    header.parameter = qFromLittleEndian<quint32>(parameter.constData());
    header.parameter1 = korvoEnums::korvoBootOnline;
    QCOMPARE(Tools::printCanHeader(&header), expected);
}

void TestPackets::parser_reportsEachOutcome_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QList<int>>("outcomes");
    const QByteArray block = QByteArray::fromHex("0102030405060708090a0b0c");
    const QByteArray good = command(korvoEnums::NoAction, 0, 1);
    QByteArray badHeaderCrc = good;
    badHeaderCrc[20] = char(badHeaderCrc[20] ^ 0x01);
    QByteArray badDataCrc = data(korvoEnums::AllData, 0, 1, block);
    badDataCrc[usbHeaderSize + 2] = char(badDataCrc[usbHeaderSize + 2] ^ 0x40);
    const int ok = korvoEnums::PacketRx_Success;
    const int dataHeader = korvoEnums::PacketRx_SuccessDataHeader;

    QTest::newRow("a command") << good << QList<int>{ok};
    QTest::newRow("a data message of 12 bytes") << data(korvoEnums::AllData, 0, 1, block)
                                                 << QList<int>{dataHeader, ok};
    QTest::newRow("a data message of 65536 bytes")
        << data(korvoEnums::AllData, 0, 1, QByteArray(65536, 'x')) << QList<int>{dataHeader, ok};
    QTest::newRow("wrong headerCrc") << badHeaderCrc + good
                                     << QList<int>{korvoEnums::PacketRx_BadHeaderCrc, ok};
    QTest::newRow("action 2") << header(2, 0, 0, 0) + good
                              << QList<int>{korvoEnums::PacketRx_UnknownCanId, ok};
    // A command's dataSize is not looked at: the following bytes are hunted.
    QTest::newRow("command announcing 10 data bytes")
        << header(korvoEnums::CommandMessage, 0, 0, 0, 10) + QByteArray(10, '\xAA') + good
        << QList<int>{ok, ok};
    QTest::newRow("data header with dataSize 0")
        << header(korvoEnums::FlashData, 0, 0, 0, 0) + good
        << QList<int>{korvoEnums::PacketRx_BadSize, ok};
    // Refused without collecting, so the next packet is not swallowed.
    QTest::newRow("data header beyond the size bound")
        << header(korvoEnums::FlashData, 0, 0, 0, PacketParser::maxDataBlockSize + 1) + good
        << QList<int>{korvoEnums::PacketRx_BadSize, ok};
    QTest::newRow("recovery after a wrong dataCrc")
        << badDataCrc + data(korvoEnums::AllData, 0, 2, block)
        << QList<int>{dataHeader, korvoEnums::PacketRx_BadDataCrc, dataHeader, ok};
}

void TestPackets::parser_reportsEachOutcome()
{
    QFETCH(QByteArray, input);
    QFETCH(QList<int>, outcomes);
    QCOMPARE(parse(input).outcomes, outcomes);
}

void TestPackets::parser_findsPacketsAfterNoise_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<quint32>>("packets");
    const QList<QPair<const char*, QByteArray>> tails{
        {"00", QByteArray::fromHex("00")},
        {"00 00", QByteArray::fromHex("0000")},
        {"00 01 00", QByteArray::fromHex("000100")},
        {"00 01 22 00", QByteArray::fromHex("00012200")},
        {"a magic and 5 bytes", QByteArray::fromHex("00012277a5a5a5a5a5")},
        {"a whole header with a wrong headerCrc", [] {
             QByteArray bad = command(korvoEnums::NoAction, 0, 9);
             bad[20] = char(bad[20] ^ 0x01);
             return bad;
         }()},
    };
    for (const auto& [name, tail] : tails) {
        const QByteArray noise = QByteArray::fromHex("a55aff") + tail;
        QTest::addRow("noise ending in %s", name)
            << noise + command(korvoEnums::NoAction, 0, 41) + noise
                + data(korvoEnums::AllData, 0, 42, "abcd")
            << QList<quint32>{41, 42};
    }

    // Commands and data messages of random sizes with noise between them.
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
    QTest::newRow("a long stream") << stream << sent;
}

void TestPackets::parser_findsPacketsAfterNoise()
{
    QFETCH(QByteArray, stream);
    QFETCH(QList<quint32>, packets);
    QCOMPARE(parse(stream).packets, packets);
}

QTEST_GUILESS_MAIN(TestPackets)
#include "tst_packets.moc"

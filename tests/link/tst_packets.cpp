#include "korvoenums.h"
#include "packets.h"
#include "tools.h"

#include <QtTest>

#include <cstring>

class TestPackets : public QObject
{
    Q_OBJECT

private slots:
    void commandHeader_wireBytes_data();
    void commandHeader_wireBytes();
    void dataHeader_coversBlock_data();
    void dataHeader_coversBlock();
    void headerIsValid_refusesAnyChangedByte();
    void firmwareVersion_fromParameter_data();
    void firmwareVersion_fromParameter();
    void printCanHeader_describesHeader_data();
    void printCanHeader_describesHeader();
};

void TestPackets::commandHeader_wireBytes_data()
{
    QTest::addColumn<uint>("status");
    QTest::addColumn<uint>("command");
    QTest::addColumn<uint>("parameter");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("KeepOnline, offline")
        << 0u << 0u << 0u
        << QByteArray::fromHex("00012277 01000000 00000000 00000000 00000000 E062BD1E");
    QTest::newRow("KeepOnline, online")
        << 1u << 0u << 0u
        << QByteArray::fromHex("00012277 01000100 00000000 00000000 00000000 9283B2C3");
}

void TestPackets::commandHeader_wireBytes()
{
    QFETCH(uint, status);
    QFETCH(uint, command);
    QFETCH(uint, parameter);
    QFETCH(QByteArray, expected);
    const usbMessageHeaderStruct header
        = makePacketHeader(korvoEnums::CommandMessage, quint8(command), quint8(status), parameter);
    QCOMPARE(headerBytes(header).toHex(), expected.toHex());
}

void TestPackets::dataHeader_coversBlock_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<uint>("parameter");
    QTest::newRow("one byte") << QByteArray("x") << 0u;
    QTest::newRow("whole words") << QByteArray(4096, '\x5A') << 7u;
    QTest::newRow("odd tail") << QByteArray(4204 + 3, '\xA5') << 300u;
}

void TestPackets::dataHeader_coversBlock()
{
    QFETCH(QByteArray, block);
    QFETCH(uint, parameter);
    const usbMessageHeaderStruct header = makePacketHeader(
        korvoEnums::FlashData, korvoEnums::FlashDataPacket, korvoEnums::korvoReflash, parameter,
        block.constData(), quint32(block.size()));
    const QByteArray wire = headerBytes(header);
    QCOMPARE(wire.size(), usbHeaderSize);
    QCOMPARE(wire.left(4), QByteArray::fromHex("00012277"));
    QCOMPARE(quint8(wire[4]), quint8(korvoEnums::FlashData));
    QCOMPARE(quint8(wire[5]), quint8(korvoEnums::FlashDataPacket));
    QCOMPARE(quint8(wire[6]), quint8(korvoEnums::korvoReflash));
    QCOMPARE(quint8(wire[7]), quint8(0));
    QCOMPARE(qFromLittleEndian<quint32>(wire.constData() + 8), parameter);
    QCOMPARE(qFromLittleEndian<quint32>(wire.constData() + 12), quint32(block.size()));
    QCOMPARE(qFromLittleEndian<quint32>(wire.constData() + 16),
             Tools::calcCrc(block.constData(), uint(block.size())));
    QCOMPARE(qFromLittleEndian<quint32>(wire.constData() + 20),
             Tools::calcCrc(wire.constData(), 20));

    // Round trip: the wire bytes read back as the same header.
    usbMessageHeaderStruct parsed;
    std::memcpy(&parsed, wire.constData(), sizeof parsed);
    QVERIFY(headerIsValid(parsed));
    QCOMPARE(quint32(parsed.dataSize), quint32(block.size()));
    QCOMPARE(quint32(parsed.parameter), parameter);
}

void TestPackets::headerIsValid_refusesAnyChangedByte()
{
    const usbMessageHeaderStruct header
        = makePacketHeader(korvoEnums::CommandMessage, korvoEnums::PrepareToFlash, 2, 70000);
    const QByteArray wire = headerBytes(header);
    QCOMPARE(wire.mid(8, 4).toHex(), QByteArray("70110100"));
    for (int i = 0; i < usbHeaderSize; ++i) {
        QByteArray changed = wire;
        changed[i] = char(changed[i] ^ 0x10);
        usbMessageHeaderStruct parsed;
        std::memcpy(&parsed, changed.constData(), sizeof parsed);
        QVERIFY2(!headerIsValid(parsed), qPrintable(QStringLiteral("byte %1").arg(i)));
    }
}

void TestPackets::firmwareVersion_fromParameter_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::addColumn<uint>("number");
    QTest::newRow("01.05") << QByteArray("0105") << "01.05" << 105u;
    QTest::newRow("12.34") << QByteArray("1234") << "12.34" << 234u;
    QTest::newRow("third byte 0xFF") << QByteArray("01\xFF"
                                                   "5")
                                     << QString::fromUtf8("01.\xEF\xBF\xBD"
                                                          "5")
                                     << 0u;
    QTest::newRow("not a number") << QByteArray("01ab") << "01.ab" << 0u;
    QTest::newRow("zero") << QByteArray(4, '\0') << "" << 0u;
}

void TestPackets::firmwareVersion_fromParameter()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QFETCH(uint, number);
    const quint32 parameter = qFromLittleEndian<quint32>(bytes.constData());
    QCOMPARE(Tools::firmwareVersionText(parameter), text);
    QCOMPARE(Tools::firmwareVersionNumber(parameter), number);
}

void TestPackets::printCanHeader_describesHeader_data()
{
    QTest::addColumn<int>("action");
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("parameter");
    QTest::addColumn<uint>("senderSerial");
    QTest::addColumn<uint>("receiverSerial");
    QTest::addColumn<QString>("expected");
    QTest::newRow("KeepOnline shows the version")
        << 1 << 0 << QByteArray("0105") << 0xFFFFFFFFu << 1234u
        << "CommandMessage - KeepOnline: parameter: 01.05, parameter1: korvoBootOnline, sender "
           "Device_Trennic: serial: FF FF FF FF, reciever Device_USBBoot: serial 1234";
    QTest::newRow("KeepOnline with parameter 0")
        << 1 << 0 << QByteArray(4, '\0') << 7u << 0xFFFFFFFFu
        << "CommandMessage - KeepOnline: parameter: , parameter1: korvoBootOnline, sender "
           "Device_Trennic: serial: 7, reciever Device_USBBoot: serial FF FF FF FF";
    QTest::newRow("ErrorMessage names the code")
        << 1 << 38 << QByteArray("\x02\x01\0\0", 4) << 1u << 2u
        << "CommandMessage - ErrorMessage: parameter: Error_BadCrc, parameter1: korvoBootOnline, "
           "sender Device_Trennic: serial: 1, reciever Device_USBBoot: serial 2";
    QTest::newRow("data message shows the number")
        << 0 << 30 << QByteArray("\x10\x27\0\0", 4) << 1u << 2u
        << "FlashData - DfuInfo: parameter: 10000, parameter1: korvoBootOnline, sender "
           "Device_Trennic: serial: 1, reciever Device_USBBoot: serial 2";
    QTest::newRow("unnamed values are blank")
        << 7 << 99 << QByteArray("\x05\0\0\0", 4) << 1u << 2u
        << " - : parameter: 5, parameter1: korvoBootOnline, sender Device_Trennic: serial: 1, "
           "reciever Device_USBBoot: serial 2";
}

void TestPackets::printCanHeader_describesHeader()
{
    QFETCH(int, action);
    QFETCH(int, command);
    QFETCH(QByteArray, parameter);
    QFETCH(uint, senderSerial);
    QFETCH(uint, receiverSerial);
    QFETCH(QString, expected);
    canBusMessageHeaderStruct header{};
    header.action = quint8(action);
    header.dataOrCommand = quint8(command);
    header.senderModelId = korvoEnums::Device_Trennic;
    header.receiverModelId = korvoEnums::Device_USBBoot;
    header.senderSerial = senderSerial;
    header.receiverSerial = receiverSerial;
    header.parameter = qFromLittleEndian<quint32>(parameter.constData());
    header.parameter1 = korvoEnums::korvoBootOnline;
    QCOMPARE(Tools::printCanHeader(&header), expected);
}

QTEST_GUILESS_MAIN(TestPackets)
#include "tst_packets.moc"

#include "debugline.h"
#include "korvoenums.h"
#include "logcapture.h"
#include "packets.h"
#include "tools.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

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

} // namespace

// The link's packet format: checksum and header bytes; and the debug line
// prefix.
class TestPackets : public QObject
{
    Q_OBJECT

private slots:
    void calcCrc_data();
    void calcCrc();
    void calcCrc_agreesWithBitwiseReference();
    void commandHeader_wireBytes_data();
    void commandHeader_wireBytes();
    void printCanHeader_data();
    void printCanHeader();
    void debugLine_writesTimeStampPrefix();
};

void TestPackets::calcCrc_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<uint>("crc");
    QTest::newRow("123456789") << QByteArray("123456789") << 0xFEFC54F9u;
    QTest::newRow("12345678") << QByteArray("12345678") << 0xFEFC54F9u;
    QTest::newRow("ninth byte changed") << QByteArray("12345678\xFF") << 0xFEFC54F9u;
    // Buffers under one word are passed as null: they must not be read.
    QTest::newRow("empty") << QByteArray() << 0xFFFFFFFFu;
    QTest::newRow("3 bytes") << QByteArray("123") << 0xFFFFFFFFu;
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

void TestPackets::printCanHeader_data()
{
    QTest::addColumn<uint>("command");
    QTest::addColumn<QByteArray>("parameter");
    QTest::addColumn<uint>("senderSerial");
    QTest::addColumn<QString>("expected");
    const QString tail = QStringLiteral(", parameter1: korvoBootOnline, sender Device_Trennic: "
                                        "serial: %1, reciever Device_USBBoot: "
                                        "serial 7");
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

void TestPackets::commandHeader_wireBytes_data()
{
    QTest::addColumn<uint>("status");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("KeepOnline, offline")
        << 0u << QByteArray::fromHex("00012277 01000000 00000000 00000000 00000000 E062BD1E");
    QTest::newRow("KeepOnline, online")
        << 1u << QByteArray::fromHex("00012277 01000100 00000000 00000000 00000000 9283B2C3");
}

void TestPackets::commandHeader_wireBytes()
{
    QFETCH(uint, status);
    QFETCH(QByteArray, expected);
    const usbMessageHeaderStruct header
        = makePacketHeader(korvoEnums::CommandMessage, korvoEnums::KeepOnline, quint8(status), 0);
    QCOMPARE(headerBytes(header).toHex(), expected.toHex());
}

void TestPackets::debugLine_writesTimeStampPrefix()
{
    LogCapture capture;
    debugLine() << "usb command recieved: " << QStringLiteral("KeepOnline") << " = " << 0;
    QCOMPARE(capture.lines().size(), 1);
    static const QRegularExpression shape(
        QStringLiteral("^\"\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d\" Debug : (.*)$"));
    const QRegularExpressionMatch match = shape.match(capture.lines().constFirst());
    QVERIFY2(match.hasMatch(), qPrintable(capture.lines().constFirst()));
    QCOMPARE(match.captured(1), QStringLiteral("usb command recieved:  \"KeepOnline\"  =  0"));
}

QTEST_GUILESS_MAIN(TestPackets)
#include "tst_packets.moc"

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

#include "tools.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cstring>

// The CRC unit's definition, word by word and bit by bit, as the reference
// the table-driven calcCrc must agree with.
static uint32_t referenceCrc(const unsigned char* bytes, unsigned int length)
{
    uint32_t reg = 0xFFFFFFFFu;
    for (unsigned int i = 0; i + 4 <= length; i += 4) {
        const uint32_t word = uint32_t(bytes[i]) | uint32_t(bytes[i + 1]) << 8
            | uint32_t(bytes[i + 2]) << 16 | uint32_t(bytes[i + 3]) << 24;
        reg ^= word;
        for (int bit = 0; bit < 32; ++bit)
            reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
    }
    return reg;
}

class TestCrc : public QObject
{
    Q_OBJECT

private slots:
    void calcCrc_knownValues_data();
    void calcCrc_knownValues();
    void calcCrc_ignoresTrailingBytes();
    void calcCrc_shortBufferIsNotRead();
    void calcCrc_agreesWithBitwiseReference_data();
    void calcCrc_agreesWithBitwiseReference();
};

void TestCrc::calcCrc_knownValues_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<uint>("crc");
    QTest::newRow("123456789") << QByteArray("123456789") << 0xFEFC54F9u;
    QTest::newRow("12345678") << QByteArray("12345678") << 0xFEFC54F9u;
    QTest::newRow("empty") << QByteArray() << 0xFFFFFFFFu;
    QTest::newRow("1 byte") << QByteArray("1") << 0xFFFFFFFFu;
    QTest::newRow("2 bytes") << QByteArray("12") << 0xFFFFFFFFu;
    QTest::newRow("3 bytes") << QByteArray("123") << 0xFFFFFFFFu;
    // The command header the tool sends to a silent device.
    QTest::newRow("KeepOnline header")
        << QByteArray::fromHex("0001227701000000000000000000000000000000") << 0x1EBD62E0u;
}

void TestCrc::calcCrc_knownValues()
{
    QFETCH(QByteArray, bytes);
    QFETCH(uint, crc);
    QCOMPARE(Tools::calcCrc(bytes.constData(), uint(bytes.size())), crc);
}

void TestCrc::calcCrc_ignoresTrailingBytes()
{
    QByteArray bytes("123456789");
    for (int ninth = 0; ninth < 256; ++ninth) {
        bytes[8] = char(ninth);
        QCOMPARE(Tools::calcCrc(bytes.constData(), 9), 0xFEFC54F9u);
    }
}

void TestCrc::calcCrc_shortBufferIsNotRead()
{
    // A null pointer would crash if it were dereferenced.
    for (unsigned int length = 0; length < 4; ++length)
        QCOMPARE(Tools::calcCrc(nullptr, length), 0xFFFFFFFFu);
}

void TestCrc::calcCrc_agreesWithBitwiseReference_data()
{
    QTest::addColumn<int>("alignment");
    for (int alignment = 0; alignment < 4; ++alignment)
        QTest::newRow(qPrintable(QStringLiteral("offset %1").arg(alignment))) << alignment;
}

void TestCrc::calcCrc_agreesWithBitwiseReference()
{
    QFETCH(int, alignment);
    QRandomGenerator random(0xC0FFEE + alignment);
    QByteArray storage(4300 + 8, '\0');
    // Every length up to a whole flash packet and a bit beyond.
    for (unsigned int length = 0; length <= 4300; length += (length < 64 ? 1 : 37)) {
        auto* bytes = reinterpret_cast<unsigned char*>(storage.data()) + alignment;
        for (unsigned int i = 0; i < length; ++i)
            bytes[i] = static_cast<unsigned char>(random.bounded(256));
        QCOMPARE(Tools::calcCrc(bytes, length), referenceCrc(bytes, length));
    }
}

QTEST_GUILESS_MAIN(TestCrc)
#include "tst_crc.moc"

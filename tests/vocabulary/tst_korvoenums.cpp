#include "korvoenums.h"
#include "tools.h"

#include <QMetaEnum>
#include <QtTest>

class TestKorvoEnums : public QObject
{
    Q_OBJECT

private slots:
    void enumerations_areRegisteredPlainWithTheirRowCounts_data();
    void enumerations_areRegisteredPlainWithTheirRowCounts();
    void convertEnumToQString_namesRows_data();
    void convertEnumToQString_namesRows();
    void convertEnumToQString_unknownEnumerationGivesEmptyNonNull_data();
    void convertEnumToQString_unknownEnumerationGivesEmptyNonNull();
};

void TestKorvoEnums::enumerations_areRegisteredPlainWithTheirRowCounts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("firstValue");
    QTest::addColumn<int>("lastValue");
    QTest::newRow("ActionTypes") << "ActionTypes" << 2 << 0 << 1;
    QTest::newRow("CommandsEnum") << "CommandsEnum" << 79 << 0 << 78;
    QTest::newRow("MessageDataTypes") << "MessageDataTypes" << 40 << 0 << 206;
    QTest::newRow("SocketStatus") << "SocketStatus" << 6 << 0 << 5;
    QTest::newRow("ErrorCodes") << "ErrorCodes" << 7 << 0 << 6;
    QTest::newRow("DeviceModelId") << "DeviceModelId" << 24 << 0 << 23;
    QTest::newRow("PacketParseStatus") << "PacketParseStatus" << 7 << 0 << 6;
    QTest::newRow("DeviceConnectionType") << "DeviceConnectionType" << 3 << 0 << 2;
}

void TestKorvoEnums::enumerations_areRegisteredPlainWithTheirRowCounts()
{
    QFETCH(QString, name);
    QFETCH(int, rows);
    QFETCH(int, firstValue);
    QFETCH(int, lastValue);
    const QMetaObject& mo = korvoEnums::staticMetaObject;
    const int index = mo.indexOfEnumerator(name.toUtf8().constData());
    QVERIFY(index >= 0);
    const QMetaEnum e = mo.enumerator(index);
    QVERIFY(!e.isFlag());
    QVERIFY(!e.isScoped());
    QCOMPARE(e.keyCount(), rows);
    QCOMPARE(e.value(0), firstValue);
    QCOMPARE(e.value(rows - 1), lastValue);
    // Values rise with declaration order, so no row was mistyped out of place.
    for (int i = 1; i < rows; ++i)
        QVERIFY2(e.value(i) > e.value(i - 1), e.key(i));
}

void TestKorvoEnums::convertEnumToQString_namesRows_data()
{
    QTest::addColumn<QString>("enumName");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("expected"); // a null QString means "no row"
    QTest::newRow("PrepareToFlash") << "CommandsEnum" << 13 << "PrepareToFlash";
    QTest::newRow("FlashPacketBadCrc") << "CommandsEnum" << 41 << "FlashPacketBadCrc";
    QTest::newRow("last command") << "CommandsEnum" << 78 << "LoadDefaultSettingsFromFlash";
    QTest::newRow("test result at 200") << "MessageDataTypes" << 200 << "Test_korvo7_tests_result";
    QTest::newRow("DfuInfo") << "MessageDataTypes" << 30 << "DfuInfo";
    QTest::newRow("boot online") << "SocketStatus" << 2 << "korvoBootOnline";
    QTest::newRow("BGA timeout") << "ErrorCodes" << 6 << "Error_BGA_Timeout";
    QTest::newRow("USB boot") << "DeviceModelId" << 13 << "Device_USBBoot";
    QTest::newRow("unknown can id") << "PacketParseStatus" << 6 << "PacketRx_UnknownCanId";
    QTest::newRow("usb connection") << "DeviceConnectionType" << 2 << "Connection_USB";
    QTest::newRow("command message") << "ActionTypes" << 1 << "CommandMessage";
    QTest::newRow("ErrorCodes 7 has no row") << "ErrorCodes" << 7 << QString();
    QTest::newRow("MessageDataTypes 33 has no row") << "MessageDataTypes" << 33 << QString();
    QTest::newRow("MessageDataTypes 199 has no row") << "MessageDataTypes" << 199 << QString();
    QTest::newRow("byte 255 widened without sign") << "SocketStatus" << 255 << QString();
}

void TestKorvoEnums::convertEnumToQString_namesRows()
{
    QFETCH(QString, enumName);
    QFETCH(int, value);
    QFETCH(QString, expected);
    const QString name = Tools::convertEnumToQString(enumName, static_cast<unsigned char>(value));
    QCOMPARE(name, expected);
    QCOMPARE(name.isNull(), expected.isNull());
}

void TestKorvoEnums::convertEnumToQString_unknownEnumerationGivesEmptyNonNull_data()
{
    QTest::addColumn<QString>("enumName");
    QTest::newRow("no such name") << "NoSuchEnum";
    QTest::newRow("letter case differs") << "commandsenum";
    QTest::newRow("empty name") << "";
    QTest::newRow("left-out enumeration") << "CanbusBauds";
}

void TestKorvoEnums::convertEnumToQString_unknownEnumerationGivesEmptyNonNull()
{
    QFETCH(QString, enumName);
    for (int value : {0, 13, 255}) {
        const QString name
            = Tools::convertEnumToQString(enumName, static_cast<unsigned char>(value));
        QVERIFY(name.isEmpty());
        QVERIFY(!name.isNull());
    }
}

QTEST_GUILESS_MAIN(TestKorvoEnums)
#include "tst_korvoenums.moc"

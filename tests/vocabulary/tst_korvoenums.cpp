#include "korvoenums.h"
#include "tools.h"

#include <QtTest>

// Names of protocol values for the log: a value without a row gives a null
// text, an enumeration that does not exist an empty one.
class TestKorvoEnums : public QObject
{
    Q_OBJECT

private slots:
    void convertEnumToQString_data();
    void convertEnumToQString();
};

void TestKorvoEnums::convertEnumToQString_data()
{
    QTest::addColumn<QString>("enumName");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("expected"); // null: no such row
    QTest::newRow("command") << "CommandsEnum" << 13 << "PrepareToFlash";
    QTest::newRow("data type above 199") << "MessageDataTypes" << 200 << "Test_korvo7_tests_result";
    QTest::newRow("status") << "SocketStatus" << 2 << "korvoBootOnline";
    QTest::newRow("error code") << "ErrorCodes" << 6 << "Error_BGA_Timeout";
    QTest::newRow("ErrorCodes 7: no row") << "ErrorCodes" << 7 << QString();
    QTest::newRow("MessageDataTypes 33: no row") << "MessageDataTypes" << 33 << QString();
    QTest::newRow("byte 255 widened without sign") << "SocketStatus" << 255 << QString();
    QTest::newRow("letter case differs") << "commandsenum" << 13 << "";
    QTest::newRow("no such enumeration") << "NoSuchEnum" << 0 << "";
}

void TestKorvoEnums::convertEnumToQString()
{
    QFETCH(QString, enumName);
    QFETCH(int, value);
    QFETCH(QString, expected);
    const QString name = Tools::convertEnumToQString(enumName, static_cast<unsigned char>(value));
    QCOMPARE(name, expected);
    QCOMPARE(name.isNull(), expected.isNull());
}

QTEST_GUILESS_MAIN(TestKorvoEnums)
#include "tst_korvoenums.moc"

#include "logcapture.h"
#include "usb_stmflasher.h"

#include <QtTest>

namespace {

QVariantMap entry(const QString& fileName)
{
    return QVariantMap{{QStringLiteral("fileName"), fileName},
                       {QStringLiteral("fileUrl"),
                        QStringLiteral("https://127.0.0.1/trennics_firmware/") + fileName}};
}

} // namespace

// The firmware list offered for the connected device: the catalogue entries
// whose key is exactly the device's name.
class TestFirmwareList : public QObject
{
    Q_OBJECT

private slots:
    void firmwaresForDevice_selectsExactKey_data();
    void firmwaresForDevice_selectsExactKey();
};

void TestFirmwareList::firmwaresForDevice_selectsExactKey_data()
{
    QTest::addColumn<QVariantMap>("catalogue");
    QTest::addColumn<QString>("deviceName");
    QTest::addColumn<QVariantList>("expected");
    QTest::addColumn<bool>("known");

    const QVariantList listA{entry(QStringLiteral("a_0101.bin"))};
    const QVariantList listB{entry(QStringLiteral("b_0102.bin")),
                             entry(QStringLiteral("b_0201.bin"))};
    const QVariantMap two{{QStringLiteral("A"), listA}, {QStringLiteral("B"), listB}};

    QTest::newRow("key B") << two << QStringLiteral("B") << listB << true;
    QTest::newRow("lower-case b") << two << QStringLiteral("b") << QVariantList{} << false;
    QTest::newRow("trailing blank") << two << QStringLiteral("B ") << QVariantList{} << false;
    QTest::newRow("no device") << two << QStringLiteral("---") << QVariantList{} << false;
    QTest::newRow("empty device name") << two << QString() << QVariantList{} << false;
    QTest::newRow("key with an empty list")
        << QVariantMap{{QStringLiteral("Korvo 7"), QVariantList{}}} << QStringLiteral("Korvo 7")
        << QVariantList{} << true;
    QTest::newRow("empty catalogue")
        << QVariantMap{} << QStringLiteral("Korvo 7") << QVariantList{} << false;
}

void TestFirmwareList::firmwaresForDevice_selectsExactKey()
{
    QFETCH(QVariantMap, catalogue);
    QFETCH(QString, deviceName);
    QFETCH(QVariantList, expected);
    QFETCH(bool, known);

    LogCapture log;
    QCOMPARE(USB_StmFlasher::firmwaresForDevice(catalogue, deviceName), expected);
    const QStringList lines = log.messagesStartingWith(QStringLiteral("getWebFirmwaresList"));
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.first().startsWith(
        QStringLiteral("getWebFirmwaresList  deviceName:  \"%1\"  allFirmwares:  QMap(")
            .arg(deviceName)));
    QVERIFY(lines.first().endsWith(known ? QStringLiteral(" true") : QStringLiteral(" false")));
}

QTEST_GUILESS_MAIN(TestFirmwareList)
#include "tst_firmwarelist.moc"

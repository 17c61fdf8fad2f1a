#include "busdescription.h"
#include "win.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

using Records = QList<BusDescriptionRecord>;
Q_DECLARE_METATYPE(Records)

// The bus description of a port: the platform-free matching step, and the
// platform steps that produce its records.
class TestWin : public QObject
{
    Q_OBJECT

private slots:
    void matchBusDescription_findsDeviceBehindPort_data();
    void matchBusDescription_findsDeviceBehindPort();
    void sysfsRecords_nameUsbProductOfEachTty();
};

void TestWin::matchBusDescription_findsDeviceBehindPort_data()
{
    QTest::addColumn<Records>("records");
    QTest::addColumn<QString>("portName");
    QTest::addColumn<QString>("expected");
    const Records two{{"Device A", "USB Serial Device (COM3)"},
                      {"Device B", "USB Serial Device (COM7)"}};
    QTest::newRow("second port") << two << "COM7" << "Device B";
    QTest::newRow("absent port") << two << "COM9" << "";
    QTest::newRow("case differs") << two << "com7" << "";
    const Records earlier{{"Link", "Link (USB) (COM5)"}};
    QTest::newRow("earlier parenthesis, port name") << earlier << "COM5" << "";
    QTest::newRow("earlier parenthesis, its content") << earlier << "USB" << "Link";
    QTest::newRow("no parentheses: the whole name") << Records{{"Bare", "COM5"}} << "COM5" << "Bare";
    QTest::newRow("no closing parenthesis: the rest")
        << Records{{"Open", "Device (COM5"}} << "COM5" << "Open";
    QTest::newRow("same port twice: the later wins")
        << Records{{"Old", "A (COM4)"}, {"Other", "B (COM6)"}, {"New", "C (COM4)"}} << "COM4" << "New";
    QTest::newRow("matching port with an empty description")
        << Records{{"Kept", "A (COM4)"}, {"", "B (COM4)"}} << "COM4" << "";
    QTest::newRow("description outside Latin-1")
        << Records{{"Корво 7 ✓", "Серийный порт (COM8)"}} << "COM8" << "Корво 7 ✓";
}

void TestWin::matchBusDescription_findsDeviceBehindPort()
{
    QFETCH(Records, records);
    QFETCH(QString, portName);
    QFETCH(QString, expected);
    QCOMPARE(Win::matchBusDescription(portName, records), expected);
}

void TestWin::sysfsRecords_nameUsbProductOfEachTty()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = dir.path() + QStringLiteral("/sys");
    const auto file = [&](const QString& path, const QByteArray& value) {
        QDir().mkpath(QFileInfo(root + '/' + path).path());
        QFile out(root + '/' + path);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(value) == value.size());
    };
    // A class/tty entry and its device link, relative as sysfs lays them.
    const auto tty = [&](const QString& name, const QString& folder, const QString& device) {
        QDir().mkpath(root + '/' + folder);
        QDir().mkpath(root + "/class/tty");
        QVERIFY(QFile::link("../../" + folder, root + "/class/tty/" + name));
        if (!device.isEmpty())
            QVERIFY(QFile::link(QDir(root + '/' + folder).relativeFilePath(root + '/' + device),
                                root + '/' + folder + "/device"));
    };
    // CDC-ACM: the tty's device is the USB interface.
    file("devices/usb1/1-1/idVendor", "0483\n");
    file("devices/usb1/1-1/product", "Korvo 7\n");
    tty("ttyACM0", "devices/usb1/1-1/1-1:1.0/tty/ttyACM0", "devices/usb1/1-1/1-1:1.0");
    // usb-serial: one level more; the product keeps its own trailing blanks.
    file("devices/usb1/1-2/idVendor", "0403\n");
    file("devices/usb1/1-2/product", "UART  \n");
    tty("ttyUSB0", "devices/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0",
        "devices/usb1/1-2/1-2:1.0/ttyUSB0");
    // A USB device without a product string, a platform UART, a virtual terminal.
    file("devices/usb1/1-3/idVendor", "1234\n");
    tty("ttyACM1", "devices/usb1/1-3/1-3:1.0/tty/ttyACM1", "devices/usb1/1-3/1-3:1.0");
    tty("ttyS0", "devices/platform/serial8250/tty/ttyS0", "devices/platform/serial8250");
    tty("tty0", "devices/virtual/tty/tty0", QString());

    const Records records = BusDescriptions::fromSysfs(root);
    QCOMPARE(records.size(), 2);
    QCOMPARE(records[0].busDescription, QStringLiteral("Korvo 7"));
    QCOMPARE(records[0].friendlyName, QStringLiteral("Korvo 7 (ttyACM0)"));
    QCOMPARE(records[1].friendlyName, QStringLiteral("UART   (ttyUSB0)"));
    QVERIFY(BusDescriptions::fromSysfs(root + "/missing").isEmpty());
}

QTEST_GUILESS_MAIN(TestWin)
#include "tst_win.moc"

#include "logcapture.h"
#include "rawpty.h"
#include "serialportenvironment.h"
#include "win.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(QList<BusDescriptionRecord>)

namespace {

BusDescriptionRecord record(const QString& busDescription, const QString& friendlyName)
{
    return BusDescriptionRecord{busDescription, friendlyName};
}

bool operator==(const BusDescriptionRecord& a, const BusDescriptionRecord& b)
{
    return a.busDescription == b.busDescription && a.friendlyName == b.friendlyName;
}

// Builds a sysfs-like tree: folders, attribute files and relative links.
class FakeSysfs
{
public:
    bool isValid() const { return dir.isValid(); }
    QString root() const { return dir.path() + QStringLiteral("/sys"); }

    void folder(const QString& path) { QDir().mkpath(root() + QLatin1Char('/') + path); }
    void attribute(const QString& path, const QByteArray& value)
    {
        const QString full = root() + QLatin1Char('/') + path;
        QDir().mkpath(QFileInfo(full).path());
        QFile file(full);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(value);
    }
    // A relative link at `path` pointing to `target`, as sysfs lays them.
    void link(const QString& path, const QString& target)
    {
        const QString full = root() + QLatin1Char('/') + path;
        QDir().mkpath(QFileInfo(full).path());
        const QString relative
            = QFileInfo(full).dir().relativeFilePath(root() + QLatin1Char('/') + target);
        QVERIFY(QFile::link(relative, full));
    }
    // A tty class entry for a device folder under devices/.
    void tty(const QString& name, const QString& ttyFolder, const QString& deviceFolder)
    {
        folder(ttyFolder);
        link(QStringLiteral("class/tty/") + name, ttyFolder);
        if (!deviceFolder.isEmpty())
            link(ttyFolder + QStringLiteral("/device"), deviceFolder);
    }

private:
    QTemporaryDir dir;
};

} // namespace

// The bus description of a port: the platform-free matching step over the
// records of the serial-port environment, and the platform steps that
// produce those records.
class TestWin : public QObject
{
    Q_OBJECT

private slots:
    void matchBusDescription_findsDeviceBehindPort_data();
    void matchBusDescription_findsDeviceBehindPort();
    void matchBusDescription_logsEveryRecord();
    void getSerialPortBusDesc_readsEnvironmentRecords();
    void fromSetupApiRecords_keepsEveryCodeUnit();
    void sysfsRecords_nameUsbProductOfEachTty();
    void sysfsRecords_withoutDeviceTree_areEmpty();
};

void TestWin::matchBusDescription_findsDeviceBehindPort_data()
{
    QTest::addColumn<QList<BusDescriptionRecord>>("records");
    QTest::addColumn<QString>("portName");
    QTest::addColumn<QString>("expected");

    const QList<BusDescriptionRecord> two{
        record(QStringLiteral("Device A"), QStringLiteral("USB Serial Device (COM3)")),
        record(QStringLiteral("Device B"), QStringLiteral("USB Serial Device (COM7)"))};
    QTest::newRow("second port") << two << QStringLiteral("COM7") << QStringLiteral("Device B");
    QTest::newRow("first port") << two << QStringLiteral("COM3") << QStringLiteral("Device A");
    QTest::newRow("absent port") << two << QStringLiteral("COM9") << QString();
    QTest::newRow("case differs") << two << QStringLiteral("com7") << QString();
    QTest::newRow("no records") << QList<BusDescriptionRecord>{} << QStringLiteral("COM7")
                                << QString();

    const QList<BusDescriptionRecord> earlierParenthesis{
        record(QStringLiteral("Link"), QStringLiteral("Link (USB) (COM5)"))};
    QTest::newRow("earlier parenthesis, port name")
        << earlierParenthesis << QStringLiteral("COM5") << QString();
    QTest::newRow("earlier parenthesis, its content")
        << earlierParenthesis << QStringLiteral("USB") << QStringLiteral("Link");

    QTest::newRow("no parentheses: the whole name")
        << QList<BusDescriptionRecord>{record(QStringLiteral("Bare"), QStringLiteral("COM5"))}
        << QStringLiteral("COM5") << QStringLiteral("Bare");
    QTest::newRow("no closing parenthesis: the rest")
        << QList<BusDescriptionRecord>{record(QStringLiteral("Open"),
                                              QStringLiteral("Device (COM5"))}
        << QStringLiteral("COM5") << QStringLiteral("Open");
    QTest::newRow("no opening parenthesis: up to the closing one")
        << QList<BusDescriptionRecord>{record(QStringLiteral("Closed"),
                                              QStringLiteral("COM5) Device"))}
        << QStringLiteral("COM5") << QStringLiteral("Closed");
    QTest::newRow("closing before opening: the rest")
        << QList<BusDescriptionRecord>{record(QStringLiteral("Swapped"),
                                              QStringLiteral("x) Device (COM5"))}
        << QStringLiteral("COM5") << QStringLiteral("Swapped");

    QTest::newRow("same port twice: the later wins")
        << QList<BusDescriptionRecord>{record(QStringLiteral("Old"), QStringLiteral("A (COM4)")),
                                       record(QStringLiteral("Other"), QStringLiteral("B (COM6)")),
                                       record(QStringLiteral("New"), QStringLiteral("C (COM4)"))}
        << QStringLiteral("COM4") << QStringLiteral("New");
    QTest::newRow("matching port with an empty description")
        << QList<BusDescriptionRecord>{record(QStringLiteral("Kept"), QStringLiteral("A (COM4)")),
                                       record(QString(), QStringLiteral("B (COM4)"))}
        << QStringLiteral("COM4") << QString();
    QTest::newRow("description outside Latin-1")
        << QList<BusDescriptionRecord>{record(QStringLiteral("Корво 7 ✓"),
                                              QStringLiteral("Серийный порт (COM8)"))}
        << QStringLiteral("COM8") << QStringLiteral("Корво 7 ✓");
}

void TestWin::matchBusDescription_findsDeviceBehindPort()
{
    QFETCH(QList<BusDescriptionRecord>, records);
    QFETCH(QString, portName);
    QFETCH(QString, expected);
    LogCapture log;
    const QString result = Win::matchBusDescription(portName, records);
    QCOMPARE(result, expected);
    QCOMPARE(result.isEmpty(), expected.isEmpty());
}

void TestWin::matchBusDescription_logsEveryRecord()
{
    LogCapture log;
    Win::matchBusDescription(
        QStringLiteral("COM7"),
        {record(QStringLiteral("Device A"), QStringLiteral("USB Serial Device (COM3)")),
         record(QStringLiteral("Device B"), QStringLiteral("USB Serial Device (COM7)"))});
    QCOMPARE(log.messagesStartingWith(QStringLiteral("WINAPI")),
             (QStringList{QStringLiteral("WINAPI com_port:  \"COM3\"  port_name  \"Device A\""),
                          QStringLiteral("WINAPI com_port:  \"COM7\"  port_name  \"Device B\"")}));
}

void TestWin::getSerialPortBusDesc_readsEnvironmentRecords()
{
    TestPorts ports;
    ports.setBusDescriptions(
        {record(QStringLiteral("Korvo 7"), QStringLiteral("Korvo 7 (ttyKORVO0)")),
         record(QStringLiteral("Korvo Boot"), QStringLiteral("Korvo Boot (ttyKORVO1)"))});
    QCOMPARE(Win::getSerialPortBusDesc(QStringLiteral("ttyKORVO1")), QStringLiteral("Korvo Boot"));
    QCOMPARE(Win::getSerialPortBusDesc(QStringLiteral("ttyKORVO2")), QString());
}

void TestWin::fromSetupApiRecords_keepsEveryCodeUnit()
{
    const std::vector<SetupApiPortRecord> records{
        {u"Korvo 7", "USB Serial Device (COM7)"},
        {u"\uFEFFКорво\U0001F697", "\xD0\x9F\xD0\xBE\xD1\x80\xD1\x82 (COM8)"},
        {u"", "Empty (COM9)"}};
    const QList<BusDescriptionRecord> converted = Win::fromSetupApiRecords(records);
    QCOMPARE(converted.size(), 3);
    QCOMPARE(converted[0].busDescription, QStringLiteral("Korvo 7"));
    QCOMPARE(converted[0].friendlyName, QStringLiteral("USB Serial Device (COM7)"));
    // A leading byte-order mark and a surrogate pair are characters too.
    QCOMPARE(converted[1].busDescription, QStringLiteral(u"\uFEFFКорво\U0001F697"));
    QCOMPARE(converted[1].busDescription.size(), 8);
    QCOMPARE(converted[1].friendlyName, QStringLiteral("Порт (COM8)"));
    QVERIFY(converted[2].busDescription.isEmpty());
    QCOMPARE(Win::matchBusDescription(QStringLiteral("COM8"), converted),
             converted[1].busDescription);
}

void TestWin::sysfsRecords_nameUsbProductOfEachTty()
{
    FakeSysfs sys;
    QVERIFY(sys.isValid());
    // A CDC-ACM port: the tty's device is the USB interface.
    const QString acmDevice = QStringLiteral("devices/pci0000:00/usb1/1-1");
    sys.attribute(acmDevice + QStringLiteral("/idVendor"), "0483\n");
    sys.attribute(acmDevice + QStringLiteral("/product"), "Korvo 7\n");
    sys.tty(QStringLiteral("ttyACM0"), acmDevice + QStringLiteral("/1-1:1.0/tty/ttyACM0"),
            acmDevice + QStringLiteral("/1-1:1.0"));
    // A usb-serial port: one level more between tty and USB device; the
    // product string keeps its own trailing blanks.
    const QString serialDevice = QStringLiteral("devices/pci0000:00/usb1/1-2");
    sys.attribute(serialDevice + QStringLiteral("/idVendor"), "0403\n");
    sys.attribute(serialDevice + QStringLiteral("/product"), "UART  \n");
    sys.tty(QStringLiteral("ttyUSB0"),
            serialDevice + QStringLiteral("/1-2:1.0/ttyUSB0/tty/ttyUSB0"),
            serialDevice + QStringLiteral("/1-2:1.0/ttyUSB0"));
    // A USB device without a product string yields no record.
    const QString anonymous = QStringLiteral("devices/pci0000:00/usb1/1-3");
    sys.attribute(anonymous + QStringLiteral("/idVendor"), "1234\n");
    sys.tty(QStringLiteral("ttyACM1"), anonymous + QStringLiteral("/1-3:1.0/tty/ttyACM1"),
            anonymous + QStringLiteral("/1-3:1.0"));
    // A platform UART and a virtual terminal: not on USB.
    sys.tty(QStringLiteral("ttyS0"), QStringLiteral("devices/platform/serial8250/tty/ttyS0"),
            QStringLiteral("devices/platform/serial8250"));
    sys.tty(QStringLiteral("tty0"), QStringLiteral("devices/virtual/tty/tty0"), QString());

    const QList<BusDescriptionRecord> records = Win::sysfsBusDescriptionRecords(sys.root());
    QCOMPARE(records.size(), 2);
    QVERIFY(records[0] == record(QStringLiteral("Korvo 7"), QStringLiteral("Korvo 7 (ttyACM0)")));
    QVERIFY(records[1] == record(QStringLiteral("UART  "), QStringLiteral("UART   (ttyUSB0)")));
    LogCapture log;
    QCOMPARE(Win::matchBusDescription(QStringLiteral("ttyACM0"), records),
             QStringLiteral("Korvo 7"));
}

void TestWin::sysfsRecords_withoutDeviceTree_areEmpty()
{
    FakeSysfs sys;
    QVERIFY(sys.isValid());
    sys.folder(QStringLiteral("elsewhere/usb1/1-1/1-1:1.0"));
    sys.attribute(QStringLiteral("elsewhere/usb1/1-1/product"), "Stray\n");
    sys.tty(QStringLiteral("ttyACM0"), QStringLiteral("elsewhere/usb1/1-1/1-1:1.0/tty/ttyACM0"),
            QStringLiteral("elsewhere/usb1/1-1/1-1:1.0"));
    QVERIFY(Win::sysfsBusDescriptionRecords(sys.root()).isEmpty());
    QVERIFY(Win::sysfsBusDescriptionRecords(sys.root() + QStringLiteral("/missing")).isEmpty());
}

QTEST_GUILESS_MAIN(TestWin)
#include "tst_win.moc"

#include "fixedportprovider.h"
#include "usb_stmflasher.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// The port given with --port: reported as a Korvo port exactly while its path
// exists, under a name the link's matching rule accepts.
class TestFixedPortProvider : public QObject
{
    Q_OBJECT

private slots:
    void ports_reportPathAsKorvoPortWhileItExists_data();
    void ports_reportPathAsKorvoPortWhileItExists();
};

void TestFixedPortProvider::ports_reportPathAsKorvoPortWhileItExists_data()
{
    QTest::addColumn<QString>("target"); // the device node stand-in
    QTest::addColumn<QString>("given"); // what --port names: the target or a link to it
    QTest::addColumn<QString>("portName");

    QTest::newRow("link to a tty: the tty's name") << "ttyUSB7"
                                                   << "usb-Korvo_7-if00"
                                                   << "ttyUSB7";
    // A pseudo-terminal's node (/dev/pts/5) and a link named like a tty are
    // given by the command-line tests.
}

void TestFixedPortProvider::ports_reportPathAsKorvoPortWhileItExists()
{
    QFETCH(QString, target);
    QFETCH(QString, given);
    QFETCH(QString, portName);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString targetPath = dir.filePath(target);
    QVERIFY(QFile(targetPath).open(QIODevice::WriteOnly));
    const QString path = given.isEmpty() ? targetPath : dir.filePath(given);
    if (!given.isEmpty())
        QVERIFY(QFile::link(targetPath, path));

    const FixedPortProvider provider(path);
    const QList<SerialPortRecord> ports = provider.ports();
    QCOMPARE(ports.size(), 1);
    QCOMPARE(ports.first().portName, portName);
    QCOMPARE(ports.first().systemLocation, path);
    QCOMPARE(ports.first().vendorIdentifier, USB_StmFlasher::stmVendorId);
    QCOMPARE(ports.first().productIdentifier, USB_StmFlasher::applicationProductId);

    // Gone while the device reboots: a dangling link counts as absent.
    QVERIFY(QFile::remove(targetPath));
    QCOMPARE(provider.ports().size(), 0);
}

QTEST_GUILESS_MAIN(TestFixedPortProvider)
#include "tst_fixedportprovider.moc"

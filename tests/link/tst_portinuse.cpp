#include "firmwareserver.h"
#include "korvoemulator.h"
#include "logcapture.h"
#include "usb_stmflasher.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

namespace {

// Generous: the machine running the tests may be busy.
constexpr int holderDeadlineMs = 10000;
constexpr int linkDeadlineMs = 5000;
// Scan ticks watched while the port stays held.
constexpr int heldTicks = 3;

} // namespace

// A Korvo port held by another program (korvo-sim --hold, a separate process
// with its own QSerialPort): the link says so, keeps scanning without
// repeating itself in the log, and connects by itself once the port is free.
class TestPortInUse : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void heldPort_isReportedInUseUntilFreedOrGone_data();
    void heldPort_isReportedInUseUntilFreedOrGone();
};

void TestPortInUse::initTestCase()
{
    QVERIFY(QFileInfo::exists(QStringLiteral(KORVO_SIM_PATH)));
    // Every open asks for the catalogue: loopback only, nobody listening.
    FirmwareServer::setBaseUrl(QStringLiteral("https://127.0.0.1:1/trennics_firmware"));
}

void TestPortInUse::heldPort_isReportedInUseUntilFreedOrGone_data()
{
    QTest::addColumn<bool>("unplugWhileHeld");
    QTest::newRow("the holder lets go: connects") << false;
    QTest::newRow("the device goes away: problem cleared") << true;
}

void TestPortInUse::heldPort_isReportedInUseUntilFreedOrGone()
{
    QFETCH(bool, unplugWhileHeld);
    KorvoEmulator device;
    QVERIFY2(device.start(), qPrintable(device.errorString()));

    QProcess holder;
    holder.start(QStringLiteral(KORVO_SIM_PATH), {"--hold", device.systemLocation()});
    QVERIFY(holder.waitForStarted());
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += holder.readAllStandardOutput()).startsWith("holding "),
                             holderDeadlineMs);

    LogCapture log;
    USB_StmFlasher flasher;
    QSignalSpy changed(&flasher, &USB_StmFlasher::devConnStatusChanged);
    QSignalSpy ticks(flasher.portCheckTicker(), &QTimer::timeout);
    QVERIFY(changed.isValid() && ticks.isValid());
    QVERIFY(ticks.wait(linkDeadlineMs));
    // Set at the first tick.
    QCOMPARE(flasher.property("portProblem").toString(),
             QStringLiteral("Порт ttyKORVO0 занят другой программой. Закройте её, и "
                            "подключение продолжится."));
    QCOMPARE(flasher.portOpenProblem().kind, PortProblem::Kind::InUse);
    QCOMPARE(flasher.portOpenProblem().systemLocation, device.systemLocation());
    QCOMPARE(changed.count(), 1);
    QVERIFY(!flasher.port()->isOpen());

    // Tried at every tick, announced and logged once.
    QTRY_VERIFY_WITH_TIMEOUT(ticks.count() >= heldTicks, linkDeadlineMs * heldTicks);
    QCOMPARE(log.messages().count("Port open error"), ticks.count());
    const QStringList details = log.messagesStartingWith("Port open error, ");
    QCOMPARE(details,
             QStringList{"Port open error,  \"ttyKORVO0\" QSerialPort::PermissionError "
                         "\"Permission error while locking the device\""});
    QCOMPARE(changed.count(), 1);
    QCOMPARE(uint(flasher.getDevConnStatus()), 0u);

    if (unplugWhileHeld) {
        device.stop();
        QTRY_COMPARE_WITH_TIMEOUT(flasher.property("portProblem").toString(), QString(),
                                  linkDeadlineMs);
        QCOMPARE(changed.count(), 2);
        QVERIFY(!flasher.port()->isOpen());
    } else {
        holder.terminate();
        QVERIFY(holder.waitForFinished(holderDeadlineMs));
        QTRY_VERIFY_WITH_TIMEOUT(flasher.port()->isOpen(), linkDeadlineMs);
        QCOMPARE(flasher.property("portProblem").toString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(uint(flasher.getDevConnStatus()), 1u, linkDeadlineMs);
    }
    if (holder.state() != QProcess::NotRunning) {
        holder.terminate();
        QVERIFY(holder.waitForFinished(holderDeadlineMs));
    }
    QCOMPARE(holder.exitStatus(), QProcess::NormalExit);
    QCOMPARE(holder.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestPortInUse)

#include "tst_portinuse.moc"

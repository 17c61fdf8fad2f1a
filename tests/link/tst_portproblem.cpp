#include "firmwareserver.h"
#include "korvoemulator.h"
#include "portproblem.h"
#include "usb_stmflasher.h"

#include <QCoreApplication>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

Q_DECLARE_METATYPE(PermissionErrorCause)
Q_DECLARE_METATYPE(PortProblem::Kind)

namespace {

// Above the kernel's largest pid (2^22): no process ever has it.
constexpr qint64 pidNoProcessHas = (qint64(1) << 22) + 1;

} // namespace

// How a failed open of a Korvo port is told to the user: the serial layer's
// error and the platform's finding become one of three texts; and a port
// held by another program for real.
class TestPortProblem : public QObject
{
    Q_OBJECT

private slots:
    void kindOf_followsTheErrorAndThePlatformsFinding_data();
    void kindOf_followsTheErrorAndThePlatformsFinding();
    void text_namesThePortAndWhatToDo_data();
    void text_namesThePortAndWhatToDo();
    void lockFileName_isTheSerialLayersOwn_data();
    void lockFileName_isTheSerialLayersOwn();
    void permissionErrorCause_tellsLockFromBusyFromMissingDevice_data();
    void permissionErrorCause_tellsLockFromBusyFromMissingDevice();
    void heldPort_isInUseUntilFreedOrGone_data();
    void heldPort_isInUseUntilFreedOrGone();
};

void TestPortProblem::kindOf_followsTheErrorAndThePlatformsFinding_data()
{
    QTest::addColumn<QSerialPort::SerialPortError>("error");
    QTest::addColumn<PermissionErrorCause>("cause");
    QTest::addColumn<PortProblem::Kind>("kind");
    using E = QSerialPort::SerialPortError;
    using C = PermissionErrorCause;
    using K = PortProblem::Kind;
    QTest::newRow("lock of a running process") << E::PermissionError << C::LockedByRunningProcess
                                               << K::InUse;
    QTest::newRow("busy (exclusive, ModemManager, Windows access denied)")
        << E::PermissionError << C::Busy << K::InUse;
    QTest::newRow("no rights on the device node") << E::PermissionError << C::AccessDenied
                                                  << K::PermissionDenied;
    QTest::newRow("permission error, cause not found") << E::PermissionError << C::Unknown
                                                       << K::OpenFailed;
    QTest::newRow("device gone") << E::DeviceNotFoundError << C::Unknown << K::OpenFailed;
}

void TestPortProblem::kindOf_followsTheErrorAndThePlatformsFinding()
{
    QFETCH(QSerialPort::SerialPortError, error);
    QFETCH(PermissionErrorCause, cause);
    QFETCH(PortProblem::Kind, kind);
    QCOMPARE(PortProblem::kindOf(error, cause), kind);
}

void TestPortProblem::text_namesThePortAndWhatToDo_data()
{
    QTest::addColumn<PortProblem::Kind>("kind");
    QTest::addColumn<bool>("hint");
    QTest::addColumn<QString>("text");
    using K = PortProblem::Kind;
    QTest::newRow("none") << K::None << true << QString();
    QTest::newRow("in use")
        << K::InUse << true
        << "Порт ttyACM0 занят другой программой. Закройте её, и подключение продолжится.";
    QTest::newRow("permission denied, Linux")
        << K::PermissionDenied << true
        << "Нет доступа к порту ttyACM0. Добавьте пользователя в группу dialout или установите "
           "правило udev (см. README).";
    QTest::newRow("permission denied, Windows") << K::PermissionDenied << false
                                                << "Нет доступа к порту ttyACM0.";
    QTest::newRow("other failure") << K::OpenFailed << true
                                   << "Не удалось открыть порт ttyACM0: No such file %2";
}

void TestPortProblem::text_namesThePortAndWhatToDo()
{
    QFETCH(PortProblem::Kind, kind);
    QFETCH(bool, hint);
    QFETCH(QString, text);
    PortProblem problem;
    problem.kind = kind;
    problem.portName = QStringLiteral("ttyACM0");
    problem.systemLocation = QStringLiteral("/dev/ttyACM0");
    problem.error = QSerialPort::DeviceNotFoundError;
    problem.errorText = QStringLiteral("No such file %2"); // taken as it is
    QCOMPARE(problem.text(hint), text);
}

void TestPortProblem::lockFileName_isTheSerialLayersOwn_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("name");
    QTest::newRow("device node") << "/dev/ttyACM0" << "LCK..ttyACM0";
    QTest::newRow("pseudo-terminal") << "/dev/pts/5" << "LCK..pts_5";
    QTest::newRow("link outside /dev") << "/tmp/x/ttyKORVO" << "LCK.._tmp_x_ttyKORVO";
}

void TestPortProblem::lockFileName_isTheSerialLayersOwn()
{
    QFETCH(QString, location);
    QFETCH(QString, name);
    QCOMPARE(QString::fromStdString(serialLockFileName(location.toStdString())), name);
}

void TestPortProblem::permissionErrorCause_tellsLockFromBusyFromMissingDevice_data()
{
    QTest::addColumn<QString>("lockOf"); // the port the lock file is for; empty: none
    QTest::addColumn<qint64>("lockPid"); // 0: a real lock of this process
    QTest::addColumn<bool>("deviceExists");
    QTest::addColumn<PermissionErrorCause>("cause");
    using C = PermissionErrorCause;
    // The test runs with rights on its files, so an existing device node
    // without a lock is busy (EBUSY); access denied is tried for real by
    // the command-line test as an unprivileged user.
    QTest::newRow("locked by a running process") << "device" << qint64(0) << true
                                                 << C::LockedByRunningProcess;
    QTest::newRow("stale lock of a process that is gone") << "device" << pidNoProcessHas << true
                                                          << C::Busy;
    QTest::newRow("lock of another port") << "other" << qint64(0) << true << C::Busy;
    QTest::newRow("no lock") << "" << qint64(0) << true << C::Busy;
    QTest::newRow("no lock, no device node") << "" << qint64(0) << false << C::Unknown;
}

void TestPortProblem::permissionErrorCause_tellsLockFromBusyFromMissingDevice()
{
    QFETCH(QString, lockOf);
    QFETCH(qint64, lockPid);
    QFETCH(bool, deviceExists);
    QFETCH(PermissionErrorCause, cause);
    QTemporaryDir lockDir;
    QTemporaryDir devDir;
    QVERIFY(lockDir.isValid() && devDir.isValid());
    const QString device = devDir.filePath(QStringLiteral("ttyKORVO0"));
    if (deviceExists) {
        QFile node(device);
        QVERIFY(node.open(QIODevice::WriteOnly));
    }
    const QString lockPath = lockDir.filePath(QString::fromStdString(serialLockFileName(
        (lockOf == QLatin1String("other") ? devDir.filePath(QStringLiteral("ttyKORVO1")) : device)
            .toStdString())));
    QLockFile lock(lockPath);
    if (lockOf.isEmpty()) {
        // nothing locked
    } else if (lockPid == 0) {
        QVERIFY(lock.tryLock());
    } else {
        QFile file(lockPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray::number(lockPid) + "\nholder\n"
                   + QSysInfo::machineHostName().toUtf8() + '\n');
    }
    const std::vector<std::string> lockDirectories{"/nonexistent", lockDir.path().toStdString()};
    QCOMPARE(permissionErrorCause(device.toStdString(), lockDirectories), cause);
}

void TestPortProblem::heldPort_isInUseUntilFreedOrGone_data()
{
    QTest::addColumn<bool>("unplugWhileHeld");
    QTest::newRow("the holder lets go: connects") << false;
    QTest::newRow("the device goes away: problem cleared") << true;
}

void TestPortProblem::heldPort_isInUseUntilFreedOrGone()
{
    QFETCH(bool, unplugWhileHeld);
    constexpr int deadlineMs = 10000;
    // Every open asks for the catalogue: loopback only, nobody listening.
    FirmwareServer::setBaseUrl(QStringLiteral("https://127.0.0.1:1/trennics_firmware"));
    KorvoEmulator device;
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    // korvo-sim --hold: another process with its own QSerialPort.
    QProcess holder;
    holder.start(QStringLiteral(KORVO_SIM_PATH), {"--hold", device.systemLocation()});
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += holder.readAllStandardOutput()).startsWith("holding "),
                             deadlineMs);

    USB_StmFlasher flasher;
    QSignalSpy changed(&flasher, &USB_StmFlasher::devConnStatusChanged);
    QSignalSpy ticks(flasher.portCheckTicker(), &QTimer::timeout);
    QTRY_VERIFY_WITH_TIMEOUT(ticks.count() >= 3, deadlineMs); // tried at every tick
    QCOMPARE(flasher.portProblem(), QStringLiteral("Порт ttyKORVO0 занят другой программой. "
                                                   "Закройте её, и подключение продолжится."));
    QCOMPARE(flasher.portOpenProblem().systemLocation, device.systemLocation());
    QCOMPARE(changed.count(), 1); // announced once
    QVERIFY(!flasher.port()->isOpen());

    if (unplugWhileHeld)
        device.stop();
    holder.terminate();
    QVERIFY(holder.waitForFinished(deadlineMs));
    QTRY_COMPARE_WITH_TIMEOUT(flasher.portProblem(), QString(), deadlineMs);
    QTRY_COMPARE_WITH_TIMEOUT(flasher.port()->isOpen(), !unplugWhileHeld, deadlineMs);
    QCOMPARE(holder.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestPortProblem)

#include "tst_portproblem.moc"

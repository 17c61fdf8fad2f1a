#include "keepawake.h"

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <poll.h>
#include <unistd.h>

namespace {

constexpr int busStartTimeoutMs = 10000;

const QString login1Service = QStringLiteral("org.freedesktop.login1");
const QString login1Path = QStringLiteral("/org/freedesktop/login1");

// A private message bus: any name may be owned, anyone may call anyone.
const char* const busConfig = "<busconfig>"
                              "<type>system</type>"
                              "<listen>unix:dir=%1</listen>"
                              "<policy context=\"default\">"
                              "<allow user=\"*\"/>"
                              "<allow own=\"*\"/>"
                              "<allow send_destination=\"*\"/>"
                              "<allow receive_sender=\"*\"/>"
                              "</policy>"
                              "</busconfig>\n";

} // namespace

// logind's Inhibit as the tool sees it: records the call and hands out the
// write end of a pipe, whose read end tells the test when every copy of the
// returned descriptor is closed. Lives on its own thread, so it answers while
// the tool's thread blocks in the call.
class FakeLogind : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    ~FakeLogind() override
    {
        if (readEnd >= 0)
            ::close(readEnd);
    }

    QStringList call() const
    {
        QMutexLocker lock(&mutex);
        return lastCall;
    }

    // True once the inhibitor handed out is closed everywhere.
    bool inhibitorClosed() const
    {
        QMutexLocker lock(&mutex);
        pollfd entry{readEnd, POLLIN, 0};
        return readEnd >= 0 && ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLHUP) != 0;
    }

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode)
    {
        QMutexLocker lock(&mutex);
        lastCall = QStringList{what, who, why, mode};
        int ends[2] = {-1, -1};
        if (::pipe(ends) != 0)
            return {};
        readEnd = ends[0];
        QDBusUnixFileDescriptor writeEnd(ends[1]); // a duplicate travels with the reply
        ::close(ends[1]);
        return writeEnd;
    }

private:
    mutable QMutex mutex;
    QStringList lastCall;
    int readEnd = -1;
};

// The Linux way of keeping the computer awake, against logind played on a
// private system bus (a real dbus-daemon): the inhibitor asked for "sleep" in
// "block" mode is held exactly until release.
class TestKeepAwakeLinux : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void withoutLogindNothingIsHeld();
    void logindInhibitorIsHeldUntilRelease();

private:
    QTemporaryDir busDir;
    QProcess bus;
    QString address;
    QThread logindThread;
};

void TestKeepAwakeLinux::initTestCase()
{
    QVERIFY(busDir.isValid());
    QFile config(busDir.filePath(QStringLiteral("bus.conf")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QString::fromLatin1(busConfig).arg(busDir.path()).toUtf8());
    config.close();
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
               QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    QVERIFY2(bus.waitForStarted(busStartTimeoutMs), qPrintable(bus.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(bus.canReadLine(), busStartTimeoutMs);
    address = QString::fromUtf8(bus.readLine()).trimmed();
    QVERIFY(!address.isEmpty());
    // Read by Qt when the system bus is first used, below.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toUtf8());
    logindThread.start();
}

void TestKeepAwakeLinux::cleanupTestCase()
{
    logindThread.quit();
    logindThread.wait();
    bus.terminate();
    bus.waitForFinished();
}

void TestKeepAwakeLinux::withoutLogindNothingIsHeld()
{
    KeepAwake keepAwake;
    keepAwake.acquire(KeepAwake::firmwareUpdateReason);
    QVERIFY(!keepAwake.isHeld());
    keepAwake.release();
}

void TestKeepAwakeLinux::logindInhibitorIsHeldUntilRelease()
{
    QDBusConnection logindBus = QDBusConnection::connectToBus(address, QStringLiteral("logind"));
    QVERIFY(logindBus.isConnected());
    FakeLogind logind;
    logind.moveToThread(&logindThread);
    QVERIFY(logindBus.registerObject(login1Path, &logind, QDBusConnection::ExportAllSlots));
    QVERIFY(logindBus.registerService(login1Service));

    {
        KeepAwake keepAwake;
        QSignalSpy held(&keepAwake, &KeepAwake::heldChanged);
        QVERIFY(held.isValid());
        keepAwake.acquire(KeepAwake::firmwareUpdateReason);
        QVERIFY(keepAwake.isHeld());
        QCOMPARE(logind.call(),
                 (QStringList{QStringLiteral("sleep"), QStringLiteral("Trennic Flasher"),
                              KeepAwake::firmwareUpdateReason, QStringLiteral("block")}));
        QVERIFY(!logind.inhibitorClosed());
        keepAwake.release();
        QVERIFY(!keepAwake.isHeld());
        QTRY_VERIFY(logind.inhibitorClosed());
        QCOMPARE(held.size(), 2);

        // A second run takes a new inhibitor; destroying the holder lets it go.
        keepAwake.acquire(KeepAwake::firmwareUpdateReason);
        QVERIFY(keepAwake.isHeld());
        QVERIFY(!logind.inhibitorClosed());
    }
    QTRY_VERIFY(logind.inhibitorClosed());

    logindBus.unregisterObject(login1Path);
    logindBus.unregisterService(login1Service);
    QDBusConnection::disconnectFromBus(QStringLiteral("logind"));
    // The fake must leave its thread's queue before it is destroyed here.
    QMetaObject::invokeMethod(
        &logind, [&logind] { logind.moveToThread(qApp->thread()); }, Qt::BlockingQueuedConnection);
}

QTEST_GUILESS_MAIN(TestKeepAwakeLinux)
#include "tst_keepawake_linux.moc"

#include "keepawake.h"

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>

#include <poll.h>
#include <unistd.h>

// logind's Inhibit as the tool is meant to call it; any other call gets no
// inhibitor. Hands out the write end of a pipe, whose read end tells the test
// when every copy of the returned descriptor is closed. Lives on its own
// thread, so it answers while the tool's thread blocks in the call.
class FakeLogind : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    ~FakeLogind() override { ::close(readEnd); }
    // True once the inhibitor handed out last is closed everywhere.
    bool inhibitorClosed() const
    {
        pollfd entry{readEnd, POLLIN, 0};
        return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLHUP) != 0;
    }

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode)
    {
        int ends[2] = {-1, -1};
        if (QStringList{what, who, why, mode}
                != QStringList{"sleep", "Trennic Flasher", KeepAwake::firmwareUpdateReason, "block"}
            || ::pipe(ends) != 0)
            return {};
        ::close(readEnd.exchange(ends[0]));
        const QDBusUnixFileDescriptor writeEnd(ends[1]); // a duplicate travels with the reply
        ::close(ends[1]);
        return writeEnd;
    }

private:
    std::atomic<int> readEnd{-1};
};

// The Linux way of keeping the computer awake, against logind played on a
// private system bus (a real dbus-daemon that lets anyone own any name).
class TestKeepAwakeLinux : public QObject
{
    Q_OBJECT

    QTemporaryDir busDir;
    QProcess bus;
    QThread logindThread;

private slots:
    void cleanupTestCase()
    {
        logindThread.quit(); // deletes the fake logind
        logindThread.wait();
        bus.terminate();
        bus.waitForFinished();
    }

    // Held from acquire to release, in "block" mode for sleep; without logind
    // on the bus nothing is held and no run waits.
    void sleepInhibitor_isHeldUntilRelease()
    {
        QFile config(busDir.filePath(QStringLiteral("bus.conf")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(
            QStringLiteral("<busconfig><type>system</type><listen>unix:dir=%1</listen>"
                           "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                           "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                           "</policy></busconfig>\n")
                .arg(busDir.path())
                .toUtf8());
        config.close();
        bus.start(QStringLiteral("dbus-daemon"),
                  {"--config-file=" + config.fileName(), "--nofork", "--print-address=1"});
        QVERIFY2(bus.waitForStarted(), qPrintable(bus.errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(bus.canReadLine(), 10000);
        const QString address = QString::fromUtf8(bus.readLine()).trimmed();
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toUtf8()); // read by Qt at first use
        {
            KeepAwake keepAwake;
            keepAwake.acquire(KeepAwake::firmwareUpdateReason);
            QVERIFY(!keepAwake.isHeld());
        }

        QDBusConnection logindBus
            = QDBusConnection::connectToBus(address, QStringLiteral("logind"));
        QVERIFY(logindBus.isConnected());
        auto* logind = new FakeLogind;
        logind->moveToThread(&logindThread);
        connect(&logindThread, &QThread::finished, logind, &QObject::deleteLater);
        logindThread.start();
        QVERIFY(logindBus.registerObject("/org/freedesktop/login1", logind,
                                         QDBusConnection::ExportAllSlots));
        QVERIFY(logindBus.registerService("org.freedesktop.login1"));
        {
            KeepAwake keepAwake;
            keepAwake.acquire(KeepAwake::firmwareUpdateReason);
            QVERIFY(keepAwake.isHeld() && !logind->inhibitorClosed());
            keepAwake.release();
            QVERIFY(!keepAwake.isHeld());
            QTRY_VERIFY(logind->inhibitorClosed());
        }
    }
};

QTEST_GUILESS_MAIN(TestKeepAwakeLinux)
#include "tst_keepawake_linux.moc"

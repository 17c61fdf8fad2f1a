#include "korvoemulator.h"

#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Generous: the machine running the tests may be busy.
constexpr int processDeadlineMs = 60000;
constexpr int holderDeadlineMs = 10000;
const QString shortWait = QStringLiteral("3");
// Nobody listens there: the catalogue request of an opened port stays on loopback.
const QString loopbackServer = QStringLiteral("https://127.0.0.1:1/trennics_firmware");

QString lastLine(const QString& text)
{
    return text.trimmed().section(QLatin1Char('\n'), -1);
}

// The lines of `text` equal to `line`.
int countLines(const QString& text, const QString& line)
{
    return text.split(QLatin1Char('\n')).count(line);
}

} // namespace

// trennic-flasher-cli, as a process, waiting for a device whose port it
// cannot open: another process holds it, or the user has no rights on it.
class TestCliPortProblem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void heldPort_isNamedOnceThenGivesUp();
    void portWithoutRights_exits3WithPermissionReason();

private:
    bool startHolder(QProcess& holder, const QString& location);
};

void TestCliPortProblem::initTestCase()
{
    QVERIFY(QFileInfo::exists(QStringLiteral(TRENNIC_CLI_PATH)));
    QVERIFY(QFileInfo::exists(QStringLiteral(KORVO_SIM_PATH)));
}

bool TestCliPortProblem::startHolder(QProcess& holder, const QString& location)
{
    holder.start(QStringLiteral(KORVO_SIM_PATH), {"--hold", location});
    QByteArray said;
    return holder.waitForStarted() && QTest::qWaitFor(
               [&] { return (said += holder.readAllStandardOutput()).startsWith("holding "); },
               holderDeadlineMs);
}

// Held for the whole wait (the link test shows a port freed in time being
// opened): exit 3 with the reason.
void TestCliPortProblem::heldPort_isNamedOnceThenGivesUp()
{
    KorvoEmulator device;
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    const QString location = device.systemLocation();
    QProcess holder;
    QVERIFY(startHolder(holder, location));
    QProcess cli;
    cli.start(QStringLiteral(TRENNIC_CLI_PATH),
              {"--info", "--port", location, "--server", loopbackServer, "--wait", shortWait});
    const QString reason = QStringLiteral("the port %1 is in use by another program").arg(location);
    QVERIFY(cli.waitForFinished(processDeadlineMs));
    const QByteArray err = cli.readAllStandardError();
    QCOMPARE(cli.exitCode(), 3);
    // Said once while waiting, though the port is tried every 500 ms.
    QCOMPARE(countLines(QString::fromUtf8(err), "trennic-flasher-cli: " + reason), 1);
    QCOMPARE(lastLine(QString::fromUtf8(err)), "trennic-flasher-cli: no device within 3 s: " + reason);
    holder.terminate();
    holder.waitForFinished(holderDeadlineMs);
}

void TestCliPortProblem::portWithoutRights_exits3WithPermissionReason()
{
    if (::geteuid() != 0)
        QSKIP("needs root to run the tool as the unprivileged user nobody");
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    QVERIFY2(!setpriv.isEmpty(), "setpriv (util-linux) is missing");
    // A port only root may open, as a device node without the access rule.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const QString location = QString::fromLocal8Bit(::ptsname(master));
    QCOMPARE(::chown(::ptsname(master), 0, 0), 0);
    QCOMPARE(::chmod(::ptsname(master), S_IRUSR | S_IWUSR), 0);

    QProcess cli;
    cli.start(setpriv, {"--reuid=nobody", "--regid=nogroup", "--clear-groups", TRENNIC_CLI_PATH,
                        "--info", "--port", location, "--server", loopbackServer, "--wait",
                        shortWait});
    QVERIFY(cli.waitForFinished(processDeadlineMs));
    ::close(master);
    const QString err = QString::fromUtf8(cli.readAllStandardError());
    QVERIFY2(cli.exitCode() == 3, qPrintable(err));
    const QString reason = QStringLiteral("permission denied on %1 (add your user to the dialout "
                                          "group or install the udev rule)")
                               .arg(location);
    QCOMPARE(countLines(err, "trennic-flasher-cli: " + reason), 1);
    QCOMPARE(lastLine(err), "trennic-flasher-cli: no device within 3 s: " + reason);
}

QTEST_GUILESS_MAIN(TestCliPortProblem)

#include "tst_cliportproblem.moc"

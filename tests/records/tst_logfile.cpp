#include "debugline.h"
#include "logcapture.h"
#include "logfile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QQmlEngine>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr qint64 mebibyte = 1024 * 1024;

// A line of the file; captures what follows "Debug : ".
const QRegularExpression logLine(QStringLiteral("^\"\\d{2}:\\d{2}:\\d{2}:\\d{3}\" Debug : (.*)$"));

// Another process's log file, named for `daysAgo` days before now.
QString makeOtherFile(const QString& folder, int daysAgo)
{
    QFile file(QDir(folder).filePath(
        LogFile::fileName(QDateTime::currentDateTime().addDays(-daysAgo), 1000 + daysAgo)));
    return file.open(QIODevice::WriteOnly) && file.write("a line\n") > 0 ? file.fileName()
                                                                         : QString();
}

QStringList linesOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly)
        ? QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)
        : QStringList();
}

// Takes the log file's handler out before a LogCapture declared earlier puts
// its own predecessor back, so the handlers come off in the order they went on.
struct UninstallLogFile
{
    ~UninstallLogFile() { LogFile::uninstall(); }
};

} // namespace

// The log file handler: what reaches the file and in which form, what the
// folder keeps (also beside other processes), and a folder that cannot be
// written.
class TestLogFile : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> scratch;
    QString logs;

private slots:
    void init()
    {
        scratch = std::make_unique<QTemporaryDir>();
        QVERIFY(scratch->isValid());
        logs = scratch->filePath(QStringLiteral("data/logs"));
    }

    // Every line in the log's form, passed on to the debug output as before;
    // from many threads at once, each line whole.
    void lines_landInTheFileInTheLogFormat()
    {
        LogCapture debugOutput; // the handler before the log file's
        const UninstallLogFile uninstall;
        const QString path = LogFile::install(logs);
        const QRegularExpression name(
            QStringLiteral("/data/logs/trennic-flasher-\\d{8}-\\d{6}-%1\\.log$")
                .arg(QCoreApplication::applicationPid()));
        QVERIFY2(name.match(path).hasMatch(), qPrintable(path));
        debugLine() << "portCheck" << QStringLiteral("Обновление") << 3;
        QQmlEngine().evaluate(QStringLiteral("console.log('from QML', 42)"));
        qWarning("a warning of Qt's own");
        QStringList lines = linesOf(path);
        QCOMPARE(lines.size(), 3);
        const QStringList expected{"portCheck \"Обновление\" 3", "from QML 42",
                                   "a warning of Qt's own"};
        for (int i = 0; i < 3; ++i)
            QCOMPARE(logLine.match(lines[i]).captured(1), expected[i]);
        QCOMPARE(debugOutput.lines(), (QStringList{lines[0], expected[1], expected[2]}));

        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < 300; ++i)
                    debugLine() << "thread" << t << "line" << i << QString(40, QLatin1Char('x'));
            });
        for (std::thread& thread : threads)
            thread.join();
        lines = linesOf(path).mid(3);
        QCOMPARE(lines.size(), 4 * 300);
        const QRegularExpression whole(QStringLiteral("^thread \\d line \\d+ \"x{40}\"$"));
        for (const QString& line : lines)
            QVERIFY2(whole.match(logLine.match(line).captured(1)).hasMatch(), qPrintable(line));
    }

    // A full file is followed by a new one, and goes once both no longer fit
    // together.
    void fullFile_goesOnInANewOne()
    {
        LogCapture quiet; // the test's output is spared the lines
        const UninstallLogFile uninstall;
        const QString first = LogFile::install(logs);
        const QString chunk(64 * 1024, QLatin1Char('x'));
        for (qint64 i = 0; i < 50 * mebibyte / chunk.size(); ++i)
            debugLine() << "filler" << i << chunk;
        debugLine() << "the last line";
        const QString second = LogFile::currentPath();
        QVERIFY(second != first);
        QVERIFY(QFileInfo::exists(first) && QFileInfo(first).size() <= 50 * mebibyte);
        QCOMPARE(logLine.match(linesOf(second).last()).captured(1),
                 QStringLiteral("the last line"));
        for (int i = 0; i < 40; ++i)
            debugLine() << "more" << i << chunk;
        QVERIFY(!QFileInfo::exists(first));
        QCOMPARE(LogFile::currentPath(), second);
    }

    // A window left open all day has the oldest file of the folder; the
    // pruning of others leaves it alone as long as it is written.
    void fileOfALivingProcess_survivesThePruningOfOthers()
    {
        const QString dataHome = scratch->filePath(QStringLiteral("xdg"));
        const QString folder = dataHome + QStringLiteral("/Trennic/Trennic Flasher/logs");
        const auto logFiles = [&] {
            return QDir(folder).entryList({QStringLiteral("trennic-flasher-*.log")}, QDir::Files);
        };
        // Logs a line at every port check until it is ended.
        QProcess longRun;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
        longRun.setProcessEnvironment(environment);
        longRun.start(QStringLiteral(TRENNIC_CLI_PATH),
                      {"--info", "--port", scratch->filePath("no-port"), "--wait", "600"});
        QVERIFY(longRun.waitForStarted());
        QTRY_COMPARE(logFiles().size(), 1);
        const QString living = QDir(folder).filePath(logFiles().first());
        for (int i = 1; i <= 25; ++i) // named for the days to come: all newer
            QVERIFY(!makeOtherFile(folder, -i).isEmpty());
        const QString unrelated = QDir(folder).filePath(QStringLiteral("notes.txt"));
        QVERIFY(QFile(unrelated).open(QIODevice::WriteOnly));
        LogFile::prune(folder, makeOtherFile(folder, -26));
        QVERIFY(QFileInfo::exists(living));
        QVERIFY2(QFileInfo::exists(unrelated), "only the tool's log files are removed");
        QCOMPARE(logFiles().size(), 20 + 1); // the 20 newest and the living one
        longRun.kill();
        QVERIFY(longRun.waitForFinished());
    }

    void unwritableFolder_leavesTheLogGoingToTheDebugOutput()
    {
        // A file in the way stops every user, root as well, where permissions
        // would not.
        QVERIFY(QFile(scratch->filePath(QStringLiteral("data"))).open(QIODevice::WriteOnly));
        LogCapture debugOutput;
        const UninstallLogFile uninstall;
        QCOMPARE(LogFile::install(logs), QString());
        QCOMPARE(LogFile::currentPath(), QString());
        debugLine() << "still logging";
        QCOMPARE(debugOutput.messagesStartingWith(QStringLiteral("log file not written")).size(),
                 1);
        QVERIFY(debugOutput.messages().contains(QStringLiteral("still logging")));
    }
};

QTEST_GUILESS_MAIN(TestLogFile)
#include "tst_logfile.moc"

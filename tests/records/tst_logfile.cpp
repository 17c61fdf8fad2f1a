#include "debugline.h"
#include "logcapture.h"
#include "logfile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QQmlEngine>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

// The log file handler: what reaches the file and in which form, what the
// folder keeps (also beside other processes), and a folder that cannot be
// written.
class TestLogFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void lines_landInTheFileInTheLogFormat_data();
    void lines_landInTheFileInTheLogFormat();
    void linesFromManyThreads_landWholeAndAllOfThem();
    void startUp_keepsTheNewestFilesWithinTheirNumberAndSize_data();
    void startUp_keepsTheNewestFilesWithinTheirNumberAndSize();
    void fileOutgrowingTheLimit_goesOnInANewFile();
    void fullFileWithoutANewOne_goesOnWhereItWasAndSaysSoOnce();
    void fileOfALivingProcess_survivesTheShortRunsOfOthers();
    void unwritableFolder_leavesTheLogGoingToTheDebugOutput_data();
    void unwritableFolder_leavesTheLogGoingToTheDebugOutput();

private:
    QStringList fileLines() const;

    std::unique_ptr<QTemporaryDir> scratch;
    QString logs;
};

namespace {

constexpr qint64 mebibyte = 1024 * 1024;

const QRegularExpression logLine(QStringLiteral("^\"\\d{2}:\\d{2}:\\d{2}:\\d{3}\" Debug : (.*)$"));

// An old log file named for `daysAgo` days before now, of `bytes` bytes
// (sparse: nothing is written).
QString makeOldFile(const QString& folder, int daysAgo, qint64 bytes)
{
    const QString path = QDir(folder).filePath(
        LogFile::fileName(QDateTime::currentDateTime().addDays(-daysAgo), 1000 + daysAgo));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(bytes))
        return QString();
    return path;
}

// Takes the log file's handler out before a LogCapture declared earlier puts
// its own predecessor back, so the handlers come off in the order they went on.
struct UninstallLogFile
{
    UninstallLogFile() = default;
    UninstallLogFile(const UninstallLogFile&) = delete;
    UninstallLogFile& operator=(const UninstallLogFile&) = delete;
    ~UninstallLogFile() { LogFile::uninstall(); }
};

} // namespace

void TestLogFile::init()
{
    scratch = std::make_unique<QTemporaryDir>();
    QVERIFY(scratch->isValid());
    logs = scratch->filePath(QStringLiteral("data/logs"));
}

void TestLogFile::cleanup()
{
    LogFile::uninstall();
    scratch.reset();
}

QStringList TestLogFile::fileLines() const
{
    QFile file(LogFile::currentPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QString text = QString::fromUtf8(file.readAll());
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text.split(QLatin1Char('\n'));
}

void TestLogFile::lines_landInTheFileInTheLogFormat_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("expected"); // what follows "Debug : " in the file
    QTest::addColumn<QString>("forwarded"); // what the debug output gets, as before

    QTest::newRow("debugLine") << "debugLine"
                               << "portCheck \"Korvo 7\" 3"
                               << "";
    QTest::newRow("debugLine, Cyrillic") << "cyrillic"
                                         << "\"Обновление успешно установлено!\""
                                         << "";
    QTest::newRow("QML console.log") << "qml"
                                     << "from QML 42"
                                     << "from QML 42";
    QTest::newRow("Qt warning") << "warning"
                                << "a warning of Qt's own"
                                << "a warning of Qt's own";
}

void TestLogFile::lines_landInTheFileInTheLogFormat()
{
    QFETCH(QString, source);
    QFETCH(QString, expected);
    QFETCH(QString, forwarded);

    LogCapture debugOutput; // the handler before the log file's
    const UninstallLogFile uninstall;
    const QString path = LogFile::install(logs);
    QVERIFY(!path.isEmpty());
    QCOMPARE(QFileInfo(path).absolutePath(), QDir(logs).absolutePath());
    QVERIFY2(QRegularExpression(QStringLiteral("^trennic-flasher-\\d{8}-\\d{6}-%1\\.log$")
                                    .arg(QCoreApplication::applicationPid()))
                 .match(QFileInfo(path).fileName())
                 .hasMatch(),
             qPrintable(path));

    if (source == QLatin1String("debugLine")) {
        debugLine() << "portCheck" << QStringLiteral("Korvo 7") << 3;
    } else if (source == QLatin1String("cyrillic")) {
        debugLine() << QStringLiteral("Обновление успешно установлено!");
    } else if (source == QLatin1String("qml")) {
        QQmlEngine engine;
        engine.evaluate(QStringLiteral("console.log('from QML', 42)"));
    } else {
        qWarning("a warning of Qt's own");
    }

    const QStringList lines = fileLines();
    QCOMPARE(lines.size(), 1);
    const QRegularExpressionMatch match = logLine.match(lines.first());
    QVERIFY2(match.hasMatch(), qPrintable(lines.first()));
    QCOMPARE(match.captured(1), expected);
    // The debug output gets the line as it always did.
    QCOMPARE(debugOutput.lines().size(), 1);
    if (forwarded.isEmpty())
        QCOMPARE(debugOutput.lines().first(), lines.first());
    else
        QCOMPARE(debugOutput.lines().first(), forwarded);
}

void TestLogFile::linesFromManyThreads_landWholeAndAllOfThem()
{
    constexpr int threadCount = 4;
    constexpr int linesPerThread = 300;
    LogCapture quiet; // the test's output is spared the lines
    const UninstallLogFile uninstall;
    QVERIFY(!LogFile::install(logs).isEmpty());

    QList<QThread*> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.append(QThread::create([t] {
            for (int i = 0; i < linesPerThread; ++i)
                debugLine() << "thread" << t << "line" << i << QString(40, QLatin1Char('x'));
        }));
    }
    for (QThread* thread : threads)
        thread->start();
    for (QThread* thread : threads) {
        QVERIFY(thread->wait(60000));
        delete thread;
    }

    const QStringList lines = fileLines();
    QCOMPARE(lines.size(), threadCount * linesPerThread);
    const QRegularExpression whole(QStringLiteral("^thread \\d line \\d+ \"x{40}\"$"));
    for (const QString& line : lines) {
        const QRegularExpressionMatch match = logLine.match(line);
        QVERIFY2(match.hasMatch() && whole.match(match.captured(1)).hasMatch(), qPrintable(line));
    }
}

void TestLogFile::startUp_keepsTheNewestFilesWithinTheirNumberAndSize_data()
{
    QTest::addColumn<QList<qint64>>("oldSizes"); // newest first, in MiB
    QTest::addColumn<int>("oldKept"); // the newest this many stay

    QTest::newRow("a few small files: all stay") << QList<qint64>{1, 1, 1} << 3;
    QTest::newRow("25 small files: the newest 19 beside the new one")
        << QVector<qint64>(25, 0).toList() << LogFile::keptFiles - 1;
    QTest::newRow("six of 9 MiB: five fit in 50 MiB") << QList<qint64>{9, 9, 9, 9, 9, 9} << 5;
    QTest::newRow("one of 50 MiB: nothing older beside the new one") << QList<qint64>{50, 1} << 0;
    QTest::newRow("a big one in the middle: it and all older go")
        << QList<qint64>{1, 49, 1, 1} << 1;
}

void TestLogFile::startUp_keepsTheNewestFilesWithinTheirNumberAndSize()
{
    QFETCH(QList<qint64>, oldSizes);
    QFETCH(int, oldKept);

    QVERIFY(QDir().mkpath(logs));
    QStringList old;
    for (int i = 0; i < oldSizes.size(); ++i) {
        // Files too small to be empty: one line of a real run is some bytes.
        const QString path = makeOldFile(logs, i + 1, oldSizes[i] * mebibyte + 100);
        QVERIFY(!path.isEmpty());
        old.append(path);
    }
    const QString unrelated = QDir(logs).filePath(QStringLiteral("notes.txt"));
    QVERIFY(QFile(unrelated).open(QIODevice::WriteOnly));

    const QString path = LogFile::install(logs);
    QVERIFY(!path.isEmpty());
    QVERIFY(QFileInfo::exists(path));
    for (int i = 0; i < old.size(); ++i)
        QVERIFY2(QFileInfo::exists(old[i]) == (i < oldKept), qPrintable(old[i]));
    QVERIFY2(QFileInfo::exists(unrelated), "only the tool's log files are removed");
}

void TestLogFile::fileOutgrowingTheLimit_goesOnInANewFile()
{
    LogCapture quiet;
    const UninstallLogFile uninstall;
    const QString first = LogFile::install(logs);
    QVERIFY(!first.isEmpty());
    const QString chunk(64 * 1024, QLatin1Char('x'));
    const qint64 linesToFill = LogFile::keptBytes / chunk.size();
    for (qint64 i = 0; i < linesToFill; ++i)
        debugLine() << "filler" << i << chunk;
    debugLine() << "the last line";

    const QString second = LogFile::currentPath();
    QVERIFY(second != first);
    QVERIFY(QFileInfo(first).size() <= LogFile::keptBytes);
    QVERIFY(QFileInfo::exists(first));
    const QStringList lines = fileLines();
    QVERIFY2(logLine.match(lines.last()).captured(1) == QLatin1String("the last line"),
             qPrintable(lines.last().left(200)));

    // The older part goes once both no longer fit together.
    for (int i = 0; i < 40; ++i)
        debugLine() << "more" << i << chunk;
    QVERIFY(!QFileInfo::exists(first));
    QCOMPARE(LogFile::currentPath(), second);
}

void TestLogFile::fullFileWithoutANewOne_goesOnWhereItWasAndSaysSoOnce()
{
    LogCapture debugOutput;
    const UninstallLogFile uninstall;
    const QString first = LogFile::install(logs);
    QVERIFY(!first.isEmpty());
    // The folder gone (moved away, a file in its place): no new file can
    // be made there, the open one lives on where it went.
    const QString moved = scratch->filePath(QStringLiteral("moved"));
    QVERIFY(QDir().rename(logs, moved));
    QVERIFY(QFile(logs).open(QIODevice::WriteOnly));
    const QString chunk(64 * 1024, QLatin1Char('x'));
    // Full, and two more tries' worth beyond.
    for (qint64 i = 0; i < LogFile::keptBytes / chunk.size() + 40; ++i)
        debugLine() << "filler" << i << chunk;
    debugLine() << "the last line";

    QCOMPARE(debugOutput.messagesStartingWith(QStringLiteral("log file full")).size(), 1);
    QFile file(QDir(moved).filePath(QFileInfo(first).fileName()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.size() > LogFile::keptBytes);
    QVERIFY(file.seek(file.size() - 100));
    QVERIFY(file.readAll().endsWith("the last line\n"));
}

// A window left open all day has the oldest file of the folder; the short
// runs of other processes (25, more than the files kept) leave it alone as
// long as it is written, and take it once its process is gone.
void TestLogFile::fileOfALivingProcess_survivesTheShortRunsOfOthers()
{
    const QString dataHome = scratch->filePath(QStringLiteral("xdg"));
    const QDir folder(dataHome + QStringLiteral("/Trennic/Trennic Flasher/logs"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    const QStringList waitFor
        = {QStringLiteral("--info"), QStringLiteral("--port"),
           scratch->filePath(QStringLiteral("no-port")), QStringLiteral("--wait")};
    const auto logFiles = [&] {
        return folder.entryList({QStringLiteral("trennic-flasher-*.log")}, QDir::Files);
    };

    // Logs a line at every port check (twice a second) until it is ended.
    QProcess longRun;
    longRun.setProcessEnvironment(environment);
    longRun.start(QStringLiteral(TRENNIC_CLI_PATH), QStringList(waitFor) << QStringLiteral("600"));
    QVERIFY(longRun.waitForStarted());
    QTRY_COMPARE(logFiles().size(), 1);
    // As if it had started yesterday: the oldest of all by its name.
    const QString oldest = folder.filePath(
        LogFile::fileName(QDateTime::currentDateTime().addDays(-1), longRun.processId()));
    QVERIFY(QFile::rename(folder.filePath(logFiles().first()), oldest));

    const auto shortRun = [&] {
        QProcess run;
        run.setProcessEnvironment(environment);
        run.start(QStringLiteral(TRENNIC_CLI_PATH), QStringList(waitFor) << QStringLiteral("0.01"));
        return run.waitForFinished(30000) && run.exitCode() == 3;
    };
    for (int i = 0; i < 25; ++i)
        QVERIFY(shortRun());
    QVERIFY(QFileInfo::exists(oldest));
    QCOMPARE(logFiles().size(), LogFile::keptFiles + 1); // the newest and the living one
    const qint64 written = QFileInfo(oldest).size();
    QTRY_VERIFY(QFileInfo(oldest).size() > written);

    longRun.kill();
    QVERIFY(longRun.waitForFinished());
    QVERIFY(shortRun());
    QVERIFY(!QFileInfo::exists(oldest));
}

void TestLogFile::unwritableFolder_leavesTheLogGoingToTheDebugOutput_data()
{
    QTest::addColumn<QString>("blocker"); // a plain file where a folder should be

    QTest::newRow("the logs folder is a file") << "data/logs";
    QTest::newRow("the data folder is a file") << "data";
}

void TestLogFile::unwritableFolder_leavesTheLogGoingToTheDebugOutput()
{
    QFETCH(QString, blocker);
    // A file in the way stops every user, root as well, where permissions
    // would not.
    QVERIFY(QDir().mkpath(QFileInfo(scratch->filePath(blocker)).absolutePath()));
    QVERIFY(QFile(scratch->filePath(blocker)).open(QIODevice::WriteOnly));

    LogCapture debugOutput;
    const UninstallLogFile uninstall;
    QCOMPARE(LogFile::install(logs), QString());
    QCOMPARE(LogFile::currentPath(), QString());
    debugLine() << "still logging";
    QQmlEngine engine;
    engine.evaluate(QStringLiteral("console.log('QML still logging')"));

    const QStringList messages = debugOutput.messages();
    QVERIFY2(!debugOutput.messagesStartingWith(QStringLiteral("log file not written")).isEmpty(),
             qPrintable(messages.join('\n')));
    QVERIFY(messages.contains(QStringLiteral("still logging")));
    QVERIFY(debugOutput.lines().contains(QStringLiteral("QML still logging")));
}

QTEST_GUILESS_MAIN(TestLogFile)

#include "tst_logfile.moc"

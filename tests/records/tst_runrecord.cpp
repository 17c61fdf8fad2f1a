#include "logcapture.h"
#include "runrecord.h"

#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(RunRecord)

// The run record: what a line holds, appending whole lines, reading the last
// runs back past whatever a cut-off write or a hand edit left in the file.
class TestRunRecord : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void record_comesBackAsItWasAppended_data();
    void record_comesBackAsItWasAppended();
    void record_isWrittenWithTheDocumentedKeysAndNulls();
    void readLast_skipsWhatIsNotAWholeRecord_data();
    void readLast_skipsWhatIsNotAWholeRecord();
    void readLast_givesTheLastRunsOldestFirst_data();
    void readLast_givesTheLastRunsOldestFirst();
    void append_afterATornLine_startsALineOfItsOwn();
    void append_whereNoFileCanBe_failsWithALogLine();

private:
    QString path() const { return scratch.filePath(QStringLiteral("data/runs.jsonl")); }
    bool writeRaw(const QByteArray& bytes) const;
    QByteArray readRaw() const;

    QTemporaryDir scratch;
};

namespace {

RunRecord fullRecord(int index = 0)
{
    RunRecord record;
    const QDateTime start(QDate(2026, 12, 7), QTime(23, 10, 15), Qt::OffsetFromUTC, 3 * 3600);
    record.start = start.addSecs(index * 60);
    record.end = record.start.addSecs(12);
    record.tool = QStringLiteral("cli");
    record.toolVersion = QStringLiteral("0.1.0");
    record.device = QStringLiteral("Korvo 7");
    record.serial = QStringLiteral("KV7-%1").arg(index, 4, 10, QLatin1Char('0'));
    record.boardVersion = 7;
    record.boardRevision = QStringLiteral("C");
    record.bootloader = 2;
    record.before = QStringLiteral("01.05");
    record.source = QStringLiteral("https://127.0.0.1:4443/trennics_firmware/Korvo 7/release/"
                                   "korvo7_v0107.bin");
    record.size = 12400;
    record.sha256 = QStringLiteral(
        "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    record.result = QStringLiteral("FlashSucceeded");
    record.message = QStringLiteral("Обновление успешно установлено!");
    record.packets = 4;
    record.resends = 1;
    record.ms = 480;
    record.after = QStringLiteral("01.07");
    return record;
}

QByteArray line(const RunRecord& record)
{
    return QJsonDocument(record.toJson()).toJson(QJsonDocument::Compact) + '\n';
}

QStringList serials(const QList<RunRecord>& records)
{
    QStringList result;
    for (const RunRecord& record : records)
        result.append(record.serial);
    return result;
}

} // namespace

void TestRunRecord::init()
{
    QVERIFY(scratch.isValid());
    QFile::remove(path());
}

bool TestRunRecord::writeRaw(const QByteArray& bytes) const
{
    QDir().mkpath(QFileInfo(path()).absolutePath());
    QFile file(path());
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray TestRunRecord::readRaw() const
{
    QFile file(path());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestRunRecord::record_comesBackAsItWasAppended_data()
{
    QTest::addColumn<RunRecord>("record");

    QTest::newRow("every field known") << fullRecord();

    RunRecord unknown;
    unknown.start = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC);
    unknown.end = unknown.start.addSecs(1);
    unknown.tool = QStringLiteral("window");
    QTest::newRow("only the times and the tool known") << unknown;

    RunRecord revisionOnly = unknown;
    revisionOnly.boardRevision = QStringLiteral("B");
    revisionOnly.result = QStringLiteral("FlashDeviceSilent");
    QTest::newRow("board revision without its version") << revisionOnly;

    RunRecord odd = fullRecord();
    odd.message = QStringLiteral("line one\nline two \"quoted\"\t\\ end");
    odd.source = QStringLiteral("C:\\Прошивки\\korvo 7.bin");
    QTest::newRow("line ends, quotes and backslashes in texts") << odd;
}

void TestRunRecord::record_comesBackAsItWasAppended()
{
    QFETCH(RunRecord, record);

    QVERIFY(RunRecord::append(record, path()));
    QVERIFY(RunRecord::append(fullRecord(1), path()));
    QCOMPARE(readRaw().count('\n'), 2); // one line each, whatever the texts hold

    const QList<RunRecord> records = RunRecord::readLast(2, path());
    QCOMPARE(records.size(), 2);
    QVERIFY(records.first() == record);
    QCOMPARE(records.first().toJson(), record.toJson());
    QVERIFY(records.last() == fullRecord(1));
}

void TestRunRecord::record_isWrittenWithTheDocumentedKeysAndNulls()
{
    RunRecord record = fullRecord();
    record.before = QString();
    record.after = QString();
    record.resends.reset();
    QVERIFY(RunRecord::append(record, path()));

    const QByteArray bytes = readRaw();
    QVERIFY(bytes.endsWith('\n'));
    QCOMPARE(bytes.count('\n'), 1);
    const QJsonObject json = QJsonDocument::fromJson(bytes).object();
    QStringList keys = json.keys();
    keys.sort();
    QStringList expected{"start",  "end",     "tool",   "version", "device",     "serial",
                         "board",  "bootloader", "before", "source", "size", "sha256",
                         "result", "message", "packets", "resends", "ms",  "after"};
    expected.sort();
    QCOMPARE(keys, expected);

    QCOMPARE(json.value("start").toString(), QStringLiteral("2026-12-07T23:10:15+03:00"));
    QCOMPARE(json.value("end").toString(), QStringLiteral("2026-12-07T23:10:27+03:00"));
    QCOMPARE(json.value("tool").toString(), QStringLiteral("cli"));
    QCOMPARE(json.value("version").toString(), QStringLiteral("0.1.0"));
    QCOMPARE(json.value("board").toObject(),
             (QJsonObject{{"version", 7}, {"revision", QStringLiteral("C")}}));
    QCOMPARE(json.value("bootloader").toInt(), 2);
    QCOMPARE(json.value("size").toInt(), 12400);
    QCOMPARE(json.value("packets").toInt(), 4);
    QCOMPARE(json.value("ms").toInt(), 480);
    QCOMPARE(json.value("result").toString(), QStringLiteral("FlashSucceeded"));
    QVERIFY(json.value("before").isNull());
    QVERIFY(json.value("after").isNull());
    QVERIFY(json.value("resends").isNull());

    RunRecord noBoard = record;
    noBoard.boardVersion.reset();
    noBoard.boardRevision = QString();
    QVERIFY(noBoard.toJson().value("board").isNull());
}

void TestRunRecord::readLast_skipsWhatIsNotAWholeRecord_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QStringList>("expected"); // serials read back

    const QByteArray one = line(fullRecord(1));
    const QByteArray two = line(fullRecord(2));
    const QStringList both{"KV7-0001", "KV7-0002"};

    QTest::newRow("a torn last line") << one + two + two.left(40) << both;
    QTest::newRow("a torn last line cut after its closing brace") << one + two + two.chopped(1)
                                                                 << both;
    QTest::newRow("only a torn line") << two.left(30) << QStringList();
    QTest::newRow("garbage between records") << one + "not json at all\n" + two << both;
    QTest::newRow("JSON that is no record")
        << one + "[1,2,3]\n{\"tool\":\"cli\"}\n" + two << both;
    QTest::newRow("blank lines and Windows line ends")
        << "\n" + one.chopped(1) + "\r\n\n" + two << both;
    QTest::newRow("an empty file") << QByteArray() << QStringList();
}

void TestRunRecord::readLast_skipsWhatIsNotAWholeRecord()
{
    QFETCH(QByteArray, contents);
    QFETCH(QStringList, expected);

    QVERIFY(writeRaw(contents));
    QCOMPARE(serials(RunRecord::readLast(10, path())), expected);
}

void TestRunRecord::readLast_givesTheLastRunsOldestFirst_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("asked");
    QTest::addColumn<int>("firstIndex"); // of the oldest run given back

    QTest::newRow("fewer stored than asked") << 3 << 20 << 0;
    QTest::newRow("more stored than asked") << 5 << 2 << 3;
    QTest::newRow("none asked") << 5 << 0 << 5;
    // About 600 bytes a line: the file is read in several pieces from its end.
    QTest::newRow("many runs, read across pieces") << 400 << 300 << 100;
    QTest::newRow("no file yet") << 0 << 20 << 0;
}

void TestRunRecord::readLast_givesTheLastRunsOldestFirst()
{
    QFETCH(int, stored);
    QFETCH(int, asked);
    QFETCH(int, firstIndex);

    QByteArray contents;
    for (int i = 0; i < stored; ++i)
        contents += line(fullRecord(i));
    if (stored > 0)
        QVERIFY(writeRaw(contents + "{\"start\":\"2026-12"));
    QVERIFY(stored == 0 || contents.size() > 2 * RunRecord::readChunkBytes || stored < 10);

    QStringList expected;
    for (int i = firstIndex; i < stored; ++i)
        expected.append(fullRecord(i).serial);
    QCOMPARE(serials(RunRecord::readLast(asked, path())), expected);
}

void TestRunRecord::append_afterATornLine_startsALineOfItsOwn()
{
    QVERIFY(writeRaw(line(fullRecord(1)) + line(fullRecord(2)).left(50)));
    QVERIFY(RunRecord::append(fullRecord(3), path()));
    QCOMPARE(serials(RunRecord::readLast(10, path())), (QStringList{"KV7-0001", "KV7-0003"}));
}

void TestRunRecord::append_whereNoFileCanBe_failsWithALogLine()
{
    // A file where the folder should be: no permission trick, so root too.
    const QString blocker = scratch.filePath(QStringLiteral("blocker"));
    QVERIFY(QFile(blocker).open(QIODevice::WriteOnly));
    LogCapture log;
    QVERIFY(!RunRecord::append(fullRecord(), blocker + QStringLiteral("/runs.jsonl")));
    QCOMPARE(log.messagesStartingWith(QStringLiteral("run record not written:")).size(), 1);
    QCOMPARE(RunRecord::readLast(5, blocker + QStringLiteral("/runs.jsonl")).size(), 0);
}

QTEST_GUILESS_MAIN(TestRunRecord)

#include "tst_runrecord.moc"

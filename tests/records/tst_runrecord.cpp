#include "runrecord.h"

#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Every field known, in the struct's order.
RunRecord fullRecord(int index = 0)
{
    const QDateTime start
        = QDateTime(QDate(2026, 12, 7), QTime(23, 10, 15), Qt::OffsetFromUTC, 3 * 3600)
              .addSecs(index * 60);
    // clang-format off
    return {start, start.addSecs(12), "cli", "0.1.0", "Korvo 7",
            QStringLiteral("KV7-%1").arg(index, 4, 10, QLatin1Char('0')), 7, "C", 2, "01.05",
            "https://127.0.0.1:4443/Korvo 7/k7.bin", 12400, "9f86d081884c7d65",
            "FlashSucceeded", QStringLiteral("Обновление успешно установлено!"), 4, 1, 480, "01.07",
            "5D8A3E0011223344", "01.07", false, QString()};
    // clang-format on
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

// The run record: one line a run, appended whole, read back from the end past
// whatever a cut-off write or a hand edit left in the file.
class TestRunRecord : public QObject
{
    Q_OBJECT

    QTemporaryDir scratch;
    QString path() const { return scratch.filePath(QStringLiteral("runs.jsonl")); }
    bool writeRaw(const QByteArray& bytes) const
    {
        QFile file(path());
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }
    QByteArray readRaw() const
    {
        QFile file(path());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void init()
    {
        QVERIFY(scratch.isValid());
        QFile::remove(path());
    }

    // Every key, times with their offset, what is not known as null.
    void line_holdsEveryKeyWithUnknownsAsNull()
    {
        RunRecord record = fullRecord();
        record.message = QStringLiteral("done");
        record.before = QString();
        record.resends.reset();
        QVERIFY(RunRecord::append(record, path()));
        QCOMPARE(
            QString::fromUtf8(readRaw()),
            QStringLiteral("{\"after\":\"01.07\",\"before\":null,\"board\":{\"revision\":\"C\","
                           "\"version\":7},\"bootloader\":2,\"device\":\"Korvo 7\","
                           "\"downgrade\":false,\"end\":\"2026-12-07T23:10:27+03:00\",\"message\":\"done\","
                           "\"ms\":480,\"packets\":4,\"resends\":null,"
                           "\"result\":\"FlashSucceeded\",\"serial\":\"KV7-0000\","
                           "\"sha256\":\"9f86d081884c7d65\",\"signedVersion\":\"01.07\","
                           "\"signingKey\":\"5D8A3E0011223344\",\"size\":12400,"
                           "\"source\":\"https://127.0.0.1:4443/Korvo 7/k7.bin\","
                           "\"start\":\"2026-12-07T23:10:15+03:00\",\"tool\":\"cli\","
                           "\"version\":\"0.1.0\"}\n"));
        record.boardVersion.reset();
        record.boardRevision = QString();
        QVERIFY(record.toJson().value("board").isNull());
    }

    // Whatever the texts hold, one line each; what is not known comes back
    // not known. (Every field's way back is in the run-record writer's test.)
    void records_comeBackAsTheyWereAppended()
    {
        RunRecord unknown; // a board revision without its version
        unknown.start = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC);
        unknown.boardRevision = QStringLiteral("B");
        RunRecord odd = fullRecord(1);
        odd.message = QStringLiteral("line one\nline two \"quoted\"\t\\ end");
        QVERIFY(RunRecord::append(unknown, path()) && RunRecord::append(odd, path()));
        QCOMPARE(readRaw().count('\n'), 2);
        const QList<RunRecord> records = RunRecord::readLast(2, path());
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[0].toJson(), unknown.toJson());
        QCOMPARE(records[1].toJson(), odd.toJson());
    }

    void readLast_skipsWhatIsNotAWholeRecord_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QStringList>("expected"); // serials read back
        const QByteArray one = line(fullRecord(1));
        const QByteArray two = line(fullRecord(2));
        const QStringList both{"KV7-0001", "KV7-0002"};
        QTest::newRow("a torn last line") << one + two + two.left(40) << both;
        QTest::newRow("torn after its closing brace") << one + two + two.chopped(1) << both;
        QTest::newRow("only a torn line") << two.left(30) << QStringList();
        QTest::newRow("an empty file") << QByteArray() << QStringList();
        QTest::newRow("garbage and JSON that is no record between records")
            << one + "not json at all\n[1,2]\n{\"tool\":\"cli\"}\n" + two << both;
        QTest::newRow("blank lines, Windows line ends")
            << "\n" + one.chopped(1) + "\r\n\n" + two << both;
    }

    void readLast_skipsWhatIsNotAWholeRecord()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QStringList, expected);
        QVERIFY(writeRaw(contents));
        QCOMPARE(serials(RunRecord::readLast(10, path())), expected);
    }

    // About 400 bytes a line: the file is read in several pieces from its end.
    // The torn last line gets its line end before the next record.
    void readLastAndAppend_pastATornLastLine()
    {
        QByteArray contents;
        QStringList expected;
        for (int i = 0; i < 400; ++i) {
            contents += line(fullRecord(i));
            if (i >= 100)
                expected.append(fullRecord(i).serial);
        }
        QVERIFY(contents.size() > 2 * RunRecord::readChunkBytes);
        QVERIFY(writeRaw(contents + "{\"start\":\"2026-12"));
        QCOMPARE(serials(RunRecord::readLast(300, path())), expected);
        QVERIFY(RunRecord::readLast(0, path()).isEmpty());
        QVERIFY(RunRecord::append(fullRecord(400), path()));
        QCOMPARE(serials(RunRecord::readLast(2, path())), (QStringList{"KV7-0399", "KV7-0400"}));
    }

    void append_whereNoFileCanBe_fails()
    {
        // A file where the folder should be: no permission trick, so root too.
        const QString blocker = scratch.filePath(QStringLiteral("blocker"));
        QVERIFY(QFile(blocker).open(QIODevice::WriteOnly));
        QVERIFY(!RunRecord::append(fullRecord(), blocker + QStringLiteral("/runs.jsonl")));
        QVERIFY(RunRecord::readLast(5, blocker + QStringLiteral("/runs.jsonl")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestRunRecord)
#include "tst_runrecord.moc"

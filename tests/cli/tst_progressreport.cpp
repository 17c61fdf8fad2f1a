#include "progressreport.h"

#include <QtTest>

using std::chrono::milliseconds;

// The progress text on stderr: which values produce a line, and what a line says.
class TestProgressReport : public QObject
{
    Q_OBJECT

private slots:
    void linePerTenPercent_writesOneLineForEachFurtherStep_data();
    void linePerTenPercent_writesOneLineForEachFurtherStep();
    void line_showsRateAndTimeLeft_data();
    void line_showsRateAndTimeLeft();
    void finish_closesTheReportForEitherStyle_data();
    void finish_closesTheReportForEitherStyle();
};

void TestProgressReport::linePerTenPercent_writesOneLineForEachFurtherStep_data()
{
    QTest::addColumn<QList<unsigned int>>("values");
    QTest::addColumn<QList<unsigned int>>("reported");

    QList<unsigned int> oneByOne;
    for (unsigned int p = 1; p <= 99; ++p)
        oneByOne << p;
    QTest::newRow("1 to 99 one by one")
        << oneByOne << QList<unsigned int>{10, 20, 30, 40, 50, 60, 70, 80, 90};
    QTest::newRow("four packets: jumps over steps")
        << QList<unsigned int>{1, 33, 66, 99} << QList<unsigned int>{33, 66, 99};
    QTest::newRow("a value repeated after a resend")
        << QList<unsigned int>{1, 12, 12, 19, 21} << QList<unsigned int>{12, 21};
}

void TestProgressReport::linePerTenPercent_writesOneLineForEachFurtherStep()
{
    QFETCH(QList<unsigned int>, values);
    QFETCH(QList<unsigned int>, reported);
    ProgressReport report(ProgressReport::Style::LinePerTenPercent);
    QList<unsigned int> written;
    for (unsigned int value : values) {
        const QString text = report.update(value, value * 1000, 100000, milliseconds(value * 10));
        if (text.isEmpty())
            continue;
        QVERIFY2(text.endsWith('\n') && text.count('\n') == 1, qPrintable(text));
        QVERIFY2(!text.contains('\r'), qPrintable(text));
        written << text.mid(QStringLiteral("flashing ").size(), 3).trimmed().toUInt();
    }
    QCOMPARE(written, reported);
}

void TestProgressReport::line_showsRateAndTimeLeft_data()
{
    QTest::addColumn<unsigned int>("percent");
    QTest::addColumn<quint64>("confirmed");
    QTest::addColumn<quint64>("size");
    QTest::addColumn<int>("elapsedMs");
    QTest::addColumn<QString>("line");

    QTest::newRow("minutes left") << 10u << quint64(100 * 1024) << quint64(1000 * 1024) << 12500
                                  << "flashing  10 %   8.0 KiB/s   1:53 left";
    QTest::newRow("nothing confirmed yet: no rate")
        << 1u << quint64(0) << quint64(1024 * 1024) << 30
        << "flashing   1 %   -- KiB/s   -:-- left";
}

void TestProgressReport::line_showsRateAndTimeLeft()
{
    QFETCH(unsigned int, percent);
    QFETCH(quint64, confirmed);
    QFETCH(quint64, size);
    QFETCH(int, elapsedMs);
    QFETCH(QString, line);
    QCOMPARE(ProgressReport::line(percent, confirmed, size, milliseconds(elapsedMs)), line);
}

void TestProgressReport::finish_closesTheReportForEitherStyle_data()
{
    QTest::addColumn<bool>("terminal");
    QTest::addColumn<bool>("updated");
    QTest::addColumn<bool>("succeeded");
    QTest::addColumn<QString>("text");

    const QString done = QStringLiteral("flashing 100 %   200.0 KiB/s   2.00 s in all");
    QTest::newRow("terminal, success") << true << true << true << "\r" + done + "\x1b[K\n";
    QTest::newRow("terminal, failure after updates") << true << true << false << "\n";
    QTest::newRow("lines, success") << false << true << true << done + "\n";
    QTest::newRow("lines, failure") << false << true << false << "";
}

void TestProgressReport::finish_closesTheReportForEitherStyle()
{
    QFETCH(bool, terminal);
    QFETCH(bool, updated);
    QFETCH(bool, succeeded);
    QFETCH(QString, text);
    ProgressReport report(terminal ? ProgressReport::Style::UpdatingLine
                                   : ProgressReport::Style::LinePerTenPercent);
    if (updated) {
        const QString update = report.update(42, 42 * 4096, 100 * 4096, milliseconds(800));
        if (terminal)
            QVERIFY2(update.startsWith('\r') && update.endsWith("\x1b[K"), qPrintable(update));
    }
    QCOMPARE(report.finish(succeeded, 400 * 1024, milliseconds(2000)), text);
}

QTEST_GUILESS_MAIN(TestProgressReport)
#include "tst_progressreport.moc"

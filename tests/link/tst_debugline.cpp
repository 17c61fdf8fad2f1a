#include "debugline.h"
#include "logcapture.h"

#include <QRegularExpression>
#include <QtConcurrent>
#include <QtTest>

class TestDebugLine : public QObject
{
    Q_OBJECT

private slots:
    void debugLine_writesTimeStampPrefix_data();
    void debugLine_writesTimeStampPrefix();
    void debugLine_linesFromPoolThreadsStayWhole();
};

void TestDebugLine::debugLine_writesTimeStampPrefix_data()
{
    QTest::addColumn<QString>("expectedTail");
    QTest::newRow("bare literal") << "tim_portCheckerTimeout";
    QTest::newRow("literal with own space") << "usb command recieved:  \"KeepOnline\"  =  0";
    QTest::newRow("number") << "setDevConnStatus 1";
}

void TestDebugLine::debugLine_writesTimeStampPrefix()
{
    QFETCH(QString, expectedTail);
    LogCapture capture;
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    if (tag == QLatin1String("bare literal"))
        debugLine() << "tim_portCheckerTimeout";
    else if (tag == QLatin1String("literal with own space"))
        debugLine() << "usb command recieved: " << QStringLiteral("KeepOnline") << " = " << 0;
    else
        debugLine() << "setDevConnStatus" << 1;

    QCOMPARE(capture.lines().size(), 1);
    const QString line = capture.lines().constFirst();
    static const QRegularExpression shape(
        QStringLiteral("^\"\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d\" Debug : (.*)$"));
    const QRegularExpressionMatch match = shape.match(line);
    QVERIFY2(match.hasMatch(), qPrintable(line));
    QCOMPARE(match.captured(1), expectedTail);
    QCOMPARE(capture.messages().constFirst(), expectedTail);
}

void TestDebugLine::debugLine_linesFromPoolThreadsStayWhole()
{
    LogCapture capture;
    QVector<int> items(64, 0);
    QtConcurrent::blockingMap(items, [](int&) {
        debugLine() << "preparePacketToSend"
                    << " packetNum: " << 5;
    });
    QCOMPARE(capture.lines().size(), 64);
    for (const QString& message : capture.messages())
        QCOMPARE(message, QStringLiteral("preparePacketToSend  packetNum:  5"));
}

QTEST_GUILESS_MAIN(TestDebugLine)
#include "tst_debugline.moc"

#include "cliconsole.h"
#include "clioptions.h"
#include "flashercli.h"
#include "korvoemulator.h"
#include "korvofirmwareimage.h"
#include "runrecord.h"
#include "runrecordwriter.h"
#include "usb_stmflasher.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <memory>

using namespace std::chrono_literals;

namespace {

constexpr int unitTimeoutMs = 30000;
// Three whole slices and a short last one: four packets.
constexpr int imageSize = 108 + 4096 * 3 + 5;

// One unit as the technician plugs it in.
struct Unit
{
    QString serial;
    bool fault = false; // the device reports an error at packet 2
};

} // namespace

// --batch in this process: units are emulated devices plugged in one after
// another (each a fresh device with its own USB serial, published through
// the serial-port environment), the tool's two streams go to files.
class TestCliBatch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void batch_flashesUnitAfterUnitAndSumsUp();

private:
    QTemporaryDir scratch;
};

void TestCliBatch::initTestCase()
{
    QVERIFY(scratch.isValid());
    // The run record goes below this test's own folder.
    qputenv("XDG_DATA_HOME", scratch.filePath(QStringLiteral("data")).toUtf8());
    RunRecordWriter::recordEveryLink(QStringLiteral("cli"));
    USB_StmFlasher::setDeviceReturnTimeout(5000ms);
}

void TestCliBatch::cleanupTestCase()
{
    RunRecordWriter::recordEveryLink(QString());
    USB_StmFlasher::setDeviceReturnTimeout(USB_StmFlasher::deviceReturnTimeout);
}

// Three units, the second faulty, the first plugged in twice.
void TestCliBatch::batch_flashesUnitAfterUnitAndSumsUp()
{
    const QList<Unit> units{
        {"KRV7-000001", false}, {"KRV7-000001", false}, {"KRV7-000002", true}, {"KRV7-000003", false}};
    const int count = 3;
    const int exitCode = 1;
    const QStringList lines{"1  KRV7-000001  01.05 -> 02.03  FlashSucceeded  ",
                            "-  KRV7-000001  already flashed in this batch, skipped",
                            "2  KRV7-000002  01.05 -> -  FlashDeviceError  ",
                            "3  KRV7-000003  01.05 -> 02.03  FlashSucceeded  ", "2 flashed, 1 failed"};
    const QString imagePath = scratch.filePath(QStringLiteral("image.bin"));
    const QByteArray file = KorvoFirmwareImage::makeFile("0203", imageSize, 23);
    {
        QFile image(imagePath);
        QVERIFY(image.open(QIODevice::WriteOnly));
        image.write(file);
    }
    const QString outPath = scratch.filePath("out");
    const QString errPath = scratch.filePath("err");
    std::FILE* out = std::fopen(qPrintable(outPath), "w");
    std::FILE* err = std::fopen(qPrintable(errPath), "w");
    QVERIFY(out && err);
    const QString recordPath = RunRecord::defaultPath();

    CliOptions options;
    options.action = CliOptions::Action::File;
    options.file = imagePath;
    options.batch = true;
    options.batchCount = count;
    options.useCache = false;
    int outLines = 0;
    const auto stdoutLines = [&] {
        QFile text(outPath);
        return text.open(QIODevice::ReadOnly) ? QString::fromUtf8(text.readAll()).split('\n')
                                              : QStringList();
    };
    {
        FlasherCli cli(options, ProgressReport::Style::LinePerTenPercent, CliConsole(out, err));
        cli.start();
        for (const Unit& unit : units) {
            KorvoEmulatorSettings settings;
            settings.serialNumber = unit.serial;
            if (unit.fault)
                settings.errorAtPacket = 2;
            KorvoEmulator emulator(settings);
            QVERIFY2(emulator.start(), qPrintable(emulator.errorString()));
            // Each unit gets its one line before it is unplugged.
            ++outLines;
            QTRY_VERIFY2_WITH_TIMEOUT(stdoutLines().size() > outLines,
                                      qPrintable(stdoutLines().join('\n')), unitTimeoutMs);
            emulator.stop();
        }
        QTRY_VERIFY_WITH_TIMEOUT(cli.isFinished(), unitTimeoutMs);
        QCOMPARE(cli.exitCode(), exitCode);
    }
    std::fclose(out);
    std::fclose(err);

    QStringList shown = stdoutLines();
    QCOMPARE(shown.takeLast(), QString()); // every line ends
    QCOMPARE(shown.size(), lines.size());
    for (int i = 0; i < lines.size(); ++i)
        QVERIFY2(shown[i].startsWith(lines[i]), qPrintable(shown.join('\n')));
    QVERIFY(shown.first().endsWith(" s"));

    // A line in the run record for each unit flashed, none for the skipped.
    const QList<RunRecord> records = RunRecord::readLast(1000, recordPath);
    QCOMPARE(records.size(), count);
    int failed = 0;
    for (const RunRecord& record : records) {
        QCOMPARE(record.tool, QStringLiteral("cli"));
        QCOMPARE(record.source, imagePath);
        QVERIFY2(record.before == QLatin1String("01.05"),
                 qPrintable(record.serial + ": " + record.before + ", " + record.result));
        if (record.result == QLatin1String("FlashSucceeded"))
            QCOMPARE(record.after, QStringLiteral("02.03"));
        else
            ++failed;
    }
    QCOMPARE(failed, exitCode);
}

QTEST_GUILESS_MAIN(TestCliBatch)
#include "tst_clibatch.moc"

#include "dfu_client.h"
#include "korvoemulator.h"
#include "korvoenums.h"
#include "korvofirmwareimage.h"
#include "runrecord.h"
#include "runrecordwriter.h"
#include "trennicversion.h"
#include "usb_stmflasher.h"

#include <QCryptographicHash>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

using namespace std::chrono_literals;
using Fault = std::function<void(KorvoEmulatorSettings&)>;
Q_DECLARE_METATYPE(Fault)

// Three whole slices and a short last one: four packets.
constexpr int imageSize = 108 + 4096 * 3 + 5;

// Every flashing run through the real link against the emulated device gets
// exactly one line in the run record, with what the device, the engine and
// the device's return told.
class TestRunRecordWriter : public QObject
{
    Q_OBJECT

    QTemporaryDir folder;

private slots:
    void everyRun_appendsOneLineWithItsFields_data()
    {
        QTest::addColumn<QString>("file"); // in the test's folder
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<bool>("quit"); // the process quits once the run has ended
        QTest::addColumn<DFU_client::FlashResult>("result");
        QTest::addColumn<QString>("after");
        const QString served = QStringLiteral("image.bin");
        const Fault none = [](KorvoEmulatorSettings&) {
        };
        const Fault away = [](KorvoEmulatorSettings& s) {
            s.rebootDelay = 60000ms;
        };
        QTest::newRow("success: the device back with the image's version")
            << served << none << false << DFU_client::FlashSucceeded << "01.08";
        QTest::newRow("success, the device stays away: after null")
            << served << away << false << DFU_client::FlashSucceeded << QString();
        QTest::newRow("success, quitting while the device restarts")
            << served << away << true << DFU_client::FlashSucceeded << QString();
        QTest::newRow("device unplugged at packet 2")
            << served << Fault([](KorvoEmulatorSettings& s) { s.unplugAtPacket = 2; }) << false
            << DFU_client::FlashPortLost << QString();
        QTest::newRow("no such file")
            << "none.bin" << none << false << DFU_client::FlashFileUnreadable << QString();
    }

    void everyRun_appendsOneLineWithItsFields()
    {
        QFETCH(QString, file);
        QFETCH(Fault, fault);
        QFETCH(bool, quit);
        QFETCH(DFU_client::FlashResult, result);
        QFETCH(QString, after);
        RunRecordWriter::setTool(QStringLiteral("cli"));
        USB_StmFlasher::setDeviceReturnTimeout(2000ms);
        const auto restore = qScopeGuard([] {
            RunRecordWriter::setTool(QString());
            USB_StmFlasher::setDeviceReturnTimeout(USB_StmFlasher::deviceReturnTimeout);
        });
        const QString recordPath = folder.filePath(QTest::currentDataTag() + QString(".jsonl"));
        const QByteArray image = KorvoFirmwareImage::makeFile("0108", imageSize, 8);
        QFile imageFile(folder.filePath(QStringLiteral("image.bin")));
        QVERIFY(imageFile.open(QIODevice::WriteOnly) && imageFile.write(image) == image.size());
        imageFile.close();
        KorvoEmulatorSettings settings;
        settings.startInBootLoader = true;
        fault(settings);
        KorvoEmulator emulator(settings);
        QVERIFY2(emulator.start(), qPrintable(emulator.errorString()));
        auto flasher = std::make_unique<USB_StmFlasher>();
        flasher->dfu()->setCacheEnabled(false);
        (new RunRecordWriter(flasher.get()))->setPath(recordPath);
        QVERIFY(QMetaObject::invokeMethod(flasher.get(), "tim_portCheckerTimeout"));
        QTRY_COMPARE_WITH_TIMEOUT(uint(flasher->getDevConnStatus()), 2u, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(flasher->property("dfuVersion").toUInt() > 0, 10000);

        QSignalSpy finished(flasher.get(), &USB_StmFlasher::runFinished);
        int linesAtFinish = -1;
        connect(flasher.get(), &USB_StmFlasher::runFinished, this,
                [&] { linesAtFinish = RunRecord::readLast(10, recordPath).size(); });
        const QString source = folder.filePath(file);
        flasher->flashFromFile(source);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QCOMPARE(finished.first().first().value<DFU_client::FlashResult>(), result);
        // A success is written only once the device's return is known.
        QCOMPARE(linesAtFinish, result == DFU_client::FlashSucceeded ? 0 : 1);
        if (quit)
            flasher.reset();
        QTRY_COMPARE_WITH_TIMEOUT(RunRecord::readLast(10, recordPath).size(), 1, 4000);

        const RunRecord record = RunRecord::readLast(10, recordPath).first();
        QCOMPARE(record.tool + " " + record.toolVersion, QStringLiteral("cli " TRENNIC_VERSION));
        QVERIFY(record.start.isValid() && record.start <= record.end && record.ms >= 0);
        QCOMPARE(record.device, QStringLiteral("Korvo 7"));
        QCOMPARE(record.serial, QStringLiteral("KRV7-000123"));
        QCOMPARE(record.boardVersion, std::optional<qint64>(7));
        QCOMPARE(record.boardRevision, QStringLiteral("C"));
        QCOMPARE(record.bootloader, std::optional<qint64>(2));
        QCOMPARE(record.source, source);
        QCOMPARE(
            record.result,
            QString::fromLatin1(QMetaEnum::fromType<DFU_client::FlashResult>().valueToKey(result)));
        QCOMPARE(record.message, finished.first().at(1).toString());
        QCOMPARE(record.after, after);
        if (result == DFU_client::FlashFileUnreadable) {
            // Nothing was sent: nothing to tell about an image.
            QVERIFY(!record.size && record.sha256.isNull() && !record.packets && !record.resends);
            return;
        }
        QCOMPARE(record.size, std::optional<qint64>(imageSize));
        QCOMPARE(record.sha256,
                 QString::fromLatin1(
                     QCryptographicHash::hash(image.left(imageSize), QCryptographicHash::Sha256)
                         .toHex()));
        int flashPackets = 0;
        for (const KorvoEmulator::ReceivedPacket& packet : emulator.packetLog())
            flashPackets += packet.header.action == korvoEnums::FlashData ? 1 : 0;
        QCOMPARE(record.packets, std::optional<qint64>(flashPackets));
        QCOMPARE(record.resends, std::optional<qint64>(0));
    }
};

QTEST_GUILESS_MAIN(TestRunRecordWriter)
#include "tst_runrecordwriter.moc"

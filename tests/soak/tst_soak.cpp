#include "dfu_client.h"
#include "firmwareserver.h"
#include "korvoemulator.h"
#include "korvoenums.h"
#include "korvofirmwareimage.h"
#include "localfirmwareserver.h"
#include "runrecorder.h"
#include "usb_stmflasher.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMetaEnum>
#include <QMutex>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <cstdio>
#include <memory>
#include <random>

using namespace std::chrono_literals;

// Fault-injection soak: many flashing runs of random sizes through one
// long-lived tool, each against a fresh emulated boot loader, with random
// faults of the device and of the local firmware server, each run drawn from
// (seed, index) alone. Every run must end, with one message and one typed
// result, in the result its faults call for: success only when the device
// holds the whole image and confirmed it. A failed download reaches nothing
// of the device; a bad catalogue reply leaves the catalogue as it was. One
// "soak-run" line per run; scripts/soak runs long batches and tabulates them.
//
// Environment: TRENNIC_SOAK_RUNS (default 36), TRENNIC_SOAK_SEED,
// TRENNIC_SOAK_FIRST (index of the first run, default 0).

namespace {

constexpr int defaultRuns = 36;
constexpr quint64 defaultSeed = 20240611;
constexpr int headBlockSize = int(DFU_client::headBlockSize);
constexpr int sliceSize = int(DFU_client::sliceSize);
constexpr std::chrono::milliseconds prepareTimeout{4000};
constexpr std::chrono::milliseconds transferTimeout{2000};
constexpr std::chrono::milliseconds returnTimeout{2000};
// The engine's longest silence in a sound run is its wait for ReadyToFlash
// (the watchdog, the download's and the unit's return are shorter).
constexpr qint64 quietLimitMs = (prepareTimeout + 1000ms).count();
constexpr int connectDeadlineMs = 5000;
constexpr int portGoneDeadlineMs = 3000;
constexpr int logLinesShown = 120;
const QString deviceName = QStringLiteral("Korvo 7");
const QString runFolder = QStringLiteral("soak");

// The latest debug lines of the tool and the emulator (both threads), shown
// when a run goes wrong.
QMutex logMutex;
QStringList logLines;

void keepLogLine(QtMsgType, const QMessageLogContext&, const QString& line)
{
    const QMutexLocker lock(&logMutex);
    logLines.append(line);
    if (logLines.size() > 2 * logLinesShown)
        logLines = logLines.mid(logLinesShown);
}

class Dice
{
public:
    Dice(quint64 seed, int index)
    {
        std::seed_seq sequence{quint32(seed), quint32(seed >> 32), quint32(index)};
        engine.seed(sequence);
    }
    int between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(engine); }
    bool chance(int percent) { return between(1, 100) <= percent; }
    quint32 word() { return quint32(engine()); }

private:
    std::mt19937 engine;
};

struct Plan
{
    int index = 0;
    int imageSize = 0; // transmitted bytes
    int packets = 0;
    bool download = false; // fetched from the server, else handed over as a file
    KorvoEmulatorSettings device;
    LocalFirmwareServerFaults server;
    bool catalogueFault = false;
    QStringList faults; // every fault in play, e.g. "unplug@3"
    QString primary = QStringLiteral("none"); // the fault that decides the outcome
    DFU_client::FlashResult expected = DFU_client::FlashSucceeded;
};

QString resultName(DFU_client::FlashResult result)
{
    return QString::fromLatin1(QMetaEnum::fromType<DFU_client::FlashResult>().valueToKey(result));
}

QString fileName(int index)
{
    return QStringLiteral("run-%1.bin").arg(index);
}

// Bytes between packets. Without a 00 none can start a magic. A lossy tail
// begins one: a partial magic the packet's own bytes break, or a whole one
// whose 24 header bytes reach into the packet and fail their checksum.
QByteArray garbage(Dice& dice, bool lossy)
{
    QByteArray bytes;
    for (int i = dice.between(1, 16); i > 0; --i)
        bytes.append(char(dice.between(1, 255)));
    if (!lossy)
        return bytes;
    bytes.append(QByteArray("\x00\x01\x22\x77", 4).left(dice.between(1, 4)));
    if (bytes.endsWith(QByteArray("\x22\x77", 2)))
        for (int i = dice.between(0, 12); i > 0; --i)
            bytes.append(char(dice.between(0, 255)));
    return bytes;
}

// One fault of the server on `path`: an error status, no answer, or the body
// cut within `cutWithin` bytes. Stalls and cuts take one path each.
QString serverFault(Dice& dice, LocalFirmwareServerFaults& server, const QString& path,
                    int cutWithin)
{
    const int kind = dice.between(0, 2);
    if (kind == 1 && server.stalledPath.isEmpty()) {
        server.stalledPath = path;
        return QStringLiteral("stall");
    }
    if (kind == 2 && server.truncatedPath.isEmpty()) {
        server.truncatedPath = path;
        server.truncateAfter = dice.between(0, cutWithin - 1);
        return QStringLiteral("cut@%1").arg(server.truncateAfter);
    }
    const int status = QList<int>{403, 404, 500, 503}.at(dice.between(0, 3));
    server.statusForPath.insert(path, status);
    return QStringLiteral("http%1").arg(status);
}

Plan draw(quint64 seed, int index)
{
    Dice dice(seed, index);
    Plan plan;
    plan.index = index;
    plan.imageSize
        = dice.chance(50) ? dice.between(headBlockSize + 1, 5000) : dice.between(5001, 300 * 1024);
    plan.packets = (plan.imageSize - headBlockSize + sliceSize - 1) / sliceSize;
    const quint32 last = quint32(plan.packets - 1);
    const auto packet = [&] {
        return quint32(dice.between(0, int(last)));
    };

    KorvoEmulatorSettings& device = plan.device;
    device.startInBootLoader = true;
    device.firmwareVersion = QByteArray::number(1000 + index % 9000).right(4);
    device.rebootDelay = 100ms;
    // The last acknowledgement must be read before the port goes (a closing
    // pty discards what the tool has not read); a loaded machine can hold
    // the tool off its port for tens of milliseconds.
    device.finalAckGrace = 250ms;
    device.eraseDelay = 5ms;
    device.packetTimeout = 200ms;
    device.randomSeed = dice.word();

    // Faults the run must survive.
    if (dice.chance(25)) {
        device.randomChunkMax = dice.between(1, 48);
        device.chunkGap = 1ms;
        plan.faults << QStringLiteral("chunked<=%1").arg(device.randomChunkMax);
    }
    if (dice.chance(20)) {
        device.garbageBetweenPackets = garbage(dice, false);
        plan.faults << QStringLiteral("garbage");
    }
    if (dice.chance(25)) {
        // Well inside the 2 s watchdog, also when a lost acknowledgement
        // makes the device wait its packetTimeout after programming.
        const bool verySlow = plan.packets <= 3 && dice.chance(30);
        device.programmingDelay
            = std::chrono::milliseconds(verySlow ? dice.between(500, 900) : dice.between(1, 20));
        if (dice.chance(50))
            device.linkBytesPerSecond = quint32(dice.between(200, 2000)) * 1000;
        plan.faults << QStringLiteral("slow%1ms").arg(device.programmingDelay.count());
    }
    const auto perPacket = [&](std::optional<quint32>& fault, int percent, const char* name) {
        if (dice.chance(percent)) {
            fault = packet();
            plan.faults << QStringLiteral("%1@%2").arg(QLatin1String(name)).arg(*fault);
        }
    };
    perPacket(device.corruptPacket, 20, "resend-request");
    perPacket(device.dropAckOfPacket, 15, "ack-dropped");
    perPacket(device.corruptAckOfPacket, 15, "ack-corrupted");

    // At most one fault of the device that ends the run.
    const int ending = dice.between(1, 100);
    const quint32 at = packet();
    const auto decide = [&](const char* name, DFU_client::FlashResult expected) {
        plan.primary = QLatin1String(name);
        plan.faults << QStringLiteral("%1@%2").arg(plan.primary).arg(at);
        plan.expected = expected;
    };
    if (ending <= 10) {
        device.errorAtPacket = at;
        device.errorCode
            = quint8(dice.between(korvoEnums::Error_BadFirmware, korvoEnums::Error_BGA_Timeout));
        decide("error-message", DFU_client::FlashDeviceError);
    } else if (ending <= 18) {
        device.silentFromPacket = at;
        decide("silence", DFU_client::FlashDeviceSilent);
    } else if (ending <= 28) {
        device.unplugAtPacket = at;
        decide("unplug", at == last ? DFU_client::FlashUnconfirmed : DFU_client::FlashPortLost);
    } else if (ending <= 30) {
        device.garbageBetweenPackets = garbage(dice, true);
        plan.primary = QStringLiteral("lossy-garbage");
        plan.faults << plan.primary;
    }

    // The firmware server.
    if (dice.chance(20)) {
        plan.download = true;
        plan.faults << QStringLiteral("download");
        if (dice.chance(60)) {
            const QString path = LocalFirmwareServer::basePath + '/' + deviceName + '/' + runFolder
                + '/' + fileName(index);
            plan.faults << serverFault(dice, plan.server, path,
                                       plan.imageSize + DFU_client::trailerSize);
            plan.primary = QStringLiteral("download-fault");
            plan.expected = DFU_client::FlashDownloadFailed;
        }
    }
    if (dice.chance(15)) {
        plan.catalogueFault = true;
        if (dice.chance(25)) {
            const QByteArray good = R"({"Korvo 7":{"v1":["a.bin"]}})";
            plan.server.catalogueBody
                = QList<QByteArray>{good.left(dice.between(1, good.size() - 1)), "[\"Korvo 7\"]",
                                    "{}"}
                      .at(dice.between(0, 2));
            plan.faults << QStringLiteral("catalogue-malformed");
        } else {
            plan.faults << QStringLiteral("catalogue-")
                    + serverFault(dice, plan.server, LocalFirmwareServer::cataloguePath, 40);
        }
    }

    // A lost last acknowledgement decides only when nothing ended the run
    // before: the device has the whole image and restarts, the tool cannot
    // know and sees its port go.
    if (plan.expected == DFU_client::FlashSucceeded
        && (device.dropAckOfPacket == last || device.corruptAckOfPacket == last)) {
        plan.expected = DFU_client::FlashUnconfirmed;
        plan.primary = QStringLiteral("last-ack-lost");
    }
    if (plan.primary == QLatin1String("none") && !plan.faults.isEmpty())
        plan.primary = QStringLiteral("recoverable");
    return plan;
}

struct Result
{
    QString outcome = QStringLiteral("failure"); // success, failure, false-success, hang
    QString cause = QStringLiteral("none"); // the typed result's name
    bool imageWhole = false;
    QStringList violations;
};

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void randomFaultyRun_endsAsItsFaultsCallFor_data();
    void randomFaultyRun_endsAsItsFaultsCallFor();

private:
    Result play(const Plan& plan);

    quint64 seed = defaultSeed;
    QTemporaryDir tree;
    std::unique_ptr<LocalFirmwareServer> server;
    std::unique_ptr<USB_StmFlasher> flasher;
};

void TestSoak::initTestCase()
{
    const QByteArray seedText = qgetenv("TRENNIC_SOAK_SEED");
    if (!seedText.isEmpty())
        seed = seedText.toULongLong();
    QVERIFY(tree.isValid());
    // A file that is always there, so every good catalogue lists the device.
    QVERIFY(QDir().mkpath(tree.filePath(deviceName + "/v1")));
    QVERIFY(QDir().mkpath(tree.filePath(deviceName + '/' + runFolder)));
    QFile sample(tree.filePath(deviceName + "/v1/sample.bin"));
    QVERIFY(sample.open(QIODevice::WriteOnly));
    sample.write(KorvoFirmwareImage::makeFile("0100", 2000, 1));
    sample.close();
    server = std::make_unique<LocalFirmwareServer>(tree.path());
    QVERIFY2(server->start(), qPrintable(server->errorString()));
    QVERIFY(FirmwareServer::addTrustedCaFile(LocalFirmwareServer::caFile()));
    qInstallMessageHandler(keepLogLine);
    flasher = std::make_unique<USB_StmFlasher>();
}

void TestSoak::cleanupTestCase()
{
    std::printf("soak-batch-done\n");
    std::fflush(stdout);
    flasher.reset();
    server.reset();
    qInstallMessageHandler(nullptr);
}

void TestSoak::randomFaultyRun_endsAsItsFaultsCallFor_data()
{
    QTest::addColumn<int>("index");
    const int first = qEnvironmentVariableIntValue("TRENNIC_SOAK_FIRST");
    bool set = false;
    const int runs = qEnvironmentVariableIntValue("TRENNIC_SOAK_RUNS", &set);
    for (int index = first; index < first + (set ? runs : defaultRuns); ++index)
        QTest::addRow("run %d", index) << index;
}

void TestSoak::randomFaultyRun_endsAsItsFaultsCallFor()
{
    QFETCH(int, index);
    const QString previousBaseUrl = FirmwareServer::baseUrl();
    FirmwareServer::setBaseUrl(server->baseUrl());
    DFU_client::setTransferTimeout(transferTimeout);
    DFU_client::setPrepareTimeout(prepareTimeout);
    USB_StmFlasher::setDeviceReturnTimeout(returnTimeout);
    const auto restore = qScopeGuard([&] {
        FirmwareServer::setBaseUrl(previousBaseUrl);
        DFU_client::setTransferTimeout(DFU_client::defaultTransferTimeout);
        DFU_client::setPrepareTimeout(DFU_client::prepareTimeoutInterval);
        USB_StmFlasher::setDeviceReturnTimeout(USB_StmFlasher::deviceReturnTimeout);
    });

    const Plan plan = draw(seed, index);
    QElapsedTimer clock;
    clock.start();
    const Result result = play(plan);
    std::printf("soak-run %d outcome=%s cause=%s image=%s ms=%lld primary=%s violations=%d "
                "size=%d packets=%d source=%s faults=[%s] expect=%s\n",
                index, qPrintable(result.outcome), qPrintable(result.cause),
                result.imageWhole ? "whole" : "partial", static_cast<long long>(clock.elapsed()),
                qPrintable(plan.primary), int(result.violations.size()), plan.imageSize,
                plan.packets, plan.download ? "download" : "direct",
                qPrintable(plan.faults.join(',')), qPrintable(resultName(plan.expected)));
    for (const QString& violation : result.violations)
        std::printf("soak-violation %d %s\n", index, qPrintable(violation));
    if (!result.violations.isEmpty()) {
        const QMutexLocker lock(&logMutex);
        for (const QString& line : logLines.mid(qMax(0, int(logLines.size()) - logLinesShown)))
            std::printf("  | %s\n", qPrintable(line));
    }
    std::fflush(stdout);
    QVERIFY2(result.violations.isEmpty(), qPrintable(result.violations.join(QLatin1String("; "))));
}

Result TestSoak::play(const Plan& plan)
{
    Result result;
    const QByteArray file = KorvoFirmwareImage::makeFile(
        plan.device.firmwareVersion, plan.imageSize, quint32(seed + plan.index));
    const QString path = tree.filePath(deviceName + '/' + runFolder + '/' + fileName(plan.index));
    const auto tidy = qScopeGuard([&] {
        QFile::remove(path);
        server->setFaults({});
    });
    if (plan.download) {
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(file) != file.size())
            result.violations << QStringLiteral("cannot write ") + path;
    }
    server->setFaults(plan.server);
    const QVariantMap catalogueBefore = flasher->dfu()->getWebFirmwaresList();

    RunRecorder recorder(flasher.get());
    QElapsedTimer quiet; // since the engine last showed that it goes on
    const auto goesOn = [&quiet] {
        quiet.start();
    };
    connect(flasher.get(), &USB_StmFlasher::runStarted, &recorder, goesOn);
    connect(flasher.get(), &USB_StmFlasher::downloadProgress, &recorder, goesOn);
    connect(flasher.get(), &USB_StmFlasher::flashing_progress_changed, &recorder, goesOn);
    connect(flasher->dfu(), &DFU_client::lastAcknowledgementMissed, &recorder, goesOn);

    KorvoEmulator emulator(plan.device);
    if (!emulator.start()) {
        result.violations << QStringLiteral("emulator: ") + emulator.errorString();
        return result;
    }
    if (!QTest::qWaitFor([&] { return flasher->getDevConnStatus() == korvoEnums::korvoBootOnline; },
                         connectDeadlineMs)) {
        result.violations << QStringLiteral("the tool did not take up the boot loader");
    } else {
        {
            const QMutexLocker lock(&logMutex);
            logLines.clear();
        }
        quiet.start();
        if (plan.download)
            flasher->flashFromUrl(server->fileUrl(deviceName, runFolder, fileName(plan.index)));
        else
            flasher->dfu()->startFlashing(file);
        const bool ended = QTest::qWaitFor(
            [&] { return !recorder.results.isEmpty() || quiet.elapsed() > quietLimitMs; }, INT_MAX);
        if (!ended || recorder.results.isEmpty()) {
            result.outcome = QStringLiteral("hang");
            result.violations
                << QStringLiteral("no end %1 ms after the last sign of life").arg(quietLimitMs);
            flasher->dfu()->abortFlashing();
        } else {
            const DFU_client::FlashResult ended = recorder.results.first();
            result.cause = resultName(ended);
            result.imageWhole
                = emulator.receivedImage() == KorvoFirmwareImage::transmittedPart(file);
            if (ended == DFU_client::FlashSucceeded)
                result.outcome = result.imageWhole ? QStringLiteral("success")
                                                   : QStringLiteral("false-success");
            if (ended != plan.expected)
                result.violations << QStringLiteral("expected %1, ended %2 (image %3)")
                                         .arg(resultName(plan.expected), result.cause,
                                              result.imageWhole ? "whole" : "partial");
        }
    }
    if (plan.expected == DFU_client::FlashDownloadFailed)
        for (const KorvoEmulator::ReceivedPacket& packet : emulator.packetLog())
            if (packet.header.action == korvoEnums::CommandMessage
                && packet.header.dataOrCommand == korvoEnums::PrepareToFlash)
                result.violations << QStringLiteral("PrepareToFlash after a failed download");
    if (plan.catalogueFault && flasher->dfu()->getWebFirmwaresList() != catalogueBefore)
        result.violations << QStringLiteral("a bad catalogue reply changed the catalogue");

    // The device goes; the tool must let its port go for the next one.
    emulator.stop();
    if (!QTest::qWaitFor([&] { return !flasher->port()->isOpen(); }, portGoneDeadlineMs))
        result.violations << QStringLiteral("the port stayed open after the device went");
    if (!recorder.results.isEmpty()
        && (recorder.results.size() != 1 || recorder.resultTexts != recorder.messages))
        result.violations << QStringLiteral("%1 endings beside the messages: %2")
                                 .arg(recorder.results.size())
                                 .arg(recorder.messages.join(QStringLiteral(" | ")));
    return result;
}

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"

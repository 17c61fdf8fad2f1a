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
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <cstdio>
#include <memory>
#include <random>

using namespace std::chrono_literals;

// Fault-injection soak: flashing runs of random sizes through one long-lived
// tool, each against a fresh emulated boot loader, with random faults of the
// device and the local firmware server drawn from (seed, index) alone. Every
// run ends once, in the result its faults call for, success only with the
// whole image on the device and confirmed. One "soak-run" line per run for
// scripts/soak. Environment: TRENNIC_SOAK_RUNS (default 36), TRENNIC_SOAK_SEED,
// TRENNIC_SOAK_FIRST (index of the first run, default 0).

namespace {

constexpr int defaultRuns = 36;
constexpr quint64 defaultSeed = 20240611;
constexpr std::chrono::milliseconds prepareTimeout{4000};
// The engine's longest silence in a sound run is its wait for ReadyToFlash
// (the watchdog, the download's and the unit's return are shorter).
constexpr qint64 quietLimitMs = (prepareTimeout + 1000ms).count();
const QString deviceName = QStringLiteral("Korvo 7");
const QString runFolder = QStringLiteral("soak");

struct Plan
{
    int imageSize = 0; // transmitted bytes
    bool download = false; // fetched from the server, else handed over as a file
    bool catalogueFault = false;
    KorvoEmulatorSettings device;
    LocalFirmwareServerFaults server;
    QString primary = QStringLiteral("none"); // the fault that decides the outcome
    DFU_client::FlashResult expected = DFU_client::FlashSucceeded;
};

const char* resultName(DFU_client::FlashResult result)
{
    return QMetaEnum::fromType<DFU_client::FlashResult>().valueToKey(result);
}

Plan draw(quint64 seed, int index)
{
    std::seed_seq sequence{quint32(seed), quint32(seed >> 32), quint32(index)};
    std::mt19937 engine(sequence);
    const auto between = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(engine);
    };
    const auto chance = [&](int percent) { return between(1, 100) <= percent; };
    Plan plan;
    // One fault of the server on `path`: an error status, no answer, or the
    // body cut within `cutWithin` bytes. Stalls and cuts take one path each.
    const auto serverFault = [&](const QString& path, int cutWithin) {
        const int kind = between(0, 2);
        if (kind == 1 && plan.server.stalledPath.isEmpty())
            plan.server.stalledPath = path;
        else if (kind == 2 && plan.server.truncatedPath.isEmpty()) {
            plan.server.truncatedPath = path;
            plan.server.truncateAfter = between(0, cutWithin - 1);
        } else
            plan.server.statusForPath.insert(path, QList<int>{403, 404, 500, 503}.at(between(0, 3)));
    };
    const int head = int(DFU_client::headBlockSize), slice = int(DFU_client::sliceSize);
    plan.imageSize = chance(50) ? between(head + 1, 5000) : between(5001, 300 * 1024);
    const quint32 last = quint32((plan.imageSize - head + slice - 1) / slice - 1);
    const auto packet = [&] { return quint32(between(0, int(last))); };

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
    device.randomSeed = quint32(engine());

    // Faults the run must survive.
    if (chance(25)) {
        device.randomChunkMax = between(1, 48);
        device.chunkGap = 1ms;
    }
    if (chance(20)) // bytes between packets; without a 00 none can start a magic
        for (int i = between(1, 16); i > 0; --i)
            device.garbageBetweenPackets.append(char(between(1, 255)));
    if (chance(25)) {
        // Well inside the 2 s watchdog, also when a lost acknowledgement
        // makes the device wait its packetTimeout after programming.
        const bool verySlow = last < 3 && chance(30);
        device.programmingDelay
            = std::chrono::milliseconds(verySlow ? between(500, 900) : between(1, 20));
        if (chance(50))
            device.linkBytesPerSecond = quint32(between(200, 2000)) * 1000;
    }
    const std::pair<std::optional<quint32>*, int> perPacket[]{
        {&device.corruptPacket, 20}, // answered with a resend request
        {&device.dropAckOfPacket, 15},
        {&device.corruptAckOfPacket, 15},
    };
    for (const auto& [fault, percent] : perPacket)
        if (chance(percent))
            *fault = packet();

    // At most one fault of the device that ends the run.
    const int ending = between(1, 100);
    const quint32 at = packet();
    const auto decide = [&](const char* name, DFU_client::FlashResult expected) {
        plan.primary = QLatin1String(name);
        plan.expected = expected;
    };
    if (ending <= 10) {
        device.errorAtPacket = at;
        device.errorCode
            = quint8(between(korvoEnums::Error_BadFirmware, korvoEnums::Error_BGA_Timeout));
        decide("error-message", DFU_client::FlashDeviceError);
    } else if (ending <= 18) {
        device.silentFromPacket = at;
        decide("silence", DFU_client::FlashDeviceSilent);
    } else if (ending <= 28) {
        device.unplugAtPacket = at;
        decide("unplug", at == last ? DFU_client::FlashUnconfirmed : DFU_client::FlashPortLost);
    }

    // The firmware server.
    if (chance(20)) {
        plan.download = true;
        if (chance(60)) {
            serverFault(LocalFirmwareServer::basePath + '/' + deviceName + '/' + runFolder
                            + QStringLiteral("/run-%1.bin").arg(index),
                        plan.imageSize + DFU_client::trailerSize);
            decide("download-fault", DFU_client::FlashDownloadFailed);
        }
    }
    if (chance(15)) {
        plan.catalogueFault = true;
        const QByteArray good = R"({"Korvo 7":{"v1":["a.bin"]}})";
        const QByteArray malformed[]{good.left(between(1, good.size() - 1)), "[\"Korvo 7\"]", "{}"};
        if (chance(25))
            plan.server.catalogueBody = malformed[between(0, 2)];
        else
            serverFault(LocalFirmwareServer::cataloguePath, 40);
    }

    // A lost last acknowledgement decides only when nothing ended the run
    // before: the device has the whole image and restarts, the tool cannot
    // know and sees its port go.
    if (plan.expected == DFU_client::FlashSucceeded
        && (device.dropAckOfPacket == last || device.corruptAckOfPacket == last))
        decide("last-ack-lost", DFU_client::FlashUnconfirmed);
    if (plan.primary == QLatin1String("none")
        && (device.randomChunkMax > 0 || !device.garbageBetweenPackets.isEmpty()
            || device.programmingDelay > 0ms || device.corruptPacket || device.dropAckOfPacket
            || device.corruptAckOfPacket || plan.download || plan.catalogueFault))
        plan.primary = QStringLiteral("recoverable");
    return plan;
}

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

    quint64 seed = defaultSeed;
    QTemporaryDir tree;
    std::unique_ptr<LocalFirmwareServer> server;
    std::unique_ptr<USB_StmFlasher> flasher;

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsSet("TRENNIC_SOAK_SEED"))
            seed = qgetenv("TRENNIC_SOAK_SEED").toULongLong();
        QVERIFY(tree.isValid());
        // A file that is always there, so every good catalogue lists the device.
        QVERIFY(QDir().mkpath(tree.filePath(deviceName + "/v1")));
        QVERIFY(QDir().mkpath(tree.filePath(deviceName + '/' + runFolder)));
        QFile sample(tree.filePath(deviceName + "/v1/sample.bin"));
        QVERIFY(sample.open(QIODevice::WriteOnly));
        QVERIFY(sample.write(KorvoFirmwareImage::makeFile("0100", 2000, 1)) > 0);
        server = std::make_unique<LocalFirmwareServer>(tree.path());
        QVERIFY2(server->start(), qPrintable(server->errorString()));
        QVERIFY(FirmwareServer::addTrustedCaFile(LocalFirmwareServer::caFile()));
        flasher = std::make_unique<USB_StmFlasher>();
    }

    void cleanupTestCase()
    {
        std::printf("soak-batch-done\n");
        std::fflush(stdout);
    }

    void randomFaultyRun_endsAsItsFaultsCallFor_data()
    {
        QTest::addColumn<int>("index");
        const int first = qEnvironmentVariableIntValue("TRENNIC_SOAK_FIRST");
        bool set = false;
        const int runs = qEnvironmentVariableIntValue("TRENNIC_SOAK_RUNS", &set);
        for (int index = first; index < first + (set ? runs : defaultRuns); ++index)
            QTest::addRow("run %d", index) << index;
    }

    void randomFaultyRun_endsAsItsFaultsCallFor();
};

void TestSoak::randomFaultyRun_endsAsItsFaultsCallFor()
{
    QFETCH(int, index);
    const QString previousBaseUrl = FirmwareServer::baseUrl();
    FirmwareServer::setBaseUrl(server->baseUrl());
    DFU_client::setTransferTimeout(2000ms);
    DFU_client::setPrepareTimeout(prepareTimeout);
    USB_StmFlasher::setDeviceReturnTimeout(2000ms);
    const QString name = QStringLiteral("run-%1.bin").arg(index);
    const QString path = tree.filePath(deviceName + '/' + runFolder + '/' + name);
    const auto restore = qScopeGuard([&] {
        FirmwareServer::setBaseUrl(previousBaseUrl);
        DFU_client::setTransferTimeout(DFU_client::defaultTransferTimeout);
        DFU_client::setPrepareTimeout(DFU_client::prepareTimeoutInterval);
        USB_StmFlasher::setDeviceReturnTimeout(USB_StmFlasher::deviceReturnTimeout);
        QFile::remove(path);
        server->setFaults({});
    });

    const Plan plan = draw(seed, index);
    QElapsedTimer clock;
    clock.start();
    QString outcome = QStringLiteral("failure"); // success, failure, false-success, hang
    QString cause = QStringLiteral("none"); // the typed result's name
    bool imageWhole = false;
    QStringList violations;

    const QByteArray file = KorvoFirmwareImage::makeFile(plan.device.firmwareVersion,
                                                         plan.imageSize, quint32(seed + index));
    if (plan.download) {
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(file) != file.size())
            violations << QStringLiteral("cannot write ") + path;
    }
    server->setFaults(plan.server);
    const QVariantMap catalogueBefore = flasher->dfu()->getWebFirmwaresList();

    RunRecorder recorder(flasher.get());
    QElapsedTimer quiet; // since the engine last showed that it goes on
    const auto goesOn = [&quiet] { quiet.start(); };
    connect(flasher.get(), &USB_StmFlasher::runStarted, &recorder, goesOn);
    connect(flasher.get(), &USB_StmFlasher::downloadProgress, &recorder, goesOn);
    connect(flasher.get(), &USB_StmFlasher::flashing_progress_changed, &recorder, goesOn);
    connect(flasher->dfu(), &DFU_client::lastAcknowledgementMissed, &recorder, goesOn);

    KorvoEmulator emulator(plan.device);
    if (!emulator.start()
        || !QTest::qWaitFor(
            [&] { return flasher->getDevConnStatus() == korvoEnums::korvoBootOnline; }, 5000)) {
        violations << QStringLiteral("the tool did not take up the boot loader ")
                + emulator.errorString();
    } else {
        quiet.start();
        if (plan.download)
            flasher->flashFromUrl(server->fileUrl(deviceName, runFolder, name));
        else
            flasher->dfu()->startFlashing(file);
        const bool done = QTest::qWaitFor(
            [&] { return !recorder.results.isEmpty() || quiet.elapsed() > quietLimitMs; }, INT_MAX);
        if (!done || recorder.results.isEmpty()) {
            outcome = QStringLiteral("hang");
            violations << QStringLiteral("no end %1 ms after the last sign of life").arg(quietLimitMs);
            flasher->dfu()->abortFlashing();
        } else {
            const DFU_client::FlashResult ended = recorder.results.first();
            cause = QString::fromLatin1(resultName(ended));
            imageWhole = emulator.receivedImage() == KorvoFirmwareImage::transmittedPart(file);
            if (ended == DFU_client::FlashSucceeded)
                outcome = imageWhole ? QStringLiteral("success") : QStringLiteral("false-success");
            if (ended != plan.expected)
                violations << QStringLiteral("expected %1, ended %2 (image %3)")
                                  .arg(resultName(plan.expected), cause,
                                       imageWhole ? "whole" : "partial");
        }
    }
    if (plan.expected == DFU_client::FlashDownloadFailed)
        for (const KorvoEmulator::ReceivedPacket& packet : emulator.packetLog())
            if (packet.header.action == korvoEnums::CommandMessage
                && packet.header.dataOrCommand == korvoEnums::PrepareToFlash)
                violations << QStringLiteral("PrepareToFlash after a failed download");
    if (plan.catalogueFault && flasher->dfu()->getWebFirmwaresList() != catalogueBefore)
        violations << QStringLiteral("a bad catalogue reply changed the catalogue");

    // The device goes; the tool must let its port go for the next one.
    emulator.stop();
    if (!QTest::qWaitFor([&] { return !flasher->port()->isOpen(); }, 3000))
        violations << QStringLiteral("the port stayed open after the device went");
    if (recorder.results.size() > 1
        || (!recorder.results.isEmpty() && recorder.resultTexts != recorder.messages))
        violations << QStringLiteral("%1 endings, messages: %2")
                          .arg(recorder.results.size()).arg(recorder.messages.join(" | "));

    std::printf("soak-run %d outcome=%s cause=%s image=%s ms=%lld primary=%s violations=%d\n",
                index, qPrintable(outcome), qPrintable(cause), imageWhole ? "whole" : "partial",
                static_cast<long long>(clock.elapsed()), qPrintable(plan.primary),
                int(violations.size()));
    for (const QString& violation : violations)
        std::printf("soak-violation %d %s\n", index, qPrintable(violation));
    std::fflush(stdout);
    QVERIFY2(violations.isEmpty(), qPrintable(violations.join(QLatin1String("; "))));
}

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"

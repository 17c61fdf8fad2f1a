#include "dfu_client.h"
#include "firmwareserver.h"
#include "korvoemulator.h"
#include "korvoenums.h"
#include "korvofirmwareimage.h"
#include "localfirmwareserver.h"
#include "soakplan.h"
#include "usb_stmflasher.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QMetaEnum>
#include <QMutex>
#include <QMutexLocker>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <memory>

using namespace std::chrono_literals;

// Fault-injection soak: many flashing runs of random sizes through one
// long-lived tool against a fresh emulated boot loader each, with random
// faults of the device and of the firmware server, each run drawn from
// (seed, index) alone. For every run: success is reported if and only if
// the device holds the image byte for byte (a lost last acknowledgement
// aside, which the tool cannot see and reports as unconfirmed); the run ends in the outcome its
// faults call for, with one message and one typed result of the same kind (after one runStarted),
// status 0, and the link scanning or polling within 3 s; nothing waits longer than its time-out
// plus 1 s; a bad download reaches nothing; the catalogue stays well-formed, and unchanged by a bad
// reply. Prints a table; scripts/soak runs it in batches.
//
// Environment: TRENNIC_SOAK_RUNS (default 36), TRENNIC_SOAK_SEED,
// TRENNIC_SOAK_FIRST (index of the first run, default 0).
class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void randomFaultyRun_neverSucceedsFalselyNorHangs_data();
    void randomFaultyRun_neverSucceedsFalselyNorHangs();

private:
    struct Result
    {
        int index = 0;
        QString primaryFault;
        QString outcome; // success, failure, false-success, hang
        QString cause; // what the message says, for failures
        bool imageWhole = false;
        qint64 ms = 0;
        QStringList violations;
    };

    Result play(const SoakRunPlan& plan);
    void waitUntilReady(const SoakRunPlan& plan, Result& result);
    void checkBackToScanningOrPolling(Result& result);
    void checkTypedOutcome(const SoakRunPlan& plan, Result& result);
    void checkCatalogue(const SoakRunPlan& plan, const QVariantMap& before, Result& result);
    void printTable() const;

    quint64 seed = 0;
    QList<Result> results;
    QTemporaryDir tree;
    std::unique_ptr<LocalFirmwareServer> server;
    std::unique_ptr<USB_StmFlasher> flasher;
    std::unique_ptr<KorvoEmulator> emulator;

    // What the tool showed and reported since the current run started.
    QStringList messages;
    QList<QPair<DFU_client::FlashResult, QString>> endings; // runFinished
    QStringList sources; // runStarted
    uint statusAtMessage = 0;
    QElapsedTimer sinceMessage;
    QList<uint> progress;
};

namespace {

constexpr int defaultRuns = 36;
constexpr quint64 defaultSeed = 20240611;
// The engine's own bounds: answers of a run within the watchdog; the
// device's ReadyToFlash (and a download) within the shortened waits below.
constexpr std::chrono::milliseconds watchdog = DFU_client::flashingTimeoutInterval;
constexpr std::chrono::milliseconds prepareTimeout{4000};
constexpr std::chrono::milliseconds transferTimeout{2000};
constexpr std::chrono::milliseconds hangSlack{1000};
// The wait for a device that restarted without confirming the last packet.
constexpr std::chrono::milliseconds returnTimeout{2000};
constexpr std::chrono::milliseconds backToScanningWithin{3000};
constexpr std::chrono::milliseconds connectDeadline{5000};
constexpr std::chrono::milliseconds portGoneDeadline{3000};
constexpr std::chrono::milliseconds pollStep{10};
constexpr int diagnosticLines = 120;
const QString deviceName = QStringLiteral("Korvo 7");
const QString runFolder = QStringLiteral("soak");

// The debug lines of the tool and the emulator (one stream, both threads):
// kept for the current run to show when it goes wrong, and read for the
// moments the engine last heard from the device and last polled it.
QMutex logMutex;
QStringList runLines;
QElapsedTimer logClock;
qint64 lastEngineActivityMs = 0;
bool transferStarted = false;
qint64 lastKeepOnlineSentMs = -1;
qint64 awaitingUnitSinceMs = -1; // the run waits for its unit since then

void soakLogHandler(QtMsgType, const QMessageLogContext&, const QString& line)
{
    QMutexLocker lock(&logMutex);
    runLines.append(line);
    if (runLines.size() > 4 * diagnosticLines)
        runLines = runLines.mid(runLines.size() - diagnosticLines);
    const qint64 now = logClock.elapsed();
    if (line.contains(QLatin1String("Debug : dfu_rx"))) {
        lastEngineActivityMs = now;
        transferStarted = true;
    } else if (line.contains(QLatin1String("Debug : firmwareBin loaded ok"))) {
        lastEngineActivityMs = now;
    } else if (line.contains(QLatin1String("Debug : keep online sent"))) {
        lastKeepOnlineSentMs = now;
    }
}

void startRunLog()
{
    QMutexLocker lock(&logMutex);
    runLines.clear();
    lastEngineActivityMs = logClock.elapsed();
    transferStarted = false;
    lastKeepOnlineSentMs = -1;
    awaitingUnitSinceMs = -1;
}

// Longer than its bound without an answer, a download or a message.
bool runHangs()
{
    QMutexLocker lock(&logMutex);
    if (awaitingUnitSinceMs >= 0)
        return logClock.elapsed() - awaitingUnitSinceMs > (returnTimeout + hangSlack).count();
    const auto bound = (transferStarted ? watchdog : prepareTimeout) + hangSlack;
    return logClock.elapsed() - lastEngineActivityMs > bound.count();
}

QString causeOf(const QString& message)
{
    if (message == DFU_client::successMessage)
        return QStringLiteral("success");
    if (message == DFU_client::timeoutMessage)
        return QStringLiteral("device-silent");
    if (message == DFU_client::portLostMessage)
        return QStringLiteral("port-lost");
    if (message.startsWith(DFU_client::deviceErrorMessagePrefix))
        return QStringLiteral("device-error");
    if (message == DFU_client::unconfirmedAwayMessage
        || message.startsWith(DFU_client::unconfirmedReturnedMessage.chopped(2)))
        return QStringLiteral("unconfirmed");
    if (message == DFU_client::downloadFailedMessage)
        return QStringLiteral("download-failed");
    return QStringLiteral("other: ") + message;
}

DFU_client::FlashResult resultFor(SoakRunPlan::Expected expected)
{
    switch (expected) {
    case SoakRunPlan::Expected::Success:
        return DFU_client::FlashSucceeded;
    case SoakRunPlan::Expected::DeviceError:
        return DFU_client::FlashDeviceError;
    case SoakRunPlan::Expected::DeviceSilent:
        return DFU_client::FlashDeviceSilent;
    case SoakRunPlan::Expected::PortLost:
        return DFU_client::FlashPortLost;
    case SoakRunPlan::Expected::Unconfirmed:
        return DFU_client::FlashUnconfirmed;
    case SoakRunPlan::Expected::DownloadFailed:
        return DFU_client::FlashDownloadFailed;
    }
    return DFU_client::FlashInterrupted;
}

QString resultName(DFU_client::FlashResult result)
{
    return QString::fromLatin1(QMetaEnum::fromType<DFU_client::FlashResult>().valueToKey(result));
}

bool outcomeMatches(SoakRunPlan::Expected expected, const QString& cause)
{
    return cause == expectedName(expected);
}

QString fileName(int index)
{
    return QStringLiteral("run-%1.bin").arg(index);
}

int envInt(const char* name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok ? value : fallback;
}

} // namespace

void TestSoak::initTestCase()
{
    logClock.start();
    const QByteArray seedText = qgetenv("TRENNIC_SOAK_SEED");
    seed = seedText.isEmpty() ? defaultSeed : seedText.toULongLong();

    QVERIFY(tree.isValid());
    // A file that is always there, so every good catalogue lists the device.
    QDir().mkpath(tree.filePath(deviceName + "/v1"));
    QFile sample(tree.filePath(deviceName + "/v1/sample.bin"));
    QVERIFY(sample.open(QIODevice::WriteOnly));
    sample.write(KorvoFirmwareImage::makeFile("0100", 2000, 1));
    sample.close();
    QDir().mkpath(tree.filePath(deviceName + '/' + runFolder));
    server = std::make_unique<LocalFirmwareServer>(tree.path());
    QVERIFY2(server->start(), qPrintable(server->errorString()));
    QVERIFY(FirmwareServer::addTrustedCaFile(LocalFirmwareServer::caFile()));
    FirmwareServer::setBaseUrl(server->baseUrl());
    DFU_client::setTransferTimeout(transferTimeout);
    DFU_client::setPrepareTimeout(prepareTimeout);
    USB_StmFlasher::setDeviceReturnTimeout(returnTimeout);

    qInstallMessageHandler(soakLogHandler);
    flasher = std::make_unique<USB_StmFlasher>();
    connect(flasher.get(), &USB_StmFlasher::showInfoMessage, this, [this](const QString& text) {
        if (messages.isEmpty()) {
            statusAtMessage = flasher->getDevConnStatus();
            sinceMessage.start();
        }
        messages.append(text);
    });
    connect(flasher.get(), &USB_StmFlasher::runFinished, this,
            [this](DFU_client::FlashResult result, const QString& text) {
                endings.append({result, text});
            });
    connect(flasher->dfu(), &DFU_client::lastAcknowledgementMissed, this, [] {
        QMutexLocker lock(&logMutex);
        awaitingUnitSinceMs = logClock.elapsed();
    });
    connect(flasher.get(), &USB_StmFlasher::runStarted, this,
            [this](const QString& source) { sources.append(source); });
    connect(flasher.get(), &USB_StmFlasher::flashing_progress_changed, this,
            [this](uint value) { progress.append(value); });
}

void TestSoak::cleanupTestCase()
{
    std::printf("soak-batch-done\n");
    printTable();
    flasher.reset();
    emulator.reset();
    server.reset();
    qInstallMessageHandler(nullptr);
    DFU_client::setTransferTimeout(DFU_client::defaultTransferTimeout);
    DFU_client::setPrepareTimeout(DFU_client::prepareTimeoutInterval);
    USB_StmFlasher::setDeviceReturnTimeout(USB_StmFlasher::deviceReturnTimeout);
}

void TestSoak::randomFaultyRun_neverSucceedsFalselyNorHangs_data()
{
    const int runs = envInt("TRENNIC_SOAK_RUNS", defaultRuns);
    const int first = envInt("TRENNIC_SOAK_FIRST", 0);
    std::printf("soak-start seed=%llu first=%d runs=%d\n", static_cast<unsigned long long>(seed),
                first, runs);
    QTest::addColumn<int>("index");
    for (int index = first; index < first + runs; ++index)
        QTest::addRow("run %d", index) << index;
}

void TestSoak::randomFaultyRun_neverSucceedsFalselyNorHangs()
{
    QFETCH(int, index);
    const SoakRunPlan plan = SoakRunPlan::draw(seed, index);
    const Result result = play(plan);
    results.append(result);
    std::printf("soak-run %d outcome=%s cause=%s image=%s ms=%lld primary=%s violations=%d %s\n",
                result.index, qPrintable(result.outcome), qPrintable(result.cause),
                result.imageWhole ? "whole" : "partial", result.ms, qPrintable(result.primaryFault),
                int(result.violations.size()), qPrintable(plan.describe()));
    for (const QString& violation : result.violations)
        std::printf("soak-violation %d %s\n", result.index, qPrintable(violation));
    if (!result.violations.isEmpty()) {
        QMutexLocker lock(&logMutex);
        const QStringList recent = runLines.mid(qMax(0, runLines.size() - diagnosticLines));
        for (const QString& line : recent)
            std::printf("  | %s\n", qPrintable(line));
    }
    std::fflush(stdout);
    QVERIFY2(result.outcome != QLatin1String("false-success"), "success reported falsely");
    QVERIFY2(result.outcome != QLatin1String("hang"), "the run hung");
    QVERIFY2(result.violations.isEmpty(), qPrintable(result.violations.join(QLatin1String("; "))));
}

void TestSoak::waitUntilReady(const SoakRunPlan& plan, Result& result)
{
    LocalFirmwareServerFaults faults;
    const QString filePath = LocalFirmwareServer::basePath + '/' + deviceName + '/' + runFolder
        + '/' + fileName(plan.index);
    switch (plan.downloadFault) {
    case SoakRunPlan::DownloadFault::None:
        break;
    case SoakRunPlan::DownloadFault::ErrorStatus:
        faults.statusForPath.insert(filePath, plan.httpStatus);
        break;
    case SoakRunPlan::DownloadFault::Stall:
        faults.stalledPath = filePath;
        break;
    case SoakRunPlan::DownloadFault::Truncated:
        faults.truncatedPath = filePath;
        faults.truncateAfter = plan.truncateAfter;
        break;
    }
    switch (plan.catalogueFault) {
    case SoakRunPlan::CatalogueFault::None:
        break;
    case SoakRunPlan::CatalogueFault::ErrorStatus:
        faults.statusForPath.insert(LocalFirmwareServer::cataloguePath, plan.catalogueStatus);
        break;
    case SoakRunPlan::CatalogueFault::Stall:
        faults.stalledPath = LocalFirmwareServer::cataloguePath;
        break;
    case SoakRunPlan::CatalogueFault::Truncated:
        faults.truncatedPath = LocalFirmwareServer::cataloguePath;
        faults.truncateAfter = plan.catalogueTruncateAfter;
        break;
    case SoakRunPlan::CatalogueFault::Malformed:
        faults.catalogueBody = plan.malformedCatalogue;
        break;
    }
    server->setFaults(faults);

    emulator = std::make_unique<KorvoEmulator>(plan.device);
    if (!emulator->start()) {
        result.violations << QStringLiteral("emulator: ") + emulator->errorString();
        return;
    }
    if (!QTest::qWaitFor([&] { return flasher->getDevConnStatus() == korvoEnums::korvoBootOnline; },
                         int(connectDeadline.count())))
        result.violations << QStringLiteral("the tool did not take up the boot loader");
}

TestSoak::Result TestSoak::play(const SoakRunPlan& plan)
{
    Result result;
    result.index = plan.index;
    result.primaryFault = plan.primaryFault;
    QElapsedTimer clock;
    clock.start();

    const QByteArray version = plan.device.firmwareVersion;
    const QByteArray file
        = KorvoFirmwareImage::makeFile(version, plan.imageSize, quint32(seed + plan.index));
    const QByteArray image = KorvoFirmwareImage::transmittedPart(file);
    const QString filePath
        = tree.filePath(deviceName + '/' + runFolder + '/' + fileName(plan.index));
    if (plan.source == SoakRunPlan::Source::Download) {
        QFile out(filePath);
        if (!out.open(QIODevice::WriteOnly) || out.write(file) != file.size())
            result.violations << QStringLiteral("cannot write ") + filePath;
    }
    const QVariantMap catalogueBefore = flasher->dfu()->getWebFirmwaresList();

    waitUntilReady(plan, result);
    if (result.violations.isEmpty()) {
        messages.clear();
        endings.clear();
        sources.clear();
        progress.clear();
        startRunLog();
        if (plan.source == SoakRunPlan::Source::Direct)
            flasher->dfu()->startFlashing(file);
        else
            flasher->flashFromUrl(server->fileUrl(deviceName, runFolder, fileName(plan.index)));
        const QString source = plan.source == SoakRunPlan::Source::Direct
            ? QString()
            : server->fileUrl(deviceName, runFolder, fileName(plan.index));
        if (sources != QStringList{source})
            result.violations
                << QStringLiteral("run started as [%1]").arg(sources.join(QLatin1Char(',')));

        const bool ended
            = QTest::qWaitFor([&] { return !messages.isEmpty() || runHangs(); }, INT_MAX);
        if (!ended || messages.isEmpty()) {
            result.outcome = QStringLiteral("hang");
            result.violations << QStringLiteral("no end within the time-out plus 1 s");
            flasher->dfu()->abortFlashing();
        } else {
            result.cause = causeOf(messages.first());
            result.imageWhole = emulator->receivedImage() == image;
            const bool success = result.cause == QLatin1String("success");
            result.outcome = success && !result.imageWhole ? QStringLiteral("false-success")
                : success                                  ? QStringLiteral("success")
                                                           : QStringLiteral("failure");
            if (!outcomeMatches(plan.expected, result.cause))
                result.violations << QStringLiteral("expected %1, ended %2 (image %3)")
                                         .arg(expectedName(plan.expected), result.cause,
                                              result.imageWhole ? "whole" : "partial");
            checkTypedOutcome(plan, result);
            if (std::any_of(progress.cbegin(), progress.cend(), [](uint p) { return p >= 100; }))
                result.violations << QStringLiteral("progress of 100 or more");
            checkBackToScanningOrPolling(result);
        }
    }

    checkCatalogue(plan, catalogueBefore, result);
    if (messages.size() > 1)
        result.violations << QStringLiteral("%1 messages: ").arg(messages.size())
                + messages.join(QStringLiteral(" | "));

    // The device goes; the tool must let its port go and scan again.
    emulator->stop();
    if (!QTest::qWaitFor([&] { return !flasher->port()->isOpen(); }, int(portGoneDeadline.count())))
        result.violations << QStringLiteral("the port stayed open after the device went");
    emulator.reset();
    QFile::remove(filePath);
    server->setFaults({});
    result.ms = clock.elapsed();
    return result;
}

void TestSoak::checkTypedOutcome(const SoakRunPlan& plan, Result& result)
{
    // One typed ending per run, right beside its message, of the kind the
    // run's faults call for.
    if (endings.size() != 1 || endings.first().second != messages.first()) {
        QStringList seen;
        for (const auto& [kind, text] : qAsConst(endings))
            seen << resultName(kind) + QLatin1Char(':') + text;
        result.violations << QStringLiteral("run finished %1 times: %2")
                                 .arg(endings.size())
                                 .arg(seen.join(QStringLiteral(" | ")));
        return;
    }
    if (endings.first().first != resultFor(plan.expected))
        result.violations << QStringLiteral("result %1, expected %2")
                                 .arg(resultName(endings.first().first),
                                      resultName(resultFor(plan.expected)));
}

void TestSoak::checkBackToScanningOrPolling(Result& result)
{
    if (result.cause == QLatin1String("download-failed")) {
        // Nothing reached the device, so nothing about it changed.
        if (statusAtMessage != korvoEnums::korvoBootOnline)
            result.violations
                << QStringLiteral("status %1 after a failed download").arg(statusAtMessage);
        if (!progress.isEmpty())
            result.violations << QStringLiteral("progress after a failed download");
        for (const KorvoEmulator::ReceivedPacket& packet : emulator->packetLog())
            if (packet.header.action == korvoEnums::CommandMessage
                && packet.header.dataOrCommand == korvoEnums::PrepareToFlash)
                result.violations << QStringLiteral("PrepareToFlash after a failed download");
        return;
    }
    // An unconfirmed run ends once its device is back (or not).
    const bool deviceBack = result.cause == QLatin1String("unconfirmed")
        && statusAtMessage == korvoEnums::korvoOnline;
    if (statusAtMessage != korvoEnums::korvoOffline && !deviceBack)
        result.violations << QStringLiteral("status %1 at the end of the run").arg(statusAtMessage);
    if (!progress.isEmpty() && progress.last() != 0)
        result.violations << QStringLiteral("progress %1 at the end").arg(progress.last());
    const qint64 messageAt = logClock.elapsed() - sinceMessage.elapsed();
    const bool back = QTest::qWaitFor(
        [&] {
            const bool scanning
                = !flasher->port()->isOpen() && flasher->portCheckTicker()->isActive();
            QMutexLocker lock(&logMutex);
            const bool polling = lastKeepOnlineSentMs >= messageAt;
            return scanning || polling || flasher->getDevConnStatus() != korvoEnums::korvoOffline;
        },
        int(qMax<qint64>(0, backToScanningWithin.count() - sinceMessage.elapsed())));
    if (!back)
        result.violations << QStringLiteral("neither scanning nor polling 3 s after the end");
}

void TestSoak::checkCatalogue(const SoakRunPlan& plan, const QVariantMap& before, Result& result)
{
    const QVariantMap catalogue = flasher->dfu()->getWebFirmwaresList();
    const QString deviceUrl = server->baseUrl() + '/';
    for (auto device = catalogue.cbegin(); device != catalogue.cend(); ++device) {
        for (const QVariant& value : device.value().toList()) {
            const QVariantMap entry = value.toMap();
            const QString url = entry.value(QStringLiteral("fileUrl")).toString();
            if (entry.size() != 2 || !url.startsWith(deviceUrl + device.key() + '/')
                || !url.endsWith('/' + entry.value(QStringLiteral("fileName")).toString()))
                result.violations << QStringLiteral("catalogue entry %1 of %2 is malformed")
                                         .arg(url, device.key());
        }
    }
    if (plan.catalogueFault != SoakRunPlan::CatalogueFault::None && catalogue != before)
        result.violations << QStringLiteral("a bad catalogue reply changed the catalogue");
}

void TestSoak::printTable() const
{
    QMap<QString, int> outcomes;
    QMap<QString, int> causes;
    QMap<QString, QPair<int, int>> byFault; // successes, failures
    int wholeFailures = 0;
    int violating = 0;
    for (const Result& result : results) {
        ++outcomes[result.outcome];
        if (result.outcome == QLatin1String("failure")) {
            ++causes[result.cause];
            wholeFailures += result.imageWhole ? 1 : 0;
        }
        auto& tally = byFault[result.primaryFault];
        (result.outcome == QLatin1String("success") ? tally.first : tally.second) += 1;
        violating += result.violations.isEmpty() ? 0 : 1;
    }
    std::printf("\nsoak table (seed %llu)\n", static_cast<unsigned long long>(seed));
    std::printf("  %-38s %6lld\n", "runs", static_cast<long long>(results.size()));
    std::printf("  %-38s %6d\n", "successes", outcomes.value(QStringLiteral("success")));
    std::printf("  %-38s %6d\n", "failures", outcomes.value(QStringLiteral("failure")));
    for (auto cause = causes.cbegin(); cause != causes.cend(); ++cause)
        std::printf("    %-36s %6d\n", qPrintable(cause.key()), cause.value());
    std::printf("    %-36s %6d\n", "(of these, image whole on the device)", wholeFailures);
    std::printf("  %-38s %6d\n", "false successes (must be 0)",
                outcomes.value(QStringLiteral("false-success")));
    std::printf("  %-38s %6d\n", "hangs (must be 0)", outcomes.value(QStringLiteral("hang")));
    std::printf("  %-38s %6d\n", "crashes (must be 0)", 0);
    std::printf("  %-38s %6d\n", "runs with any violation (must be 0)", violating);
    std::printf("  by deciding fault: successes / failures\n");
    for (auto fault = byFault.cbegin(); fault != byFault.cend(); ++fault)
        std::printf("    %-36s %6d / %d\n", qPrintable(fault.key()), fault.value().first,
                    fault.value().second);
    std::fflush(stdout);
}

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"

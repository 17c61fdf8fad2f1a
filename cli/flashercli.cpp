#include "flashercli.h"

#include "dfu_client.h"
#include "firmwareserver.h"
#include "fixedportprovider.h"
#include "historytable.h"
#include "interruptwatcher.h"
#include "korvoenums.h"
#include "logfile.h"
#include "runrecord.h"
#include "runrecordwriter.h"
#include "tools.h"
#include "usb_stmflasher.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QNetworkProxy>
#include <QSerialPort>
#include <QTimer>

namespace {

const QString programName = QStringLiteral("trennic-flasher-cli");
// The port of a --proxy URL without one, as Qt takes for http_proxy.
constexpr int defaultProxyPort = 8080;
// When the stored catalogue used offline arrived, in local time.
const QString savedTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm");

QString stateText(uint status)
{
    switch (status) {
    case korvoEnums::korvoOnline:
        return QStringLiteral("application firmware");
    case korvoEnums::korvoBootOnline:
        return QStringLiteral("boot loader");
    case korvoEnums::korvoReflash:
        return QStringLiteral("boot loader, taking an image");
    default:
        return QStringLiteral("state %1").arg(status);
    }
}

QString seconds(std::chrono::milliseconds duration)
{
    return QString::number(double(duration.count()) / 1000.0, 'g', 6);
}

QString orDash(const QString& text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

QString resultName(DFU_client::FlashResult result)
{
    return QString::fromLatin1(QMetaEnum::fromType<DFU_client::FlashResult>().valueToKey(result));
}

// "0108" and "01.08" name the same version.
bool sameVersion(QString a, QString b)
{
    return a.remove(QLatin1Char('.')) == b.remove(QLatin1Char('.'));
}

} // namespace

FlasherCli::FlasherCli(const CliOptions& options, ProgressReport::Style progressStyle,
                       const CliConsole& console, QObject* parent)
    : QObject(parent), options(options), console(console), progress(progressStyle),
      downloadProgress(progressStyle, QStringLiteral("downloading")), progressStyle(progressStyle)
{
    deadline = new QTimer(this);
    deadline->setSingleShot(true);
    deadline->setTimerType(Qt::PreciseTimer);
    connect(deadline, &QTimer::timeout, this, &FlasherCli::onDeadline);
}

FlasherCli::~FlasherCli()
{
    // The link scans through the provider; it goes first.
    delete link;
    link = nullptr;
    if (portProvider)
        SerialPortEnvironment::removeProvider(portProvider.get());
}

void FlasherCli::start()
{
    if (options.action == CliOptions::Action::File) {
        // Checked before the device is touched: a typo must not restart a
        // device into its boot loader for nothing.
        QFile file(options.file);
        if (!file.open(QIODevice::ReadOnly)) {
            console.err(QStringLiteral("%1: cannot read %2: %3\n")
                            .arg(programName, options.file, file.errorString()));
            console.out(DFU_client::fileUnreadableMessage + QLatin1Char('\n'));
            finish(ExitRunFailed);
            return;
        }
        // A batch reads its image once, before the first unit.
        if (options.batch) {
            batchSource = options.file;
            if (!takeBatchImage(file.readAll()))
                return;
        }
    }

    if (!options.port.isEmpty()) {
        portProvider = std::make_unique<FixedPortProvider>(options.port);
        SerialPortEnvironment::installProvider(portProvider.get());
    }
    link = new USB_StmFlasher(this);
    // A port that reports no name (a pseudo-terminal) is named by the user.
    link->setDeviceNameOverride(options.deviceName);
    connect(link, &USB_StmFlasher::devConnStatusChanged, this, &FlasherCli::onLinkChanged);
    connect(link->dfu(), &DFU_client::catalogueRequestFinished, this,
            &FlasherCli::onCatalogueFinished);
    link->dfu()->setCacheEnabled(options.useCache);
    connect(link, &USB_StmFlasher::flashing_progress_changed, this, &FlasherCli::onProgress);
    connect(link, &USB_StmFlasher::downloadProgress, this, &FlasherCli::onDownloadProgress);
    connect(link, &USB_StmFlasher::runFinished, this, &FlasherCli::onRunFinished);
    connect(link->dfu(), &DFU_client::lastAcknowledgementMissed, this, [this] {
        console.err(QStringLiteral("The port went before the last packet was acknowledged; "
                                   "waiting for the device to restart...\n"));
    });
    connect(link, &USB_StmFlasher::deviceReturned, this, &FlasherCli::onDeviceReturned);
    connect(link, &USB_StmFlasher::deviceReturnTimedOut, this, &FlasherCli::onDeviceReturnTimedOut);

    if (options.batch) {
        // A unit that leaves closes the port; the check follows the close.
        connect(link->port(), &QIODevice::aboutToClose, this, &FlasherCli::checkUnitLeft,
                Qt::QueuedConnection);
        if (options.action == CliOptions::Action::Url) {
            batchSource = options.url;
            connect(link->dfu(), &DFU_client::imageFetched, this, &FlasherCli::onImageFetched);
            console.err(QStringLiteral("Downloading %1\n").arg(options.url));
            phase = Phase::FetchingImage;
            link->dfu()->fetchImage(options.url);
            return;
        }
        waitForNextUnit();
        return;
    }

    console.err(QStringLiteral("Waiting for a device%1...\n")
                    .arg(portProvider ? QStringLiteral(" at ") + portProvider->systemLocation()
                                      : QString()));
    phase = Phase::WaitingForDevice;
    armDeadline(options.wait);
}

void FlasherCli::onImageFetched(const QString& url, const QByteArray& image, bool ok)
{
    if (phase != Phase::FetchingImage || url != options.url)
        return;
    if (!ok) {
        console.out(DFU_client::downloadFailedMessage + QLatin1Char('\n'));
        fail(ExitRunFailed, QStringLiteral("cannot download %1").arg(url));
        return;
    }
    if (takeBatchImage(image))
        waitForNextUnit();
}

bool FlasherCli::takeBatchImage(const QByteArray& image)
{
    // The engine would refuse it at every unit: refused once, before any.
    if (image.size() <= int(DFU_client::headBlockSize) + DFU_client::trailerSize) {
        console.out(DFU_client::imageTooSmallMessage + QLatin1Char('\n'));
        fail(ExitRunFailed,
             QStringLiteral("the image %1 has %2 bytes, too few to flash")
                 .arg(batchSource)
                 .arg(image.size()));
        return false;
    }
    batchImage = image;
    console.err(QStringLiteral("Batch image %1 (%2 bytes)\n").arg(batchSource).arg(image.size()));
    return true;
}

void FlasherCli::waitForNextUnit()
{
    // A technician plugs the next unit in when ready: no deadline.
    deadline->stop();
    phase = Phase::WaitingForDevice;
    lastStatus = 0;
    shownPortProblem = PortProblem();
    transferClock.invalidate();
    progress = ProgressReport(progressStyle);
    console.err(QStringLiteral("Waiting for %1 unit%2...\n")
                    .arg(unitIndex == 0 ? QStringLiteral("the first") : QStringLiteral("the next"),
                         portProvider ? QStringLiteral(" at ") + portProvider->systemLocation()
                                      : QString()));
    const uint status = link->getDevConnStatus();
    if (link->port()->isOpen() && status != korvoEnums::korvoOffline)
        onLinkChanged();
}

bool FlasherCli::beginUnit(uint status)
{
    // A state parsed from the bytes a leaving unit left behind is no unit.
    if (!link->port()->isOpen())
        return false;
    const QString serial = link->getDevConnSerial();
    if (!serial.isEmpty() && confirmedSerials.contains(serial)) {
        console.out(QStringLiteral("-  %1  already flashed in this batch, skipped\n").arg(serial));
        phase = Phase::WaitingForUnitToLeave;
        checkUnitLeft();
        return false;
    }
    ++unitIndex;
    unitSerial = serial;
    unitBefore = status == korvoEnums::korvoOnline
        ? link->firmwareVersionText()
        : QString();
    unitClock.start();
    console.err(QStringLiteral("Unit %1: serial %2\n").arg(unitIndex).arg(orDash(serial)));
    return true;
}

void FlasherCli::endUnit(const QString& after, const QString& result, bool succeeded)
{
    printUnit(after, result, succeeded);
    deadline->stop();
    if (options.batchCount > 0 && unitsFlashed + unitsFailed >= options.batchCount) {
        finishBatch();
        return;
    }
    phase = Phase::WaitingForUnitToLeave;
    console.err(QStringLiteral("Unplug unit %1.\n").arg(unitIndex));
    checkUnitLeft();
}

void FlasherCli::printUnit(const QString& after, const QString& result, bool succeeded)
{
    const std::chrono::milliseconds elapsed(unitClock.isValid() ? unitClock.elapsed() : 0);
    console.out(QStringLiteral("%1  %2  %3 -> %4  %5  %6 s\n")
                    .arg(unitIndex)
                    .arg(orDash(unitSerial), orDash(unitBefore), orDash(after), result)
                    .arg(double(elapsed.count()) / 1000.0, 0, 'f', 1));
    if (succeeded) {
        ++unitsFlashed;
        if (!unitSerial.isEmpty())
            confirmedSerials.insert(unitSerial);
    } else {
        ++unitsFailed;
    }
}

void FlasherCli::checkUnitLeft()
{
    if (phase == Phase::WaitingForUnitToLeave && !link->port()->isOpen())
        waitForNextUnit();
}

void FlasherCli::finishBatch()
{
    console.out(QStringLiteral("%1 flashed, %2 failed\n").arg(unitsFlashed).arg(unitsFailed));
    finish(unitsFailed == 0 ? ExitSuccess : ExitRunFailed);
}

void FlasherCli::interrupt(int signalNumber)
{
    if (phase == Phase::Done)
        return;
    // The unit under way, if any, ends unfinished and counts as failed.
    const bool unitOpen = phase == Phase::Flashing || phase == Phase::WaitingForBootLoader
        || phase == Phase::WaitingForReturn;
    if (phase == Phase::Flashing) {
        closeDownloadReport();
        console.err(progress.finish(false, runImageSize, {}));
    }
    // Ends the run (download included) before the port goes, as interrupted.
    if (link)
        link->dfu()->interruptRun();
    const bool portOpen = link && link->port()->isOpen();
    if (portOpen)
        link->onAppQuit();
    console.err(QStringLiteral("%1: interrupted%2\n")
                    .arg(programName, portOpen ? QStringLiteral(", port closed") : QString()));
    if (options.batch) {
        // Ctrl-C is how a batch ends: the summary and the batch's exit code.
        if (unitOpen)
            printUnit(QString(), resultName(DFU_client::FlashInterrupted), false);
        finishBatch();
        return;
    }
    finish(128 + signalNumber);
}

void FlasherCli::onLinkChanged()
{
    if (phase == Phase::WaitingForDevice || phase == Phase::WaitingForBootLoader)
        reportPortProblem();
    if (phase == Phase::Done)
        return;
    if (phase == Phase::WaitingForUnitToLeave) {
        checkUnitLeft();
        return;
    }
    const uint status = link->getDevConnStatus();
    if (status != korvoEnums::korvoOffline && status != lastStatus) {
        lastStatus = status;
        // Only while waiting: during a run the states belong to the engine.
        if (phase == Phase::WaitingForDevice || phase == Phase::WaitingForBootLoader)
            console.err(QStringLiteral("Device%1: %2, firmware %3\n")
                            .arg(deviceLabel(), stateText(status),
                                 link->firmwareVersionText()));
    }

    switch (phase) {
    case Phase::WaitingForDevice:
        if (status != korvoEnums::korvoOffline)
            deviceFound(status);
        break;
    case Phase::WaitingForBootLoader:
        if (status == korvoEnums::korvoBootOnline)
            startRun();
        break;
    case Phase::WaitingForDeviceInfo:
        printInfoOnceKnown();
        break;
    default:
        break;
    }
}

void FlasherCli::reportPortProblem()
{
    const PortProblem& problem = link->portOpenProblem();
    if (problem == shownPortProblem)
        return;
    shownPortProblem = problem;
    if (problem.kind != PortProblem::Kind::None)
        console.err(QStringLiteral("%1: %2\n").arg(programName, portProblemText(problem)));
}

QString FlasherCli::portProblemText(const PortProblem& problem)
{
    switch (problem.kind) {
    case PortProblem::Kind::None:
        break;
    case PortProblem::Kind::InUse:
        return QStringLiteral("the port %1 is in use by another program")
            .arg(problem.systemLocation);
    case PortProblem::Kind::PermissionDenied:
        return QStringLiteral("permission denied on %1 (add your user to the dialout group or "
                              "install the udev rule)")
            .arg(problem.systemLocation);
    case PortProblem::Kind::OpenFailed:
        return QStringLiteral("cannot open %1: %2").arg(problem.systemLocation, problem.errorText);
    }
    return QString();
}

QString FlasherCli::withPortProblem(const QString& reason) const
{
    const PortProblem& problem = link->portOpenProblem();
    if (problem.kind == PortProblem::Kind::None)
        return reason;
    return reason + QStringLiteral(": ") + portProblemText(problem);
}

void FlasherCli::deviceFound(uint status)
{
    switch (options.action) {
    case CliOptions::Action::Info:
        phase = Phase::WaitingForDeviceInfo;
        armDeadline(deviceInfoGrace);
        printInfoOnceKnown();
        break;
    case CliOptions::Action::List:
        phase = Phase::WaitingForCatalogue;
        armDeadline(catalogueTimeout);
        if (catalogueReplaced.has_value())
            concludeList();
        break;
    case CliOptions::Action::File:
    case CliOptions::Action::Url:
        if (status != korvoEnums::korvoOnline && status != korvoEnums::korvoBootOnline)
            break;
        if (options.batch && !beginUnit(status))
            break;
        if (status == korvoEnums::korvoOnline) {
            console.err(QStringLiteral("Restarting the device into its boot loader...\n"));
            phase = Phase::WaitingForBootLoader;
            armDeadline(options.wait);
            link->sendToKorvo(korvoEnums::CommandMessage, korvoEnums::PrepareToFlash, 0);
        } else {
            startRun();
        }
        // Any other state (a boot loader still busy with an earlier image)
        // is waited out: the device reports 1 or 2 once it is ready.
        break;
    case CliOptions::Action::History:
    case CliOptions::Action::None:
        break;
    }
}

void FlasherCli::printInfoOnceKnown()
{
    // The link announces DfuInfo values; a boot-loader version tells they came.
    if (link->bootLoaderVersion() > 0)
        printInfo();
}

void FlasherCli::printInfo()
{
    const uint status = link->getDevConnStatus();
    const uint dfuVersion = link->bootLoaderVersion();
    const QString unknown = QStringLiteral("unknown");
    // Board fields come with the boot-loader version in one DfuInfo message.
    const bool boardKnown = dfuVersion > 0;
    console.out(QStringLiteral("state: %1 (%2)\n")
                    .arg(Tools::convertEnumToQString(QStringLiteral("SocketStatus"),
                                                     static_cast<unsigned char>(status)),
                         stateText(status))
                + QStringLiteral("firmware version: %1\n")
                      .arg(link->firmwareVersionText())
                + QStringLiteral("boot-loader version: %1\n")
                      .arg(boardKnown ? QString::number(dfuVersion) : unknown)
                + QStringLiteral("board version: %1\n")
                      .arg(boardKnown ? QString::number(link->boardVersion()) : unknown)
                + QStringLiteral("board revision: %1\n")
                      .arg(boardKnown ? link->boardRevision() : unknown)
                + QStringLiteral("device name: %1\n").arg(link->connectedDeviceName()));
    finish(ExitSuccess);
}

void FlasherCli::onCatalogueFinished(bool replaced)
{
    catalogueReplaced = replaced;
    if (phase == Phase::WaitingForCatalogue)
        concludeList();
}

void FlasherCli::concludeList()
{
    // Offline, or after an error answer, the catalogue stored when it last
    // arrived stands in.
    const bool offline = !catalogueReplaced.value_or(false) && link->catalogueTime().isValid();
    if (!catalogueReplaced.value_or(false) && !offline) {
        fail(ExitCatalogueUnavailable,
             QStringLiteral("catalogue unavailable: %1").arg(link->catalogueError()));
        return;
    }
    if (offline)
        console.err(QStringLiteral("%1: catalogue unavailable (%2); using the one saved %3\n")
                        .arg(programName, link->catalogueError(),
                             link->catalogueTime().toLocalTime().toString(savedTimeFormat)));
    const QString name = link->connectedDeviceName();
    const QVariantList entries = USB_StmFlasher::newestFirst(link->getWebFirmwaresList());
    QString text;
    for (const QVariant& entry : entries) {
        const QVariantMap map = entry.toMap();
        text += map.value(QStringLiteral("fileName")).toString() + QLatin1Char('\t')
            + map.value(QStringLiteral("fileUrl")).toString();
        // Only offline entries carry "stored": online output keeps two columns.
        if (map.value(QStringLiteral("stored")).toBool())
            text += QStringLiteral("\tcached");
        text += QLatin1Char('\n');
    }
    console.out(text);
    if (entries.isEmpty())
        console.err(
            name.isEmpty()
                ? QStringLiteral("The device reports no name; give it with --device-name.\n")
                : QStringLiteral("The catalogue has no images for \"%1\".\n").arg(name));
    finish(ExitSuccess);
}

void FlasherCli::startRun()
{
    phase = Phase::Flashing;
    deadline->stop();
    if (options.batch) {
        console.err(QStringLiteral("Flashing unit %1\n").arg(unitIndex));
        link->dfu()->flashImage(batchImage, batchSource);
        return;
    }
    if (options.action == CliOptions::Action::File) {
        console.err(QStringLiteral("Flashing %1 (%2 bytes)\n")
                        .arg(options.file)
                        .arg(QFileInfo(options.file).size()));
        link->dfu()->flashFromFile(options.file);
    } else {
        // Offline an image at hand is flashed without asking the server.
        const bool fromCache = link->catalogueState() == DFU_client::CatalogueOffline
            && link->isImageStored(options.url);
        console.err((fromCache ? QStringLiteral("Flashing the stored copy of %1\n")
                               : QStringLiteral("Downloading %1\n"))
                        .arg(options.url));
        downloadClock.start();
        link->flashFromUrl(options.url);
    }
}

void FlasherCli::onProgress(uint percent)
{
    if (phase != Phase::Flashing || percent == 0)
        return;
    if (!transferClock.isValid())
        transferClock.start();
    runImageSize = link->dfu()->imageSize();
    console.err(progress.update(percent, link->dfu()->confirmedBytes(), runImageSize,
                                std::chrono::milliseconds(transferClock.elapsed())));
}

void FlasherCli::onDownloadProgress(qint64 received, qint64 total)
{
    if (phase != Phase::Flashing || downloadDone || total <= 0 || received <= 0)
        return;
    const std::chrono::milliseconds elapsed(downloadClock.elapsed());
    if (received >= total) {
        downloadDone = true;
        downloadReportOpen = false;
        console.err(downloadProgress.finish(true, quint64(total), elapsed));
        return;
    }
    downloadReportOpen = true;
    console.err(downloadProgress.update(uint(received * 100 / total), quint64(received),
                                        quint64(total), elapsed));
}

void FlasherCli::closeDownloadReport()
{
    if (!downloadReportOpen)
        return;
    downloadReportOpen = false;
    console.err(downloadProgress.finish(false, 0, {}));
}

void FlasherCli::onRunFinished(DFU_client::FlashResult result, const QString& message)
{
    // An interruption is reported by interrupt(), which caused it.
    if (phase != Phase::Flashing || result == DFU_client::FlashInterrupted)
        return;
    closeDownloadReport();
    // Only a success means that the whole image was written.
    const bool succeeded = result == DFU_client::FlashSucceeded;
    const std::chrono::milliseconds elapsed(transferClock.isValid() ? transferClock.elapsed() : 0);
    console.err(progress.finish(succeeded, runImageSize, elapsed));
    if (result == DFU_client::FlashDownloadFailed && !link->dfu()->downloadError().isEmpty())
        console.err(QStringLiteral("%1: download failed: %2\n")
                        .arg(programName, link->dfu()->downloadError()));
    // The whole image went, but its last acknowledgement did not come: the
    // link answers at once with the unit's return or its absence.
    runUnconfirmed = result == DFU_client::FlashUnconfirmed;
    if (options.batch) {
        // stdout holds a line per unit; the engine's text goes with the log.
        console.err(message + QLatin1Char('\n'));
        if (runUnconfirmed) {
            phase = Phase::WaitingForReturn;
            return;
        }
        if (!succeeded) {
            endUnit(QString(), resultName(result), false);
            return;
        }
        phase = Phase::WaitingForReturn;
        console.err(QStringLiteral("Waiting for the unit to restart...\n"));
        return;
    }
    console.out(message + QLatin1Char('\n'));
    if (runUnconfirmed) {
        phase = Phase::WaitingForReturn;
        return;
    }
    if (!succeeded) {
        finish(exitCodeFor(result));
        return;
    }
    // The link waits for the device to come back and tells which way it went.
    phase = Phase::WaitingForReturn;
    console.err(QStringLiteral("Waiting for the device to restart...\n"));
}

void FlasherCli::onDeviceReturned(const QString& version)
{
    if (phase != Phase::WaitingForReturn)
        return;
    // Unconfirmed, only the version asked for shows that the image took.
    const bool asked = !options.expectVersion.isEmpty();
    const bool expected = asked ? sameVersion(version, options.expectVersion) : !runUnconfirmed;
    if (options.batch) {
        // A unit back with another version than asked for has failed.
        endUnit(version,
                runUnconfirmed ? resultName(DFU_client::FlashUnconfirmed)
                    : expected ? resultName(DFU_client::FlashSucceeded)
                               : QStringLiteral("VersionNotExpected"),
                expected);
        return;
    }
    console.out(QStringLiteral("device back in application firmware, version %1\n").arg(version));
    if (runUnconfirmed) {
        if (expected)
            finish(ExitSuccess);
        else
            fail(ExitRunFailed,
                 asked ? QStringLiteral("the update is not confirmed: expected version %1, the "
                                        "device runs %2")
                             .arg(options.expectVersion, version)
                       : QStringLiteral("the update is not confirmed: the device restarted "
                                        "before acknowledging the last packet (--expect-version "
                                        "confirms it by the version it came back with)"));
        return;
    }
    if (!options.expectVersion.isEmpty() && !sameVersion(version, options.expectVersion)) {
        fail(ExitVersionNotConfirmed,
             QStringLiteral("expected version %1, the device runs %2")
                 .arg(options.expectVersion, version));
        return;
    }
    finish(ExitSuccess);
}

void FlasherCli::onDeviceReturnTimedOut()
{
    if (phase != Phase::WaitingForReturn)
        return;
    if (options.batch) {
        // Flashed, but its new firmware never reported: not confirmed.
        endUnit(QString(),
                runUnconfirmed ? resultName(DFU_client::FlashUnconfirmed)
                               : QStringLiteral("NotConfirmed"),
                false);
        return;
    }
    if (runUnconfirmed) {
        fail(ExitRunFailed,
             QStringLiteral("the update is not confirmed: the device restarted "
                            "before acknowledging the last packet and did not "
                            "come back within %1 s")
                 .arg(seconds(USB_StmFlasher::deviceReturnTimeout)));
        return;
    }
    console.err(QStringLiteral("%1: warning: the device did not come back in application "
                               "firmware within %2 s\n")
                    .arg(programName, seconds(USB_StmFlasher::deviceReturnTimeout)));
    finish(options.expectVersion.isEmpty() ? ExitSuccess : ExitVersionNotConfirmed);
}

int FlasherCli::exitCodeFor(DFU_client::FlashResult result)
{
    switch (result) {
    case DFU_client::FlashSucceeded:
        return ExitSuccess;
    case DFU_client::FlashInterrupted:
        return ExitInterrupted;
    case DFU_client::FlashDeviceError:
    case DFU_client::FlashDeviceSilent:
    case DFU_client::FlashPortLost:
    case DFU_client::FlashDownloadFailed:
    case DFU_client::FlashImageRefused:
    case DFU_client::FlashFileUnreadable:
    case DFU_client::FlashUnconfirmed:
        break;
    }
    return ExitRunFailed;
}

void FlasherCli::onDeadline()
{
    switch (phase) {
    case Phase::WaitingForDevice:
        if (lastStatus != korvoEnums::korvoOffline
            && link->portOpenProblem().kind == PortProblem::Kind::None)
            fail(ExitNoDevice,
                 QStringLiteral("the device stayed in %1, not ready to flash, for %2 s")
                     .arg(stateText(lastStatus), waitText()));
        else
            fail(ExitNoDevice,
                 withPortProblem(QStringLiteral("no device within %1 s").arg(waitText())));
        break;
    case Phase::WaitingForBootLoader:
        if (options.batch) {
            console.err(QStringLiteral("%1: the boot loader did not report within %2 s\n")
                            .arg(programName, waitText()));
            endUnit(QString(), QStringLiteral("NoBootLoader"), false);
            break;
        }
        fail(ExitNoDevice,
             withPortProblem(
                 QStringLiteral("the boot loader did not report within %1 s").arg(waitText())));
        break;
    case Phase::WaitingForDeviceInfo:
        printInfo(); // without the DfuInfo fields
        break;
    case Phase::WaitingForCatalogue:
        fail(ExitCatalogueUnavailable,
             QStringLiteral("no firmware catalogue within %1 s").arg(seconds(catalogueTimeout)));
        break;
    default:
        break;
    }
}

void FlasherCli::armDeadline(std::chrono::milliseconds timeout)
{
    deadline->start(int(timeout.count()));
}

QString FlasherCli::deviceLabel() const
{
    const QString name = link->connectedDeviceName();
    return name.isEmpty() ? QString() : QStringLiteral(" \"%1\"").arg(name);
}

QString FlasherCli::waitText() const
{
    return seconds(options.wait);
}

void FlasherCli::fail(int exitCode, const QString& reason)
{
    console.err(QStringLiteral("%1: %2\n").arg(programName, reason));
    finish(exitCode);
}

void FlasherCli::finish(int exitCode)
{
    if (phase == Phase::Done)
        return;
    phase = Phase::Done;
    deadline->stop();
    code = exitCode;
    if (link == nullptr) {
        emit finished(exitCode);
        return;
    }
    // Requests still under way (the catalogue is asked for at every
    // connection, --info does not wait for it) end while the event loop
    // runs, outside the handler that may have called this: left to the
    // process's end, a host lookup finishing into a request that is gone
    // makes Qt print a warning.
    QTimer::singleShot(0, this, [this] {
        link->dfu()->endNetworkRequests();
        emit finished(code);
    });
}

int FlasherCli::runCommandLine(const QStringList& arguments)
{
    const CliConsole console;
    const CliParseResult parsed = CliCommandLine::parse(arguments);
    switch (parsed.outcome) {
    case CliParseResult::Outcome::Help:
        console.out(parsed.text);
        return ExitSuccess;
    case CliParseResult::Outcome::Version:
        console.out(parsed.text + QLatin1Char('\n'));
        return ExitSuccess;
    case CliParseResult::Outcome::UsageError:
        console.err(QStringLiteral("%1: %2\n\n").arg(programName, parsed.error) + parsed.text);
        return ExitUsage;
    case CliParseResult::Outcome::Run:
        break;
    }
    const CliOptions& options = parsed.options;
    if (options.action == CliOptions::Action::History) {
        // Reads the record only: no device, no log file (which would push a
        // run's log out of the kept ones).
        console.out(HistoryTable::format(RunRecord::readLast(options.historyCount)));
        return ExitSuccess;
    }
    // Every run goes into the run record as the command-line tool's.
    RunRecordWriter::recordEveryLink(QStringLiteral("cli"));
    CliLog::install(options.verbose);
    // After the filter, so the file gets every line and stderr only what
    // the filter lets through.
    LogFile::install();
    if (!options.server.isEmpty())
        FirmwareServer::setBaseUrl(options.server);
    if (options.noProxy) {
        FirmwareServer::setProxy(QNetworkProxy::NoProxy);
    } else if (!options.proxy.isEmpty()) {
        const QUrl proxy(options.proxy);
        FirmwareServer::setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, proxy.host(),
                                               quint16(proxy.port(defaultProxyPort)),
                                               proxy.userName(), proxy.password()));
    } else {
        FirmwareServer::useSystemProxy();
    }
    if (!options.caCertificate.isEmpty()
        && !FirmwareServer::addTrustedCaFile(options.caCertificate)) {
        console.err(QStringLiteral("%1: no PEM certificate in %2\n\n")
                        .arg(programName, options.caCertificate)
                    + CliCommandLine::usage());
        return ExitUsage;
    }

    InterruptWatcher interrupts;
    FlasherCli cli(options,
                   console.errIsTerminal() ? ProgressReport::Style::UpdatingLine
                                           : ProgressReport::Style::LinePerTenPercent,
                   console);
    connect(&interrupts, &InterruptWatcher::interrupted, &cli, &FlasherCli::interrupt);
    connect(&cli, &FlasherCli::finished, QCoreApplication::instance(), &QCoreApplication::exit);
    cli.start();
    if (!cli.isFinished())
        QCoreApplication::exec();
    return cli.exitCode();
}

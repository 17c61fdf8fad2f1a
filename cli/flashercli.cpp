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

QString seconds(std::chrono::milliseconds duration)
{
    return QString::number(double(duration.count()) / 1000.0, 'g', 6);
}

// "0108" and "01.08" name the same version.
bool sameVersion(QString a, QString b)
{
    return a.remove(QLatin1Char('.')) == b.remove(QLatin1Char('.'));
}

} // namespace

const QString FlasherCli::programName = QStringLiteral("trennic-flasher-cli");

QString FlasherCli::stateText(uint status)
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

QString FlasherCli::resultName(DFU_client::FlashResult result)
{
    return QString::fromLatin1(QMetaEnum::fromType<DFU_client::FlashResult>().valueToKey(result));
}

QString FlasherCli::unitResultName(UnitOutcome outcome)
{
    return QString::fromLatin1(QMetaEnum::fromType<UnitOutcome>().valueToKey(outcome));
}

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
            if (FirmwareSignature::isRequired())
                batchSignature = FirmwareSignature::readFile(options.file + FirmwareSignature::suffix);
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
    link->dfu()->setDowngradeAllowed(options.allowDowngrade);
    // A signed image's version, before its first packet.
    connect(link->dfu(), &DFU_client::flashingStarted, this, [this] {
        const FirmwareSignature::Verdict& signature = link->dfu()->runSignature();
        if (signature.keyId.isEmpty())
            return;
        const QString line = QStringLiteral("Version %1 \u2192 %2, signed by key %3%4\n")
                                 .arg(link->firmwareVersionText(),
                                      signature.version.isEmpty() ? QStringLiteral("unknown")
                                                                  : signature.version,
                                      signature.keyId,
                                      link->dfu()->runDowngrade() ? QStringLiteral(" (downgrade)")
                                                                  : QString());
        if (options.batch)
            console.err(line);
        else
            console.out(line);
    });
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

void FlasherCli::startRun()
{
    phase = Phase::Flashing;
    deadline->stop();
    if (options.batch) {
        console.err(QStringLiteral("Flashing unit %1\n").arg(unitIndex));
        link->dfu()->flashImage(batchImage, batchSource, batchSignature);
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
    if (result == DFU_client::FlashSignatureRefused)
        console.err(QStringLiteral("%1: signature refused: %2\n")
                        .arg(programName,
                             signatureRefusalText(link->dfu()->runSignature(),
                                                  options.batch ? batchSource
                                                  : options.action == CliOptions::Action::File
                                                      ? options.file
                                                      : options.url,
                                                  link->connectedDeviceName())));
    if (result == DFU_client::FlashDowngradeRefused)
        console.err(QStringLiteral("%1: the image's version %2 is older than the device's %3; "
                                   "--allow-downgrade flashes it\n")
                        .arg(programName, link->dfu()->runSignature().version,
                             link->firmwareVersionText()));
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
                               : unitResultName(VersionNotExpected),
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
                               : unitResultName(NotConfirmed),
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

QString FlasherCli::signatureRefusalText(const FirmwareSignature::Verdict& verdict,
                                         const QString& source, const QString& deviceName)
{
    switch (verdict.failure) {
    case FirmwareSignature::NoSignatureFailure:
        break;
    case FirmwareSignature::SignatureMissing:
        return QStringLiteral("the image has no signature (%1%2)")
            .arg(source, FirmwareSignature::suffix);
    case FirmwareSignature::SignatureMalformed:
        return QStringLiteral("the image's signature is not a minisign signature");
    case FirmwareSignature::SignatureUnknownKey:
        return QStringLiteral("the image is signed by key %1, which is not trusted")
            .arg(verdict.keyId);
    case FirmwareSignature::SignatureKeyRevoked:
        return QStringLiteral("the image is signed by key %1, which has been revoked")
            .arg(verdict.keyId);
    case FirmwareSignature::SignatureBad:
        return QStringLiteral("the signature by key %1 does not match the image")
            .arg(verdict.keyId);
    case FirmwareSignature::TrustedCommentTampered:
        return QStringLiteral("the signature's trusted comment has been altered");
    case FirmwareSignature::SignatureWrongDevice:
        return QStringLiteral("the image is signed for \"%1\", not for \"%2\"")
            .arg(verdict.device, deviceName);
    }
    return QString();
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
    case DFU_client::FlashSignatureRefused:
    case DFU_client::FlashDowngradeRefused:
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
            endUnit(QString(), unitResultName(NoBootLoader), false);
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

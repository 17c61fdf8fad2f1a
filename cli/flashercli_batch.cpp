// The batch of trennic-flasher-cli: one image, read or fetched once, flashed
// into unit after unit, a line per unit on stdout and the tally at the end.

#include "flashercli.h"

#include "fixedportprovider.h"
#include "korvoenums.h"
#include "usb_stmflasher.h"

#include <QSerialPort>
#include <QTimer>

namespace {

QString orDash(const QString& text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

} // namespace

void FlasherCli::onImageFetched(const QString& url, const QByteArray& image, bool ok)
{
    if (phase != Phase::FetchingImage || url != options.url)
        return;
    if (!ok) {
        console.out(DFU_client::downloadFailedMessage + QLatin1Char('\n'));
        fail(ExitRunFailed, QStringLiteral("cannot download %1").arg(url));
        return;
    }
    batchSignature = link->dfu()->fetchedSignature();
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

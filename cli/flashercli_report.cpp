// What trennic-flasher-cli reports of a device and its catalogue: --info,
// --list, and why a port could not be opened.

#include "flashercli.h"

#include "dfu_client.h"
#include "korvoenums.h"
#include "tools.h"
#include "usb_stmflasher.h"

namespace {

// When the stored catalogue used offline arrived, in local time.
const QString savedTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm");

} // namespace

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

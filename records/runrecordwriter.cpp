#include "runrecordwriter.h"

#include "debugline.h"
#include "devicereturnwatch.h"
#include "korvoenums.h"
#include "trennicversion.h"
#include "usb_stmflasher.h"

#include <QGlobalStatic>
#include <QMetaEnum>
#include <QMutex>
#include <QMutexLocker>

namespace {

struct ToolName
{
    QMutex mutex;
    QString name;
};
Q_GLOBAL_STATIC(ToolName, toolName)

QString resultName(DFU_client::FlashResult result)
{
    return QString::fromLatin1(QMetaEnum::fromType<DFU_client::FlashResult>().valueToKey(result));
}

} // namespace

RunRecordWriter::RunRecordWriter(USB_StmFlasher* link) : QObject(link), link(link)
{
    connect(link, &USB_StmFlasher::runStarted, this, &RunRecordWriter::onRunStarted);
    connect(link, &USB_StmFlasher::runFinished, this, &RunRecordWriter::onRunFinished);
    connect(link, &USB_StmFlasher::deviceReturned, this, &RunRecordWriter::onDeviceReturned);
    connect(link, &USB_StmFlasher::deviceReturnTimedOut, this, [this] {
        if (waitingForReturn)
            write();
    });
    connect(link, &USB_StmFlasher::devConnStatusChanged, this, &RunRecordWriter::onLinkChanged);
}

RunRecordWriter::~RunRecordWriter()
{
    // The process quits while a success waits for its device.
    if (waitingForReturn)
        write();
}

void RunRecordWriter::setTool(const QString& tool)
{
    QMutexLocker lock(&toolName->mutex);
    toolName->name = tool;
}

void RunRecordWriter::recordEveryLink(const QString& tool)
{
    setTool(tool);
    if (tool.isEmpty())
        USB_StmFlasher::setCompanion({});
    else
        USB_StmFlasher::setCompanion([](USB_StmFlasher* link) { new RunRecordWriter(link); });
}

QString RunRecordWriter::tool()
{
    QMutexLocker lock(&toolName->mutex);
    return toolName->name;
}

void RunRecordWriter::onRunStarted(const QString& source)
{
    // A new run ends the wait for the previous one's device.
    if (waitingForReturn)
        write();
    RunRecord record;
    record.start = QDateTime::currentDateTime();
    record.source = source.isEmpty() ? QString() : source;
    pending = record;
    runClock.start();
    takeDeviceFields();
}

void RunRecordWriter::onRunFinished(DFU_client::FlashResult result, const QString& message)
{
    if (!pending)
        onRunStarted(QString());
    takeDeviceFields();
    const DFU_client::RunFigures& figures = link->dfu()->lastRunFigures();
    RunRecord& record = *pending;
    record.end = QDateTime::currentDateTime();
    record.ms = runClock.elapsed();
    record.result = resultName(result);
    record.message = message;
    record.size = figures.size;
    record.sha256 = figures.sha256.isEmpty() ? QString() : figures.sha256;
    if (figures.size) {
        record.packets = figures.packets;
        record.resends = figures.resends;
    }
    // The image's signature, where it was checked.
    const FirmwareSignature::Verdict& signature = link->dfu()->runSignature();
    record.signingKey = signature.keyId;
    record.signedVersion = signature.version;
    if (signature.failure != FirmwareSignature::NoSignatureFailure)
        record.signatureFailure = QString::fromLatin1(
            QMetaEnum::fromType<FirmwareSignature::Failure>().valueToKey(signature.failure));
    else if (!signature.keyId.isEmpty())
        record.downgrade = link->dfu()->runDowngrade();
    // A run that wrote the whole image waits for the device's return (or
    // its absence), so that the version it came back with is in the same line.
    if (result == DFU_client::FlashSucceeded || result == DFU_client::FlashUnconfirmed) {
        waitingForReturn = true;
        return;
    }
    write();
}

void RunRecordWriter::onDeviceReturned(const QString& version)
{
    if (!waitingForReturn)
        return;
    pending->after = version;
    write();
}

void RunRecordWriter::onLinkChanged()
{
    // The unit's return belongs to the run that waits for it.
    if (pending && !waitingForReturn && !link->dfu()->isAwaitingUnit())
        takeDeviceFields();
}

void RunRecordWriter::takeDeviceFields()
{
    if (!pending || !link->port()->isOpen())
        return;
    RunRecord& record = *pending;
    // "---" is the link's name while it knows of no device.
    const auto known = [](const QString& text) {
        return !text.isEmpty() && text != "---";
    };
    const QString name = link->connectedDeviceName();
    if (known(name))
        record.device = name;
    // The unit by the serial of its application firmware, where the link
    // saw it there: a boot loader may report another serial, or none.
    const DeviceReturnWatch::RunUnit& unit = link->returnWatch()->runUnit();
    const QString serial = unit.application && !unit.application->serial.isEmpty()
        ? unit.application->serial
        : link->getDevConnSerial();
    if (!serial.isEmpty())
        record.serial = serial;
    // Board fields and the boot-loader version come in one DfuInfo message.
    const uint bootLoader = link->bootLoaderVersion();
    if (bootLoader > 0) {
        record.bootloader = bootLoader;
        record.boardVersion = link->boardVersion();
        record.boardRevision = link->boardRevision();
    }
    // The version the run's unit reported in its application firmware
    // before the run, when the link saw it there.
    if (record.before.isNull() && unit.application && !unit.application->version.isEmpty())
        record.before = unit.application->version;
}

void RunRecordWriter::write()
{
    waitingForReturn = false;
    if (!pending)
        return;
    RunRecord record = *pending;
    pending.reset();
    record.tool = tool();
    if (record.tool.isEmpty())
        return;
    record.toolVersion = QStringLiteral(TRENNIC_VERSION);
    if (!record.end.isValid())
        record.end = QDateTime::currentDateTime();
    debugLine() << "run record:" << record.result << record.source;
    RunRecord::append(record, recordPath.isEmpty() ? RunRecord::defaultPath() : recordPath);
}

#include "fixedportprovider.h"

#include "usb_stmflasher.h"

#include <QFileInfo>

namespace {

bool namedLikeSerialPort(const QString& name)
{
    return name.startsWith(QLatin1String("tty")) || name.startsWith(QLatin1String("COM"));
}

bool isPath(const QString& port)
{
    return port.contains(QLatin1Char('/')) || port.contains(QLatin1Char('\\'));
}

} // namespace

FixedPortProvider::FixedPortProvider(const QString& port) : argument(port)
{
#ifdef Q_OS_WIN
    location = port;
#else
    location = isPath(port) ? QFileInfo(port).absoluteFilePath() : QStringLiteral("/dev/") + port;
#endif
}

QString FixedPortProvider::portName() const
{
    if (!isPath(argument))
        return argument;
    // A udev link (/dev/serial/by-id/...) names the tty it points at, which
    // is what the bus descriptions know it by.
    QString target = QFileInfo(QFileInfo(location).canonicalFilePath()).fileName();
    if (namedLikeSerialPort(target))
        return target;
    const QString own = QFileInfo(location).fileName();
    return namedLikeSerialPort(own) ? own : QStringLiteral("tty") + own;
}

QList<SerialPortRecord> FixedPortProvider::ports() const
{
    SerialPortRecord record;
    bool known = false;
    const QString canonical = QFileInfo(location).canonicalFilePath();
    for (const SerialPortRecord& system : SerialPortEnvironment::systemPorts()) {
        if (system.systemLocation == location || system.portName == argument
            || (!canonical.isEmpty() && system.systemLocation == canonical)) {
            record = system;
            known = true;
            break;
        }
    }
#ifdef Q_OS_WIN
    if (!known)
        return {};
#else
    if (!QFileInfo::exists(location))
        return {};
#endif
    if (!known)
        record.portName = portName();
    // Opened through the path given, so a link that moves to a new device
    // node is followed.
    record.systemLocation = location;
    record.vendorIdentifier = USB_StmFlasher::stmVendorId;
    record.hasVendorIdentifier = true;
    if (record.productIdentifier != USB_StmFlasher::bootLoaderProductId
        && record.productIdentifier != USB_StmFlasher::applicationProductId)
        record.productIdentifier = USB_StmFlasher::applicationProductId;
    record.hasProductIdentifier = true;
    if (!namedLikeSerialPort(record.portName))
        record.portName = portName();
    return {record};
}

QList<BusDescriptionRecord> FixedPortProvider::busDescriptions() const
{
    return SerialPortEnvironment::systemBusDescriptionRecords();
}

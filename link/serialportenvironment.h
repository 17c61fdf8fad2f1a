#pragma once

#include "busdescription.h"

#include <QList>
#include <QString>

// One serial port as the link sees it when it scans for a device.
struct SerialPortRecord
{
    QString portName; // e.g. COM7 or ttyACM0: what the matching rules look at
    QString systemLocation; // what is opened, e.g. /dev/ttyACM0 or /dev/pts/5
    QString description;
    QString manufacturer;
    QString serialNumber;
    quint16 vendorIdentifier = 0;
    quint16 productIdentifier = 0;
    bool hasVendorIdentifier = false;
    bool hasProductIdentifier = false;
};

// A source of ports other than the operating system, such as the device
// emulator. Implementations are called from any thread and must be
// thread-safe.
class SerialPortProvider
{
public:
    virtual ~SerialPortProvider() = default;
    virtual QList<SerialPortRecord> ports() const = 0;
    virtual QList<BusDescriptionRecord> busDescriptions() const = 0;
};

// The process-wide answer to "which serial ports exist". By default it asks
// the operating system. While one or more providers are installed, their
// answers (in installation order) replace the system's, so an emulated device
// is the only device a test or the demo sees.
namespace SerialPortEnvironment {

QList<SerialPortRecord> availablePorts();
QList<BusDescriptionRecord> busDescriptionRecords();

void installProvider(SerialPortProvider* provider);
// Blocks until no call into `provider` is running.
void removeProvider(SerialPortProvider* provider);

// The operating system's answers, whatever is installed.
QList<SerialPortRecord> systemPorts();
QList<BusDescriptionRecord> systemBusDescriptionRecords();

} // namespace SerialPortEnvironment

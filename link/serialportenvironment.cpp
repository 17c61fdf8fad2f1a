#include "serialportenvironment.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSerialPortInfo>

namespace {

struct Providers
{
    QMutex mutex;
    QList<SerialPortProvider*> installed;
};

Providers& providers()
{
    static Providers instance;
    return instance;
}

} // namespace

namespace SerialPortEnvironment {

QList<SerialPortRecord> systemPorts()
{
    QList<SerialPortRecord> records;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& info : infos) {
        SerialPortRecord record;
        record.portName = info.portName();
        record.systemLocation = info.systemLocation();
        record.description = info.description();
        record.manufacturer = info.manufacturer();
        record.serialNumber = info.serialNumber();
        record.hasVendorIdentifier = info.hasVendorIdentifier();
        record.vendorIdentifier = info.vendorIdentifier();
        record.hasProductIdentifier = info.hasProductIdentifier();
        record.productIdentifier = info.productIdentifier();
        records.append(record);
    }
    return records;
}

QList<BusDescriptionRecord> systemBusDescriptionRecords()
{
    return BusDescriptions::present();
}

namespace {

// The installed providers' answers in installation order, else the system's.
template<typename Record>
QList<Record> answers(QList<Record> (SerialPortProvider::*ask)() const,
                      QList<Record> (*system)())
{
    Providers& p = providers();
    QMutexLocker lock(&p.mutex);
    if (p.installed.isEmpty()) {
        lock.unlock();
        return system();
    }
    QList<Record> records;
    for (const SerialPortProvider* provider : qAsConst(p.installed))
        records += (provider->*ask)();
    return records;
}

} // namespace

QList<SerialPortRecord> availablePorts()
{
    return answers(&SerialPortProvider::ports, &systemPorts);
}

QList<BusDescriptionRecord> busDescriptionRecords()
{
    return answers(&SerialPortProvider::busDescriptions, &systemBusDescriptionRecords);
}

void installProvider(SerialPortProvider* provider)
{
    Providers& p = providers();
    QMutexLocker lock(&p.mutex);
    if (provider != nullptr && !p.installed.contains(provider))
        p.installed.append(provider);
}

void removeProvider(SerialPortProvider* provider)
{
    Providers& p = providers();
    QMutexLocker lock(&p.mutex);
    p.installed.removeAll(provider);
}

} // namespace SerialPortEnvironment

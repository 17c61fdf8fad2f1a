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

QList<SerialPortRecord> availablePorts()
{
    Providers& p = providers();
    QMutexLocker lock(&p.mutex);
    if (p.installed.isEmpty()) {
        lock.unlock();
        return systemPorts();
    }
    QList<SerialPortRecord> records;
    for (const SerialPortProvider* provider : qAsConst(p.installed))
        records += provider->ports();
    return records;
}

QList<BusDescriptionRecord> busDescriptionRecords()
{
    Providers& p = providers();
    QMutexLocker lock(&p.mutex);
    if (p.installed.isEmpty()) {
        lock.unlock();
        return systemBusDescriptionRecords();
    }
    QList<BusDescriptionRecord> records;
    for (const SerialPortProvider* provider : qAsConst(p.installed))
        records += provider->busDescriptions();
    return records;
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

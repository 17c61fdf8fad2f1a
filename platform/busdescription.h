#pragma once

#include "busdescription_setupapi.h"

#include <QList>
#include <QString>

#include <vector>

// What the USB bus reports for a present serial-port device: its product
// string, and a friendly name that ends in the port name in parentheses,
// e.g. "Korvo 7 (COM7)".
struct BusDescriptionRecord
{
    QString busDescription;
    QString friendlyName;
};

// The platform step of naming a port's device: the records of every present
// serial-port device, as the operating system lists them.
namespace BusDescriptions {

// This system's records: SetupAPI on Windows, sysfs elsewhere.
QList<BusDescriptionRecord> present();

// SetupAPI's UTF-16 descriptions (one character per code unit) and UTF-8
// friendly names as records.
QList<BusDescriptionRecord> fromSetupApi(const std::vector<SetupApiPortRecord>& records);

// For every tty under <sysRoot>/class/tty that sits on a USB device, that
// device's product string and "<product> (<name>)".
QList<BusDescriptionRecord> fromSysfs(const QString& sysRoot);

} // namespace BusDescriptions

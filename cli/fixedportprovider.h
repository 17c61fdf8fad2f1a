#pragma once

#include "serialportenvironment.h"

#include <QString>

// The one port named on the command line (--port), reported as a Korvo
// device's port while its path exists, whatever the system knows about it:
// a pseudo-terminal or a udev-style symbolic link has no USB identifiers.
// Installed in the serial-port environment, it replaces the system's port
// list, so the link opens that port and no other, and finds it again when it
// comes back after a reboot.
class FixedPortProvider : public SerialPortProvider
{
public:
    // `port`: a path (/dev/ttyACM0, /tmp/korvo) or a port name (ttyACM0, COM7).
    explicit FixedPortProvider(const QString& port);

    QString systemLocation() const { return location; }
    // A name the link's matching rule accepts ("tty..." or "COM..."): the
    // system's name of the port when it has one, else derived from the path.
    QString portName() const;

    // The port, while its path exists.
    QList<SerialPortRecord> ports() const override;
    // The system's bus descriptions, so a real device is still named by its
    // USB product string.
    QList<BusDescriptionRecord> busDescriptions() const override;

private:
    QString argument;
    QString location;
};

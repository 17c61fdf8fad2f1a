#pragma once

#include "korvoemulator.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>

// One flashing run of the soak, drawn from (seed, index) alone, so any run
// can be played again on its own: the image, how it reaches the engine, and
// the faults of the device and of the firmware server.
struct SoakRunPlan
{
    enum class Source {
        Direct, // handed to the engine as a file would be
        Download, // fetched from the local firmware server
    };
    enum class DownloadFault { None, ErrorStatus, Stall, Truncated };
    enum class CatalogueFault { None, ErrorStatus, Stall, Truncated, Malformed };

    // What the run must end in; anything else is a violation.
    enum class Expected {
        Success,
        DeviceError, // the device reports ErrorMessage
        DeviceSilent, // the watchdog (or the wait for ReadyToFlash) ends the run
        PortLost, // the device's port vanishes
        // The port goes with only the last acknowledgement outstanding: the
        // device has it all and restarts (a lost last acknowledgement), or is
        // unplugged at the last packet.
        Unconfirmed,
        DownloadFailed, // nothing may reach the device
    };

    int index = 0;
    int imageSize = 0; // transmitted bytes (the file has a 16-byte trailer more)
    int packets = 0;
    Source source = Source::Direct;
    DownloadFault downloadFault = DownloadFault::None;
    qint64 truncateAfter = 0; // for Truncated, body bytes sent
    int httpStatus = 0; // for the ErrorStatus faults
    CatalogueFault catalogueFault = CatalogueFault::None;
    int catalogueStatus = 0; // for ErrorStatus
    qint64 catalogueTruncateAfter = 0; // for Truncated
    QByteArray malformedCatalogue;
    KorvoEmulatorSettings device;
    QStringList faults; // names of every fault in play, e.g. "unplug@3"
    QString primaryFault; // the one that decides the outcome, or "none"
    Expected expected = Expected::Success;

    static SoakRunPlan draw(quint64 seed, int index);
    QString describe() const;
};

QString expectedName(SoakRunPlan::Expected expected);

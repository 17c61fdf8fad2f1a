#pragma once

// The platform step of telling apart why a port could not be opened. Free of
// Qt, so the Windows file can be checked by the MinGW compiler on any host.

#include <string>
#include <vector>

// What the serial layer's PermissionError on opening a port stands for. Qt
// reports a held lock file, a port opened exclusively elsewhere and missing
// access rights all as the same PermissionError.
enum class PermissionErrorCause {
    LockedByRunningProcess, // the serial layer's lock file names a process that runs
    Busy, // the port is open elsewhere (exclusive mode, ModemManager, another program)
    AccessDenied, // the user may not read and write the device node
    Unknown, // none of these could be confirmed
};

// The cause for a port opened at `systemLocation` (e.g. /dev/ttyACM0, COM5).
PermissionErrorCause permissionErrorCause(const std::string& systemLocation);

// Whether access is granted by group membership and the udev rule shipped in
// packaging/linux, so the window can point the user there.
bool accessRuleApplies();

#ifndef _WIN32
// The Unix step with the folders searched for lock files given; the one
// above searches the serial layer's own folders.
PermissionErrorCause permissionErrorCause(const std::string& systemLocation,
                                          const std::vector<std::string>& lockDirectories);
// The lock file's name the serial layer uses for a port, e.g. LCK..ttyACM0
// for /dev/ttyACM0 and LCK..pts_5 for /dev/pts/5.
std::string serialLockFileName(const std::string& systemLocation);
#endif

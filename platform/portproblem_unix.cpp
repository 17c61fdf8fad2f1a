#include "portproblem_platform.h"

#include <QDir>
#include <QLockFile>
#include <QString>

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace {

// Where Qt Serial Port looks for a folder to keep its lock files in, in its
// order; it locks in the first one it can use, so any of them may hold one.
std::vector<std::string> serialLockDirectories()
{
    std::vector<std::string> folders{"/var/lock",       "/etc/locks", "/var/spool/locks",
                                     "/var/spool/uucp", "/tmp",       "/var/tmp",
                                     "/var/lock/lockdev", "/run/lock"};
    folders.push_back(QDir::tempPath().toStdString());
    return folders;
}

bool processRuns(qint64 pid)
{
    if (pid <= 0)
        return false;
    // EPERM: it runs, under another user.
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

bool lockedByRunningProcess(const std::string& systemLocation,
                            const std::vector<std::string>& lockDirectories)
{
    const QString name = QString::fromStdString(serialLockFileName(systemLocation));
    for (const std::string& folder : lockDirectories) {
        const QLockFile lock(QDir(QString::fromStdString(folder)).filePath(name));
        qint64 pid = 0;
        QString hostName;
        QString application;
        if (lock.getLockInfo(&pid, &hostName, &application) && processRuns(pid))
            return true;
    }
    return false;
}

} // namespace

std::string serialLockFileName(const std::string& systemLocation)
{
    const std::string devicePrefix = "/dev/";
    std::string name = systemLocation.compare(0, devicePrefix.size(), devicePrefix) == 0
        ? systemLocation.substr(devicePrefix.size())
        : systemLocation;
    for (char& c : name)
        if (c == '/')
            c = '_';
    return "LCK.." + name;
}

PermissionErrorCause permissionErrorCause(const std::string& systemLocation,
                                          const std::vector<std::string>& lockDirectories)
{
    // Qt locks before it opens: a lock of a running process comes first.
    if (lockedByRunningProcess(systemLocation, lockDirectories))
        return PermissionErrorCause::LockedByRunningProcess;
    // Otherwise the open itself failed: EACCES for want of rights, EBUSY for
    // a port held in exclusive mode (another serial program, ModemManager).
    if (::access(systemLocation.c_str(), R_OK | W_OK) == 0)
        return PermissionErrorCause::Busy;
    if (errno == EACCES || errno == EPERM || errno == EROFS)
        return PermissionErrorCause::AccessDenied;
    return PermissionErrorCause::Unknown;
}

PermissionErrorCause permissionErrorCause(const std::string& systemLocation)
{
    return permissionErrorCause(systemLocation, serialLockDirectories());
}

bool accessRuleApplies()
{
    return true;
}

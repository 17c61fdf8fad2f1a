#include "logfilelock.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace LogFileLock {

void hold(QFile& file)
{
    // Shared: only a pruner's exclusive try is kept out. The lock goes with
    // the file's descriptor, also when the process dies.
    ::flock(file.handle(), LOCK_SH | LOCK_NB);
}

bool removeUnlessHeld(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return !QFile::exists(path);
    // Removed while locked, so no writer can take it up in between.
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    const bool removed = free && QFile::remove(path);
    ::close(fd);
    return removed;
}

} // namespace LogFileLock

#include "logfilelock.h"

#include <QFile>

namespace LogFileLock {

void hold(QFile&)
{
    // Qt opens files without FILE_SHARE_DELETE: while this process has the
    // file open, no other can remove it.
}

bool removeUnlessHeld(const QString& path)
{
    return QFile::remove(path);
}

} // namespace LogFileLock

#pragma once

#include <QString>

class QFile;

// Marks a log file as being written, so that the pruning of another process
// (the window and any number of command-line runs share the folder) leaves
// it alone. One step per platform: an advisory lock on Unix, where an open
// file can be removed; nothing on Windows, where it cannot.
namespace LogFileLock {

// Marks the open `file` for as long as it stays open in this process.
void hold(QFile& file);

// Removes the log file at `path` unless a process (this one included, through
// another handle) holds it; true when it is gone.
bool removeUnlessHeld(const QString& path);

} // namespace LogFileLock

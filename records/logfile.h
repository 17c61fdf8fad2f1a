#pragma once

#include <QDateTime>
#include <QString>
#include <QUrl>

// The tool's log file. One Qt message handler, installed at start-up by the
// window, the demo and the command-line tool, writes every line of the debug
// stream to a file of this process as well as passing it on, unchanged, to
// the handler installed before it (the debug output, or the command-line
// tool's filter). In the file every line has the debug log's prefix: lines
// written through debugLine() carry it already, the others (QML's
// console.log, Qt's own warnings) get it added.
//
// Files are <folder>/trennic-flasher-<yyyyMMdd-hhmmss>-<pid>.log, one per
// process; at start-up the newest keptFiles files within keptBytes are kept
// and older ones removed; the folder is pruned again after every mebibyte
// written. A process whose file would outgrow keptBytes goes on in a new
// file (same pattern, the time of the switch), so a window left open for
// weeks cannot fill the disk.
//
// A folder that cannot be created or written never stops the tool: the
// lines still reach the debug output, and one line there says why the file
// is missing. Messages may come from any thread; each line is written whole
// and reaches the operating system before the handler returns.
namespace LogFile {

constexpr int keptFiles = 20;
constexpr qint64 keptBytes = qint64(50) * 1024 * 1024;

// <the window's per-user data folder>/logs
QString defaultFolder();

// Installs the handler and opens a new file in `folder`, then prunes the
// folder. Returns the file's path, or an empty string when no file could be
// opened (the handler is installed all the same). A second call while
// installed changes nothing and returns the current path.
QString install(const QString& folder = defaultFolder());

// Puts the previous handler back and closes the file (tests).
void uninstall();

// The file being written, or an empty string.
QString currentPath();

// trennic-flasher-<yyyyMMdd-hhmmss>-<pid>.log; a non-zero `sequence` adds
// "-<sequence>" before the extension, for a name that is already taken.
QString fileName(const QDateTime& started, qint64 pid, int sequence = 0);

// Removes log files of `folder` beyond the newest keptFiles and beyond
// keptBytes in all, newest by the start time in their names; the file
// `keep` always stays and counts first.
void prune(const QString& folder, const QString& keep);

} // namespace LogFile

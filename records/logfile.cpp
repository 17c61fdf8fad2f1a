#include "logfile.h"

#include "debugline.h"
#include "logfilelock.h"
#include "userfolders.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>

namespace LogFile {

namespace {

const QString namePattern = QStringLiteral("trennic-flasher-*.log");

// What the handler works with. Made once and never destroyed: Qt may still
// send messages while static objects are being destroyed at exit.
struct State
{
    // A standard mutex rather than QMutex: ThreadSanitizer sees its locking
    // (Qt's libraries are not instrumented).
    std::mutex mutex;
    bool installed = false;
    QtMessageHandler previous = nullptr;
    QString folder;
    std::unique_ptr<QFile> file; // open while the log is written to a file
    qint64 written = 0;
    qint64 writtenSincePrune = 0;
    // A new file could not be opened when this one was full: the log goes
    // on here (said once), and a new file is tried again from
    // retryRotationAt bytes written on.
    bool rotationFailed = false;
    qint64 retryRotationAt = 0;
};

// While a file grows, the folder is pruned again after every this many
// bytes, so that the files together stay within keptBytes plus this.
constexpr qint64 pruneEveryBytes = qint64(1024) * 1024;

State& state()
{
    static State* const instance = new State;
    return *instance;
}

bool isOpen(const State& s)
{
    return s.file && s.file->isOpen();
}

// Set while this thread writes a line, so that a message raised on the way
// cannot lock the mutex a second time.
thread_local bool writingLine = false;

// Opens a new file named for the current time and, once it is open, lets go
// of the one before (which stays as it is when no new file can be had); the
// caller holds the mutex.
bool openNewFile(State& s, QString* error)
{
    if (!QDir().mkpath(s.folder)) {
        *error = QStringLiteral("cannot create the folder");
        return false;
    }
    const QDateTime now = QDateTime::currentDateTime();
    const qint64 pid = QCoreApplication::applicationPid();
    QString path;
    for (int sequence = 0;; ++sequence) {
        path = QDir(s.folder).filePath(fileName(now, pid, sequence));
        if (!QFileInfo::exists(path))
            break;
    }
    auto next = std::make_unique<QFile>(path);
    // Unbuffered: every line goes to the operating system in one write.
    if (!next->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = next->errorString();
        return false;
    }
    // Marked as being written, so that no other process prunes it.
    LogFileLock::hold(*next);
    s.file = std::move(next);
    s.written = 0;
    s.writtenSincePrune = 0;
    prune(s.folder, path);
    return true;
}

QByteArray fileLine(const QString& message)
{
    QString line
        = hasDebugLinePrefix(message) ? message : debugLinePrefix() + QLatin1Char(' ') + message;
    line += QLatin1Char('\n');
    return line.toUtf8();
}

// Why a full file could not be changed for a new one, and the file the log
// goes on in.
struct RotationNotice
{
    QString error;
    QString path;
};

// Writes the line to the file; returns a notice for the debug output when
// the file could not be changed for a new one.
std::optional<RotationNotice> writeToFile(const QString& message)
{
    if (writingLine)
        return {};
    writingLine = true;
    State& s = state();
    const QByteArray line = fileLine(message);
    std::optional<RotationNotice> notice;
    {
        const std::lock_guard<std::mutex> lock(s.mutex);
        if (isOpen(s)) {
            const bool full = s.written > 0 && s.written + line.size() > keptBytes;
            if (full && s.written >= s.retryRotationAt) {
                QString error;
                if (openNewFile(s, &error)) {
                    s.rotationFailed = false;
                    s.retryRotationAt = 0;
                } else {
                    s.retryRotationAt = s.written + pruneEveryBytes;
                    if (!s.rotationFailed)
                        notice = {error, s.file->fileName()};
                    s.rotationFailed = true;
                }
            }
            if (s.file->write(line) == line.size()) {
                s.written += line.size();
                s.writtenSincePrune += line.size();
            }
            if (s.writtenSincePrune >= pruneEveryBytes) {
                s.writtenSincePrune = 0;
                prune(s.folder, s.file->fileName());
            }
        }
    }
    writingLine = false;
    return notice;
}

void handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const std::optional<RotationNotice> notice = writeToFile(message);
    QtMessageHandler previous = nullptr;
    {
        const std::lock_guard<std::mutex> lock(state().mutex);
        previous = state().previous;
    }
    if (previous)
        previous(type, context, message);
    // Once, after the line that found the file full. Qt sends a message
    // raised inside a handler straight to stderr, so the line is made here
    // and taken the way of every other line.
    if (notice) {
        QString text;
        QDebug(&text) << "log file full, no new one could be opened:" << notice->error
                      << "going on in" << notice->path;
        const QString line = debugLinePrefix() + QLatin1Char(' ') + text.trimmed();
        writeToFile(line);
        if (previous)
            previous(QtDebugMsg, context, line);
    }
}

} // namespace

QString defaultFolder()
{
    return UserFolders::logsFolder();
}

QString install(const QString& logFolder)
{
    State& s = state();
    QString error;
    QString path;
    {
        const std::lock_guard<std::mutex> lock(s.mutex);
        if (s.installed)
            return isOpen(s) ? s.file->fileName() : QString();
        s.installed = true;
        s.folder = logFolder;
        s.rotationFailed = false;
        s.retryRotationAt = 0;
        if (openNewFile(s, &error))
            path = s.file->fileName();
        s.previous = qInstallMessageHandler(handler);
    }
    if (path.isEmpty())
        debugLine() << "log file not written, folder:" << logFolder << "reason:" << error;
    return path;
}

void uninstall()
{
    State& s = state();
    const std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.installed)
        return;
    qInstallMessageHandler(s.previous);
    s.previous = nullptr;
    s.installed = false;
    s.file.reset();
    s.folder.clear();
}

QString currentPath()
{
    State& s = state();
    const std::lock_guard<std::mutex> lock(s.mutex);
    return isOpen(s) ? s.file->fileName() : QString();
}

QString fileName(const QDateTime& started, qint64 pid, int sequence)
{
    QString name = QStringLiteral("trennic-flasher-%1-%2")
                       .arg(started.toString(QStringLiteral("yyyyMMdd-hhmmss")))
                       .arg(pid);
    if (sequence > 0)
        name += QStringLiteral("-%1").arg(sequence);
    return name + QStringLiteral(".log");
}

void prune(const QString& logFolder, const QString& keep)
{
    QFileInfoList files
        = QDir(logFolder).entryInfoList({namePattern}, QDir::Files | QDir::Hidden, QDir::NoSort);
    // The names start with the start time, so name order is age order.
    std::sort(files.begin(), files.end(),
              [](const QFileInfo& a, const QFileInfo& b) { return a.fileName() > b.fileName(); });
    const QFileInfo kept(keep);
    int count = 0;
    qint64 bytes = 0;
    if (kept.exists()) {
        count = 1;
        bytes = kept.size();
    }
    bool full = false;
    for (const QFileInfo& file : files) {
        if (file == kept)
            continue;
        full = full || count + 1 > keptFiles || bytes + file.size() > keptBytes;
        // A file another process is still writing stays, whatever its age:
        // a window left open all day has the oldest file.
        if (full && LogFileLock::removeUnlessHeld(file.filePath()))
            continue;
        ++count;
        bytes += file.size();
    }
}

} // namespace LogFile

#include "logfile.h"

#include "debugline.h"
#include "userfolders.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <mutex>

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
    QFile file;
    qint64 written = 0;
    qint64 writtenSincePrune = 0;
};

// While a file grows, the folder is pruned again after every this many
// bytes, so that the files together stay within keptBytes plus this.
constexpr qint64 pruneEveryBytes = qint64(1024) * 1024;

State& state()
{
    static State* const instance = new State;
    return *instance;
}

// Set while this thread writes a line, so that a message raised on the way
// cannot lock the mutex a second time.
thread_local bool writingLine = false;

// Opens a new file named for the current time; the caller holds the mutex.
bool openNewFile(State& s, QString* error)
{
    s.file.close();
    s.written = 0;
    s.writtenSincePrune = 0;
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
    s.file.setFileName(path);
    // Unbuffered: every line goes to the operating system in one write.
    if (!s.file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = s.file.errorString();
        return false;
    }
    prune(s.folder, path);
    return true;
}

QByteArray fileLine(const QString& message)
{
    QString line = hasDebugLinePrefix(message) ? message
                                               : debugLinePrefix() + QLatin1Char(' ') + message;
    line += QLatin1Char('\n');
    return line.toUtf8();
}

void writeToFile(const QString& message)
{
    if (writingLine)
        return;
    writingLine = true;
    State& s = state();
    const QByteArray line = fileLine(message);
    {
        const std::lock_guard<std::mutex> lock(s.mutex);
        if (s.file.isOpen()) {
            QString ignored;
            if (s.written > 0 && s.written + line.size() > keptBytes)
                openNewFile(s, &ignored);
            if (s.file.isOpen() && s.file.write(line) == line.size()) {
                s.written += line.size();
                s.writtenSincePrune += line.size();
            }
            if (s.writtenSincePrune >= pruneEveryBytes) {
                s.writtenSincePrune = 0;
                prune(s.folder, s.file.fileName());
            }
        }
    }
    writingLine = false;
}

void handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    writeToFile(message);
    QtMessageHandler previous = nullptr;
    {
        const std::lock_guard<std::mutex> lock(state().mutex);
        previous = state().previous;
    }
    if (previous)
        previous(type, context, message);
}

} // namespace

QString defaultFolder()
{
    return QDir(UserFolders::dataFolder()).filePath(QStringLiteral("logs"));
}

QString install(const QString& logFolder)
{
    State& s = state();
    QString error;
    QString path;
    {
        const std::lock_guard<std::mutex> lock(s.mutex);
        if (s.installed)
            return s.file.isOpen() ? s.file.fileName() : QString();
        s.installed = true;
        s.folder = logFolder;
        if (openNewFile(s, &error))
            path = s.file.fileName();
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
    s.file.close();
    s.folder.clear();
}

QString currentPath()
{
    State& s = state();
    const std::lock_guard<std::mutex> lock(s.mutex);
    return s.file.isOpen() ? s.file.fileName() : QString();
}

QString folder()
{
    State& s = state();
    const std::lock_guard<std::mutex> lock(s.mutex);
    return s.installed ? s.folder : defaultFolder();
}

QUrl folderUrl()
{
    return QUrl::fromLocalFile(folder());
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
    std::sort(files.begin(), files.end(), [](const QFileInfo& a, const QFileInfo& b) {
        return a.fileName() > b.fileName();
    });
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
        if (full) {
            QFile::remove(file.filePath());
            continue;
        }
        ++count;
        bytes += file.size();
    }
}

} // namespace LogFile

#include "logcapture.h"

#include <cstdio>
#include <mutex>

namespace {

// A standard mutex rather than QMutex: ThreadSanitizer sees its locking,
// and lines come from the engine's pool threads too.
std::mutex captureMutex;
QStringList capturedLines;
QtMessageHandler forwardTo = nullptr;
bool forwarding = qEnvironmentVariableIsSet("TRENNIC_TEST_LOG");

} // namespace

LogCapture::LogCapture()
{
    const std::lock_guard<std::mutex> lock(captureMutex);
    capturedLines.clear();
    previous = qInstallMessageHandler(&LogCapture::handler);
    forwardTo = previous;
}

LogCapture::~LogCapture()
{
    const std::lock_guard<std::mutex> lock(captureMutex);
    qInstallMessageHandler(previous);
    forwardTo = nullptr;
    capturedLines.clear();
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    QtMessageHandler forward = nullptr;
    {
        const std::lock_guard<std::mutex> lock(captureMutex);
        capturedLines.append(message);
        forward = forwardTo;
    }
    // Debug lines are only echoed when asked for; warnings always are.
    if (type == QtDebugMsg && !forwarding)
        return;
    if (forward)
        forward(type, context, message);
    else
        fprintf(stderr, "%s\n", qPrintable(message));
}

QStringList LogCapture::lines() const
{
    const std::lock_guard<std::mutex> lock(captureMutex);
    return capturedLines;
}

QStringList LogCapture::messages() const
{
    static const QString marker = QStringLiteral("Debug : ");
    QStringList result;
    for (const QString& line : lines()) {
        const int at = line.indexOf(marker);
        result.append(at >= 0 ? line.mid(at + marker.size()) : line);
    }
    return result;
}

QStringList LogCapture::messagesStartingWith(const QString& prefix) const
{
    QStringList result;
    for (const QString& message : messages())
        if (message.startsWith(prefix))
            result.append(message);
    return result;
}

void LogCapture::clear()
{
    const std::lock_guard<std::mutex> lock(captureMutex);
    capturedLines.clear();
}

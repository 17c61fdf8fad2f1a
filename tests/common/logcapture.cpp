#include "logcapture.h"

#include <QMutex>
#include <QMutexLocker>

#include <cstdio>

namespace {

QMutex captureMutex;
QStringList capturedLines;
QtMessageHandler forwardTo = nullptr;
bool forwarding = qEnvironmentVariableIsSet("TRENNIC_TEST_LOG");

} // namespace

LogCapture::LogCapture()
{
    QMutexLocker lock(&captureMutex);
    capturedLines.clear();
    previous = qInstallMessageHandler(&LogCapture::handler);
    forwardTo = previous;
}

LogCapture::~LogCapture()
{
    QMutexLocker lock(&captureMutex);
    qInstallMessageHandler(previous);
    forwardTo = nullptr;
    capturedLines.clear();
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    QtMessageHandler forward = nullptr;
    {
        QMutexLocker lock(&captureMutex);
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
    QMutexLocker lock(&captureMutex);
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
    QMutexLocker lock(&captureMutex);
    capturedLines.clear();
}

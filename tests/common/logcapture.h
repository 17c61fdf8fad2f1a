#pragma once

#include <QStringList>
#include <QtMessageHandler>

// Collects the debug lines written while it lives (from any thread) and
// forwards them to the previous handler, so test output keeps the log.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const;
    // The lines with their time-stamp prefix cut off: what follows "Debug : ".
    QStringList messages() const;
    // Messages that start with `prefix`.
    QStringList messagesStartingWith(const QString& prefix) const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);
    QtMessageHandler previous = nullptr;
};

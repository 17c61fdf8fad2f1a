#include "progressreport.h"

#include <QLatin1String>

#include <cmath>

namespace {

// Clears from the cursor to the end of the line, so a shorter update leaves
// nothing of a longer one behind.
const QLatin1String clearToLineEnd("\x1b[K");

QString duration(qint64 seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

QString ProgressReport::line(unsigned int percent, quint64 confirmedBytes, quint64 imageSize,
                             std::chrono::milliseconds elapsed)
{
    return line(QStringLiteral("flashing"), percent, confirmedBytes, imageSize, elapsed);
}

QString ProgressReport::line(const QString& what, unsigned int percent, quint64 confirmedBytes,
                             quint64 imageSize, std::chrono::milliseconds elapsed)
{
    QString text = QStringLiteral("%1 %2 %").arg(what).arg(percent, 3);
    if (confirmedBytes == 0 || elapsed.count() <= 0) {
        text += QStringLiteral("   -- KiB/s   -:-- left");
        return text;
    }
    const double seconds = double(elapsed.count()) / 1000.0;
    const double bytesPerSecond = double(confirmedBytes) / seconds;
    text += QStringLiteral("   %1 KiB/s").arg(bytesPerSecond / 1024.0, 0, 'f', 1);
    const quint64 remaining = imageSize > confirmedBytes ? imageSize - confirmedBytes : 0;
    text += QStringLiteral("   %1 left")
                .arg(duration(std::llround(double(remaining) / bytesPerSecond)));
    return text;
}

QString ProgressReport::update(unsigned int percent, quint64 confirmedBytes, quint64 imageSize,
                               std::chrono::milliseconds elapsed)
{
    if (percent == 0)
        return {};
    if (style == Style::UpdatingLine) {
        lineOpen = true;
        return QLatin1Char('\r') + line(what, percent, confirmedBytes, imageSize, elapsed)
            + clearToLineEnd;
    }
    const unsigned int step = percent / lineStepPercent * lineStepPercent;
    if (step == 0 || step <= lastLineStep)
        return {};
    lastLineStep = step;
    return line(what, percent, confirmedBytes, imageSize, elapsed) + QLatin1Char('\n');
}

QString ProgressReport::finish(bool succeeded, quint64 imageSize, std::chrono::milliseconds elapsed)
{
    const bool wasOpen = lineOpen;
    lineOpen = false;
    if (!succeeded)
        return wasOpen ? QStringLiteral("\n") : QString();
    const double seconds = double(elapsed.count()) / 1000.0;
    const double rate = seconds > 0 ? double(imageSize) / 1024.0 / seconds : 0.0;
    const QString last = QStringLiteral("%1 100 %   %2 KiB/s   %3 s in all")
                             .arg(what)
                             .arg(rate, 0, 'f', 1)
                             .arg(seconds, 0, 'f', seconds < 10 ? 2 : 1);
    if (style == Style::UpdatingLine)
        return QLatin1Char('\r') + last + clearToLineEnd + QLatin1Char('\n');
    return last + QLatin1Char('\n');
}

#include "debugline.h"

#include <QDateTime>
#include <QRegularExpression>

namespace {

// The "hh:mm:ss:zzz" text of the local time. Converting to local time costs a
// time-zone lookup (and a file check) per call, and the flashing engine logs
// several lines per packet, so each thread keeps the text of the current
// second and only appends the milliseconds. Time-zone changes fall on whole
// seconds, so the cached text is always right.
QString localTimeStamp()
{
    thread_local qint64 cachedSecond = -1;
    thread_local QString cachedText;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 second = now / 1000;
    if (second != cachedSecond) {
        cachedSecond = second;
        cachedText
            = QDateTime::fromMSecsSinceEpoch(second * 1000).toString(QStringLiteral("hh:mm:ss:"));
    }
    return cachedText + QStringLiteral("%1").arg(now % 1000, 3, 10, QLatin1Char('0'));
}

} // namespace

QString debugLinePrefix()
{
    return QLatin1Char('"') + localTimeStamp() + QStringLiteral("\" Debug :");
}

bool hasDebugLinePrefix(const QString& line)
{
    static const QRegularExpression prefix(
        QStringLiteral("^\"\\d{2}:\\d{2}:\\d{2}:\\d{3}\" Debug :( |$)"));
    return prefix.match(line).hasMatch();
}

QDebug debugLine()
{
    return qDebug() << localTimeStamp() << "Debug :";
}

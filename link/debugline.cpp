#include "debugline.h"

#include <QTime>

QDebug debugLine()
{
    return qDebug() << QTime::currentTime().toString(QStringLiteral("hh:mm:ss:zzz")) << "Debug :";
}

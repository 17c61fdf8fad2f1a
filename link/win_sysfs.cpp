#include "win.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString readTrimmed(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll()).trimmed();
}

} // namespace

QList<BusDescriptionRecord> Win::sysfsBusDescriptionRecords(const QString& sysRoot)
{
    QList<BusDescriptionRecord> records;
    const QDir ttyClass(sysRoot + QStringLiteral("/class/tty"));
    const QString devicesRoot = QFileInfo(sysRoot + QStringLiteral("/devices")).canonicalFilePath();
    const QStringList names
        = ttyClass.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
    for (const QString& name : names) {
        QString dir
            = QFileInfo(ttyClass.filePath(name) + QStringLiteral("/device")).canonicalFilePath();
        if (dir.isEmpty())
            continue; // a virtual terminal: no device behind it
        // Walk up from the tty's device (a USB interface, or a usb-serial port
        // below one) to the USB device that owns the product string.
        while (!dir.isEmpty() && dir != devicesRoot && dir.startsWith(devicesRoot)) {
            if (QFileInfo::exists(dir + QStringLiteral("/idVendor"))) {
                const QString product = readTrimmed(dir + QStringLiteral("/product"));
                if (!product.isNull())
                    records.append(
                        {product, product + QStringLiteral(" (") + name + QLatin1Char(')')});
                break;
            }
            dir = QFileInfo(dir).path();
        }
    }
    return records;
}

QList<BusDescriptionRecord> SerialPortEnvironment::systemBusDescriptionRecords()
{
    return Win::sysfsBusDescriptionRecords(QStringLiteral("/sys"));
}

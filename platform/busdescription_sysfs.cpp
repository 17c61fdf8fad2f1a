#include "busdescription.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// A sysfs text attribute without the newline the kernel appends; a null
// string when it cannot be read. Other white space belongs to the value (a
// product string is compared exactly with the catalogue's device names).
QString readAttribute(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QByteArray value = file.readAll();
    if (value.endsWith('\n'))
        value.chop(1);
    return QString::fromUtf8(value.constData(), value.size());
}

} // namespace

QList<BusDescriptionRecord> BusDescriptions::fromSysfs(const QString& sysRoot)
{
    QList<BusDescriptionRecord> records;
    const QDir ttyClass(sysRoot + QStringLiteral("/class/tty"));
    const QString devicesRoot = QFileInfo(sysRoot + QStringLiteral("/devices")).canonicalFilePath();
    if (devicesRoot.isEmpty())
        return records; // no device tree to walk up in
    const QStringList names
        = ttyClass.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
    for (const QString& name : names) {
        QString dir
            = QFileInfo(ttyClass.filePath(name) + QStringLiteral("/device")).canonicalFilePath();
        if (dir.isEmpty())
            continue; // a virtual terminal: no device behind it
        // Walk up from the tty's device (a USB interface, or a usb-serial port
        // below one) to the USB device that owns the product string.
        while (dir.startsWith(devicesRoot + QLatin1Char('/'))) {
            if (QFileInfo::exists(dir + QStringLiteral("/idVendor"))) {
                const QString product = readAttribute(dir + QStringLiteral("/product"));
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

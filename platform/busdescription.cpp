#include "busdescription.h"

namespace BusDescriptions {

QList<BusDescriptionRecord> fromSetupApi(const std::vector<SetupApiPortRecord>& records)
{
    QList<BusDescriptionRecord> converted;
    // Copied unit by unit: a decoder would drop a leading byte-order mark.
    for (const SetupApiPortRecord& record : records)
        converted.append(
            {QString(reinterpret_cast<const QChar*>(record.busDescription.data()),
                     int(record.busDescription.size())),
             QString::fromUtf8(record.friendlyName.data(), int(record.friendlyName.size()))});
    return converted;
}

QList<BusDescriptionRecord> present()
{
#ifdef Q_OS_WIN
    return fromSetupApi(setupApiPortRecords());
#else
    return fromSysfs(QStringLiteral("/sys"));
#endif
}

} // namespace BusDescriptions

// The catalogue step of DFU_client, kept apart from the flashing engine so that
// it stands alone: the request URL and the JSON body to catalogue map.

#include "dfu_client.h"

#include "firmwareserver.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QVariantList>

namespace {

const QString catalogueScript = QStringLiteral("/app.php?listFirmwares=ALL&clientVer=");

} // namespace

QString DFU_client::catalogueRequestUrl(const QString& clientVersion)
{
    return FirmwareServer::baseUrl() + catalogueScript + clientVersion;
}

DFU_client::CatalogueParse DFU_client::catalogueFromJson(const QByteArray& body,
                                                         const QString& baseUrl,
                                                         QVariantMap* catalogue)
{
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return CatalogueParse::NotJsonObject;
    const QJsonObject root = document.object();
    if (root.isEmpty())
        return CatalogueParse::EmptyObject;

    QVariantMap result;
    const QVariantMap devices = root.toVariantMap();
    for (auto device = devices.cbegin(); device != devices.cend(); ++device) {
        QVariantList entries;
        const QVariantMap folders
            = device.value().type() == QVariant::Map ? device.value().toMap() : QVariantMap();
        for (auto folder = folders.cbegin(); folder != folders.cend(); ++folder) {
            if (folder.value().type() != QVariant::List)
                continue;
            const QVariantList files = folder.value().toList();
            for (const QVariant& file : files) {
                const QString fileName = file.toString();
                QVariantMap entry;
                entry.insert(QStringLiteral("fileName"), fileName);
                entry.insert(QStringLiteral("fileUrl"),
                             baseUrl + QLatin1Char('/') + device.key() + QLatin1Char('/')
                                 + folder.key() + QLatin1Char('/') + fileName);
                entries.append(entry);
            }
        }
        result.insert(device.key(), entries);
    }
    *catalogue = result;
    return CatalogueParse::Ok;
}

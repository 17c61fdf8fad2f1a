// Fuzz target: arbitrary catalogue reply bodies through the step that turns
// them into the firmware catalogue. Either the catalogue is replaced by a
// well-formed map (a list per device; every entry exactly "fileName" and
// "fileUrl", both texts, the URL below the device's folder and ending in the
// file name), or it is left exactly as it was.

#include "dfu_client.h"
#include "fuzzinput.h"

#include <QCoreApplication>
#include <QVariantList>
#include <QVariantMap>

namespace {

const QString baseUrl = QStringLiteral("https://firmware.fuzz.example/trennics_firmware");
const QString fileNameKey = QStringLiteral("fileName");
const QString fileUrlKey = QStringLiteral("fileUrl");

void checkWellFormed(const QVariantMap& catalogue)
{
    FUZZ_CHECK(!catalogue.isEmpty(), "an accepted catalogue without devices");
    for (auto device = catalogue.cbegin(); device != catalogue.cend(); ++device) {
        FUZZ_CHECK(device.value().type() == QVariant::List, "device %s is not a list",
                   qPrintable(device.key()));
        const QString deviceUrl = baseUrl + QLatin1Char('/') + device.key() + QLatin1Char('/');
        for (const QVariant& value : device.value().toList()) {
            FUZZ_CHECK(value.type() == QVariant::Map, "an entry that is not a map");
            const QVariantMap entry = value.toMap();
            FUZZ_CHECK(entry.size() == 2 && entry.value(fileNameKey).type() == QVariant::String
                           && entry.value(fileUrlKey).type() == QVariant::String,
                       "entry keys %s", qPrintable(entry.keys().join(',')));
            const QString fileName = entry.value(fileNameKey).toString();
            const QString fileUrl = entry.value(fileUrlKey).toString();
            FUZZ_CHECK(fileUrl.startsWith(deviceUrl) && fileUrl.endsWith('/' + fileName),
                       "URL %s for %s in %s", qPrintable(fileUrl), qPrintable(fileName),
                       qPrintable(deviceUrl));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QVariantMap previous{
        {QStringLiteral("Korvo 7"),
         QVariantList{
             QVariantMap{{fileNameKey, QStringLiteral("kept.bin")},
                         {fileUrlKey, baseUrl + QStringLiteral("/Korvo 7/v1/kept.bin")}}}}};
    QVariantMap catalogue = previous;
    const QByteArray body(reinterpret_cast<const char*>(data), int(size));
    if (DFU_client::catalogueFromJson(body, baseUrl, &catalogue) == DFU_client::CatalogueParse::Ok)
        checkWellFormed(catalogue);
    else
        FUZZ_CHECK(catalogue == previous, "a refused body changed the catalogue");
    return 0;
}

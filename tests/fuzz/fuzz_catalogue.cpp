// Fuzz target: arbitrary catalogue reply bodies through the step that turns
// them into the firmware catalogue. Either the catalogue is replaced by a
// well-formed map (a list per device; every entry exactly "fileName" and
// "fileUrl", both texts, the URL below the base URL and ending in the file
// name), or it is left exactly as it was.

#include "dfu_client.h"
#include "fuzzinput.h"

#include <QCoreApplication>
#include <QVariantList>
#include <QVariantMap>

namespace {

const QString baseUrl = QStringLiteral("https://firmware.fuzz.example/trennics_firmware");
const QString fileNameKey = QStringLiteral("fileName");
const QString fileUrlKey = QStringLiteral("fileUrl");

QVariantMap previousCatalogue()
{
    QVariantMap entry;
    entry.insert(fileNameKey, QStringLiteral("kept.bin"));
    entry.insert(fileUrlKey, baseUrl + QStringLiteral("/Korvo 7/v1/kept.bin"));
    QVariantMap catalogue;
    catalogue.insert(QStringLiteral("Korvo 7"), QVariantList{entry});
    return catalogue;
}

void checkWellFormed(const QVariantMap& catalogue)
{
    FUZZ_CHECK(!catalogue.isEmpty(), "an accepted catalogue without devices");
    for (auto device = catalogue.cbegin(); device != catalogue.cend(); ++device) {
        FUZZ_CHECK(device.value().type() == QVariant::List, "device %s is not a list",
                   qPrintable(device.key()));
        const QString deviceUrl = baseUrl + QLatin1Char('/') + device.key() + QLatin1Char('/');
        const QVariantList entries = device.value().toList();
        for (const QVariant& entryValue : entries) {
            FUZZ_CHECK(entryValue.type() == QVariant::Map, "an entry that is not a map");
            const QVariantMap entry = entryValue.toMap();
            FUZZ_CHECK(entry.size() == 2 && entry.contains(fileNameKey)
                           && entry.contains(fileUrlKey),
                       "entry keys %s", qPrintable(entry.keys().join(',')));
            FUZZ_CHECK(entry.value(fileNameKey).type() == QVariant::String
                           && entry.value(fileUrlKey).type() == QVariant::String,
                       "entry values are not texts");
            const QString fileName = entry.value(fileNameKey).toString();
            const QString fileUrl = entry.value(fileUrlKey).toString();
            FUZZ_CHECK(fileUrl.startsWith(deviceUrl), "URL %s not below %s", qPrintable(fileUrl),
                       qPrintable(deviceUrl));
            FUZZ_CHECK(fileUrl.endsWith(QLatin1Char('/') + fileName), "URL %s lacks the name %s",
                       qPrintable(fileUrl), qPrintable(fileName));
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
    const QByteArray body(reinterpret_cast<const char*>(data), int(size));
    const QVariantMap previous = previousCatalogue();
    QVariantMap catalogue = previous;
    switch (DFU_client::catalogueFromJson(body, baseUrl, &catalogue)) {
    case DFU_client::CatalogueParse::Ok:
        checkWellFormed(catalogue);
        break;
    case DFU_client::CatalogueParse::NotJsonObject:
    case DFU_client::CatalogueParse::EmptyObject:
        FUZZ_CHECK(catalogue == previous, "a refused body changed the catalogue");
        break;
    }
    return 0;
}

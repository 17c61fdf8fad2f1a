#include "dfu_client.h"
#include "firmwareserver.h"

#include <QtTest>

// The JSON-to-catalogue step on its own: the three-level body turned into
// device name -> [{"fileName", "fileUrl"}].
class TestCatalogueJson : public QObject
{
    Q_OBJECT

private slots:
    void catalogueFromJson_buildsEntries_data();
    void catalogueFromJson_buildsEntries();
    void catalogueRequestUrl_followsBaseUrl();
};

namespace {

const QString base = QStringLiteral("https://fw.test/trennics_firmware");

QVariantMap entry(const QString& device, const QString& folder, const QString& file)
{
    return QVariantMap{
        {QStringLiteral("fileName"), file},
        {QStringLiteral("fileUrl"), base + '/' + device + '/' + folder + '/' + file}};
}

} // namespace

void TestCatalogueJson::catalogueFromJson_buildsEntries_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QVariantMap>("expected");

    QTest::newRow("two devices, folders and files in order")
        << QByteArray(R"({"DeviceA":{"folder1":["image_1.bin","image_2.bin"],)"
                      R"("folder2":["image_3.bin"]},"DeviceB":{"folder1":["image_4.bin"]}})")
        << QVariantMap{{"DeviceA",
                        QVariantList{entry("DeviceA", "folder1", "image_1.bin"),
                                     entry("DeviceA", "folder1", "image_2.bin"),
                                     entry("DeviceA", "folder2", "image_3.bin")}},
                       {"DeviceB", QVariantList{entry("DeviceB", "folder1", "image_4.bin")}}};
    QTest::newRow("folders visited in ascending name order")
        << QByteArray(R"({"D":{"b":["x"],"a":["y"]}})")
        << QVariantMap{{"D", QVariantList{entry("D", "a", "y"), entry("D", "b", "x")}}};
    QTest::newRow("device value not an object counts as empty")
        << QByteArray(R"({"DeviceA":5,"DeviceB":"text","DeviceC":["f"],"DeviceD":null})")
        << QVariantMap{{"DeviceA", QVariantList{}},
                       {"DeviceB", QVariantList{}},
                       {"DeviceC", QVariantList{}},
                       {"DeviceD", QVariantList{}}};
    QTest::newRow("folder value not an array contributes nothing")
        << QByteArray(R"({"D":{"a":"file.bin","b":{"c":["x"]},"c":["z"],"d":7}})")
        << QVariantMap{{"D", QVariantList{entry("D", "c", "z")}}};
    QTest::newRow("device with an empty object")
        << QByteArray(R"({"D":{}})") << QVariantMap{{"D", QVariantList{}}};
    QTest::newRow("elements taken as text")
        << QByteArray(R"({"D":{"f":[12,true,"a"]}})")
        << QVariantMap{{"D",
                        QVariantList{entry("D", "f", "12"), entry("D", "f", "true"),
                                     entry("D", "f", "a")}}};
    QTest::newRow("names joined as plain text, not percent-encoded")
        << QByteArray(R"({"Korvo 7":{"v 1.2":["new image%20.bin","ü.bin"]}})")
        << QVariantMap{{"Korvo 7",
                        QVariantList{entry("Korvo 7", "v 1.2", "new image%20.bin"),
                                     entry("Korvo 7", "v 1.2", QStringLiteral("ü.bin"))}}};
}

void TestCatalogueJson::catalogueFromJson_buildsEntries()
{
    QFETCH(QByteArray, body);
    QFETCH(QVariantMap, expected);
    QVariantMap catalogue{{"old", QVariantList{}}};
    QCOMPARE(DFU_client::catalogueFromJson(body, base, &catalogue), DFU_client::CatalogueParse::Ok);
    QCOMPARE(catalogue, expected);
}

void TestCatalogueJson::catalogueRequestUrl_followsBaseUrl()
{
    const QString saved = FirmwareServer::baseUrl();
    FirmwareServer::setBaseUrl(QStringLiteral("https://127.0.0.1:8443/trennics_firmware/"));
    QCOMPARE(
        DFU_client::catalogueRequestUrl(QStringLiteral("0.01")),
        QStringLiteral(
            "https://127.0.0.1:8443/trennics_firmware/app.php?listFirmwares=ALL&clientVer=0.01"));
    FirmwareServer::setBaseUrl(saved);
}

QTEST_GUILESS_MAIN(TestCatalogueJson)
#include "tst_cataloguejson.moc"

#include "dfu_client.h"
#include "firmwareserver.h"
#include "localfirmwareserver.h"
#include "logcapture.h"
#include "runrecorder.h"
#include "usb_stmflasher.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// The catalogue client and the download source over real HTTPS (certificate
// checking on) against the local firmware server. No device is connected, so
// a recognised download shows as the engine's "firmwareBin loaded ok" line.
class TestCatalogueClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void catalogueRequest_buildsCatalogueFromExample();
    void catalogueBody_decidesSignalAndCatalogue_data();
    void catalogueBody_decidesSignalAndCatalogue();
    void failedRequest_keepsCatalogueAndSignalsOnce_data();
    void failedRequest_keepsCatalogueAndSignalsOnce();
    void twoQuickRequests_eachRebuildCatalogue();
    void stalledRequest_endsAfterTransferTimeout();
    void flashFromUrl_recognisesDownload_data();
    void flashFromUrl_recognisesDownload();
    void failedDownload_showsMessageAndRetryFlashes();
    void oversizeDownload_isAbortedWithMessage();
    void flashFromFile_readsOrTellsWhy_data();
    void flashFromFile_readsOrTellsWhy();

private:
    void requestCatalogue();
    void loadExampleCatalogue();
    QString fileUrl(const QString& folder, const QString& file) const;
    QList<int> loadedSizes() const;

    QTemporaryDir tree;
    std::unique_ptr<LocalFirmwareServer> server;
    std::unique_ptr<USB_StmFlasher> flasher;
    std::unique_ptr<LogCapture> log;
};

namespace {

constexpr int replyTimeoutMs = 10000;
constexpr std::chrono::milliseconds shortTransferTimeout{300};
const QString device = QStringLiteral("Korvo 7");
const QString replyLine = QStringLiteral("webServerReply  \"");

const QByteArray exampleCatalogue
    = R"({"DeviceA":{"folder1":["image_1.bin","image_2.bin"],"folder2":["image_3.bin"]},)"
      R"("DeviceB":{"folder1":["image_4.bin"]}})";

bool writeFile(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

} // namespace

void TestCatalogueClient::initTestCase()
{
    QVERIFY(tree.isValid());
    const QString folder = tree.path() + '/' + device + "/v1/";
    QVERIFY(writeFile(folder + "a.bin", makeFirmwareFile(1000, 1)));
    QVERIFY(writeFile(folder + "b.bin", makeFirmwareFile(2000, 2)));
    QVERIFY(writeFile(folder + "new image.bin", makeFirmwareFile(3000, 3)));
    QVERIFY(writeFile(folder + "100%.bin", makeFirmwareFile(4000, 4)));
    QVERIFY(writeFile(folder + "huge.bin",
                      QByteArray(int(DFU_client::maxImageDownloadBytes) + 1, '\x5A')));
    server = std::make_unique<LocalFirmwareServer>(tree.path());
    QVERIFY2(server->start(), qPrintable(server->errorString()));
    QVERIFY(FirmwareServer::addTrustedCaFile(LocalFirmwareServer::caFile()));
}

void TestCatalogueClient::init()
{
    FirmwareServer::setBaseUrl(server->baseUrl());
    server->setFaults({});
    log = std::make_unique<LogCapture>();
    flasher = std::make_unique<USB_StmFlasher>();
}

void TestCatalogueClient::cleanup()
{
    DFU_client::setTransferTimeout(DFU_client::defaultTransferTimeout);
    flasher.reset();
    log.reset();
}

QString TestCatalogueClient::fileUrl(const QString& folder, const QString& file) const
{
    return server->baseUrl() + '/' + device + '/' + folder + '/' + file;
}

QList<int> TestCatalogueClient::loadedSizes() const
{
    QList<int> sizes;
    for (const QString& line : log->messagesStartingWith("firmwareBin loaded ok, size:"))
        sizes.append(line.section(QLatin1Char(' '), 5, 5).toInt());
    return sizes;
}

void TestCatalogueClient::requestCatalogue()
{
    const int before = log->messagesStartingWith(replyLine).size();
    flasher->dfu()->webServerFileListRequest();
    QTRY_COMPARE_WITH_TIMEOUT(log->messagesStartingWith(replyLine).size(), before + 1,
                              replyTimeoutMs);
}

void TestCatalogueClient::loadExampleCatalogue()
{
    LocalFirmwareServerFaults faults;
    faults.catalogueBody = exampleCatalogue;
    server->setFaults(faults);
    requestCatalogue();
    QCOMPARE(flasher->dfu()->getWebFirmwaresList().keys(), (QStringList{"DeviceA", "DeviceB"}));
    server->setFaults({});
}

void TestCatalogueClient::catalogueRequest_buildsCatalogueFromExample()
{
    QSignalSpy changed(flasher.get(), &USB_StmFlasher::availableFirmwaresChanged);
    QVERIFY(changed.isValid());
    LocalFirmwareServerFaults faults;
    faults.catalogueBody = exampleCatalogue;
    server->setFaults(faults);
    requestCatalogue();

    QCOMPARE(changed.size(), 1);
    const QVariantMap catalogue = flasher->dfu()->getWebFirmwaresList();
    const QVariantList deviceA = catalogue.value("DeviceA").toList();
    QCOMPARE(deviceA.size(), 3);
    QCOMPARE(deviceA[0].toMap().value("fileName").toString(), QStringLiteral("image_1.bin"));
    QCOMPARE(deviceA[0].toMap().value("fileUrl").toString(),
             server->baseUrl() + "/DeviceA/folder1/image_1.bin");
    QCOMPARE(deviceA[2].toMap().value("fileName").toString(), QStringLiteral("image_3.bin"));
    QCOMPARE(catalogue.value("DeviceB").toList().size(), 1);
    QCOMPARE(log->messagesStartingWith("webServerReply availableFirmwaresChanged:"),
             QStringList{"webServerReply availableFirmwaresChanged:  2"});
    QVERIFY(server->requests().contains(
        "GET /trennics_firmware/app.php?listFirmwares=ALL&clientVer=0.01"));
}

void TestCatalogueClient::catalogueBody_decidesSignalAndCatalogue_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("signalled");
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<QString>("logLine");
    const QStringList kept{"DeviceA", "DeviceB"};
    QTest::newRow("device value is a number")
        << QByteArray(R"({"DeviceA":5})") << true << QStringList{"DeviceA"}
        << "webServerReply availableFirmwaresChanged:  1";
    QTest::newRow("empty object") << QByteArray("{}") << false << kept << "JSON object is empty.";
    QTest::newRow("empty array") << QByteArray("[]") << false << kept
                                 << "Failed to create JSON doc.";
    QTest::newRow("not JSON") << QByteArray("Service Unavailable") << false << kept
                              << "Failed to create JSON doc.";
    QTest::newRow("catalogue from the server's tree")
        << QByteArray() << true << QStringList{device}
        << "webServerReply availableFirmwaresChanged:  1";
}

void TestCatalogueClient::catalogueBody_decidesSignalAndCatalogue()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, signalled);
    QFETCH(QStringList, devices);
    QFETCH(QString, logLine);
    loadExampleCatalogue();
    if (QTest::currentTestFailed())
        return;
    QSignalSpy changed(flasher.get(), &USB_StmFlasher::availableFirmwaresChanged);
    QVERIFY(changed.isValid());
    LocalFirmwareServerFaults faults;
    if (!body.isEmpty())
        faults.catalogueBody = body;
    server->setFaults(faults);
    log->clear();
    requestCatalogue();
    QCOMPARE(changed.size(), signalled ? 1 : 0);
    QVERIFY(log->messages().contains(logLine));
    QCOMPARE(flasher->dfu()->getWebFirmwaresList().keys(), devices);
}

void TestCatalogueClient::failedRequest_keepsCatalogueAndSignalsOnce_data()
{
    QTest::addColumn<bool>("refused");
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<QString>("errorName");
    QTest::newRow("HTTP 500") << false << 500 << "InternalServerError";
    QTest::newRow("HTTP 404") << false << 404 << "ContentNotFoundError";
    QTest::newRow("nobody listening") << true << 0 << "ConnectionRefusedError";
    QTest::newRow("catalogue over 4 MiB") << false << -1 << "OperationCanceledError";
}

void TestCatalogueClient::failedRequest_keepsCatalogueAndSignalsOnce()
{
    QFETCH(bool, refused);
    QFETCH(int, httpStatus);
    QFETCH(QString, errorName);
    loadExampleCatalogue();
    if (QTest::currentTestFailed())
        return;
    QSignalSpy changed(flasher.get(), &USB_StmFlasher::availableFirmwaresChanged);
    QVERIFY(changed.isValid());
    LocalFirmwareServerFaults faults;
    if (httpStatus > 0)
        faults.statusForPath.insert(LocalFirmwareServer::cataloguePath, httpStatus);
    if (httpStatus < 0)
        faults.catalogueBody
            = "{\"D\":{\"f\":[\"" + QByteArray(int(DFU_client::maxCatalogueBytes), 'x') + "\"]}}";
    server->setFaults(faults);
    if (refused)
        FirmwareServer::setBaseUrl(QStringLiteral("https://127.0.0.1:1/trennics_firmware"));
    requestCatalogue();
    QCOMPARE(changed.size(), 1);
    const QStringList errors = log->messagesStartingWith("reply->errorString():");
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors.first().endsWith('"' + errorName + '"'), qPrintable(errors.first()));
    QCOMPARE(flasher->dfu()->getWebFirmwaresList().keys(), (QStringList{"DeviceA", "DeviceB"}));
}

void TestCatalogueClient::twoQuickRequests_eachRebuildCatalogue()
{
    QSignalSpy changed(flasher.get(), &USB_StmFlasher::availableFirmwaresChanged);
    QVERIFY(changed.isValid());
    flasher->dfu()->webServerFileListRequest();
    flasher->dfu()->webServerFileListRequest();
    QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 2, replyTimeoutMs);
    QCOMPARE(log->messagesStartingWith("webServerReply availableFirmwaresChanged:").size(), 2);
    QCOMPARE(flasher->dfu()->getWebFirmwaresList().keys(), QStringList{device});
}

void TestCatalogueClient::stalledRequest_endsAfterTransferTimeout()
{
    DFU_client::setTransferTimeout(shortTransferTimeout);
    QSignalSpy changed(flasher.get(), &USB_StmFlasher::availableFirmwaresChanged);
    QVERIFY(changed.isValid());
    RunRecorder recorder(flasher.get());
    LocalFirmwareServerFaults faults;
    faults.stalledPath = QStringLiteral("*");
    server->setFaults(faults);
    flasher->dfu()->webServerFileListRequest();
    flasher->dfu()->flashFromUrl(fileUrl("v1", "a.bin"));
    QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 2, replyTimeoutMs);
    QCOMPARE(log->messagesStartingWith("reply->errorString():").size(), 2);
    QCOMPARE(recorder.messages, QStringList{DFU_client::downloadFailedMessage});
    QVERIFY(loadedSizes().isEmpty());
}

void TestCatalogueClient::flashFromUrl_recognisesDownload_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QList<int>>("loaded");
    QTest::newRow("A then B: only B") << QStringList{"a.bin", "b.bin"} << QList<int>{2000};
    QTest::newRow("A twice: the first reply") << QStringList{"a.bin", "a.bin"} << QList<int>{1000};
    QTest::newRow("name with a space") << QStringList{"new image.bin"} << QList<int>{3000};
    QTest::newRow("name with a percent sign") << QStringList{"100%.bin"} << QList<int>{4000};
    QTest::newRow("empty URL") << QStringList{""} << QList<int>{};
}

void TestCatalogueClient::flashFromUrl_recognisesDownload()
{
    QFETCH(QStringList, files);
    QFETCH(QList<int>, loaded);
    RunRecorder recorder(flasher.get());
    for (const QString& file : files)
        flasher->flashFromUrl(file.isEmpty() ? QString() : fileUrl("v1", file));
    QTRY_COMPARE_WITH_TIMEOUT(log->messagesStartingWith(replyLine).size(), files.size(),
                              replyTimeoutMs);
    QCOMPARE(loadedSizes(), loaded);
    QVERIFY(recorder.messages.isEmpty());
}

void TestCatalogueClient::failedDownload_showsMessageAndRetryFlashes()
{
    RunRecorder recorder(flasher.get());
    QSignalSpy changed(flasher.get(), &USB_StmFlasher::availableFirmwaresChanged);
    QVERIFY(changed.isValid());
    LocalFirmwareServerFaults faults;
    faults.statusForPath.insert(QStringLiteral("*"), 503);
    server->setFaults(faults);
    flasher->flashFromUrl(fileUrl("v1", "b.bin"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, replyTimeoutMs);
    QCOMPARE(recorder.messages.first(), DFU_client::downloadFailedMessage);
    QCOMPARE(changed.size(), 1);

    server->setFaults({});
    flasher->flashFromUrl(fileUrl("v1", "b.bin"));
    QTRY_COMPARE_WITH_TIMEOUT(loadedSizes(), QList<int>{2000}, replyTimeoutMs);
    QCOMPARE(recorder.messages.size(), 1);
}

void TestCatalogueClient::oversizeDownload_isAbortedWithMessage()
{
    RunRecorder recorder(flasher.get());
    flasher->flashFromUrl(fileUrl("v1", "huge.bin"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, replyTimeoutMs);
    QCOMPARE(recorder.messages.first(), DFU_client::downloadFailedMessage);
    QVERIFY(loadedSizes().isEmpty());
    const QStringList errors = log->messagesStartingWith("reply->errorString():");
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors.first().endsWith("\"OperationCanceledError\""), qPrintable(errors.first()));
}

void TestCatalogueClient::flashFromFile_readsOrTellsWhy_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QList<int>>("loaded");
    QTest::newRow("readable file") << "good.bin"
                                   << ""
                                   << "" << QList<int>{1500};
    QTest::newRow("missing file") << "missing.bin"
                                  << "File NOT EXIST" << DFU_client::fileUnreadableMessage
                                  << QList<int>{};
    QTest::newRow("a folder cannot be read")
        << "folder"
        << "open file ERROR" << DFU_client::fileUnreadableMessage << QList<int>{};
    QTest::newRow("empty file") << "empty.bin"
                                << "" << DFU_client::imageTooSmallMessage << QList<int>{0};
}

void TestCatalogueClient::flashFromFile_readsOrTellsWhy()
{
    QFETCH(QString, name);
    QFETCH(QString, logLine);
    QFETCH(QString, message);
    QFETCH(QList<int>, loaded);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("good.bin"), makeFirmwareFile(1500)));
    QVERIFY(writeFile(dir.filePath("empty.bin"), QByteArray()));
    QVERIFY(QDir(dir.path()).mkdir("folder"));
    RunRecorder recorder(flasher.get());
    flasher->dfu()->flashFromFile(dir.filePath(name));
    if (!logLine.isEmpty())
        QCOMPARE(log->messagesStartingWith(logLine).size(), 1);
    QCOMPARE(recorder.messages, message.isEmpty() ? QStringList{} : QStringList{message});
    QCOMPARE(loadedSizes(), loaded);
}

QTEST_GUILESS_MAIN(TestCatalogueClient)
#include "tst_catalogueclient.moc"

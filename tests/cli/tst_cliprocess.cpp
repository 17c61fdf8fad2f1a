#include "devcertificates.h"
#include "dfu_client.h"
#include "firmwarecache.h"
#include "korvoemulator.h"
#include "korvoenums.h"
#include "korvofirmwareimage.h"
#include "localfirmwareserver.h"
#include "loopbackproxy.h"
#include "runrecord.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

// trennic-flasher-cli as a process against the emulated device, which this
// test process runs on a pty and names by a stable symbolic link, and the
// local firmware server over real HTTPS.
class TestCliProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void info_printsWhatTheDeviceReports();
    void list_printsEntriesNewestFirstOrTellsCatalogueUnavailable_data();
    void list_printsEntriesNewestFirstOrTellsCatalogueUnavailable();
    void listOffline_printsTheStoredCatalogueWithItsCachedImages_data();
    void listOffline_printsTheStoredCatalogueWithItsCachedImages();
    void proxy_carriesCatalogueOrIsNamed_data();
    void proxy_carriesCatalogueOrIsNamed();
    void flash_writesImageByteForByteAndSaysSuccess_data();
    void flash_writesImageByteForByteAndSaysSuccess();
    void flash_confirmsTheVersionTheDeviceComesBackWith_data();
    void flash_confirmsTheVersionTheDeviceComesBackWith();
    void failedRun_exits1WithEngineText_data();
    void failedRun_exits1WithEngineText();
    void urlOffline_usesTheCacheAsTheWindowDoes_data();
    void urlOffline_usesTheCacheAsTheWindowDoes();
    void download_printsARisingDownloadingLine();
    void noDevice_exits3WhenTheWaitIsOver();
    void interrupt_closesPortLeavingBootLoaderReadyForAnotherTry();
    void batch_fetchesOnceFlashesUnitsAndCtrlCSumsUp();
    void badOptions_exit2WithUsageOnStderr_data();
    void badOptions_exit2WithUsageOnStderr();
    void history_printsTheLastRunsPastATornLine_data();
    void history_printsTheLastRunsPastATornLine();
    void logFile_getsTheDebugLogWhateverStderrShows_data();
    void logFile_getsTheDebugLogWhateverStderrShows();
    void logFile_unwritableFolder_leavesTheToolWorking();

private:
    struct Result
    {
        int exitCode = -1; // -1: crashed or killed
        QString out;
        QString err;

        QString describe() const
        {
            return QStringLiteral("exit code %1\nstdout:\n%2\nstderr:\n%3")
                .arg(exitCode)
                .arg(out, err);
        }
    };

    void startDevice(const KorvoEmulatorSettings& settings);
    QStringList commonArguments() const;
    // Runs the tool with its per-user data folder below `dataHome`
    // (XDG_DATA_HOME) and its cache below `cacheHome` (XDG_CACHE_HOME), by
    // default folders of this test's own.
    Result run(const QStringList& arguments, const QString& dataHome = QString(),
               const QString& cacheHome = QString());
    QProcessEnvironment environment(const QString& dataHome = QString(),
                                    const QString& cacheHome = QString()) const;
    QString dataFolder() const;
    Result run(const QStringList& arguments, const QProcessEnvironment& environment);
    QString fileUrl(const QString& device, const QString& folder, const QString& file) const;
    int commandCount(quint8 command) const;
    int flashPacketCount() const;

    QTemporaryDir scratch;
    QString linkPath;
    std::unique_ptr<LocalFirmwareServer> server;
    std::unique_ptr<KorvoEmulator> emulator;
};

// Shows both streams when the exit code is not the one expected.
#define COMPARE_EXIT_CODE(result, expected)                                                        \
    QVERIFY2((result).exitCode == (expected), qPrintable((result).describe()))

namespace {

const QString device = QStringLiteral("Korvo 7");
constexpr int processTimeoutMs = 60000;
constexpr int deviceTimeoutMs = 10000;
// Three whole slices and a short last one: four packets.
constexpr int imageSize = 108 + 4096 * 3 + 5;
const QString usageLine = QStringLiteral("Usage: trennic-flasher-cli [options] ACTION");

bool writeFile(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

QByteArray firmwareFile(const char* version, int size = imageSize)
{
    return KorvoFirmwareImage::makeFile(version, size, quint32(size));
}

} // namespace

void TestCliProcess::initTestCase()
{
    QVERIFY(QFileInfo::exists(QStringLiteral(TRENNIC_CLI_PATH)));
    QVERIFY(scratch.isValid());
    const QString root = scratch.filePath(QStringLiteral("fw"));
    // Folders are read in name order, so the catalogue lists fw_2 first.
    QVERIFY(writeFile(root + "/Korvo 7/release/fw_1.bin", firmwareFile("0201")));
    QVERIFY(writeFile(root + "/Korvo 7/release/fw_3.bin", firmwareFile("0203")));
    QVERIFY(writeFile(root + "/Korvo 7/beta/fw_2.bin", firmwareFile("0202")));
    QVERIFY(writeFile(root + "/Korvo X20/release/x20.bin", firmwareFile("0301")));
    server = std::make_unique<LocalFirmwareServer>(root);
    QVERIFY2(server->start(), qPrintable(server->errorString()));
    linkPath = scratch.filePath(QStringLiteral("ttyKORVO"));
}

void TestCliProcess::init()
{
    server->setFaults({});
    // A catalogue stored by an earlier case would stand in for a failed one.
    QDir(scratch.filePath(QStringLiteral("cache"))).removeRecursively();
}

void TestCliProcess::cleanup()
{
    if (emulator)
        emulator->stop();
    emulator.reset();
    QVERIFY(!QFileInfo(linkPath).isSymLink());
}

void TestCliProcess::startDevice(const KorvoEmulatorSettings& settings)
{
    KorvoEmulatorSettings withLink = settings;
    withLink.symlinkPath = linkPath;
    emulator = std::make_unique<KorvoEmulator>(withLink);
    QVERIFY2(emulator->start(), qPrintable(emulator->errorString()));
    QCOMPARE(QFileInfo(linkPath).symLinkTarget(), emulator->systemLocation());
}

QStringList TestCliProcess::commonArguments() const
{
    return {QStringLiteral("--port"),        linkPath,
            QStringLiteral("--device-name"), device,
            QStringLiteral("--server"),      server->baseUrl(),
            QStringLiteral("--ca-cert"),     LocalFirmwareServer::caFile(),
            QStringLiteral("--wait"),        QStringLiteral("10")};
}

QProcessEnvironment TestCliProcess::environment(const QString& dataHome,
                                                const QString& cacheHome) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"),
                       dataHome.isEmpty() ? scratch.filePath(QStringLiteral("data")) : dataHome);
    environment.insert(QStringLiteral("XDG_CACHE_HOME"),
                       cacheHome.isEmpty() ? scratch.filePath(QStringLiteral("cache")) : cacheHome);
    return environment;
}

QString TestCliProcess::dataFolder() const
{
    return scratch.filePath(QStringLiteral("data/Trennic/Trennic Flasher"));
}

TestCliProcess::Result TestCliProcess::run(const QStringList& arguments, const QString& dataHome,
                                           const QString& cacheHome)
{
    return run(arguments, environment(dataHome, cacheHome));
}

TestCliProcess::Result TestCliProcess::run(const QStringList& arguments,
                                           const QProcessEnvironment& environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(TRENNIC_CLI_PATH), arguments);
    Result result;
    if (!process.waitForStarted())
        return result;
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; },
                         processTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.err = QStringLiteral("(still running after %1 ms)").arg(processTimeoutMs);
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QString TestCliProcess::fileUrl(const QString& deviceName, const QString& folder,
                                const QString& file) const
{
    // As the catalogue spells it: plain text, not percent-encoded.
    return server->baseUrl() + '/' + deviceName + '/' + folder + '/' + file;
}

int TestCliProcess::commandCount(quint8 command) const
{
    int count = 0;
    for (const KorvoEmulator::ReceivedPacket& packet : emulator->packetLog())
        if (packet.header.action == korvoEnums::CommandMessage
            && packet.header.dataOrCommand == command)
            ++count;
    return count;
}

int TestCliProcess::flashPacketCount() const
{
    int count = 0;
    for (const KorvoEmulator::ReceivedPacket& packet : emulator->packetLog())
        if (packet.header.action == korvoEnums::FlashData)
            ++count;
    return count;
}

void TestCliProcess::info_printsWhatTheDeviceReports()
{
    KorvoEmulatorSettings settings;
    settings.firmwareVersion = "0105";
    settings.boardVersion = 7;
    settings.boardRevision = 'C';
    settings.bootLoaderVersion = 3;
    startDevice(settings);

    const Result result = run(commonArguments() << QStringLiteral("--info"));
    COMPARE_EXIT_CODE(result, 0);
    QCOMPARE(result.out,
             QStringLiteral("state: korvoOnline (application firmware)\n"
                            "firmware version: 01.05\n"
                            "boot-loader version: 3\n"
                            "board version: 7\n"
                            "board revision: C\n"
                            "device name: Korvo 7\n"));
    // Nothing but its own lines: the catalogue request still under way ends quietly.
    QCOMPARE(result.err,
             QStringLiteral("Waiting for a device at %1...\n"
                            "Device \"Korvo 7\": application firmware, firmware 01.05\n")
                 .arg(linkPath));
    QCOMPARE(commandCount(korvoEnums::PrepareToFlash), 0);
}

void TestCliProcess::list_printsEntriesNewestFirstOrTellsCatalogueUnavailable_data()
{
    QTest::addColumn<QString>("deviceName");
    QTest::addColumn<int>("fault"); // 0 none, 1 server down, 2 HTTP 500, 3 not JSON
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("cause");

    const QStringList newestFirst{"fw_3.bin", "fw_2.bin", "fw_1.bin"};
    QTest::newRow("Korvo 7: newest first") << device << 0 << 0 << newestFirst << "";
    QTest::newRow("a device without images: empty") << "Korvo 9" << 0 << 0 << QStringList() << "";
    QTest::newRow("server down") << device << 1 << 4 << QStringList() << "Connection refused";
    QTest::newRow("HTTP 500") << device << 2 << 4 << QStringList() << "HTTP 500";
    QTest::newRow("catalogue not JSON")
        << device << 3 << 4 << QStringList() << "malformed catalogue";
}

void TestCliProcess::list_printsEntriesNewestFirstOrTellsCatalogueUnavailable()
{
    QFETCH(QString, deviceName);
    QFETCH(int, fault);
    QFETCH(int, exitCode);
    QFETCH(QStringList, files);
    QFETCH(QString, cause);
    startDevice({});

    QStringList arguments = commonArguments();
    arguments[arguments.indexOf(QStringLiteral("--device-name")) + 1] = deviceName;
    LocalFirmwareServerFaults faults;
    if (fault == 1) {
        // A port nothing listens on.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const QString closed
            = QStringLiteral("https://127.0.0.1:%1/trennics_firmware").arg(probe.serverPort());
        probe.close();
        arguments[arguments.indexOf(QStringLiteral("--server")) + 1] = closed;
    } else if (fault == 2) {
        faults.statusForPath.insert(LocalFirmwareServer::cataloguePath, 500);
    } else if (fault == 3) {
        faults.catalogueBody.emplace("<html>not a catalogue</html>");
    }
    server->setFaults(faults);

    const Result result = run(arguments << QStringLiteral("--list"));
    COMPARE_EXIT_CODE(result, exitCode);
    QStringList expected;
    for (const QString& file : files) {
        const QString folder = file == "fw_2.bin" ? "beta" : "release";
        expected << file + '\t' + fileUrl(device, folder, file);
    }
    QCOMPARE(result.out, expected.isEmpty() ? QString() : expected.join('\n') + '\n');
    if (exitCode == 4)
        QVERIFY2(result.err.endsWith("trennic-flasher-cli: catalogue unavailable: " + cause + '\n'),
                 qPrintable(result.err));
}

void TestCliProcess::listOffline_printsTheStoredCatalogueWithItsCachedImages_data()
{
    QTest::addColumn<bool>("catalogueStored");
    QTest::addColumn<bool>("noCache");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("stored catalogue: listed, stored images marked, exit 0") << true << false << 0;
    QTest::newRow("nothing stored: exit 4") << false << false << 4;
    QTest::newRow("--no-cache: exit 4") << true << true << 4;
}

void TestCliProcess::listOffline_printsTheStoredCatalogueWithItsCachedImages()
{
    QFETCH(bool, catalogueStored);
    QFETCH(bool, noCache);
    QFETCH(int, exitCode);
    startDevice({});
    // A port nothing listens on, whose catalogue was stored when it answered.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const QString closed
        = QStringLiteral("https://127.0.0.1:%1/trennics_firmware").arg(probe.serverPort());
    probe.close();
    QTemporaryDir cacheHome;
    QVERIFY(cacheHome.isValid());
    FirmwareCache cache(cacheHome.filePath(QStringLiteral("Trennic/Trennic Flasher")));
    cache.setClock([] { return QDateTime(QDate(2026, 3, 5), QTime(14, 37, 12), Qt::UTC); });
    if (catalogueStored)
        QVERIFY(cache.storeCatalogue(closed, server->catalogueJson()));
    const QString storedUrl = closed + "/Korvo 7/release/fw_1.bin";
    QVERIFY(cache.storeImage(storedUrl, firmwareFile("0201")));

    QStringList arguments = commonArguments();
    arguments[arguments.indexOf(QStringLiteral("--server")) + 1] = closed;
    if (noCache)
        arguments << QStringLiteral("--no-cache");
    QProcessEnvironment env = environment(QString(), cacheHome.path());
    env.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    const Result result = run(arguments << QStringLiteral("--list"), env);
    COMPARE_EXIT_CODE(result, exitCode);
    if (exitCode == 4) {
        QCOMPARE(result.out, QString());
        QVERIFY2(
            result.err.endsWith("trennic-flasher-cli: catalogue unavailable: Connection refused\n"),
            qPrintable(result.err));
        return;
    }
    QCOMPARE(result.out,
             "fw_3.bin\t" + closed + "/Korvo 7/release/fw_3.bin\n" + "fw_2.bin\t" + closed
                 + "/Korvo 7/beta/fw_2.bin\n" + "fw_1.bin\t" + storedUrl + "\tcached\n");
    QVERIFY2(result.err.endsWith("trennic-flasher-cli: catalogue unavailable (Connection refused); "
                                 "using the one saved 2026-03-05 14:37\n"),
             qPrintable(result.err));
}

void TestCliProcess::proxy_carriesCatalogueOrIsNamed_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("environment"); // https_proxy names the proxy
    QTest::addColumn<bool>("refusing");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("tunnels");
    QTest::newRow("--proxy: through it") << QStringList{"--proxy", "P"} << false << false << 0 << 1;
    QTest::newRow("https_proxy: through it") << QStringList{} << true << false << 0 << 1;
    QTest::newRow("--no-proxy over https_proxy: direct")
        << QStringList{"--no-proxy"} << true << false << 4 << 0;
    QTest::newRow("--proxy refusing: named")
        << QStringList{"--proxy", "P"} << false << true << 4 << 1;
}

void TestCliProcess::proxy_carriesCatalogueOrIsNamed()
{
    QFETCH(QStringList, options);
    QFETCH(bool, environment);
    QFETCH(bool, refusing);
    QFETCH(int, exitCode);
    QFETCH(int, tunnels);
    LoopbackProxy proxy;
    QVERIFY2(proxy.start(), qPrintable(proxy.errorString()));
    proxy.setMode(refusing ? LoopbackProxy::Mode::RefuseAll : LoopbackProxy::Mode::Tunnel);
    startDevice({});
    // A name only the proxy resolves: Qt sends nothing for 127.0.0.1 through a proxy.
    const QString named = QStringLiteral("https://%1:%2%3")
                              .arg(DevCertificates::proxiedHostName)
                              .arg(server->port())
                              .arg(LocalFirmwareServer::basePath);
    QStringList arguments = commonArguments();
    arguments[arguments.indexOf(QStringLiteral("--server")) + 1] = named;
    options.replaceInStrings(QRegularExpression("^P$"), proxy.url());
    QProcessEnvironment env = this->environment();
    env.remove("no_proxy");
    env.remove("https_proxy");
    if (environment)
        env.insert("https_proxy", proxy.url());

    const Result result = run(arguments << options << QStringLiteral("--list"), env);
    COMPARE_EXIT_CODE(result, exitCode);
    const QString target
        = QStringLiteral("%1:%2").arg(DevCertificates::proxiedHostName).arg(server->port());
    QCOMPARE(proxy.connectTargets(), QStringList(QVector<QString>(tunnels, target).toList()));
    if (exitCode == 0)
        QVERIFY2(result.out.startsWith("fw_3.bin\t" + named), qPrintable(result.out));
    if (refusing)
        QVERIFY2(result.err.endsWith(QStringLiteral("catalogue unavailable: proxy "
                                                    "127.0.0.1:%1: denied connection\n")
                                         .arg(proxy.port())),
                 qPrintable(result.err));
}

void TestCliProcess::flash_writesImageByteForByteAndSaysSuccess_data()
{
    QTest::addColumn<bool>("fromUrl");
    QTest::addColumn<bool>("startInBootLoader");
    QTest::newRow("--file, boot loader") << false << true;
    QTest::newRow("--url, boot loader") << true << true;
    QTest::newRow("--file, application firmware: restarted first") << false << false;
    QTest::newRow("--url, application firmware: restarted first") << true << false;
}

void TestCliProcess::flash_writesImageByteForByteAndSaysSuccess()
{
    QFETCH(bool, fromUrl);
    QFETCH(bool, startInBootLoader);
    KorvoEmulatorSettings settings;
    settings.startInBootLoader = startInBootLoader;
    startDevice(settings);

    const QString local = scratch.filePath(QStringLiteral("local build.bin"));
    const QByteArray file = firmwareFile("0203");
    QVERIFY(writeFile(local, file));
    const Result result = run(
        commonArguments() << (fromUrl ? QStringList{"--url", fileUrl(device, "release", "fw_3.bin")}
                                      : QStringList{"--file", local}));
    COMPARE_EXIT_CODE(result, 0);
    QCOMPARE(result.out,
             DFU_client::successMessage + "\ndevice back in application firmware, version 02.03\n");
    QVERIFY(emulator->receivedImage() == KorvoFirmwareImage::transmittedPart(file));
    QTRY_COMPARE_WITH_TIMEOUT(emulator->completedRuns(), 1, deviceTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(emulator->firmwareVersion(), QByteArray("0203"), deviceTimeoutMs);
    // PrepareToFlash 0 to restart the application firmware, then one with the size.
    QCOMPARE(commandCount(korvoEnums::PrepareToFlash), startInBootLoader ? 1 : 2);
    // Not a terminal: a line per further 10 %, ending at 100 %.
    const QStringList progress = result.err.split('\n').filter(QRegularExpression("^flashing "));
    QVERIFY2(progress.size() >= 2 && progress.size() <= 10, qPrintable(result.err));
    QVERIFY2(progress.last().startsWith("flashing 100 %"), qPrintable(result.err));
    QVERIFY2(!result.err.contains('\r'), qPrintable(result.err));
}

void TestCliProcess::flash_confirmsTheVersionTheDeviceComesBackWith_data()
{
    QTest::addColumn<QStringList>("expect");
    QTest::addColumn<bool>("staysAway");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("confirmation"); // on stdout after the run's text
    // The boot loader resets before the last acknowledgement is read.
    QTest::addColumn<bool>("lastAckCut");
    const QString back = QStringLiteral("device back in application firmware, version 02.03\n");
    QTest::newRow("expected version")
        << QStringList{"--expect-version", "02.03"} << false << 0 << back << false;
    QTest::newRow("expected version without the dot")
        << QStringList{"--expect-version", "0203"} << false << 0 << back << false;
    QTest::newRow("another version: exit 5")
        << QStringList{"--expect-version", "01.08"} << false << 5 << back << false;
    QTest::newRow("stays away: a warning, exit 0")
        << QStringList{} << true << 0 << QString() << false;
    QTest::newRow("stays away, a version expected: exit 5")
        << QStringList{"--expect-version", "02.03"} << true << 5 << QString() << false;
    // Unconfirmed: only the version asked for shows that the image took.
    QTest::newRow("last acknowledgement cut, back with the expected version: exit 0")
        << QStringList{"--expect-version", "02.03"} << false << 0 << back << true;
    QTest::newRow("last acknowledgement cut, no version expected: exit 1")
        << QStringList{} << false << 1 << back << true;
    QTest::newRow("last acknowledgement cut, another version: exit 1")
        << QStringList{"--expect-version", "01.08"} << false << 1 << back << true;
    QTest::newRow("last acknowledgement cut, stays away: exit 1")
        << QStringList{"--expect-version", "02.03"} << true << 1 << QString() << true;
}

void TestCliProcess::flash_confirmsTheVersionTheDeviceComesBackWith()
{
    QFETCH(QStringList, expect);
    QFETCH(bool, staysAway);
    QFETCH(int, exitCode);
    QFETCH(QString, confirmation);
    QFETCH(bool, lastAckCut);
    KorvoEmulatorSettings settings;
    settings.startInBootLoader = true;
    if (staysAway)
        settings.rebootDelay = std::chrono::minutes(2);
    if (lastAckCut) {
        settings.dropAckOfPacket = quint32((imageSize - 108 + 4095) / 4096 - 1);
        settings.resetRightAfterLastAnswer = true;
    }
    startDevice(settings);
    const QString local = scratch.filePath(QStringLiteral("confirmed.bin"));
    QVERIFY(writeFile(local, firmwareFile("0203")));
    const Result result = run(commonArguments() << expect << QStringList{"--file", local});
    COMPARE_EXIT_CODE(result, exitCode);
    const QString told = !lastAckCut ? DFU_client::successMessage
        : staysAway                  ? DFU_client::unconfirmedAwayMessage
                                     : DFU_client::unconfirmedReturnedMessage.arg("02.03");
    QCOMPARE(result.out, told + '\n' + confirmation);
    QCOMPARE(result.err.contains("warning: the device did not come back"),
             staysAway && !lastAckCut);
    QCOMPARE(result.err.contains("the update is not confirmed"), exitCode == 1);
}

void TestCliProcess::failedRun_exits1WithEngineText_data()
{
    QTest::addColumn<QString>("source"); // "file", "url", "missing file", "tiny file"
    QTest::addColumn<int>("errorAtPacket"); // -1: none
    QTest::addColumn<int>("unplugAtPacket"); // -1: none
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("deviceTouched");

    QTest::newRow("device reports Error_BadCrc")
        << "file" << 2 << -1 << DFU_client::deviceErrorMessagePrefix + "Error_BadCrc" << true;
    QTest::newRow("port lost mid-run") << "file" << -1 << 1 << DFU_client::portLostMessage << true;
    QTest::newRow("download fails (404)")
        << "url" << -1 << -1 << DFU_client::downloadFailedMessage << true;
    QTest::newRow("image too small")
        << "tiny file" << -1 << -1 << DFU_client::imageTooSmallMessage << true;
    QTest::newRow("missing file: device left alone")
        << "missing file" << -1 << -1 << DFU_client::fileUnreadableMessage << false;
}

void TestCliProcess::failedRun_exits1WithEngineText()
{
    QFETCH(QString, source);
    QFETCH(int, errorAtPacket);
    QFETCH(int, unplugAtPacket);
    QFETCH(QString, message);
    QFETCH(bool, deviceTouched);
    KorvoEmulatorSettings settings;
    settings.startInBootLoader = true;
    if (errorAtPacket >= 0) {
        settings.errorAtPacket = quint32(errorAtPacket);
        settings.errorCode = korvoEnums::Error_BadCrc;
    }
    if (unplugAtPacket >= 0)
        settings.unplugAtPacket = quint32(unplugAtPacket);
    startDevice(settings);

    const QString local = scratch.filePath(QStringLiteral("image.bin"));
    QVERIFY(writeFile(
        local, source == "tiny file" ? firmwareFile("0203", 108).left(100) : firmwareFile("0203")));
    QStringList arguments = commonArguments();
    if (source == "url")
        arguments << "--url" << fileUrl(device, "release", "no such image.bin");
    else if (source == "missing file")
        arguments << "--file" << scratch.filePath(QStringLiteral("missing.bin"));
    else
        arguments << "--file" << local;

    const Result result = run(arguments);
    COMPARE_EXIT_CODE(result, 1);
    QCOMPARE(result.out, message + '\n');
    if (source == "url")
        QVERIFY2(result.err.contains("trennic-flasher-cli: download failed: HTTP 404\n"),
                 qPrintable(result.err));
    QCOMPARE(emulator->completedRuns(), 0);
    QCOMPARE(commandCount(korvoEnums::KeepOnline) > 0, deviceTouched);
}

void TestCliProcess::urlOffline_usesTheCacheAsTheWindowDoes_data()
{
    QTest::addColumn<bool>("noCache");
    QTest::addColumn<bool>("flipByte");
    QTest::addColumn<bool>("flashed");
    QTest::newRow("stored online, flashed offline byte for byte") << false << false << true;
    QTest::newRow("one byte flipped: refused, nothing sent") << false << true << false;
    QTest::newRow("--no-cache: nothing stored, nothing flashed") << true << false << false;
}

void TestCliProcess::urlOffline_usesTheCacheAsTheWindowDoes()
{
    QFETCH(bool, noCache);
    QFETCH(bool, flipByte);
    QFETCH(bool, flashed);
    QTemporaryDir cacheHome;
    QVERIFY(cacheHome.isValid());
    const QStringList noCacheOption = noCache ? QStringList{"--no-cache"} : QStringList{};
    const QString url = fileUrl(device, "release", "fw_1.bin");
    KorvoEmulatorSettings settings;
    settings.startInBootLoader = true;
    startDevice(settings);
    Result result
        = run(commonArguments() << noCacheOption << "--url" << url, QString(), cacheHome.path());
    COMPARE_EXIT_CODE(result, 0);

    // The window's cache folder, below the process's XDG_CACHE_HOME.
    FirmwareCache cache(cacheHome.filePath(QStringLiteral("Trennic/Trennic Flasher")));
    QCOMPARE(cache.hasImage(url), !noCache);
    QCOMPARE(cache.storedCatalogue(server->baseUrl()).has_value(), !noCache);
    if (flipByte) {
        QFile data(cache.imageDataPath(url));
        QVERIFY(data.open(QIODevice::ReadWrite) && data.seek(300));
        QVERIFY(data.write("\x5a\xa5", 2) == 2);
    }

    server->stop();
    startDevice(settings);
    result = run(commonArguments() << noCacheOption << "--url" << url, QString(), cacheHome.path());
    QVERIFY2(server->start(), qPrintable(server->errorString()));
    if (flashed) {
        COMPARE_EXIT_CODE(result, 0);
        QVERIFY2(result.out.startsWith(DFU_client::successMessage + '\n'), qPrintable(result.out));
        QVERIFY(emulator->receivedImage()
                == KorvoFirmwareImage::transmittedPart(firmwareFile("0201")));
    } else {
        COMPARE_EXIT_CODE(result, 1);
        QCOMPARE(result.out, DFU_client::downloadFailedMessage + '\n');
        QCOMPARE(commandCount(korvoEnums::PrepareToFlash), 0);
        QCOMPARE(flashPacketCount(), 0);
        QCOMPARE(cache.hasImage(url), false);
    }
}

void TestCliProcess::download_printsARisingDownloadingLine()
{
    QVERIFY(
        writeFile(server->root() + "/Korvo 7/release/large.bin", firmwareFile("0204", 384 * 1024)));
    LocalFirmwareServerFaults slow;
    slow.bytesPerSecond = qint64(512) * 1024; // about 0.75 s
    server->setFaults(slow);
    KorvoEmulatorSettings settings;
    settings.startInBootLoader = true;
    startDevice(settings);
    const Result result
        = run(commonArguments() << "--no-cache"
                                << "--url" << fileUrl(device, "release", "large.bin"));
    QFile::remove(server->root() + "/Korvo 7/release/large.bin");
    COMPARE_EXIT_CODE(result, 0);
    const QStringList lines = result.err.split('\n');
    const QStringList downloading = lines.filter(QRegularExpression("^downloading "));
    QVERIFY2(downloading.size() >= 3, qPrintable(result.err));
    int last = 0;
    for (const QString& line : downloading) {
        const int percent = line.mid(12, 3).trimmed().toInt();
        QVERIFY2(percent > last, qPrintable(result.err));
        last = percent;
    }
    QVERIFY2(downloading.last().startsWith("downloading 100 %   ")
                 && downloading.last().endsWith(" s in all"),
             qPrintable(result.err));
    // Before the flashing lines.
    QVERIFY2(lines.indexOf(downloading.last()) < lines.indexOf(QRegularExpression("^flashing .*")),
             qPrintable(result.err));
}

void TestCliProcess::noDevice_exits3WhenTheWaitIsOver()
{
    QElapsedTimer clock;
    clock.start();
    const Result result = run({"--info", "--port", linkPath, "--wait", "2"});
    const qint64 elapsed = clock.elapsed();
    COMPARE_EXIT_CODE(result, 3);
    QCOMPARE(result.out, QString());
    QVERIFY2(result.err.contains("no device within 2 s"), qPrintable(result.err));
    QVERIFY2(elapsed >= 2000 && elapsed < 8000, qPrintable(QString::number(elapsed)));
}

void TestCliProcess::interrupt_closesPortLeavingBootLoaderReadyForAnotherTry()
{
    KorvoEmulatorSettings settings;
    settings.startInBootLoader = true;
    settings.programmingDelay = std::chrono::milliseconds(20);
    // Short, so the device gives up on the broken-off run soon.
    settings.packetTimeout = std::chrono::milliseconds(300);
    startDevice(settings);
    const QString local = scratch.filePath(QStringLiteral("big.bin"));
    const QByteArray file = firmwareFile("0204", 108 + 4096 * 200);
    QVERIFY(writeFile(local, file));

    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(QStringLiteral(TRENNIC_CLI_PATH), commonArguments() << "--file" << local);
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(flashPacketCount() >= 3, deviceTimeoutMs);
    QCOMPARE(::kill(pid_t(process.processId()), SIGINT), 0);
    QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, deviceTimeoutMs);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 130);
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    QVERIFY(process.readAllStandardError().contains("interrupted, port closed"));
    QCOMPARE(emulator->mode(), KorvoEmulator::Mode::BootLoader);
    QCOMPARE(emulator->completedRuns(), 0);

    // The device gives up on the run it was taking and can be flashed again.
    QTRY_COMPARE_WITH_TIMEOUT(emulator->status(), quint8(korvoEnums::korvoBootOnline),
                              deviceTimeoutMs);
    settings.programmingDelay = std::chrono::milliseconds(0);
    settings.symlinkPath = linkPath;
    emulator->setSettings(settings);
    const Result again = run(commonArguments() << "--file" << local);
    COMPARE_EXIT_CODE(again, 0);
    QVERIFY(emulator->receivedImage() == KorvoFirmwareImage::transmittedPart(file));
}

void TestCliProcess::batch_fetchesOnceFlashesUnitsAndCtrlCSumsUp()
{
    startDevice({});
    QProcess process;
    process.setProcessEnvironment(environment());
    const QString url = fileUrl(device, "release", "fw_3.bin");
    process.start(QStringLiteral(TRENNIC_CLI_PATH),
                  commonArguments() << "--batch"
                                    << "--no-cache"
                                    << "--url" << url);
    QVERIFY(process.waitForStarted());
    QByteArray out;
    const auto lineCount = [&] {
        out += process.readAllStandardOutput();
        return out.count('\n');
    };
    // Unit after unit at the same path; the second is another device.
    QTRY_COMPARE_WITH_TIMEOUT(lineCount(), 1, processTimeoutMs);
    emulator->stop();
    KorvoEmulatorSettings second;
    second.firmwareVersion = "0104";
    startDevice(second);
    QTRY_COMPARE_WITH_TIMEOUT(lineCount(), 2, processTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(emulator->firmwareVersion(), QByteArray("0203"), deviceTimeoutMs);
    QCOMPARE(::kill(pid_t(process.processId()), SIGINT), 0);
    QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, deviceTimeoutMs);
    out += process.readAllStandardOutput();
    const QByteArray err = process.readAllStandardError();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    // A pseudo-terminal has no USB serial number: "-".
    const QStringList lines = QString::fromUtf8(out).split('\n');
    QCOMPARE(lines.size(), 4);
    QVERIFY2(lines[0].startsWith("1  -  01.05 -> 02.03  FlashSucceeded  "), out.constData());
    QVERIFY2(lines[1].startsWith("2  -  01.04 -> 02.03  FlashSucceeded  "), out.constData());
    QCOMPARE(lines[2], QStringLiteral("2 flashed, 0 failed"));
    // The image was downloaded once, before the first unit.
    QCOMPARE(err.count("Downloading "), 1);
    QVERIFY(err.indexOf("Downloading ") < err.indexOf("Unit 1"));
    const QList<RunRecord> records
        = RunRecord::readLast(2, dataFolder() + QStringLiteral("/runs.jsonl"));
    QCOMPARE(records.size(), 2);
    QCOMPARE(records.last().before, QStringLiteral("01.04"));
    QCOMPARE(records.last().after, QStringLiteral("02.03"));
    QCOMPARE(records.last().source, url);
}

void TestCliProcess::badOptions_exit2WithUsageOnStderr_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no action") << QStringList{"--wait", "1"};
    QTest::newRow("two actions") << QStringList{"--info", "--list"};
    QTest::newRow("unknown option") << QStringList{"--info", "--colour"};
    QTest::newRow("stray argument") << QStringList{"--info", "now"};
    QTest::newRow("--file without value") << QStringList{"--file"};
    QTest::newRow("--file twice") << QStringList{"--file", "a.bin", "--file", "b.bin"};
    QTest::newRow("--url not https") << QStringList{"--url", "http://127.0.0.1/fw.bin"};
    QTest::newRow("--server not a URL") << QStringList{"--info", "--server", "firmware"};
    QTest::newRow("--expect-version without flashing")
        << QStringList{"--info", "--expect-version", "01.08"};
    QTest::newRow("--wait not a number") << QStringList{"--info", "--wait", "soon"};
    QTest::newRow("--wait 0") << QStringList{"--info", "--wait", "0"};
    QTest::newRow("--wait negative") << QStringList{"--info", "--wait", "-5"};
    QTest::newRow("--port empty") << QStringList{"--info", "--port", ""};
    QTest::newRow("--ca-cert without a certificate")
        << QStringList{"--info", "--ca-cert", TRENNIC_CLI_PATH};
    QTest::newRow("--history 0") << QStringList{"--history", "0"};
    QTest::newRow("--history not a number") << QStringList{"--history", "all"};
    QTest::newRow("--history with another action") << QStringList{"--history", "--info"};
    QTest::newRow("--history with two counts") << QStringList{"--history", "3", "4"};
    QTest::newRow("--batch without an image") << QStringList{"--batch", "--info"};
    QTest::newRow("--count without --batch") << QStringList{"--file", "a.bin", "--count", "2"};
    QTest::newRow("--count 0") << QStringList{"--batch", "--file", "a.bin", "--count", "0"};
}

void TestCliProcess::badOptions_exit2WithUsageOnStderr()
{
    QFETCH(QStringList, arguments);
    const Result result = run(arguments);
    COMPARE_EXIT_CODE(result, 2);
    QCOMPARE(result.out, QString());
    QVERIFY2(result.err.startsWith("trennic-flasher-cli: "), qPrintable(result.err));
    QVERIFY2(result.err.contains(usageLine), qPrintable(result.err));
}

void TestCliProcess::history_printsTheLastRunsPastATornLine_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("shownFrom"); // index of the oldest run in the table

    QTest::newRow("no record yet") << 0 << QStringList{"--history"} << 0;
    QTest::newRow("fewer than the default 20") << 3 << QStringList{"--history"} << 0;
    QTest::newRow("more than the default 20") << 25 << QStringList{"--history"} << 5;
    QTest::newRow("the last 2") << 5 << QStringList{"--history", "2"} << 3;
}

void TestCliProcess::history_printsTheLastRunsPastATornLine()
{
    QFETCH(int, stored);
    QFETCH(QStringList, arguments);
    QFETCH(int, shownFrom);

    const QString path = dataFolder() + QStringLiteral("/runs.jsonl");
    QFile::remove(path);
    for (int i = 0; i < stored; ++i) {
        RunRecord record;
        record.end = QDateTime(QDate(2026, 12, 7), QTime(10, i, 0));
        record.start = record.end.addSecs(-12);
        record.tool = i % 2 ? QStringLiteral("window") : QStringLiteral("cli");
        record.device = device;
        record.serial = QStringLiteral("SN%1").arg(i, 3, 10, QLatin1Char('0'));
        record.before = QStringLiteral("01.05");
        record.after = i % 3 ? QStringLiteral("01.07") : QString();
        record.result = i % 3 ? QStringLiteral("FlashSucceeded") : QStringLiteral("FlashPortLost");
        record.source = QStringLiteral("/tmp/fw_%1.bin").arg(i);
        QVERIFY(RunRecord::append(record, path));
    }
    if (stored > 0) {
        // A run whose line was cut off, as by a power cut during the write.
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append));
        QVERIFY(file.write("{\"start\":\"2026-12-07T11:00:00Z\",\"serial\":\"SNTORN") > 0);
    }

    const Result result = run(arguments);
    COMPARE_EXIT_CODE(result, 0);
    QCOMPARE(result.err, QString());
    if (stored == 0) {
        QCOMPARE(result.out, QStringLiteral("No runs recorded yet.\n"));
        return;
    }
    const QStringList lines = result.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1 + stored - shownFrom);
    QVERIFY2(lines.first().startsWith("end "), qPrintable(result.out));
    QVERIFY(!result.out.contains("SNTORN"));
    for (int i = shownFrom; i < stored; ++i) {
        const QString row = lines[1 + i - shownFrom];
        QVERIFY2(
            row.startsWith(QStringLiteral("2026-12-07 10:%1:00").arg(i, 2, 10, QLatin1Char('0')))
                && row.contains(QStringLiteral("SN%1").arg(i, 3, 10, QLatin1Char('0')))
                && row.contains(i % 3 ? "01.05 -> 01.07" : "01.05 -> -")
                && row.contains(i % 3 ? "FlashSucceeded" : "FlashPortLost")
                && row.endsWith(QStringLiteral("/tmp/fw_%1.bin").arg(i)),
            qPrintable(row));
    }
}

void TestCliProcess::logFile_getsTheDebugLogWhateverStderrShows_data()
{
    QTest::addColumn<bool>("verbose");
    QTest::newRow("quiet") << false;
    QTest::newRow("--verbose") << true;
}

void TestCliProcess::logFile_getsTheDebugLogWhateverStderrShows()
{
    QFETCH(bool, verbose);
    const QString logs = dataFolder() + QStringLiteral("/logs");
    QDir(logs).removeRecursively();

    QStringList arguments{"--info", "--port", linkPath, "--wait", "1"};
    if (verbose)
        arguments << "--verbose";
    const Result result = run(arguments);
    COMPARE_EXIT_CODE(result, 3);

    const QStringList files = QDir(logs).entryList({"trennic-flasher-*.log"}, QDir::Files);
    QCOMPARE(files.size(), 1);
    QFile file(QDir(logs).filePath(files.first()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    QVERIFY(lines.size() >= 2);
    const QRegularExpression logLine(QStringLiteral("^\"\\d{2}:\\d{2}:\\d{2}:\\d{3}\" Debug : "));
    for (const QString& line : lines)
        QVERIFY2(logLine.match(line).hasMatch(), qPrintable(line));
    QVERIFY(lines.filter("tim_portCheckerTimeout").size() >= 1);

    // stderr as ever: the debug log only with --verbose.
    QCOMPARE(result.err.contains("tim_portCheckerTimeout"), verbose);
    QVERIFY2(result.err.contains("no device within 1 s"), qPrintable(result.err));
}

void TestCliProcess::logFile_unwritableFolder_leavesTheToolWorking()
{
    // The data folder is a file: nothing can be created below it.
    const QString blocker = scratch.filePath(QStringLiteral("blocked-data"));
    QVERIFY(writeFile(blocker, "not a folder"));
    const Result result = run({"--info", "--port", linkPath, "--wait", "1"}, blocker);
    COMPARE_EXIT_CODE(result, 3);
    QCOMPARE(result.out, QString());
    QCOMPARE(result.err,
             QStringLiteral("Waiting for a device at %1...\n"
                            "trennic-flasher-cli: no device within 1 s\n")
                 .arg(linkPath));
}

QTEST_GUILESS_MAIN(TestCliProcess)
#include "tst_cliprocess.moc"

#include "devcertificates.h"
#include "dfu_client.h"
#include "firmwarecache.h"
#include "korvoemulator.h"
#include "korvoenums.h"
#include "korvofirmwareimage.h"
#include "localfirmwareserver.h"
#include "loopbackproxy.h"
#include "minisigner.h"
#include "runrecord.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>
#include <memory>

namespace {

using Setup = std::function<void(KorvoEmulatorSettings&, LocalFirmwareServerFaults&)>;
constexpr int processTimeoutMs = 60000;
constexpr int deviceTimeoutMs = 10000;
// Three whole slices and a short last one: four packets.
constexpr int imageSize = 108 + 4096 * 3 + 5;

QByteArray firmwareFile(const char* version, int size = imageSize)
{
    return KorvoFirmwareImage::makeFile(version, size, quint32(size));
}

bool writeFile(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

Setup device(const std::function<void(KorvoEmulatorSettings&)>& change = {})
{
    return [change](KorvoEmulatorSettings& s, LocalFirmwareServerFaults&) {
        if (change)
            change(s);
    };
}

Setup bootLoader(const std::function<void(KorvoEmulatorSettings&)>& change = {})
{
    return [change](KorvoEmulatorSettings& s, LocalFirmwareServerFaults&) {
        s.startInBootLoader = true;
        if (change)
            change(s);
    };
}

Setup server(const std::function<void(LocalFirmwareServerFaults&)>& change)
{
    return [change](KorvoEmulatorSettings&, LocalFirmwareServerFaults& f) { change(f); };
}

} // namespace
Q_DECLARE_METATYPE(Setup)

// trennic-flasher-cli as a process, what only a process shows: its exit
// codes and texts, signals, its files. The device is emulated here on a pty
// named by a stable symbolic link; the firmware server is the local one over
// real HTTPS. In the arguments, $link, $server, $closed (a server nobody
// answers at), $proxy, $file and $url/<folder>/<file> stand for this run's own.
class TestCliProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void run_exitsAndSaysAsItShould_data();
    void run_exitsAndSaysAsItShould();
    void interrupt_endsTheRunOrTheBatchCleanly_data();
    void interrupt_endsTheRunOrTheBatchCleanly();
    void history_printsTheLastRunsPastATornLine();

private:
    struct Result
    {
        int exitCode = -1; // -1: crashed or killed
        QString out;
        QString err;
    };
    QStringList expand(QStringList texts) const;
    Result run(const QStringList& arguments);
    QProcessEnvironment environment() const;

    QTemporaryDir scratch;
    QString linkPath;
    QString closedServer;
    std::unique_ptr<LocalFirmwareServer> firmware;
    std::unique_ptr<KorvoEmulator> emulator;
    LoopbackProxy proxy;
};

void TestCliProcess::initTestCase()
{
    QVERIFY(QFileInfo::exists(QStringLiteral(TRENNIC_CLI_PATH)));
    const QString root = scratch.filePath(QStringLiteral("fw"));
    // Folders are read in name order, so the catalogue lists fw_2 first.
    QVERIFY(writeFile(root + "/Korvo 7/release/fw_1.bin", firmwareFile("0201")));
    QVERIFY(writeFile(root + "/Korvo 7/release/fw_3.bin", firmwareFile("0203")));
    QVERIFY(writeFile(root + "/Korvo 7/beta/fw_2.bin", firmwareFile("0202")));
    QVERIFY(writeFile(scratch.filePath("image.bin"), firmwareFile("0203")));
    QVERIFY(writeFile(scratch.filePath("tiny.bin"), firmwareFile("0203", 100).left(116)));
    firmware = std::make_unique<LocalFirmwareServer>(root);
    QVERIFY2(firmware->start(), qPrintable(firmware->errorString()));
    const MinisignKey key = firmware->signingKey(); // as minisign writes a public key file
    QVERIFY(writeFile(scratch.filePath("server.pub"), "untrusted comment: the server's key\n"
                          + (QByteArray("Ed") + key.id + key.key).toBase64() + '\n'));
    QVERIFY2(proxy.start(), qPrintable(proxy.errorString()));
    linkPath = scratch.filePath(QStringLiteral("ttyKORVO"));
    QTcpServer probe; // a port nothing listens on once it closes
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    closedServer = QStringLiteral("https://127.0.0.1:%1/trennics_firmware").arg(probe.serverPort());
    // What an earlier online run stored for that server.
    FirmwareCache cache(scratch.filePath(QStringLiteral("cache/Trennic/Trennic Flasher")));
    cache.setClock([] { return QDateTime(QDate(2026, 3, 5), QTime(14, 37, 12), Qt::UTC); });
    QVERIFY(cache.storeCatalogue(closedServer, firmware->catalogueJson()));
    QVERIFY(cache.storeImage(closedServer + "/Korvo 7/release/fw_1.bin", firmwareFile("0201")));
    QVERIFY(cache.storeImage(closedServer + "/Korvo 7/release/fw_3.bin", firmwareFile("0203")));
}

void TestCliProcess::cleanup()
{
    emulator.reset();
    firmware->setFaults({});
    proxy.clearConnectTargets();
}

QStringList TestCliProcess::expand(QStringList texts) const
{
    texts.replaceInStrings("$url", firmware->baseUrl() + "/Korvo 7");
    texts.replaceInStrings("$closed", closedServer);
    texts.replaceInStrings("$server", firmware->baseUrl());
    texts.replaceInStrings("$link", linkPath);
    texts.replaceInStrings("$file", scratch.filePath("image.bin"));
    texts.replaceInStrings("$tiny", scratch.filePath("tiny.bin"));
    texts.replaceInStrings("$proxy", proxy.url());
    texts.replaceInStrings("$keyid", firmware->signingKey().idText());
    texts.replaceInStrings("$key", scratch.filePath("server.pub"));
    texts.replaceInStrings("$named", QStringLiteral("https://%1:%2%3")
                                         .arg(DevCertificates::proxiedHostName)
                                         .arg(firmware->port())
                                         .arg(LocalFirmwareServer::basePath));
    return texts;
}

QProcessEnvironment TestCliProcess::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), scratch.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), scratch.filePath(QStringLiteral("cache")));
    env.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    env.remove(QStringLiteral("https_proxy"));
    env.remove(QStringLiteral("no_proxy"));
    return env;
}

TestCliProcess::Result TestCliProcess::run(const QStringList& arguments)
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(QStringLiteral(TRENNIC_CLI_PATH), expand(arguments));
    Result result;
    if (!process.waitForStarted()
        || !QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; },
                            processTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

void TestCliProcess::run_exitsAndSaysAsItShould_data()
{
    QTest::addColumn<Setup>("setup"); // no setup: no device
    QTest::addColumn<QStringList>("arguments"); // after --port, --device-name, --ca-cert
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // exactly
    QTest::addColumn<QStringList>("err"); // what stderr holds, among other lines
    const QString success = DFU_client::successMessage + '\n';
    const QString back = QStringLiteral("device back in application firmware, version 02.03\n");
    const QStringList online{"--server", "$server"};
    const QStringList offline{"--server", "$closed"};
    const QString list = "fw_3.bin\t$url/release/fw_3.bin\nfw_2.bin\t$url/beta/fw_2.bin\n"
                         "fw_1.bin\t$url/release/fw_1.bin\n";
    const auto cut = [](KorvoEmulatorSettings& s) { // the last acknowledgement never read
        s.dropAckOfPacket = 3;
        s.resetRightAfterLastAnswer = true;
    };
    const auto away = [](KorvoEmulatorSettings& s) { s.rebootDelay = std::chrono::minutes(2); };

    QTest::newRow("--info") << device() << online + QStringList{"--info"} << 0
                            << "state: korvoOnline (application firmware)\nfirmware version: 01.05\n"
                               "boot-loader version: 2\nboard version: 7\nboard revision: C\n"
                               "device name: Korvo 7\n"
                            << QStringList{"Device \"Korvo 7\": application firmware, firmware 01.05"};
    QTest::newRow("--list: newest first") << device() << online + QStringList{"--list"} << 0 << list
                                          << QStringList{};
    QTest::newRow("--list, HTTP 500: exit 4")
        << server([](auto& f) { f.statusForPath.insert(LocalFirmwareServer::cataloguePath, 500); })
        << online + QStringList{"--list", "--no-cache"} << 4 << ""
        << QStringList{"trennic-flasher-cli: catalogue unavailable: HTTP 500"};
    QTest::newRow("--list offline: the stored catalogue, stored images marked")
        << device() << offline + QStringList{"--list"} << 0
        << QString(list).replace("$url", "$closed/Korvo 7")
               .replace("fw_3.bin\n", "fw_3.bin\tcached\n")
               .replace("fw_1.bin\n", "fw_1.bin\tcached\n")
        << QStringList{"catalogue unavailable (Connection refused); using the one saved 2026-03-05 14:37"};
    QTest::newRow("--list offline, --no-cache: exit 4")
        << device() << offline + QStringList{"--list", "--no-cache"} << 4 << ""
        << QStringList{"trennic-flasher-cli: catalogue unavailable: Connection refused"};
    // A name only the proxy knows: Qt sends nothing for 127.0.0.1 through a proxy.
    QTest::newRow("--list through --proxy")
        << device() << QStringList{"--server", "$named", "--proxy", "$proxy", "--list", "--no-cache"}
        << 0 << QString(list).replace("$url", "$named/Korvo 7") << QStringList{};
    QTest::newRow("--file into the boot loader")
        << bootLoader() << online + QStringList{"--file", "$file"} << 0 << success + back
        << QStringList{"flashing 100 %"};
    QTest::newRow("--url, restarted into the boot loader first")
        << device() << online + QStringList{"--url", "$url/release/fw_3.bin", "--no-cache"} << 0
        << success + back
        << QStringList{"Restarting the device into its boot loader...", "downloading 100 %"};
    QTest::newRow("--expect-version met without the dot")
        << bootLoader() << online + QStringList{"--file", "$file", "--expect-version", "0203"} << 0
        << success + back << QStringList{};
    QTest::newRow("--expect-version not met: exit 5")
        << bootLoader() << online + QStringList{"--file", "$file", "--expect-version", "01.08"} << 5
        << success + back << QStringList{"expected version 01.08, the device runs 02.03"};
    QTest::newRow("stays away: a warning, exit 0")
        << bootLoader(away) << online + QStringList{"--file", "$file"} << 0 << success
        << QStringList{"warning: the device did not come back"};
    const QString unconfirmed = DFU_client::unconfirmedReturnedMessage.arg("02.03") + '\n' + back;
    QTest::newRow("last acknowledgement cut, back with the expected version: exit 0")
        << bootLoader(cut) << online + QStringList{"--file", "$file", "--expect-version", "02.03"}
        << 0 << unconfirmed << QStringList{};
    QTest::newRow("last acknowledgement cut, no version expected: exit 1")
        << bootLoader(cut) << online + QStringList{"--file", "$file"} << 1 << unconfirmed
        << QStringList{"the update is not confirmed"};
    QTest::newRow("last acknowledgement cut, stays away: exit 1")
        << bootLoader([cut, away](KorvoEmulatorSettings& s) { cut(s), away(s); })
        << online + QStringList{"--file", "$file", "--expect-version", "02.03"} << 1
        << DFU_client::unconfirmedAwayMessage + '\n' << QStringList{"did not come back within 15 s"};
    QTest::newRow("download answered 404: exit 1, the cause named")
        << bootLoader() << online + QStringList{"--url", "$url/release/none.bin"} << 1
        << DFU_client::downloadFailedMessage + '\n' << QStringList{"download failed: HTTP 404"};
    QTest::newRow("image too small: exit 1") << bootLoader() << online + QStringList{"--file", "$tiny"}
                                             << 1 << DFU_client::imageTooSmallMessage + '\n'
                                             << QStringList{};
    QTest::newRow("--batch, image too small: refused before any unit")
        << Setup() << online + QStringList{"--batch", "--file", "$tiny"} << 1
        << DFU_client::imageTooSmallMessage + '\n' << QStringList{};
    QTest::newRow("missing file: exit 1, the device left alone")
        << device() << online + QStringList{"--file", "/nonexistent.bin"} << 1
        << DFU_client::fileUnreadableMessage + '\n' << QStringList{"cannot read /nonexistent.bin"};
    const QStringList signedOnly = online + QStringList{"--trusted-key", "$key"};
    const QString signedLine = QString::fromUtf8("Version 01.05 \u2192 %1, signed by key $keyid%2\n");
    const auto older = [](auto& f) { f.signedVersion = "01.03"; };
    QTest::newRow("--trusted-key: the signed version before the first packet")
        << bootLoader() << signedOnly + QStringList{"--url", "$url/release/fw_3.bin"} << 0
        << signedLine.arg("02.03", "") + success + back << QStringList{};
    QTest::newRow("--trusted-key, older signed version: refused")
        << server(older) << signedOnly + QStringList{"--url", "$url/release/fw_3.bin"} << 1
        << DFU_client::downgradeRefusedMessage.arg("01.03", "01.05") + '\n'
        << QStringList{"older than the device's 01.05; --allow-downgrade flashes it"};
    QTest::newRow("--trusted-key --allow-downgrade: flashed, marked in the record")
        << server(older) << signedOnly + QStringList{"--url", "$url/release/fw_3.bin", "--allow-downgrade"}
        << 0 << signedLine.arg("01.03", " (downgrade)") + success + back << QStringList{};
    QTest::newRow("--trusted-key, a file without a signature: refused")
        << bootLoader() << signedOnly + QStringList{"--file", "$file"} << 1
        << DFU_client::signatureRefusedMessage + '\n'
        << QStringList{"signature refused: the image has no signature ($file.minisig)"};
    QTest::newRow("no device: exit 3") << Setup() << QStringList{"--info", "--wait", "0.5"} << 3 << ""
                                       << QStringList{"no device within 0.5 s"};
    QTest::newRow("--verbose: the debug log on stderr")
        << Setup() << QStringList{"--info", "--wait", "0.5", "--verbose"} << 3 << ""
        << QStringList{"Debug : onAppQuit"};
    for (const QStringList& bad :
         {QStringList{"--wait", "1"}, {"--info", "--list"}, {"--info", "--colour"}, {"--info", "now"},
          {"--url", "http://127.0.0.1/fw.bin"}, {"--info", "--wait", "0"},
          {"--info", "--expect-version", "1"}, {"--history", "0"}, {"--count", "2", "--file", "a"},
          {"--info", "--ca-cert", TRENNIC_CLI_PATH}, {"--info", "--trusted-key", TRENNIC_CLI_PATH}})
        QTest::addRow("usage error: %s", qPrintable(bad.join(' ')))
            << Setup() << bad << 2 << "" << QStringList{"Usage: trennic-flasher-cli [options] ACTION"};
}

void TestCliProcess::run_exitsAndSaysAsItShould()
{
    QFETCH(Setup, setup);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QStringList, err);
    if (setup) {
        KorvoEmulatorSettings settings;
        settings.symlinkPath = linkPath;
        LocalFirmwareServerFaults faults;
        setup(settings, faults);
        firmware->setFaults(faults);
        emulator = std::make_unique<KorvoEmulator>(settings);
        QVERIFY2(emulator->start(), qPrintable(emulator->errorString()));
    }
    const bool usage = exitCode == 2;
    QStringList common{"--port", "$link", "--device-name", "Korvo 7", "--ca-cert",
                       LocalFirmwareServer::caFile()};
    if (!arguments.contains("--wait"))
        common << "--wait" << "10";
    const Result result = run(usage ? arguments : common + arguments);
    const QString shown = QStringLiteral("exit %1\n%2\n%3").arg(result.exitCode).arg(result.out, result.err);
    QVERIFY2(result.exitCode == exitCode, qPrintable(shown));
    QCOMPARE(result.out, expand({out}).first());
    for (const QString& text : expand(err))
        QVERIFY2(result.err.contains(text), qPrintable(shown));
    // A run refused before the device was touched restarts nothing.
    if (arguments.contains("/nonexistent.bin"))
        QVERIFY(emulator->packetLog().isEmpty());
    // A checked signature goes into the run's record line.
    if (arguments.contains("--trusted-key") && !usage) {
        const QList<RunRecord> last = RunRecord::readLast(
            1, scratch.filePath("data/Trennic/Trennic Flasher/runs.jsonl"));
        QVERIFY(!last.isEmpty());
        const bool checked = !arguments.contains("$file");
        QCOMPARE(last.first().signingKey, checked ? firmware->signingKey().idText() : QString());
        QCOMPARE(last.first().downgrade, checked ? std::optional<bool>(out.contains("01.03"))
                                                 : std::nullopt);
        QCOMPARE(last.first().signatureFailure, checked ? QString() : QString("SignatureMissing"));
    }
}

void TestCliProcess::interrupt_endsTheRunOrTheBatchCleanly_data()
{
    QTest::addColumn<bool>("batch");
    QTest::newRow("a run: exit 130, the boot loader ready again") << false;
    QTest::newRow("a batch: its summary, exit 0") << true;
}

void TestCliProcess::interrupt_endsTheRunOrTheBatchCleanly()
{
    QFETCH(bool, batch);
    KorvoEmulatorSettings settings;
    settings.symlinkPath = linkPath;
    settings.startInBootLoader = !batch;
    settings.programmingDelay = std::chrono::milliseconds(batch ? 0 : 20);
    settings.packetTimeout = std::chrono::milliseconds(300); // gives up on a broken-off run soon
    emulator = std::make_unique<KorvoEmulator>(settings);
    QVERIFY(emulator->start());
    const QString large = scratch.filePath(QStringLiteral("large.bin"));
    QVERIFY(writeFile(large, firmwareFile("0204", 108 + 4096 * 200)));
    QProcess process;
    process.setProcessEnvironment(environment());
    QStringList arguments = expand({"--port", "$link", "--device-name", "Korvo 7", "--server",
                                    "$server", "--ca-cert", LocalFirmwareServer::caFile()});
    arguments += batch ? expand({"--batch", "--no-cache", "--url", "$url/release/fw_3.bin"})
                       : QStringList{"--file", large};
    process.start(QStringLiteral(TRENNIC_CLI_PATH), arguments);
    QByteArray out;
    if (batch) // one unit flashed and confirmed, then Ctrl-C while waiting for the next
        QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).count('\n') == 1,
                                 processTimeoutMs);
    else
        QTRY_VERIFY_WITH_TIMEOUT(emulator->packetLog().size() > 5, deviceTimeoutMs);
    QCOMPARE(::kill(pid_t(process.processId()), SIGINT), 0);
    QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, deviceTimeoutMs);
    out += process.readAllStandardOutput();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), batch ? 0 : 130);
    if (batch) {
        // A pseudo-terminal has no USB serial number: "-".
        QVERIFY2(out.startsWith("1  -  01.05 -> 02.03  FlashSucceeded  "), out.constData());
        QVERIFY2(out.endsWith("\n1 flashed, 0 failed\n"), out.constData());
        return;
    }
    QVERIFY(process.readAllStandardError().contains("interrupted, port closed"));
    QCOMPARE(emulator->mode(), KorvoEmulator::Mode::BootLoader);
    QTRY_COMPARE_WITH_TIMEOUT(emulator->status(), quint8(korvoEnums::korvoBootOnline),
                              deviceTimeoutMs);
}

void TestCliProcess::history_printsTheLastRunsPastATornLine()
{
    const QString path = scratch.filePath("data/Trennic/Trennic Flasher/runs.jsonl");
    QFile::remove(path);
    QCOMPARE(run({"--history"}).out, QStringLiteral("No runs recorded yet.\n"));
    for (int i = 0; i < 25; ++i) {
        RunRecord record;
        record.end = QDateTime(QDate(2026, 12, 7), QTime(10, i, 0));
        record.start = record.end.addSecs(-12);
        record.tool = QStringLiteral("cli");
        record.serial = QStringLiteral("SN%1").arg(i, 3, 10, QLatin1Char('0'));
        record.before = QStringLiteral("01.05");
        record.after = i % 3 ? QStringLiteral("01.07") : QString();
        record.result = i % 3 ? QStringLiteral("FlashSucceeded") : QStringLiteral("FlashPortLost");
        QVERIFY(RunRecord::append(record, path));
    }
    QFile file(path); // a run whose line was cut off, as by a power cut
    QVERIFY(file.open(QIODevice::Append) && file.write("{\"serial\":\"SNTORN") > 0);
    file.close();
    const Result all = run({"--history"});
    QCOMPARE(all.exitCode, 0);
    const QStringList lines = all.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1 + 20); // the header and the default 20, oldest first
    QVERIFY2(lines[1].startsWith("2026-12-07 10:05:00") && lines[1].contains("SN005")
                 && lines[1].contains("01.05 -> 01.07") && lines[1].contains("FlashSucceeded"),
             qPrintable(lines[1]));
    QVERIFY(lines[2].contains("01.05 -> -") && lines[2].contains("FlashPortLost"));
    QVERIFY(!all.out.contains("SNTORN"));
    QCOMPARE(run({"--history", "2"}).out.count('\n'), 3);
}

QTEST_GUILESS_MAIN(TestCliProcess)
#include "tst_cliprocess.moc"

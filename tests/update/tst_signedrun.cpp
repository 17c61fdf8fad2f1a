#include "dfu_client.h"
#include "firmwarecache.h"
#include "firmwareserver.h"
#include "firmwaresignature.h"
#include "korvoemulator.h"
#include "korvoenums.h"
#include "korvofirmwareimage.h"
#include "localfirmwareserver.h"
#include "minisigner.h"
#include "runrecorder.h"

#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Fault = LocalFirmwareServerFaults::Signature;
using Failure = FirmwareSignature::Failure;
using Result = DFU_client::FlashResult;

namespace {

constexpr int stepTimeoutMs = 30000;
const QString closedBase = QStringLiteral("https://127.0.0.1:1/trennics_firmware"); // refused
const QString release = QStringLiteral("/Korvo 7/release/korvo7_v0201.bin");

bool writeFile(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

enum class Source { Server, File, Cache };
enum class Trust { Server, Rotated, Revoked, None };

} // namespace
Q_DECLARE_METATYPE(Source)
Q_DECLARE_METATYPE(Trust)
Q_DECLARE_METATYPE(Fault)

// Whole runs with trusted keys, against the emulated boot loader and the
// local firmware server: only an image with a valid signature for this
// device reaches it, whatever the image came from.
class TestSignedRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void run_data();
    void run();

private:
    QTemporaryDir tree;
    QTemporaryDir cacheFolder;
    std::unique_ptr<LocalFirmwareServer> server;
    const MinisignSigner maker = MinisignSigner::generate(); // a second release key
    const QByteArray image = KorvoFirmwareImage::makeFile("0201", 108 + 4096 * 3 + 9, 31);
};

void TestSignedRun::initTestCase()
{
    QVERIFY(writeFile(tree.path() + release, image));
    server = std::make_unique<LocalFirmwareServer>(tree.path());
    QVERIFY2(server->start(), qPrintable(server->errorString()));
    QVERIFY(FirmwareServer::addTrustedCaFile(LocalFirmwareServer::caFile()));
    FirmwareCache::setDefaultFolder(cacheFolder.path());
}

void TestSignedRun::cleanupTestCase()
{
    FirmwareCache::setDefaultFolder({});
    FirmwareServer::setBaseUrl({});
}

void TestSignedRun::run_data()
{
    QTest::addColumn<Source>("source");
    QTest::addColumn<Fault>("fault"); // of the server's signatures
    QTest::addColumn<Trust>("trust");
    QTest::addColumn<QString>("signedVersion"); // empty: the image's own
    QTest::addColumn<bool>("allowDowngrade");
    QTest::addColumn<Result>("result");
    QTest::addColumn<Failure>("failure");
    const Failure none = FirmwareSignature::NoSignatureFailure;
    const Result refused = DFU_client::FlashSignatureRefused;
    const Result ok = DFU_client::FlashSucceeded;
    QTest::newRow("signed download: flashed byte for byte")
        << Source::Server << Fault::Valid << Trust::Server << "" << false << ok << none;
    QTest::newRow("no signature on the server") << Source::Server << Fault::Missing << Trust::Server
                                                << "" << false << refused << Failure::SignatureMissing;
    QTest::newRow("signed by a key not trusted") << Source::Server << Fault::OtherKey << Trust::Server
                                                 << "" << false << refused << Failure::SignatureUnknownKey;
    QTest::newRow("signature corrupted") << Source::Server << Fault::Corrupted << Trust::Server << ""
                                         << false << refused << Failure::SignatureBad;
    QTest::newRow("signed for another device") << Source::Server << Fault::OtherDevice << Trust::Server
                                               << "" << false << refused << Failure::SignatureWrongDevice;
    QTest::newRow("trusted key revoked") << Source::Server << Fault::Valid << Trust::Revoked << ""
                                         << false << refused << Failure::SignatureKeyRevoked;
    QTest::newRow("rotation: the old key still trusted beside the new")
        << Source::Server << Fault::Valid << Trust::Rotated << "" << false << ok << none;
    QTest::newRow("rotation: a file signed by the new key")
        << Source::File << Fault::Valid << Trust::Rotated << "" << false << ok << none;
    QTest::newRow("file without a signature beside it")
        << Source::File << Fault::Valid << Trust::Server << "" << false << refused << Failure::SignatureMissing;
    QTest::newRow("older signed version, not allowed") << Source::Server << Fault::Valid << Trust::Server
        << "01.03" << false << DFU_client::FlashDowngradeRefused << none;
    QTest::newRow("older signed version, allowed")
        << Source::Server << Fault::Valid << Trust::Server << "01.03" << true << ok << none;
    QTest::newRow("cached image, its stored signature intact")
        << Source::Cache << Fault::Valid << Trust::Rotated << "" << false << ok << none;
    QTest::newRow("cached image, its stored signature changed")
        << Source::Cache << Fault::Corrupted << Trust::Rotated << "" << false << refused << Failure::SignatureBad;
    QTest::newRow("no trusted key: an unsigned image flashed as ever")
        << Source::Server << Fault::Missing << Trust::None << "" << false << ok << none;
}

void TestSignedRun::run()
{
    QFETCH(Source, source);
    QFETCH(Fault, fault);
    QFETCH(Trust, trust);
    QFETCH(QString, signedVersion);
    QFETCH(bool, allowDowngrade);
    QFETCH(Result, result);
    QFETCH(Failure, failure);
    const auto restore = qScopeGuard([] {
        FirmwareSignature::resetTrustedKeys();
        FirmwareSignature::resetRevokedKeyIds();
    });
    if (trust != Trust::None)
        FirmwareSignature::setTrustedKeys(trust == Trust::Rotated
                                              ? QList<MinisignKey>{server->signingKey(), maker.publicKey()}
                                              : QList<MinisignKey>{server->signingKey()});
    FirmwareSignature::setRevokedKeyIds(
        trust == Trust::Revoked ? QStringList{server->signingKey().idText().toLower()} : QStringList());
    LocalFirmwareServerFaults faults;
    faults.signature = source == Source::Server ? fault : Fault::Valid;
    faults.signedVersion = signedVersion;
    server->setFaults(faults);
    FirmwareServer::setBaseUrl(source == Source::Cache ? closedBase : server->baseUrl());

    const QByteArray comment = "device:Korvo 7\tversion:02.01";
    QByteArray signature = maker.sign(image, comment, false);
    if (fault == Fault::Corrupted) // one byte of the signed hash's signature
        signature[signature.indexOf('\n') + 30] = signature.at(signature.indexOf('\n') + 30) == 'A' ? 'B' : 'A';
    QString asked = FirmwareServer::baseUrl() + release;
    if (source == Source::File) {
        asked = tree.path() + "/local.bin";
        QVERIFY(writeFile(asked, image));
        QFile::remove(asked + FirmwareSignature::suffix);
        QVERIFY(trust != Trust::Rotated || writeFile(asked + FirmwareSignature::suffix, signature));
    }
    if (source == Source::Cache) {
        FirmwareCache cache;
        QVERIFY(cache.storeImage(asked, image) && cache.storeSignature(asked, signature));
    }

    KorvoEmulatorSettings settings;
    settings.startInBootLoader = true;
    KorvoEmulator emulator(settings);
    USB_StmFlasher flasher;
    flasher.dfu()->setDowngradeAllowed(allowDowngrade);
    QVERIFY2(emulator.start(), qPrintable(emulator.errorString()));
    QVERIFY(QMetaObject::invokeMethod(&flasher, "tim_portCheckerTimeout"));
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher.getDevConnStatus()), 2u, stepTimeoutMs);
    RunRecorder recorder(&flasher);
    if (source == Source::File)
        flasher.flashFromFile(asked);
    else
        flasher.flashFromUrl(asked);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.results.size(), 1, stepTimeoutMs);
    QVERIFY(recorder.endedOnceAsTold());
    QCOMPARE(recorder.results.first(), result);
    const FirmwareSignature::Verdict& verdict = flasher.dfu()->runSignature();
    QCOMPARE(verdict.failure, failure);
    if (result == DFU_client::FlashSucceeded) {
        QCOMPARE(emulator.receivedImage(), KorvoFirmwareImage::transmittedPart(image));
        QCOMPARE(flasher.dfu()->runDowngrade(), !signedVersion.isEmpty());
        const bool byMaker = source != Source::Server;
        QCOMPARE(verdict.keyId, trust == Trust::None ? QString()
                     : (byMaker ? maker.publicKey() : server->signingKey()).idText());
        return;
    }
    // Refused: nothing but the heartbeat reached the device, no size was asked to be prepared.
    for (const KorvoEmulator::ReceivedPacket& packet : emulator.packetLog())
        QVERIFY(packet.header.dataOrCommand != korvoEnums::PrepareToFlash || packet.header.parameter == 0);
    QVERIFY(recorder.progress.isEmpty());
}

QTEST_GUILESS_MAIN(TestSignedRun)
#include "tst_signedrun.moc"

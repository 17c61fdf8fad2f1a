#include "demosession.h"

#include "debugline.h"
#include "demoscript.h"
#include "firmwarecache.h"
#include "firmwareserver.h"
#include "firmwaresignature.h"
#include "korvoemulator.h"
#include "korvofirmwareimage.h"
#include "localfirmwareserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QTextStream>

namespace {

// About a second for the sample images.
constexpr qint64 demoServerBytesPerSecond = qint64(512) * 1024;

KorvoEmulatorSettings demoDeviceSettings()
{
    // A real instrument's pace, so the progress bar can be followed.
    KorvoEmulatorSettings settings = KorvoEmulatorSettings::realistic();
    settings.deviceName = QStringLiteral("Korvo 7");
    settings.firmwareVersion = QByteArrayLiteral("0105");
    settings.startInBootLoader = false;
    return settings;
}

} // namespace

DemoSession::DemoSession(const DemoOptions& demoOptions, QObject* parent)
    : QObject(parent), options(demoOptions)
{}

DemoSession::~DemoSession()
{
    if (emulator)
        emulator->stop();
    if (server)
        server->stop();
}

bool DemoSession::start()
{
    QString root = options.firmwareDir;
    if (root.isEmpty()) {
        if (!sampleDir.isValid()) {
            lastError = QStringLiteral("no temporary folder for the sample firmware");
            return false;
        }
        root = sampleDir.path();
        if (!KorvoFirmwareImage::writeSampleTree(root, &lastError))
            return false;
    }

    // The demo's images are samples: they go to a cache of its own, not the user's.
    FirmwareCache::setDefaultFolder(cacheDir.path());
    server = std::make_unique<LocalFirmwareServer>(root);
    // A server at a modest distance, so the download can be followed.
    LocalFirmwareServerFaults pace;
    pace.bytesPerSecond = demoServerBytesPerSecond;
    server->setFaults(pace);
    if (!server->start()) {
        lastError = server->errorString();
        return false;
    }
    FirmwareServer::setBaseUrl(server->baseUrl());
    // Only signed images: by the server's key, or by the key of a tree that
    // korvo-sim --make-sample-firmware signed.
    QList<MinisignKey> keys{server->signingKey()};
    QFile treeKey(QDir(root).filePath(QStringLiteral("sample-key.pub")));
    if (treeKey.open(QIODevice::ReadOnly))
        if (const std::optional<MinisignKey> key = Minisign::parsePublicKey(treeKey.readAll()))
            keys.append(*key);
    FirmwareSignature::setTrustedKeys(keys);
    if (!FirmwareServer::addTrustedCaFile(LocalFirmwareServer::caFile())) {
        lastError = QStringLiteral("no CA certificate in %1").arg(LocalFirmwareServer::caFile());
        return false;
    }

    emulator = std::make_unique<KorvoEmulator>(demoDeviceSettings());
    if (!options.scripted && !emulator->start()) {
        lastError = emulator->errorString();
        return false;
    }

    QTextStream out(stdout);
    out << "trennic-flasher-demo: firmware server " << server->baseUrl() << " serving " << root
        << "\n";
    if (!options.scripted)
        out << "trennic-flasher-demo: emulated Korvo 7 (firmware 01.05) on "
            << emulator->systemLocation() << "\n";
    return true;
}

QString DemoSession::errorString() const
{
    return lastError;
}

void DemoSession::windowLoaded(QQmlApplicationEngine& engine)
{
    QQuickWindow* window = nullptr;
    if (!engine.rootObjects().isEmpty())
        window = qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst());
    if (window && !options.scripted) {
        window->raise();
        window->requestActivate();
        return;
    }
    if (window == nullptr) {
        scriptExitCode = 1;
        QCoreApplication::exit(1);
        return;
    }

    script = new DemoScript(window, emulator.get(), options.screenshotDir, this);
    script->setFirmwareServer(server.get());
    connect(script, &DemoScript::finished, this, [this](bool ok, const QString& message) {
        QTextStream out(stdout);
        out << "trennic-flasher-demo: " << message << "\n";
        out << "trennic-flasher-demo: screenshots in " << options.screenshotDir << "\n";
        out.flush();
        scriptExitCode = ok ? 0 : 1;
        QCoreApplication::exit(scriptExitCode);
    });
    script->start();
}

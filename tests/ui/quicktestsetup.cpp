#include "firmwarecache.h"
#include "firmwareserver.h"
#include "flasherapp.h"
#include "localfirmwareserver.h"
#include "serialportenvironment.h"
#include "usb_stmflasher.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QMutex>
#include <QQmlContext>
#include <QQmlEngine>
#include <QSettings>
#include <QTemporaryDir>
#include <QUrl>
#include <QtQuickTest>

#include <memory>

namespace {

// Hides the machine's serial ports; on request lists one Korvo port whose device node does not exist.
struct NoSerialPorts : SerialPortProvider
{
    QList<SerialPortRecord> ports() const override
    {
        const QMutexLocker lock(&mutex);
        if (name.isEmpty())
            return {};
        return {{name, "/nonexistent/" + name, {}, {}, {}, USB_StmFlasher::stmVendorId,
                 USB_StmFlasher::applicationProductId, true, true}};
    }
    QList<BusDescriptionRecord> busDescriptions() const override { return {}; }

    mutable QMutex mutex;
    QString name;
};

} // namespace

// Prepares the QML tests as start-up prepares the tool, settings in a temporary folder.
class QuickTestSetup : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QList<QUrl> openedUrls MEMBER openedUrls)

public:
    Q_INVOKABLE void listUnopenablePort(const QString& name)
    {
        const QMutexLocker lock(&noSerialPorts.mutex);
        noSerialPorts.name = name;
    }
    Q_INVOKABLE void setBaseUrl(const QString& url) { FirmwareServer::setBaseUrl(url); }
    // The local server answering every request with `status`; its base URL ("" if it did not start).
    Q_INVOKABLE QString serveStatus(int status)
    {
        if (!server) {
            server = std::make_unique<LocalFirmwareServer>();
            if (!server->start() || !FirmwareServer::addTrustedCaFile(LocalFirmwareServer::caFile()))
                return {};
        }
        LocalFirmwareServerFaults faults;
        faults.statusForPath.insert(QStringLiteral("*"), status);
        server->setFaults(faults);
        FirmwareServer::setBaseUrl(server->baseUrl());
        return server->baseUrl();
    }
    // The translation start-up picks for these UI languages; its path or "" (the source texts).
    Q_INVOKABLE QString loadTranslation(const QStringList& languages) { return FlasherApp::installTranslation(languages); }
    Q_INVOKABLE void retranslate() { engine->retranslate(); }
    // Stores a catalogue arrived at `localTime` ("yyyy-MM-dd hh:mm") and an image, as an online run would.
    Q_INVOKABLE bool storeCatalogue(const QString& baseUrl, const QString& body, const QString& localTime,
                                    const QString& imageUrl)
    {
        FirmwareCache cache;
        const QDateTime arrived = QDateTime::fromString(localTime, QStringLiteral("yyyy-MM-dd hh:mm")).toUTC();
        cache.setClock([arrived] { return arrived; });
        return cache.storeCatalogue(baseUrl, body.toUtf8()) && cache.storeImage(imageUrl, QByteArray(2000, 'I'));
    }
    Q_INVOKABLE bool clearCache() { return QDir(FirmwareCache::defaultFolder()).removeRecursively(); }

public slots:
    void openUrl(const QUrl& url) { openedUrls.append(url); }
    void applicationAvailable()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
        FlasherApp::setApplicationIdentity();
        FlasherApp::useCLocale();
        SerialPortEnvironment::installProvider(&noSerialPorts);
        QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openUrl");
        FirmwareCache::setDefaultFolder(settingsDir.filePath(QStringLiteral("cache")));
    }
    void qmlEngineAvailable(QQmlEngine* qmlEngine)
    {
        engine = qmlEngine;
        FlasherApp::registerQmlTypes();
        // Lets the tests call the link's setDevConnStatus(uint8_t).
        qRegisterMetaType<uint8_t>("uint8_t");
        engine->rootContext()->setContextProperty(QStringLiteral("test"), this);
    }
    void cleanupTestCase()
    {
        server.reset(); // while the application still runs: its thread ends with it
        FlasherApp::installTranslation({});
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        SerialPortEnvironment::removeProvider(&noSerialPorts);
    }

private:
    QTemporaryDir settingsDir;
    NoSerialPorts noSerialPorts;
    QList<QUrl> openedUrls;
    std::unique_ptr<LocalFirmwareServer> server;
    QQmlEngine* engine = nullptr;
};

QUICK_TEST_MAIN_WITH_SETUP(trennic_ui, QuickTestSetup)

#include "quicktestsetup.moc"
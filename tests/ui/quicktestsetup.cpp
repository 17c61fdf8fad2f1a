#include "firmwarecache.h"
#include "firmwareserver.h"
#include "flasherapp.h"
#include "localfirmwareserver.h"
#include "serialportenvironment.h"
#include "usb_stmflasher.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QQmlContext>
#include <QQmlEngine>
#include <QSettings>
#include <QTemporaryDir>
#include <QUrl>
#include <QtQuickTest>

#include <memory>

namespace {

// Hides every serial port of the machine from the device links the window
// tests create, so no test ever opens real hardware. On request it lists one
// Korvo port that cannot be opened (its device node does not exist).
class NoSerialPorts : public SerialPortProvider
{
public:
    QList<SerialPortRecord> ports() const override
    {
        const QMutexLocker lock(&mutex);
        if (unopenablePortName.isEmpty())
            return {};
        SerialPortRecord record;
        record.portName = unopenablePortName;
        record.systemLocation = QStringLiteral("/nonexistent/") + unopenablePortName;
        record.vendorIdentifier = USB_StmFlasher::stmVendorId;
        record.productIdentifier = USB_StmFlasher::applicationProductId;
        record.hasVendorIdentifier = record.hasProductIdentifier = true;
        return {record};
    }
    QList<BusDescriptionRecord> busDescriptions() const override { return {}; }

    void setUnopenablePortName(const QString& name)
    {
        const QMutexLocker lock(&mutex);
        unopenablePortName = name;
    }

private:
    mutable QMutex mutex;
    QString unopenablePortName;
};

// The window tests' handle on the ports their links see, as `testPorts`.
class TestPorts : public QObject
{
    Q_OBJECT

public:
    explicit TestPorts(NoSerialPorts* ports) : ports(ports) {}

    // An empty name lists no port again.
    Q_INVOKABLE void listUnopenablePort(const QString& portName)
    {
        ports->setUnopenablePortName(portName);
    }

private:
    NoSerialPorts* ports;
};

// Stands in for the desktop's file manager: Qt.openUrlExternally hands file:
// URLs to it, and the tests read what was opened.
class OpenedUrls : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QUrl last READ last NOTIFY opened)
    Q_PROPERTY(int count READ count NOTIFY opened)

public:
    QUrl last() const { return urls.isEmpty() ? QUrl() : urls.last(); }
    int count() const { return urls.size(); }

signals:
    void opened();

public slots:
    void open(const QUrl& url)
    {
        urls.append(url);
        emit opened();
    }

private:
    QList<QUrl> urls;
};

// Lets a test point the window's link at another firmware address, e.g. a
// port nothing listens on, or at the local firmware server answering every
// request with an HTTP status.
class FirmwareAddress : public QObject
{
    Q_OBJECT

public:
    Q_INVOKABLE void setBaseUrl(const QString& url) { FirmwareServer::setBaseUrl(url); }
    // The server's base URL, now the firmware address; empty when it failed.
    Q_INVOKABLE QString serveStatus(int status)
    {
        if (!server) {
            server = std::make_unique<LocalFirmwareServer>();
            if (!server->start()
                || !FirmwareServer::addTrustedCaFile(LocalFirmwareServer::caFile()))
                return {};
        }
        LocalFirmwareServerFaults faults;
        faults.statusForPath.insert(QStringLiteral("*"), status);
        server->setFaults(faults);
        FirmwareServer::setBaseUrl(server->baseUrl());
        return server->baseUrl();
    }
    // While the application still runs: the server's thread ends with it.
    void stopServer() { server.reset(); }

private:
    std::unique_ptr<LocalFirmwareServer> server;
};

// The window tests' handle on the window's language, as `translations`:
// load(["en"]) installs the translation start-up picks for those UI
// languages (load(["ru"]) goes back to the source texts); retranslate()
// brings every text on show up to date.
class TestTranslations : public QObject
{
    Q_OBJECT

public:
    void setEngine(QQmlEngine* qmlEngine) { engine = qmlEngine; }

    // The resource path of the translation installed, or "".
    Q_INVOKABLE QString load(const QStringList& uiLanguages)
    {
        return FlasherApp::installTranslation(uiLanguages);
    }
    Q_INVOKABLE void retranslate()
    {
        if (engine)
            engine->retranslate();
    }

private:
    QQmlEngine* engine = nullptr;
};

// Lets a test fill the window's firmware cache as earlier online runs
// would, and empty it again.
class TestCache : public QObject
{
    Q_OBJECT

public:
    // Stores `body` as the catalogue of `baseUrl`, arrived at `localTime`
    // ("yyyy-MM-dd hh:mm", this computer's time zone).
    Q_INVOKABLE bool storeCatalogue(const QString& baseUrl, const QString& body,
                                    const QString& localTime)
    {
        FirmwareCache cache;
        const QDateTime arrived
            = QDateTime::fromString(localTime, QStringLiteral("yyyy-MM-dd hh:mm")).toUTC();
        cache.setClock([arrived] { return arrived; });
        return cache.storeCatalogue(baseUrl, body.toUtf8());
    }
    Q_INVOKABLE bool storeImage(const QString& url, int size)
    {
        return FirmwareCache().storeImage(url, QByteArray(size, 'I'));
    }
    Q_INVOKABLE bool clear() { return QDir(FirmwareCache::defaultFolder()).removeRecursively(); }
};

} // namespace

// Prepares the QML window tests the way start-up prepares the tool: identity,
// C locale and registrations; the settings store lives in a temporary folder.
class QuickTestSetup : public QObject
{
    Q_OBJECT

public slots:
    void applicationAvailable()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
        FlasherApp::setApplicationIdentity();
        FlasherApp::useCLocale();
        SerialPortEnvironment::installProvider(&noSerialPorts);
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &openedUrls, "open");
        FirmwareCache::setDefaultFolder(settingsDir.filePath(QStringLiteral("cache")));
        // A local image too small to flash, for the file button's tests.
        QFile tiny(settingsDir.filePath(QStringLiteral("images/tiny.bin")));
        QDir().mkpath(settingsDir.filePath(QStringLiteral("images")));
        if (tiny.open(QIODevice::WriteOnly))
            tiny.write(QByteArray(108 + 16, 'T'));
    }
    void qmlEngineAvailable(QQmlEngine* engine)
    {
        // Where the tests find their local images, as a folder URL.
        engine->rootContext()->setContextProperty(
            QStringLiteral("testImageFolder"),
            QUrl::fromLocalFile(settingsDir.filePath(QStringLiteral("images"))).toString());
        engine->rootContext()->setContextProperty(QStringLiteral("firmwareAddress"),
                                                  &firmwareAddress);
        engine->rootContext()->setContextProperty(QStringLiteral("testCache"), &testCache);
        FlasherApp::registerQmlTypes();
        engine->rootContext()->setContextProperty(QStringLiteral("testPorts"), &testPorts);
        // Lets the tests call the link's setDevConnStatus(uint8_t) as the
        // receive path does.
        qRegisterMetaType<uint8_t>("uint8_t");
        engine->rootContext()->setContextProperty(QStringLiteral("openedUrls"), &openedUrls);
        translations.setEngine(engine);
        engine->rootContext()->setContextProperty(QStringLiteral("translations"), &translations);
    }
    void cleanupTestCase()
    {
        firmwareAddress.stopServer();
        FlasherApp::installTranslation({});
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        SerialPortEnvironment::removeProvider(&noSerialPorts);
    }

private:
    QTemporaryDir settingsDir;
    NoSerialPorts noSerialPorts;
    OpenedUrls openedUrls;
    TestPorts testPorts{&noSerialPorts};
    FirmwareAddress firmwareAddress;
    TestTranslations translations;
    TestCache testCache;
};

QUICK_TEST_MAIN_WITH_SETUP(trennic_ui, QuickTestSetup)

#include "quicktestsetup.moc"

#include "firmwarecache.h"
#include "flasherapp.h"
#include "serialportenvironment.h"

#include <QDir>
#include <QFile>
#include <QQmlContext>
#include <QQmlEngine>
#include <QUrl>
#include <QSettings>
#include <QTemporaryDir>
#include <QtQuickTest>

namespace {

// Hides every serial port of the machine from the device links the window
// tests create, so no test ever opens real hardware.
class NoSerialPorts : public SerialPortProvider
{
public:
    QList<SerialPortRecord> ports() const override { return {}; }
    QList<BusDescriptionRecord> busDescriptions() const override { return {}; }
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
        FlasherApp::registerQmlTypes();
        // Lets the tests call the link's setDevConnStatus(uint8_t) as the
        // receive path does.
        qRegisterMetaType<uint8_t>("uint8_t");
    }
    void cleanupTestCase() { SerialPortEnvironment::removeProvider(&noSerialPorts); }

private:
    QTemporaryDir settingsDir;
    NoSerialPorts noSerialPorts;
};

QUICK_TEST_MAIN_WITH_SETUP(trennic_ui, QuickTestSetup)

#include "quicktestsetup.moc"

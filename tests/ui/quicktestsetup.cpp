#include "firmwareserver.h"
#include "flasherapp.h"
#include "serialportenvironment.h"

#include <QQmlContext>
#include <QQmlEngine>
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

// Lets a test point the window's link at another firmware address, e.g. a
// port nothing listens on.
class FirmwareAddress : public QObject
{
    Q_OBJECT

public:
    Q_INVOKABLE void setBaseUrl(const QString& url) { FirmwareServer::setBaseUrl(url); }
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
    }
    void qmlEngineAvailable(QQmlEngine* engine)
    {
        engine->rootContext()->setContextProperty(QStringLiteral("firmwareAddress"),
                                                  &firmwareAddress);
        FlasherApp::registerQmlTypes();
        // Lets the tests call the link's setDevConnStatus(uint8_t) as the
        // receive path does.
        qRegisterMetaType<uint8_t>("uint8_t");
    }
    void cleanupTestCase() { SerialPortEnvironment::removeProvider(&noSerialPorts); }

private:
    QTemporaryDir settingsDir;
    NoSerialPorts noSerialPorts;
    FirmwareAddress firmwareAddress;
};

QUICK_TEST_MAIN_WITH_SETUP(trennic_ui, QuickTestSetup)

#include "quicktestsetup.moc"

#include "flasherapp.h"

#include "dfu_client.h"
#include "korvoenums.h"
#include "runrecordwriter.h"
#include "trennicversion.h"
#include "usb_stmflasher.h"

#include <QApplication>
#include <QGuiApplication>
#include <QLocale>
#include <QQmlApplicationEngine>
#include <QtQml>

// Q_INIT_RESOURCE must not be used inside a namespace. Referencing the
// bundle here also keeps it in the link of every executable that uses this
// static library; it registers itself during static initialisation, and a
// second registration of the same data is a no-op.
static void initQmlBundle()
{
    Q_INIT_RESOURCE(qml);
}

namespace FlasherApp {

namespace {
constexpr int mainWindowLoadFailed = 1;
}

void enableHighDpiScaling()
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}

bool versionRequested(int argc, const char* const* argv)
{
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--version") == 0)
            return true;
    }
    return false;
}

QString versionText()
{
    return QStringLiteral("trennic-flasher " TRENNIC_VERSION);
}

void setApplicationIdentity()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Trennic"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("trennic.example"));
    QCoreApplication::setApplicationName(QStringLiteral("Trennic Flasher"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TRENNIC_VERSION));
    // Names the desktop entry, so a desktop shows the tool's own icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("trennic-flasher"));
}

void useCLocale()
{
    QLocale::setDefault(QLocale::c());
}

void initResources()
{
    initQmlBundle();
}

void registerQmlTypes()
{
    initResources();
    qmlRegisterType<korvoEnums>("KORVO", 1, 0, "KorvoEnums");
    qmlRegisterType<USB_StmFlasher>("USB_StmFlasher_qml_module", 1, 0, "USB_StmFlasher");
    // The engine's enumerations (the typed outcome of a run) for the window;
    // the engine itself belongs to the link.
    qmlRegisterUncreatableType<DFU_client>("USB_StmFlasher_qml_module", 1, 0, "DFU_client",
                                           QStringLiteral("created by USB_StmFlasher"));
    qmlRegisterSingletonType(QUrl(QStringLiteral("qrc:/qml/components/AppStyle.qml")),
                             "USB_StmFlasher_qml_module", 1, 0, "AppStyle");
}

QUrl mainWindowUrl()
{
    return QUrl(QStringLiteral("qrc:/qml/Main.qml"));
}

int exec(QApplication& app, const AfterLoad& afterLoad)
{
    setApplicationIdentity();
    useCLocale();
    // Runs from the window (and the demo) go into the run record.
    RunRecordWriter::setTool(QStringLiteral("window"));

    int exitCode = 0;
    {
        QQmlApplicationEngine engine;
        registerQmlTypes();
        engine.load(mainWindowUrl());
        // Without a window nothing could ever end the event loop.
        if (engine.rootObjects().isEmpty())
            return mainWindowLoadFailed;
        if (afterLoad)
            afterLoad(engine);
        exitCode = app.exec();
    }
    return exitCode;
}

} // namespace FlasherApp

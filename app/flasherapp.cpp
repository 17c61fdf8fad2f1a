#include "flasherapp.h"

#include "dfu_client.h"
#include "firmwareserver.h"
#include "korvoenums.h"
#include "runrecordwriter.h"
#include "trennicversion.h"
#include "usb_stmflasher.h"

#include <QApplication>
#include <QFile>
#include <QGuiApplication>
#include <QLocale>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QTranslator>
#include <QtQml>

#include <cstring>

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

// The window's translator. Qt names the translation context of a form file
// (HomeForm.ui.qml) in two ways: lupdate and simple text bindings use
// "HomeForm.ui", while qsTr() evaluated inside a longer expression uses
// "HomeForm". Texts not found under the second name are looked up under the
// first, so every qsTr() of a form finds its one entry.
class WindowTranslator : public QTranslator
{
public:
    using QTranslator::QTranslator;

    QString translate(const char* context, const char* sourceText, const char* disambiguation,
                      int n) const override
    {
        QString text = QTranslator::translate(context, sourceText, disambiguation, n);
        if (text.isNull() && context && !std::strchr(context, '.')) {
            const QByteArray formContext = QByteArray(context) + ".ui";
            text = QTranslator::translate(formContext.constData(), sourceText, disambiguation, n);
        }
        return text;
    }
};

// The translator installTranslation() put in place, owned by the application.
QPointer<QTranslator> installedTranslator;
} // namespace

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

QString translationFile(const QString& uiLanguage)
{
    const QLocale locale(uiLanguage);
    if (locale.language() == QLocale::Russian || locale.language() == QLocale::C)
        return QString();
    // "en_US" -> "en": one translation per language.
    const QString language = locale.name().section(QLatin1Char('_'), 0, 0);
    const QString file = QStringLiteral(":/translations/trennic-flasher_%1.qm").arg(language);
    return QFile::exists(file) ? file : QString();
}

QString installTranslation(const QStringList& uiLanguages)
{
    initResources();
    if (installedTranslator) {
        QCoreApplication::removeTranslator(installedTranslator);
        delete installedTranslator;
    }
    // The window's texts are Russian unless a translation is found, and its
    // dates follow its language.
    USB_StmFlasher::setWindowLocale(QLocale(QLocale::Russian, QLocale::Russia));
    for (const QString& uiLanguage : uiLanguages) {
        if (QLocale(uiLanguage).language() == QLocale::Russian)
            return QString();
        QString file = translationFile(uiLanguage);
        if (file.isEmpty())
            continue;
        auto* translator = new WindowTranslator(QCoreApplication::instance());
        if (!translator->load(file)) {
            delete translator;
            continue;
        }
        QCoreApplication::installTranslator(translator);
        installedTranslator = translator;
        USB_StmFlasher::setWindowLocale(QLocale(uiLanguage));
        return file;
    }
    return QString();
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
    // The engine's enumerations (the typed outcome of a run, the catalogue
    // states) for the window; the link owns the one engine.
    qmlRegisterUncreatableType<DFU_client>("USB_StmFlasher_qml_module", 1, 0, "DFU_client",
                                           QStringLiteral("created by USB_StmFlasher"));
    // Why a signature was refused, for the window's words.
    qmlRegisterUncreatableMetaObject(FirmwareSignature::staticMetaObject,
                                     "USB_StmFlasher_qml_module", 1, 0, "FirmwareSignature",
                                     QStringLiteral("enums only"));
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
    // The system's own locale, not the C default set next: numbers stay C,
    // texts follow the user.
    installTranslation(QLocale::system().uiLanguages());
    useCLocale();
    // Behind a company proxy nothing could be fetched otherwise.
    FirmwareServer::useSystemProxy();
    // Runs from the window (and the demo) go into the run record.
    RunRecordWriter::recordEveryLink(QStringLiteral("window"));

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

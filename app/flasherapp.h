#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class QApplication;
class QQmlApplicationEngine;

// The start-up path of the window: identity, locale, QML registrations and
// the main document. The shipped tool and the demo both run it, so the demo
// shows exactly the window the user gets.
namespace FlasherApp {

// Sharp and right-sized on high-DPI screens: Qt scales by the screen's
// factor, unrounded (150 % stays 1.5), so the fixed window keeps its size in
// logical pixels. Must run before the application object exists.
void enableHighDpiScaling();

// True when the command line asks for the version ("--version"); checked
// before the application object exists, so it needs no display.
bool versionRequested(int argc, const char* const* argv);

// "trennic-flasher <version>"
QString versionText();

// Organisation and application names; they also name the per-user settings
// store that keeps the window position.
void setApplicationIdentity();

// Numbers are formatted and parsed the same way whatever the user's region.
void useCLocale();

// The window's texts in the user's language: the first of `uiLanguages`
// (as QLocale::uiLanguages() gives them, most preferred first) that is
// Russian, the language of the source texts, or has a compiled-in
// translation decides. Replaces the translator an earlier call installed;
// with no such language the source texts show. Returns the resource path of
// the translation installed, or an empty string.
QString installTranslation(const QStringList& uiLanguages);

// The compiled-in translation for one UI language ("en", "en-GB", "en_US"),
// or an empty string for Russian and for languages without one.
QString translationFile(const QString& uiLanguage);

// Makes the compiled-in QML documents and font reachable under qrc:/.
void initResources();

// "KorvoEnums" in KORVO 1.0, "USB_StmFlasher", "DFU_client" (its enums only)
// and the "AppStyle" singleton in USB_StmFlasher_qml_module 1.0. Must run before a document importing them
// is loaded.
void registerQmlTypes();

// qrc:/qml/Main.qml
QUrl mainWindowUrl();

// Called with the engine once the main window is loaded, before the event
// loop starts.
using AfterLoad = std::function<void(QQmlApplicationEngine& engine)>;

// Runs the tool on an application object the caller has just constructed:
// identity, C locale, the translation for the user's UI languages, the system
// proxy, engine, registrations, main window, event loop; the engine (and with
// it every object the window created) is destroyed before this returns.
// Returns the event loop's exit code.
int exec(QApplication& app, const AfterLoad& afterLoad = {});

} // namespace FlasherApp

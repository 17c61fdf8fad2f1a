#include "demosession.h"
#include "flasherapp.h"
#include "logfile.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTextStream>

// trennic-flasher-demo: the tool's own window against an emulated Korvo 7 and
// a local HTTPS firmware server, all in this process.
int main(int argc, char* argv[])
{
    FlasherApp::enableHighDpiScaling();
    QApplication app(argc, argv);
    LogFile::install();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The Trennic Flasher window against an emulated Korvo 7 (firmware 01.05) and a local "
        "HTTPS firmware server."));
    parser.addHelpOption();
    const QCommandLineOption scripted(
        QStringLiteral("scripted"),
        QStringLiteral("Go through the whole update by itself, save screenshots into <dir>, quit."),
        QStringLiteral("dir"));
    const QCommandLineOption firmwareDir(
        QStringLiteral("firmware-dir"),
        QStringLiteral("Serve <dir>/<device name>/<folder>/<file> instead of the sample firmware."),
        QStringLiteral("dir"));
    parser.addOption(scripted);
    parser.addOption(firmwareDir);
    parser.process(app);

    DemoOptions options;
    options.scripted = parser.isSet(scripted);
    options.screenshotDir = parser.value(scripted);
    options.firmwareDir = parser.value(firmwareDir);

    DemoSession session(options);
    if (!session.start()) {
        QTextStream(stderr) << "trennic-flasher-demo: " << session.errorString() << "\n";
        return 1;
    }
    const int exitCode = FlasherApp::exec(
        app, [&session](QQmlApplicationEngine& engine) { session.windowLoaded(engine); });
    return exitCode != 0 ? exitCode : session.exitCode();
}

#include "flasherapp.h"
#include "logfile.h"

#include <QApplication>
#include <QTextStream>

int main(int argc, char* argv[])
{
    if (FlasherApp::versionRequested(argc, argv)) {
        QTextStream(stdout) << FlasherApp::versionText() << '\n';
        return 0;
    }
    FlasherApp::enableHighDpiScaling();
    QApplication app(argc, argv);
    LogFile::install();
    return FlasherApp::exec(app);
}

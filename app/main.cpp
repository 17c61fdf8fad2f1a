#include "flasherapp.h"
#include "logfile.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    LogFile::install();
    return FlasherApp::exec(app);
}

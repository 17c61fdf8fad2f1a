#include "flashercli.h"

#include <QCoreApplication>
#include <QLocale>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Trennic"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("trennic.example"));
    QCoreApplication::setApplicationName(QStringLiteral("trennic-flasher-cli"));
    QLocale::setDefault(QLocale::c());
    return FlasherCli::runCommandLine(QCoreApplication::arguments());
}

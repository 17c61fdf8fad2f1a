#include "userfolders.h"

#include <QCoreApplication>
#include <QStandardPaths>

namespace UserFolders {

const char* const organisationName = "Trennic";
const char* const applicationName = "Trennic Flasher";

namespace {

// QStandardPaths builds its per-application folders from the application
// object's names; the command-line tool has a name of its own, so the
// window's names stand in for the one look-up and are then put back.
QString writableLocationOfWindow(QStandardPaths::StandardLocation location)
{
    const QString organisation = QCoreApplication::organizationName();
    const QString application = QCoreApplication::applicationName();
    const bool differs = organisation != QLatin1String(organisationName)
        || application != QLatin1String(applicationName);
    if (differs) {
        QCoreApplication::setOrganizationName(QString::fromLatin1(organisationName));
        QCoreApplication::setApplicationName(QString::fromLatin1(applicationName));
    }
    QString path = QStandardPaths::writableLocation(location);
    if (differs) {
        QCoreApplication::setOrganizationName(organisation);
        QCoreApplication::setApplicationName(application);
    }
    return path;
}

} // namespace

QString cacheFolder()
{
    return writableLocationOfWindow(QStandardPaths::CacheLocation);
}

QString dataFolder()
{
    return writableLocationOfWindow(QStandardPaths::AppLocalDataLocation);
}

QString logsFolder()
{
    return dataFolder() + QStringLiteral("/logs");
}

} // namespace UserFolders

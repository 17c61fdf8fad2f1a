#include "firmwareserver.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSslCertificate>
#include <QSslConfiguration>

namespace {

QMutex& baseUrlMutex()
{
    static QMutex mutex;
    return mutex;
}

QString& storedBaseUrl()
{
    static QString url = QStringLiteral(TRENNIC_FIRMWARE_BASE_URL);
    return url;
}

} // namespace

namespace FirmwareServer {

QString baseUrl()
{
    QMutexLocker lock(&baseUrlMutex());
    return storedBaseUrl();
}

void setBaseUrl(const QString& url)
{
    QString trimmed = url;
    while (trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);
    QMutexLocker lock(&baseUrlMutex());
    storedBaseUrl() = trimmed;
}

bool addTrustedCaFile(const QString& pemFile)
{
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(pemFile, QSsl::Pem);
    if (certificates.isEmpty())
        return false;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(certificates);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}

} // namespace FirmwareServer

#include "firmwareserver.h"

#include <QMutex>
#include <QMutexLocker>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>
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

void useSystemProxy()
{
    QNetworkProxyFactory::setUseSystemConfiguration(true);
}

void setProxy(const QNetworkProxy& proxy)
{
    QNetworkProxyFactory::setUseSystemConfiguration(false);
    QNetworkProxy::setApplicationProxy(proxy);
}

QString proxyFor(const QUrl& url)
{
    // The first proxy that can tunnel is the one the access manager takes.
    const QList<QNetworkProxy> proxies
        = QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url));
    for (const QNetworkProxy& proxy : proxies) {
        if (proxy.type() == QNetworkProxy::NoProxy)
            return QString();
        if (proxy.isTransparentProxy())
            return QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
    }
    return QString();
}

} // namespace FirmwareServer

#include "devcertificates.h"
#include "dfu_client.h"
#include "firmwareserver.h"
#include "localfirmwareserver.h"
#include "logcapture.h"
#include "loopbackproxy.h"
#include "usb_stmflasher.h"

#include <QFile>
#include <QSslConfiguration>
#include <QSslError>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(LoopbackProxy::Mode)

namespace {

constexpr int replyTimeoutMs = 20000;

bool writeFile(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

} // namespace

// The system proxy settings (https_proxy, no_proxy) with the catalogue and a
// download over real HTTPS (certificate checks on) through the devkit's
// loopback CONNECT proxy, which reaches the local firmware server under a
// name that nothing else resolves.
class TestProxy : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void systemProxy_carriesRequestsOrIsNamedInTheCause_data();
    void systemProxy_carriesRequestsOrIsNamedInTheCause();

private:
    QString baseUrl() const
    {
        return QStringLiteral("https://%1:%2%3")
            .arg(DevCertificates::proxiedHostName)
            .arg(server->port())
            .arg(LocalFirmwareServer::basePath);
    }

    QTemporaryDir tree;
    std::unique_ptr<LocalFirmwareServer> server;
    LoopbackProxy proxy;
    std::unique_ptr<USB_StmFlasher> flasher;
    std::unique_ptr<LogCapture> log;
};

void TestProxy::initTestCase()
{
    QVERIFY(writeFile(tree.path() + "/Korvo 7/v1/a.bin", QByteArray(5000, 'a')));
    server = std::make_unique<LocalFirmwareServer>(tree.path());
    QVERIFY2(server->start(), qPrintable(server->errorString()));
    QVERIFY(FirmwareServer::addTrustedCaFile(LocalFirmwareServer::caFile()));
    QVERIFY2(proxy.start(), qPrintable(proxy.errorString()));
    FirmwareServer::useSystemProxy();
}

void TestProxy::init()
{
    FirmwareServer::setBaseUrl(baseUrl());
    proxy.setMode(LoopbackProxy::Mode::Tunnel);
    proxy.clearConnectTargets();
    log = std::make_unique<LogCapture>();
    flasher = std::make_unique<USB_StmFlasher>();
    // A catalogue stored by an earlier case would stand in for a failed
    // request (offline): the causes are this test's business.
    flasher->dfu()->setCacheEnabled(false);
}

void TestProxy::cleanup()
{
    qunsetenv("https_proxy");
    DFU_client::setTransferTimeout(DFU_client::defaultTransferTimeout);
    flasher.reset();
    log.reset();
}

void TestProxy::systemProxy_carriesRequestsOrIsNamedInTheCause_data()
{
    QTest::addColumn<LoopbackProxy::Mode>("mode");
    QTest::addColumn<bool>("credentials"); // in https_proxy
    QTest::addColumn<bool>("proxyDown"); // https_proxy names a port nothing listens on
    QTest::addColumn<bool>("trusted"); // the server's CA is trusted
    QTest::addColumn<int>("tunnels"); // CONNECTs the proxy sees
    QTest::addColumn<QString>("cause"); // "": good; %1 the proxy's address
    using M = LoopbackProxy::Mode;
    const QString untrusted = QSslError(QSslError::UnableToGetLocalIssuerCertificate).errorString()
        + "; " + QSslError(QSslError::UnableToVerifyFirstCertificate).errorString();
    QTest::newRow("through the proxy: catalogue and download")
        << M::Tunnel << false << false << true << 2 << "";
    QTest::newRow("through the proxy, server not trusted: certificate still checked")
        << M::Tunnel << false << false << false << 1 << untrusted;
    QTest::newRow("proxy refuses") << M::RefuseAll << false << false << true << 1
                                   << "proxy %1: denied connection";
    QTest::newRow("proxy down") << M::Tunnel << false << true << true << 0
                                << "proxy %1: connection refused";
    QTest::newRow("proxy asks for credentials") << M::RequireAuth << false << false << true << 1
                                                << "proxy %1: requires authentication";
    // Qt asks without the credentials first, and again with them on the 407.
    QTest::newRow("proxy takes the credentials given")
        << M::RequireAuth << true << false << true << 2 << "";
}

void TestProxy::systemProxy_carriesRequestsOrIsNamedInTheCause()
{
    QFETCH(LoopbackProxy::Mode, mode);
    QFETCH(bool, credentials);
    QFETCH(bool, proxyDown);
    QFETCH(bool, trusted);
    QFETCH(int, tunnels);
    QFETCH(QString, cause);
    proxy.setMode(mode);
    QString proxyUrl = proxy.url(credentials);
    QString proxyAddress = QStringLiteral("127.0.0.1:%1").arg(proxy.port());
    if (proxyDown) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        proxyAddress = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
        proxyUrl = "http://" + proxyAddress;
    }
    qputenv("https_proxy", proxyUrl.toUtf8());
    const QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
    if (!trusted) {
        QSslConfiguration systemOnly = trusting;
        systemOnly.setCaCertificates(QSslConfiguration::systemCaCertificates());
        QSslConfiguration::setDefaultConfiguration(systemOnly);
    }

    flasher->retryCatalogue();
    QTRY_VERIFY_WITH_TIMEOUT(flasher->catalogueState() != DFU_client::CatalogueLoading,
                             replyTimeoutMs);
    QSslConfiguration::setDefaultConfiguration(trusting);
    if (cause.isEmpty()) {
        QCOMPARE(flasher->catalogueState(), DFU_client::CatalogueReady);
        const QVariantList entries = flasher->dfu()->getWebFirmwaresList().value("Korvo 7").toList();
        QCOMPARE(entries.size(), 1);
        if (!credentials) {
            flasher->flashFromUrl(entries.first().toMap().value("fileUrl").toString());
            QTRY_COMPARE_WITH_TIMEOUT(
                log->messagesStartingWith("firmwareBin loaded ok, size:").size(), 1,
                replyTimeoutMs);
        }
    } else {
        QCOMPARE(flasher->catalogueState(), DFU_client::CatalogueFailed);
        QCOMPARE(flasher->catalogueError(), cause.arg(proxyAddress));
    }
    const QString target = QStringLiteral("%1:%2").arg(DevCertificates::proxiedHostName).arg(
        server->port());
    QCOMPARE(proxy.connectTargets(), QStringList(QVector<QString>(tunnels, target).toList()));
}

QTEST_GUILESS_MAIN(TestProxy)
#include "tst_proxy.moc"

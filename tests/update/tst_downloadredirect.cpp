#include "devcertificates.h"
#include "dfu_client.h"
#include "firmwareserver.h"
#include "logcapture.h"
#include "runrecorder.h"
#include "usb_stmflasher.h"

#include <QSslSocket>
#include <QTcpServer>
#include <QtTest>

#include <memory>

// A download that the server redirects: followed to https, refused to plain
// http. The local firmware server does not redirect, so a minimal HTTPS
// server here answers each path with a fixed reply.
class RedirectingServer : public QTcpServer
{
public:
    QHash<QByteArray, QByteArray> replies; // request path -> whole HTTP reply

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        const DevCertificates::Set& certificates = DevCertificates::get();
        socket->setLocalCertificate(certificates.serverCertificate);
        socket->setPrivateKey(certificates.serverKey);
        connect(socket, &QSslSocket::readyRead, socket, [this, socket] {
            const QByteArray head = socket->peek(socket->bytesAvailable());
            if (!head.contains("\r\n\r\n"))
                return;
            socket->readAll();
            const QByteArray path = head.split(' ').value(1);
            socket->write(replies.value(path,
                                        "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n"
                                        "Connection: close\r\n\r\n"));
            socket->disconnectFromHost();
        });
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        socket->startServerEncryption();
    }
};

class TestDownloadRedirect : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void redirectedDownload_followsOnlyHttps_data();
    void redirectedDownload_followsOnlyHttps();

private:
    RedirectingServer server;
};

namespace {

constexpr int replyTimeoutMs = 10000;
constexpr int imageSize = 500;

QByteArray redirectTo(const QByteArray& location)
{
    return "HTTP/1.1 302 Found\r\nLocation: " + location
        + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

} // namespace

void TestDownloadRedirect::initTestCase()
{
    const DevCertificates::Set& certificates = DevCertificates::get();
    QVERIFY2(certificates.ok, qPrintable(certificates.error));
    QVERIFY(FirmwareServer::addTrustedCaFile(certificates.caFile));
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const QByteArray origin = "127.0.0.1:" + QByteArray::number(server.serverPort());
    const QByteArray file = makeFirmwareFile(imageSize);
    server.replies.insert("/image.bin",
                          "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(file.size())
                              + "\r\nConnection: close\r\n\r\n" + file);
    server.replies.insert("/to-https", redirectTo("https://" + origin + "/image.bin"));
    server.replies.insert("/to-http", redirectTo("http://" + origin + "/image.bin"));
}

void TestDownloadRedirect::redirectedDownload_followsOnlyHttps_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("flashed");
    QTest::newRow("to https: followed, still the pending download") << "/to-https" << true;
    QTest::newRow("to plain http: refused") << "/to-http" << false;
}

void TestDownloadRedirect::redirectedDownload_followsOnlyHttps()
{
    QFETCH(QString, path);
    QFETCH(bool, flashed);
    LogCapture log;
    USB_StmFlasher flasher;
    RunRecorder recorder(&flasher);
    flasher.flashFromUrl(
        QStringLiteral("https://127.0.0.1:%1%2").arg(server.serverPort()).arg(path));
    QTRY_COMPARE_WITH_TIMEOUT(log.messagesStartingWith("webServerReply  \"").size(), 1,
                              replyTimeoutMs);
    if (flashed) {
        QCOMPARE(log.messagesStartingWith("firmwareBin loaded ok, size:"),
                 QStringList{QStringLiteral("firmwareBin loaded ok, size:  %1  devConnStatus:  0")
                                 .arg(imageSize)});
        QVERIFY(recorder.messages.isEmpty());
    } else {
        QVERIFY(log.messagesStartingWith("firmwareBin loaded ok").isEmpty());
        QCOMPARE(log.messagesStartingWith("reply->errorString():").size(), 1);
        QCOMPARE(recorder.messages, QStringList{DFU_client::downloadFailedMessage});
    }
}

QTEST_GUILESS_MAIN(TestDownloadRedirect)
#include "tst_downloadredirect.moc"

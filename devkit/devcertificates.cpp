#include "devcertificates.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <chrono>
#include <memory>

namespace {

constexpr std::chrono::milliseconds opensslTimeout{30000};
const QString validityDays = QStringLiteral("7");
const QStringList ecKey{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                        QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};

bool runOpenssl(const QString& dir, const QStringList& arguments, QString* error)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(int(opensslTimeout.count()))
        || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *error = QStringLiteral("openssl %1 failed: %2 %3")
                     .arg(arguments.first(), process.errorString(),
                          QString::fromLocal8Bit(process.readAll()));
        return false;
    }
    return true;
}

bool writeText(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

std::unique_ptr<DevCertificates::Set> generate(const QString& dir)
{
    auto set = std::make_unique<DevCertificates::Set>();
    const QString extensions = QStringLiteral("server.ext");
    if (!writeText(QDir(dir).filePath(extensions),
                   "subjectAltName=IP:127.0.0.1,DNS:localhost,DNS:firmware.korvo.test\n"
                   "basicConstraints=critical,CA:FALSE\n"
                   "keyUsage=critical,digitalSignature,keyEncipherment\n"
                   "extendedKeyUsage=serverAuth\n")) {
        set->error = QStringLiteral("cannot write into %1").arg(dir);
        return set;
    }
    const QString serial
        = QStringLiteral("0x%1").arg(QRandomGenerator::global()->generate64() >> 1, 0, 16);
    QString& error = set->error;
    if (!runOpenssl(dir,
                    QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ecKey
                        + QStringList{QStringLiteral("-keyout"), QStringLiteral("ca.key"),
                                      QStringLiteral("-out"), QStringLiteral("ca.pem"),
                                      QStringLiteral("-days"), validityDays,
                                      QStringLiteral("-subj"),
                                      QStringLiteral("/CN=Trennic devkit test CA"),
                                      QStringLiteral("-addext"),
                                      QStringLiteral("basicConstraints=critical,CA:TRUE"),
                                      QStringLiteral("-addext"),
                                      QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")},
                    &error)
        || !runOpenssl(dir,
                       QStringList{QStringLiteral("req")} + ecKey
                           + QStringList{QStringLiteral("-keyout"), QStringLiteral("server.key"),
                                         QStringLiteral("-out"), QStringLiteral("server.csr"),
                                         QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")},
                       &error)
        || !runOpenssl(dir,
                       {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                        QStringLiteral("server.csr"), QStringLiteral("-CA"),
                        QStringLiteral("ca.pem"), QStringLiteral("-CAkey"),
                        QStringLiteral("ca.key"), QStringLiteral("-set_serial"), serial,
                        QStringLiteral("-days"), validityDays, QStringLiteral("-extfile"),
                        extensions, QStringLiteral("-out"), QStringLiteral("server.pem")},
                       &error))
        return set;

    set->caFile = QDir(dir).filePath(QStringLiteral("ca.pem"));
    set->caCertificates = QSslCertificate::fromPath(set->caFile, QSsl::Pem);
    const QList<QSslCertificate> server
        = QSslCertificate::fromPath(QDir(dir).filePath(QStringLiteral("server.pem")), QSsl::Pem);
    QFile keyFile(QDir(dir).filePath(QStringLiteral("server.key")));
    if (keyFile.open(QIODevice::ReadOnly))
        set->serverKey = QSslKey(&keyFile, QSsl::Ec, QSsl::Pem);
    if (set->caCertificates.isEmpty() || server.isEmpty() || set->serverKey.isNull()) {
        error = QStringLiteral("the certificates made by openssl cannot be read");
        return set;
    }
    set->serverCertificate = server.first();
    set->ok = true;
    return set;
}

} // namespace

namespace DevCertificates {

const QString proxiedHostName = QStringLiteral("firmware.korvo.test");

const Set& get()
{
    static QMutex mutex;
    static std::unique_ptr<QTemporaryDir> dir;
    static std::unique_ptr<Set> set;
    QMutexLocker lock(&mutex);
    if (!set) {
        dir = std::make_unique<QTemporaryDir>(QDir::tempPath()
                                              + QStringLiteral("/trennic-devkit-certs-XXXXXX"));
        if (!dir->isValid()) {
            set = std::make_unique<Set>();
            set->error = QStringLiteral("cannot create a temporary directory");
        } else {
            set = generate(dir->path());
        }
    }
    return *set;
}

} // namespace DevCertificates

#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

// A certificate authority and a server certificate for 127.0.0.1,
// localhost and proxiedHostName, made with the openssl command the first time they are needed
// and kept for the rest of the process in a temporary directory that goes
// with it. No key ever lands in the source tree. Thread-safe.
namespace DevCertificates {

// A host name the server certificate also holds, which resolves nowhere but
// through LoopbackProxy (to 127.0.0.1). Qt never sends requests for a
// loopback address through a proxy, so requests meant to take one use it.
extern const QString proxiedHostName; // "firmware.korvo.test"

struct Set
{
    bool ok = false;
    QString error;
    QString caFile; // PEM of the CA: what clients must trust
    QList<QSslCertificate> caCertificates;
    QSslCertificate serverCertificate;
    QSslKey serverKey;
};

const Set& get();

} // namespace DevCertificates

#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

// A certificate authority and a server certificate for 127.0.0.1 and
// localhost, made with the openssl command the first time they are needed
// and kept for the rest of the process in a temporary directory that goes
// with it. No key ever lands in the source tree. Thread-safe.
namespace DevCertificates {

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

#pragma once

#include <QString>

// Where the firmware catalogue and images come from. The shipped tool uses
// the address compiled in from the build; the demo, the command-line tool and
// the tests point it at their own server.
namespace FirmwareServer {

// Base URL without a trailing slash, e.g. https://host/trennics_firmware
QString baseUrl();
void setBaseUrl(const QString& url);

// Adds the PEM certificates in `pemFile` to the CAs Qt's default SSL
// configuration trusts, for a private server. Certificate checking itself is
// never switched off. Returns false when the file holds no certificate.
bool addTrustedCaFile(const QString& pemFile);

} // namespace FirmwareServer

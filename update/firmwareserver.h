#pragma once

#include <QString>

class QNetworkProxy;
class QUrl;

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

// Requests go through the system's proxy settings: Windows' settings, and
// on Linux the https_proxy, http_proxy and no_proxy environment variables
// (read at each request). Called at start-up by the window and the
// command-line tool. Qt never sends requests for loopback hosts through a
// proxy.
void useSystemProxy();
// Requests go through `proxy` (an HTTP proxy, or QNetworkProxy::NoProxy for
// none) whatever the system says.
void setProxy(const QNetworkProxy& proxy);
// "host:port" of the proxy a request for `url` goes through now; empty when
// it goes direct.
QString proxyFor(const QUrl& url);

} // namespace FirmwareServer

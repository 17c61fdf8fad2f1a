// The network side of DFU_client: the catalogue request and its reply, image
// downloads for a run or for a caller, the firmware cache standing in when
// the server cannot be reached, and local files as a source.

#include "dfu_client.h"

#include "debugline.h"
#include "firmwarecache.h"
#include "firmwareserver.h"
#include "usb_stmflasher.h"

#include <QFile>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>
#include <QUrl>

#include <atomic>
#include <utility>

namespace {

// Set on a reply whose body went past its size bound.
const char* const tooLargeProperty = "trennicTooLarge";
// Set on a reply aborted because a redirect left https: the server
// answered, so the cache does not stand in for it.
const char* const redirectRefusedProperty = "trennicRedirectRefused";
// The texts of the certificate problems a reply met (QStringList).
const char* const sslErrorsProperty = "trennicSslErrors";

std::atomic<int> transferTimeoutMs{int(DFU_client::defaultTransferTimeout.count())};

QString networkErrorName(QNetworkReply::NetworkError error)
{
    return QString::fromLatin1(
        QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(error));
}

// The kind of a failure to reach the server at all (Qt numbers network-layer
// errors 1..99 and proxy errors 101..199).
DFU_client::NetworkFailure unreachableKind(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::HostNotFoundError:
        return DFU_client::HostNotFound;
    case QNetworkReply::ConnectionRefusedError:
        return DFU_client::ConnectionRefused;
    case QNetworkReply::RemoteHostClosedError:
        return DFU_client::ConnectionClosed;
    case QNetworkReply::SslHandshakeFailedError:
        return DFU_client::TlsFailed;
    case QNetworkReply::OperationCanceledError: // only the transfer time-out aborts
    case QNetworkReply::TimeoutError:
        return DFU_client::TimedOut;
    default:
        return error >= QNetworkReply::ProxyConnectionRefusedError
                && error < QNetworkReply::ContentAccessDenied
            ? DFU_client::ProxyFailed
            : DFU_client::NetworkUnreachable;
    }
}

// Qt's text of a failure through a proxy, naming the proxy: its own texts
// start with "Proxy" ("Proxy connection refused"); a refusal reported by the
// proxy for the server has none.
QString throughProxy(const QString& proxy, QString text)
{
    if (text.startsWith(QLatin1String("Proxy "), Qt::CaseInsensitive))
        text.remove(0, 6);
    if (!text.isEmpty())
        text[0] = text.at(0).toLower();
    return QStringLiteral("proxy %1: %2").arg(proxy, text);
}

} // namespace

void DFU_client::setTransferTimeout(std::chrono::milliseconds timeout)
{
    transferTimeoutMs = int(timeout.count());
}

QNetworkReply* DFU_client::get(const Request& request, qint64 maxBytes)
{
    QNetworkRequest networkRequest(QUrl(request.url, QUrl::TolerantMode));
    networkRequest.setTransferTimeout(transferTimeoutMs.load());
    networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply* reply = manager(request.purpose)->get(networkRequest);
    requests.insert(reply, request);
    connect(reply, &QNetworkReply::downloadProgress, reply,
            [reply, maxBytes](qint64 received, qint64 total) {
                if (received > maxBytes || total > maxBytes) {
                    debugLine() << "reply too large, aborted: " << reply->url().toString();
                    // The whole body may already be in: abort() then changes
                    // nothing, so the mark decides.
                    reply->setProperty(tooLargeProperty, true);
                    reply->abort();
                }
            });
    // Never leave https, not even for a plain-http start.
    connect(reply, &QNetworkReply::redirected, reply, [reply](const QUrl& target) {
        if (target.scheme() != QLatin1String("https")) {
            reply->setProperty(redirectRefusedProperty, true);
            reply->abort();
        }
    });
    // Kept to name the cause of a failed handshake; the errors are never
    // ignored, so the handshake fails.
    connect(reply, &QNetworkReply::sslErrors, reply, [reply](const QList<QSslError>& errors) {
        QStringList texts = reply->property(sslErrorsProperty).toStringList();
        for (const QSslError& error : errors)
            if (!texts.contains(error.errorString()))
                texts.append(error.errorString());
        reply->setProperty(sslErrorsProperty, texts);
    });
    return reply;
}

QNetworkAccessManager* DFU_client::manager(Purpose purpose)
{
    QNetworkAccessManager*& manager
        = purpose == Purpose::Catalogue ? networkManager : imageManager;
    if (manager == nullptr) {
        manager = new QNetworkAccessManager(this);
        connect(manager, &QNetworkAccessManager::finished, this, &DFU_client::webServerReply);
    }
    return manager;
}

void DFU_client::endNetworkRequests()
{
    for (QNetworkAccessManager** manager : {&networkManager, &imageManager}) {
        if (*manager == nullptr)
            continue;
        disconnect(*manager, nullptr, this, nullptr);
        const QList<QNetworkReply*> replies = (*manager)->findChildren<QNetworkReply*>();
        for (QNetworkReply* reply : replies)
            reply->abort();
        // Deleted at once: an aborted request leaves its connection waiting
        // for its host lookup, which would then find nothing to report to.
        delete *manager;
        *manager = nullptr;
    }
    requests.clear();
}

void DFU_client::setCatalogueState(CatalogueState state, const Failure& failure)
{
    if (state == catalogueStateValue && failure.kind == catalogueFailureValue.kind
        && failure.text == catalogueFailureValue.text)
        return;
    catalogueStateValue = state;
    catalogueFailureValue = failure;
    emit catalogueStateChanged();
}

std::optional<DFU_client::Failure> DFU_client::failureOf(QNetworkReply* reply)
{
    const bool tooLarge = reply->property(tooLargeProperty).toBool();
    if (reply->error() == QNetworkReply::NoError && !tooLarge)
        return std::nullopt;
    Failure failure;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QStringList certificateProblems = reply->property(sslErrorsProperty).toStringList();
    const QString proxy = FirmwareServer::proxyFor(reply->request().url());
    if (tooLarge) {
        failure = {TooLarge, QString(), QStringLiteral("reply too large"), true};
    } else if (status.isValid() && status.toInt() >= 400) {
        failure = {HttpStatus, QString::number(status.toInt()),
                   QStringLiteral("HTTP %1").arg(status.toInt()), true};
    } else if (reply->property(redirectRefusedProperty).toBool()
               || reply->error() == QNetworkReply::InsecureRedirectError) {
        // Qt's own redirect policy refuses a step down to http before the
        // redirected signal: the server answered, with a redirect.
        failure = {RedirectRefused, QString(), QStringLiteral("redirected away from https"), true};
    } else if (reply->error() == QNetworkReply::SslHandshakeFailedError
               && !certificateProblems.isEmpty()) {
        failure = {TlsFailed, QString(), certificateProblems.join(QStringLiteral("; ")), false};
    } else if (unreachableKind(reply->error()) == TimedOut) {
        failure = {TimedOut, QString(), QStringLiteral("timed out"), false};
    } else if (!proxy.isEmpty()) {
        failure = {ProxyFailed, proxy, throughProxy(proxy, reply->errorString()), false};
    } else if (reply->error() < QNetworkReply::ContentAccessDenied) {
        failure = {unreachableKind(reply->error()), QString(), reply->errorString(), false};
    } else {
        // An answer of the server without a status Qt could read.
        failure = {HttpStatus, QString(), reply->errorString(), true};
    }
    debugLine() << "reply->errorString(): "
                << (tooLarge ? QStringLiteral("reply too large") : reply->errorString())
                << networkErrorName(tooLarge ? QNetworkReply::OperationCanceledError
                                             : reply->error());
    return failure;
}

void DFU_client::webServerFileListRequest()
{
    debugLine() << "webServerFileListRequest";
    setCatalogueState(CatalogueLoading, Failure());
    USB_StmFlasher* flasher = link();
    get({Purpose::Catalogue,
         catalogueRequestUrl(flasher ? flasher->clientVersion() : QString()), 0},
        maxCatalogueBytes);
}

QVariantMap DFU_client::getWebFirmwaresList()
{
    return allFirmwares;
}

void DFU_client::flashFromUrl(QString fileUrl)
{
    // Offline the server is not waited for (up to the transfer time-out)
    // when the image is at hand; online it is always asked, so the cache
    // never hides a newer file.
    if (catalogueStateValue == CatalogueOffline && flashOffline(fileUrl))
        return;
    pendingFileUrl = fileUrl;
    if (!fileUrl.isEmpty()) {
        runUnderway = true;
        announceRun(fileUrl);
    }
    const quint64 run = runNumber;
    QNetworkReply* reply = get({Purpose::RunImage, fileUrl, run}, maxImageDownloadBytes);
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this, run](qint64 received, qint64 total) {
                if (run == runNumber && runUnderway && firmwareBin.isEmpty())
                    emit downloadProgress(received, total);
            });
    debugLine() << "flashFromUrl";
}

void DFU_client::fetchImage(const QString& url)
{
    fetchedSignatureValue.reset();
    get({Purpose::FetchImage, url, 0}, maxImageDownloadBytes);
    debugLine() << "fetchImage " << url;
}

void DFU_client::flashFromFile(QString fileName)
{
    announceRun(fileName);
    QFile file(fileName);
    if (!file.exists()) {
        debugLine() << "File NOT EXIST" << fileName;
        reportEnd(FlashFileUnreadable, fileUnreadableMessage);
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        debugLine() << "open file ERROR";
        reportEnd(FlashFileUnreadable, fileUnreadableMessage);
        return;
    }
    const QByteArray image = file.readAll();
    file.close();
    // The signature beside the file, when one is asked for.
    const std::optional<QByteArray> signature = FirmwareSignature::isRequired()
        ? FirmwareSignature::readFile(fileName + FirmwareSignature::suffix)
        : std::nullopt;
    // A run from here on, so that one the device cannot take is told.
    runUnderway = true;
    beginFlashing(image, signature);
}

// ---------------------------------------------------------------------------
// Replies

void DFU_client::webServerReply(QNetworkReply* reply)
{
    reply->deleteLater();
    debugLine() << "webServerReply " << reply->url().toString();
    const std::optional<Request> request
        = requests.contains(reply) ? std::optional<Request>(requests.take(reply)) : std::nullopt;
    const std::optional<Failure> failure = failureOf(reply);
    if (!failure && !reply->isFinished())
        return;
    if (!request)
        return; // a request given up (endNetworkRequests)
    switch (request->purpose) {
    case Purpose::Catalogue:
        catalogueReplied(reply, failure);
        break;
    case Purpose::RunImage:
        if (failure)
            emit availableFirmwaresChanged();
        runImageReplied(reply, *request, failure);
        break;
    case Purpose::FetchImage:
        if (failure)
            emit availableFirmwaresChanged();
        fetchReplied(reply, *request, failure);
        break;
    case Purpose::RunSignature:
        runSignatureReplied(reply, *request, failure);
        break;
    case Purpose::FetchSignature:
        fetchSignatureReplied(reply, *request, failure);
        break;
    case Purpose::OfferSignature:
        offerSignatureReplied(reply, *request, failure);
        break;
    }
}

void DFU_client::catalogueReplied(QNetworkReply* reply, const std::optional<Failure>& failure)
{
    if (failure) {
        // The catalogue the server gave last stands in for it. Offline only
        // when the server could not be reached: one that answered with an
        // error is asked for every image first, so that an image it has
        // withdrawn is never flashed from the cache. The state is set before
        // the signals, so that those told of the outcome read it and its
        // cause.
        const bool stored = useStoredCatalogue();
        setCatalogueState(stored && !failure->answered ? CatalogueOffline : CatalogueFailed,
                          *failure);
        emit availableFirmwaresChanged();
        emit catalogueRequestFinished(false);
        return;
    }
    const QByteArray body = reply->readAll();
    debugLine() << "replyData: " << body;
    QVariantMap catalogue;
    switch (catalogueFromJson(body, FirmwareServer::baseUrl(), &catalogue)) {
    case CatalogueParse::NotJsonObject:
        debugLine() << "Failed to create JSON doc.";
        setCatalogueState(CatalogueFailed,
                          {MalformedReply, QString(), QStringLiteral("malformed catalogue"), true});
        emit catalogueRequestFinished(false);
        return;
    case CatalogueParse::EmptyObject:
        debugLine() << "JSON object is empty.";
        setCatalogueState(CatalogueFailed,
                          {EmptyCatalogue, QString(), QStringLiteral("empty catalogue"), true});
        emit catalogueRequestFinished(false);
        return;
    case CatalogueParse::Ok:
        break;
    }
    if (cacheEnabled)
        FirmwareCache().storeCatalogue(FirmwareServer::baseUrl(), body);
    allFirmwares = catalogue;
    usedCatalogueTime = QDateTime();
    setCatalogueState(CatalogueReady, Failure());
    debugLine() << "webServerReply availableFirmwaresChanged: " << allFirmwares.size();
    emit availableFirmwaresChanged();
    emit catalogueRequestFinished(true);
}

void DFU_client::runImageReplied(QNetworkReply* reply, const Request& request,
                                 const std::optional<Failure>& failure)
{
    // Only the download of the run under way, while it waits for its image.
    if (request.run != runNumber || !runUnderway || !firmwareBin.isEmpty())
        return;
    if (failure) {
        // A stored image stands in only when the image's own request could
        // not reach the server: a file the server has withdrawn is not
        // flashed from the cache.
        if (!failure->answered && flashStoredImage(request.url))
            return;
        failDownload(*failure);
        return;
    }
    const QByteArray body = reply->readAll();
    if (cacheEnabled)
        FirmwareCache().storeImage(request.url, body);
    if (FirmwareSignature::isRequired()) {
        // The image waits for its signature, asked with the same rules.
        pendingImage = body;
        get({Purpose::RunSignature, request.url + FirmwareSignature::suffix, request.run},
            FirmwareSignature::maxSignatureBytes);
        return;
    }
    pendingFileUrl.clear();
    beginFlashing(body);
}

std::optional<QByteArray> DFU_client::signatureFrom(QNetworkReply* reply, const Request& request,
                                                    const std::optional<Failure>& failure) const
{
    const QString imageUrl = request.url.chopped(FirmwareSignature::suffix.size());
    if (!failure) {
        const QByteArray body = reply->readAll();
        if (cacheEnabled)
            FirmwareCache().storeSignature(imageUrl, body);
        return body;
    }
    // Past its bound: more than a signature, which the check refuses.
    if (failure->kind == TooLarge)
        return QByteArray(int(FirmwareSignature::maxSignatureBytes) + 1, ' ');
    // The server answered without one (404 above all): there is none.
    if (failure->answered || !cacheEnabled)
        return std::nullopt;
    return FirmwareCache().storedSignature(imageUrl);
}

void DFU_client::runSignatureReplied(QNetworkReply* reply, const Request& request,
                                     const std::optional<Failure>& failure)
{
    if (request.run != runNumber || !runUnderway || !firmwareBin.isEmpty()
        || pendingImage.isEmpty())
        return;
    const std::optional<QByteArray> signature = signatureFrom(reply, request, failure);
    const QByteArray image = std::exchange(pendingImage, QByteArray());
    pendingFileUrl.clear();
    // Unreachable with no signature at hand: the download failed.
    if (failure && !failure->answered && !signature) {
        failDownload(*failure);
        return;
    }
    beginFlashing(image, signature);
}

void DFU_client::fetchReplied(QNetworkReply* reply, const Request& request,
                              const std::optional<Failure>& failure)
{
    if (failure) {
        std::optional<QByteArray> stored;
        if (!failure->answered && cacheEnabled)
            stored = FirmwareCache().storedImage(request.url);
        if (stored && FirmwareSignature::isRequired())
            fetchedSignatureValue = FirmwareCache().storedSignature(request.url);
        emit imageFetched(request.url, stored.value_or(QByteArray()), stored.has_value());
        return;
    }
    const QByteArray body = reply->readAll();
    if (cacheEnabled)
        FirmwareCache().storeImage(request.url, body);
    if (FirmwareSignature::isRequired()) {
        fetchedImage = body;
        get({Purpose::FetchSignature, request.url + FirmwareSignature::suffix, 0},
            FirmwareSignature::maxSignatureBytes);
        return;
    }
    emit imageFetched(request.url, body, true);
}

void DFU_client::fetchSignatureReplied(QNetworkReply* reply, const Request& request,
                                       const std::optional<Failure>& failure)
{
    fetchedSignatureValue = signatureFrom(reply, request, failure);
    emit imageFetched(request.url.chopped(FirmwareSignature::suffix.size()),
                      std::exchange(fetchedImage, QByteArray()), true);
}

void DFU_client::checkOffer(const QString& source)
{
    if (!FirmwareSignature::isRequired())
        return;
    const QUrl url(source, QUrl::TolerantMode);
    if (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http")) {
        offerValue = {source, false, FirmwareSignature::Verdict()};
        emit offerChanged();
        get({Purpose::OfferSignature, source + FirmwareSignature::suffix, 0},
            FirmwareSignature::maxSignatureBytes);
        return;
    }
    setOffer(source, FirmwareSignature::readFile((url.isLocalFile() ? url.toLocalFile() : source)
                                                 + FirmwareSignature::suffix));
}

void DFU_client::offerSignatureReplied(QNetworkReply* reply, const Request& request,
                                       const std::optional<Failure>& failure)
{
    const QString source = request.url.chopped(FirmwareSignature::suffix.size());
    // Only the latest choice is shown.
    if (source == offerValue.source)
        setOffer(source, signatureFrom(reply, request, failure));
}

void DFU_client::setOffer(const QString& source, const std::optional<QByteArray>& signature)
{
    const USB_StmFlasher* flasher = link();
    offerValue = {source, true,
                  FirmwareSignature::checkComment(
                      signature, flasher ? flasher->connectedDeviceName() : QString())};
    debugLine() << "offer " << source << " signature: " << int(offerValue.verdict.failure)
                << " version: " << offerValue.verdict.version;
    emit offerChanged();
}

void DFU_client::failDownload(const Failure& failure)
{
    runUnderway = false;
    downloadFailureValue = failure;
    reportEnd(FlashDownloadFailed, downloadFailedMessage);
}

// ---------------------------------------------------------------------------
// The firmware cache

bool DFU_client::useStoredCatalogue()
{
    if (!cacheEnabled)
        return false;
    const QString baseUrl = FirmwareServer::baseUrl();
    const std::optional<FirmwareCache::Catalogue> stored = FirmwareCache().storedCatalogue(baseUrl);
    QVariantMap catalogue;
    if (!stored || catalogueFromJson(stored->body, baseUrl, &catalogue) != CatalogueParse::Ok)
        return false;
    allFirmwares = catalogue;
    usedCatalogueTime = stored->time;
    debugLine() << "webServerReply using the stored catalogue of "
                << stored->time.toString(Qt::ISODate) << ": " << allFirmwares.size();
    return true;
}

bool DFU_client::flashStoredImage(const QString& url)
{
    if (!cacheEnabled || url.isEmpty())
        return false;
    const std::optional<QByteArray> image = FirmwareCache().storedImage(url);
    if (!image) {
        debugLine() << "flashStoredImage no usable stored image: " << url;
        return false;
    }
    debugLine() << "flashStoredImage " << url << " size: " << image->size();
    pendingFileUrl.clear();
    runUnderway = true;
    beginFlashing(*image, FirmwareSignature::isRequired()
                              ? FirmwareCache().storedSignature(url)
                              : std::nullopt);
    return true;
}

bool DFU_client::flashOffline(const QString& url)
{
    if (url.isEmpty() || !isImageStored(url))
        return false;
    debugLine() << "flashFromUrl offline, from the cache: " << url;
    // A download still under way belongs to an earlier run: its reply
    // starts nothing.
    pendingFileUrl.clear();
    runUnderway = true;
    announceRun(url);
    if (flashStoredImage(url))
        return true;
    // The entry did not match its record and is gone: nothing was sent. Its
    // mark in the list goes with it.
    emit availableFirmwaresChanged();
    failDownload({StoredImageDamaged, QString(), QStringLiteral("stored image damaged"), false});
    return true;
}

bool DFU_client::isImageStored(const QString& url) const
{
    return cacheEnabled && FirmwareCache().hasImage(url);
}

QDateTime DFU_client::catalogueTime() const
{
    const bool failed
        = catalogueStateValue == CatalogueOffline || catalogueStateValue == CatalogueFailed;
    return failed ? usedCatalogueTime : QDateTime();
}

#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFuture>
#include <QHash>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QVariantMap>

#include "firmwaresignature.h"

#include <chrono>
#include <cstdint>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
class USB_StmFlasher;

// The firmware-update engine: fetches the firmware catalogue, downloads or
// reads an image, and flashes it into the device's boot loader in numbered
// packets, one in flight at a time. Created and owned by the USB_StmFlasher
// that relays its signals; everything but packet preparation runs on the GUI
// thread.
class DFU_client : public QObject
{
    Q_OBJECT
    Q_PROPERTY(CatalogueState catalogueState READ catalogueState NOTIFY catalogueStateChanged)
    Q_PROPERTY(QString catalogueError READ catalogueError NOTIFY catalogueStateChanged)
    Q_PROPERTY(QDateTime catalogueTime READ catalogueTime NOTIFY catalogueStateChanged)

public:
    // How a run ended, beside the text the user sees: callers decide by this,
    // never by comparing texts.
    enum FlashResult {
        FlashSucceeded, // the device acknowledged the whole image
        FlashDeviceError, // the device reported ErrorMessage
        FlashDeviceSilent, // no answer within the watchdog or the wait for ReadyToFlash
        FlashPortLost, // the port failed, or the device was gone when the image was ready
        FlashDownloadFailed, // the image could not be downloaded
        FlashImageRefused, // the image is too small to be flashed
        FlashFileUnreadable, // the image file could not be read
        FlashInterrupted, // ended by interruptRun() (Ctrl-C, the application quitting)
        // The port went with only the last packet's acknowledgement
        // outstanding (a boot loader that resets right after its last
        // answer): the whole image was handed over, but the device never
        // said it was written. Ends once its unit is back, or not.
        FlashUnconfirmed,
        // With trusted keys: the image's signature was refused before
        // anything was sent (signatureFailure() says why).
        FlashSignatureRefused,
        // With trusted keys: the signed version is older than the unit's
        // and the downgrade was not allowed; nothing was sent.
        FlashDowngradeRefused,
    };
    Q_ENUM(FlashResult)

    // Outcome of the latest catalogue request. Only a good reply replaces
    // the catalogue; a failed one leaves it and names its cause.
    enum CatalogueState {
        CatalogueIdle, // nothing asked yet
        CatalogueLoading, // a request is under way
        CatalogueReady, // the last reply replaced the catalogue
        // The last request failed; catalogueFailure and catalogueError say
        // why. When the server answered with an error (HTTP 404, 503, ...)
        // the stored catalogue of the same base URL may stand in:
        // catalogueTime says when it arrived.
        CatalogueFailed,
        // The last request could not reach the server (catalogueFailure and
        // catalogueError say why) and the stored catalogue of the same base
        // URL stands in; catalogueTime says when it arrived. Only then is a
        // stored image flashed without asking the server first.
        CatalogueOffline,
    };
    Q_ENUM(CatalogueState)

    // Why a request to the firmware server failed, carried beside its text
    // (as QSerialPort carries its error beside errorString()): the window
    // words the kind in its own language, the command-line tool prints the
    // text. The detail names what the kind leaves open.
    enum NetworkFailure {
        NoNetworkFailure,
        HostNotFound, // the server's name could not be looked up
        ConnectionRefused,
        ConnectionClosed, // closed or reset by the other side during the transfer
        NetworkUnreachable, // any other failure to reach the server
        TlsFailed, // the handshake failed, e.g. an untrusted certificate
        ProxyFailed, // detail: the proxy, "host:port"
        TimedOut, // no whole answer within the transfer time-out
        HttpStatus, // detail: the status code the server answered with
        RedirectRefused, // the server redirected away from https
        TooLarge, // the answer went past its size bound
        MalformedReply, // a catalogue reply that is not a JSON object
        EmptyCatalogue, // a catalogue reply without devices
        StoredImageDamaged, // offline, the stored image did not match its record
    };
    Q_ENUM(NetworkFailure)

    // The parent must be the creating USB_StmFlasher.
    explicit DFU_client(QObject* parent);
    ~DFU_client() override;

    // Transmission geometry: a head block in packet 0, then fixed slices.
    static constexpr unsigned int headBlockSize = 108;
    static constexpr unsigned int sliceSize = 4096;
    static constexpr int trailerSize = 16;

    // Device answers of a run must come within this time of each other.
    static constexpr std::chrono::milliseconds flashingTimeoutInterval{2000};
    // From an accepted image to the device's ReadyToFlash: the boot loader
    // erases its flash first, which takes longer than a packet.
    static constexpr std::chrono::milliseconds prepareTimeoutInterval{30000};

    // Network bounds: no request may stall the UI forever or fill memory.
    static constexpr std::chrono::milliseconds defaultTransferTimeout{30000};
    static constexpr qint64 maxImageDownloadBytes = qint64(16) * 1024 * 1024;
    static constexpr qint64 maxCatalogueBytes = qint64(4) * 1024 * 1024;
    // Process-wide transfer time-out of every request (tests shorten it).
    static void setTransferTimeout(std::chrono::milliseconds timeout);
    // Process-wide wait for ReadyToFlash (tests shorten it).
    static void setPrepareTimeout(std::chrono::milliseconds timeout);

    // Texts of the end of a run, the engine's own (the command-line tool
    // prints them, the run record keeps them); the window words the typed
    // outcome in its language instead.
    static const QString successMessage;
    static const QString timeoutMessage;
    static const QString portLostMessage;
    static const QString deviceErrorMessagePrefix;
    static const QString imageTooSmallMessage;
    static const QString downloadFailedMessage;
    static const QString fileUnreadableMessage;
    // FlashUnconfirmed: the device came back with the version in %1, or not.
    static const QString unconfirmedReturnedMessage;
    static const QString unconfirmedAwayMessage;
    // FlashSignatureRefused and FlashDowngradeRefused (%1 the signed
    // version, %2 the unit's).
    static const QString signatureRefusedMessage;
    static const QString downgradeRefusedMessage;

    // Outcome of turning a catalogue body into the catalogue map.
    enum class CatalogueParse {
        Ok, // `catalogue` holds the new catalogue
        NotJsonObject, // not JSON, or not a JSON object; `catalogue` untouched
        EmptyObject, // an object without members; `catalogue` untouched
    };
    // The catalogue step on its own: the three-level JSON body to the map of
    // device name -> list of {"fileName", "fileUrl"} with URLs below
    // `baseUrl`. Pure and thread-safe.
    static CatalogueParse catalogueFromJson(const QByteArray& body, const QString& baseUrl,
                                            QVariantMap* catalogue);

    // The catalogue request URL for a client version, below the current base URL.
    static QString catalogueRequestUrl(const QString& clientVersion);

    void preparePacketToSend(unsigned int packetNum, QByteArray* out);
    void flash2usb(QByteArray* data);

    // The run in progress, for a caller that reports it in bytes (the
    // command-line tool): the image being flashed (0 when no run) and the
    // image bytes the device has acknowledged so far.
    quint32 imageSize() const { return quint32(firmwareBin.size()); }
    quint32 confirmedBytes() const { return totalBytesConfirmed; }

    // What the latest run sent, kept after it ends (an abort clears the
    // run's own state) until the next run is asked for: the image as sent
    // (the trailer dropped; for a refused image, what would have been sent),
    // its SHA-256 in lower-case hex, flash packets written, resend requests
    // answered. No image (a failed download, an unreadable file): size
    // std::nullopt and an empty digest.
    struct RunFigures
    {
        std::optional<qint64> size;
        QString sha256;
        qint64 packets = 0;
        qint64 resends = 0;
    };
    const RunFigures& lastRunFigures() const { return figures; }
    // What the end of the latest run names beside its result: the device's
    // error (the ErrorCodes name) for FlashDeviceError, the version its unit
    // came back with for FlashUnconfirmed (empty when it did not), the
    // FirmwareSignature::Failure name for FlashSignatureRefused, the signed
    // version for FlashDowngradeRefused; else empty.
    QString runDetail() const { return lastRunDetail; }

    // Signatures. With a trusted key (FirmwareSignature::isRequired()) every
    // image needs a valid signature before anything is sent: the one beside
    // a downloaded image (<URL>.minisig, asked of the server with the same
    // rules), the one stored with a cached image, the one beside a local
    // file (<path>.minisig), the one handed to flashImage.
    // The latest run's check: its failure, key id and signed version (all
    // empty while no trusted key or before the check), and whether its
    // image was older than the unit's firmware.
    const FirmwareSignature::Verdict& runSignature() const { return runSignatureValue; }
    bool runDowngrade() const { return runDowngradeValue; }
    // A signed image older than the unit's firmware is flashed only when
    // allowed (the window's confirmation, the command-line tool's
    // --allow-downgrade); else the run is refused.
    void setDowngradeAllowed(bool allowed) { downgradeAllowed = allowed; }
    bool isDowngradeAllowed() const { return downgradeAllowed; }
    // Whether the signed `version` is older than the unit's firmware now.
    bool isDowngrade(const QString& version) const;

    // The image chosen to be flashed next (a URL or a local file), its
    // signature checked without the image: shown before anything is
    // downloaded. Only with a trusted key; answered by offerChanged, at once
    // for a local file.
    struct Offer
    {
        QString source;
        bool checked = false; // the check is done (else still under way)
        FirmwareSignature::Verdict verdict;
    };
    void checkOffer(const QString& source);
    const Offer& offer() const { return offerValue; }
    // The signature fetched with the image of the latest imageFetched, or
    // std::nullopt when there was none (or no trusted key).
    std::optional<QByteArray> fetchedSignature() const { return fetchedSignatureValue; }

    // The firmware cache (FirmwareCache in its default folder): every good
    // catalogue reply and every completed download is stored, and used when
    // the server cannot be reached. On unless turned off (--no-cache).
    void setCacheEnabled(bool enabled) { cacheEnabled = enabled; }
    // Builds the catalogue from the stored reply for the current base URL,
    // as from a reply; false (catalogue unchanged) when there is none or the
    // cache is off. The stored reply's arrival time is then readable.
    bool useStoredCatalogue();
    QDateTime storedCatalogueTime() const { return usedCatalogueTime; }
    // Flashes the stored image of `url` once its size and SHA-256 match its
    // record; false when there is none (a mismatching entry is removed) or
    // the cache is off. Nothing is sent to the device then.
    bool flashStoredImage(const QString& url);
    // Whether `url` has a stored image (its record only, not verified); false
    // while the cache is off.
    bool isImageStored(const QString& url) const;
    CatalogueState catalogueState() const { return catalogueStateValue; }
    // While a stored catalogue stands in (CatalogueOffline, or
    // CatalogueFailed after an error answer): when it arrived (UTC); null
    // otherwise.
    QDateTime catalogueTime() const;
    // Empty unless the state is CatalogueFailed or CatalogueOffline: Qt's
    // text of a connection failure, the certificate problems, "HTTP 503",
    // "malformed catalogue", "empty catalogue", "reply too large" or "timed
    // out"; a connection failure through a proxy names the proxy.
    QString catalogueError() const { return catalogueFailureValue.text; }
    NetworkFailure catalogueFailure() const { return catalogueFailureValue.kind; }
    QString catalogueFailureDetail() const { return catalogueFailureValue.detail; }
    // Why the last image download failed, in the same words and kinds;
    // empty and NoNetworkFailure while none has failed.
    QString downloadError() const { return downloadFailureValue.text; }
    NetworkFailure downloadFailure() const { return downloadFailureValue.kind; }
    QString downloadFailureDetail() const { return downloadFailureValue.detail; }

    // Ends the run that waits after lastAcknowledgementMissed(): with the
    // version its unit came back with, or std::nullopt when it did not.
    // Nothing when no run waits so.
    void endUnconfirmedRun(const std::optional<QString>& returnedVersion);
    bool isAwaitingUnit() const { return awaitingUnit; }

    // Ends every request still under way without reporting it and drops the
    // network managers, whose host lookups would otherwise finish into
    // requests that are gone (Qt warns then). For a process about to exit;
    // later requests get a new manager.
    void endNetworkRequests();

signals:
    void flashingFinished();
    // Every end of a run passes through abortFlashing, which emits this
    // (also when no run was under way).
    void flashingAbort();
    // A run has accepted its image and asks the device to prepare for it.
    void flashingStarted();
    void availableFirmwaresChanged();
    void flashing_progress_changed(uint progress);
    void showInfoMessage(QString messageStr);
    // A run was asked for: the image's URL or file path, empty for an image
    // handed over directly.
    void runStarted(QString source);
    // Once per run, right after its showInfoMessage (with the same text), or
    // with FlashInterrupted and an empty text when interruptRun() ended it.
    void runFinished(DFU_client::FlashResult result, QString message);
    // Once per catalogue reply: true when it replaced the catalogue, false
    // when the request failed or the body held no catalogue. Lets a caller
    // tell an unavailable catalogue from an empty list.
    void catalogueRequestFinished(bool replaced);
    // The answer to fetchImage(): the image body, or ok false (the image
    // could not be had from the server nor, when it was unreachable, from
    // the cache).
    void imageFetched(QString url, QByteArray image, bool ok);
    // Bytes of the pending image download received so far, and its size
    // (-1 while unknown).
    void downloadProgress(qint64 received, qint64 total);
    void catalogueStateChanged();
    // The port went while only the last packet's acknowledgement was
    // outstanding: the run waits for its unit (endUnconfirmedRun).
    void lastAcknowledgementMissed();
    void offerChanged();

public slots:
    void flashFromFile(QString fileName);
    void flashFromUrl(QString fileUrl);
    void startFlashing(QByteArray firmwareByteArray);
    // As startFlashing, the run announced with `source` (the URL or path the
    // image came from), for a caller that fetched or read it itself.
    // `signature`: the text of the image's signature file, std::nullopt
    // when there is none.
    void flashImage(const QByteArray& firmwareByteArray, const QString& source,
                    const std::optional<QByteArray>& signature = std::nullopt);
    // Downloads the image at `url` without flashing it, with the bounds and
    // the cache of a download for a run; answered by imageFetched.
    void fetchImage(const QString& url);
    void abortFlashing();
    // Ends the run under way, download included, without a message but with
    // runFinished(FlashInterrupted); does nothing when no run is under way.
    void interruptRun();
    void portError(QSerialPort::SerialPortError portErr);
    void webServerFileListRequest();
    QVariantMap getWebFirmwaresList();
    void dfu_rx();
    void setSerialPort(QSerialPort* port);

private slots:
    void webServerReply(QNetworkReply* reply);
    void setFlashingProgress(uint16_t flashingProg);
    void flashingTimeout();

private:
    // A failed request: its kind, its detail, and the text that names it.
    struct Failure
    {
        NetworkFailure kind = NoNetworkFailure;
        QString detail;
        QString text;
        // The server answered (an HTTP status, a refused redirect, an
        // oversized answer): the cache never stands in for that.
        bool answered = false;
    };
    // What a request is for: its reply is handled by that alone, never
    // recognised by its URL.
    enum class Purpose {
        Catalogue,
        RunImage,
        FetchImage,
        RunSignature, // of the run's image, asked once the image is in
        FetchSignature, // of fetchImage's image
        OfferSignature, // of the image checkOffer was asked for
    };
    struct Request
    {
        Purpose purpose = Purpose::Catalogue;
        QString url; // as asked for
        quint64 run = 0; // the run a RunImage request belongs to
    };

    USB_StmFlasher* link() const;
    uint8_t linkStatus() const;
    QByteArray* bufferOf(uint32_t packetNum);
    void readyToFlash();
    void packetVerified();
    void resendRequested(uint32_t packetNum);
    void sendStep();
    void completeRun();
    // Ends a failed run: abort steps, then `message` once if a run was under way.
    void failRun(FlashResult result, const QString& message);
    // Tells the user and the callers how the run ended.
    void reportEnd(FlashResult result, const QString& message);
    // Takes an image for the run already announced by runStarted; with a
    // trusted key only when `signature` accepts it.
    void beginFlashing(const QByteArray& firmwareByteArray,
                       const std::optional<QByteArray>& signature = std::nullopt);
    // With a trusted key: checks the run's image; false (the run refused
    // and told) when it may not be flashed.
    bool signatureAccepts(const QByteArray& file, const std::optional<QByteArray>& signature);
    // The signature of `url`'s image from its answer: the body, or the
    // stored one when the server could not be reached, or none.
    std::optional<QByteArray> signatureFrom(QNetworkReply* reply, const Request& request,
                                            const std::optional<Failure>& failure) const;
    void runSignatureReplied(QNetworkReply* reply, const Request& request,
                             const std::optional<Failure>& failure);
    void fetchSignatureReplied(QNetworkReply* reply, const Request& request,
                               const std::optional<Failure>& failure);
    void offerSignatureReplied(QNetworkReply* reply, const Request& request,
                               const std::optional<Failure>& failure);
    void setOffer(const QString& source, const std::optional<QByteArray>& signature);
    void waitForPreparation();
    void prepare(unsigned int packetNum, QByteArray* out) const;
    // Announces a run: its figures start afresh.
    void announceRun(const QString& source);
    // The last packet was handed to the port and only its acknowledgement
    // is outstanding.
    bool onlyLastAcknowledgementOutstanding() const;

    // Network: one request per purpose, answered by its own handler.
    QNetworkReply* get(const Request& request, qint64 maxBytes);
    QNetworkAccessManager* manager(Purpose purpose);
    void catalogueReplied(QNetworkReply* reply, const std::optional<Failure>& failure);
    void runImageReplied(QNetworkReply* reply, const Request& request,
                         const std::optional<Failure>& failure);
    void fetchReplied(QNetworkReply* reply, const Request& request,
                      const std::optional<Failure>& failure);
    // Why a finished reply failed; std::nullopt when it did not.
    static std::optional<Failure> failureOf(QNetworkReply* reply);
    void setCatalogueState(CatalogueState state, const Failure& failure);
    // Offline: flashes the stored image of `url` without asking the server,
    // or fails the run at once when its entry does not match its record.
    // False (nothing done) when no image of `url` is stored.
    bool flashOffline(const QString& url);
    // A run asked for by URL or file failed before anything was sent.
    void failDownload(const Failure& failure);

    uint8_t flashingProgress = 0;
    QObject* owner = nullptr;
    QSerialPort* serialPort = nullptr;
    // The catalogue's manager, and one of their own for the images, so
    // they never share a connection: Qt fails every request queued for a
    // host when one of its connections breaks, so a cut catalogue reply
    // would otherwise also end a download waiting behind it.
    QNetworkAccessManager* networkManager = nullptr;
    QNetworkAccessManager* imageManager = nullptr;
    QHash<QNetworkReply*, Request> requests; // under way
    QVariantMap allFirmwares;
    CatalogueState catalogueStateValue = CatalogueIdle;
    Failure catalogueFailureValue;
    Failure downloadFailureValue;
    // The URL text of the run's download under way; empty when none.
    QString pendingFileUrl;
    quint64 runNumber = 0; // of the run announced last
    RunFigures figures;
    QString lastRunDetail;
    uint32_t pNum = 0;
    uint32_t totalBytesConfirmed = 0;
    QByteArray flashingPacket1;
    QByteArray flashingPacket2;
    uint32_t lastPacketSize = 0;
    uint32_t resendErrors = 0;
    QTimer* flashingTimer = nullptr;
    QByteArray firmwareBin;

    // The pool task preparing the packet after next; waited for before its
    // buffer is sent or rewritten, before an abort and on destruction.
    QFuture<void> preparation;

    // True from an accepted image or a started download to the end of that
    // run, so that a failed run tells the user why exactly once.
    bool runUnderway = false;
    // The packet in flight has been handed to the port.
    bool packetWritten = false;
    // The run waits for its unit after lastAcknowledgementMissed().
    bool awaitingUnit = false;

    bool cacheEnabled = true;

    FirmwareSignature::Verdict runSignatureValue;
    bool runDowngradeValue = false;
    bool downgradeAllowed = false;
    Offer offerValue;
    // A downloaded image while its signature is asked for; its fetch's.
    QByteArray pendingImage;
    QByteArray fetchedImage;
    std::optional<QByteArray> fetchedSignatureValue;
    QDateTime usedCatalogueTime; // of the stored catalogue last used, else null
};

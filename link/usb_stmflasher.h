#pragma once

#include "dfu_client.h"
#include "packetparser.h"
#include "packets.h"
#include "portproblem.h"

#include <QByteArray>
#include <QDateTime>
#include <QLocale>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QUrl>
#include <QVariantList>
#include <QVariantMap>
#include <QVector>

#include <chrono>
#include <cstdint>
#include <functional>

class DeviceReturnWatch;
class QTimer;

// The tool's one link to a Korvo device: finds the device's USB serial port,
// keeps asking a silent device for its state, parses what it sends, sends
// commands, and owns the flashing engine. Everything runs on the GUI thread.
class USB_StmFlasher : public QObject
{
    Q_OBJECT
    Q_PROPERTY(uint devConnStatus READ getDevConnStatus NOTIFY devConnStatusChanged)
    Q_PROPERTY(uint devConnType READ getDevConnType NOTIFY devConnStatusChanged)
    Q_PROPERTY(QString devConnSerial READ getDevConnSerial NOTIFY devConnStatusChanged)
    Q_PROPERTY(
        QString currentFirmwareVersion MEMBER currentFirmwareVersion NOTIFY devConnStatusChanged)
    Q_PROPERTY(
        uint currentFirmwareVersionInt MEMBER currentFirmwareVersionInt NOTIFY devConnStatusChanged)
    Q_PROPERTY(QString deviceName MEMBER deviceName NOTIFY devConnStatusChanged)
    Q_PROPERTY(uint boardVer MEMBER boardVer NOTIFY devConnStatusChanged)
    Q_PROPERTY(QString boardRev MEMBER boardRev NOTIFY devConnStatusChanged)
    Q_PROPERTY(uint dfuVersion MEMBER dfuVersion NOTIFY devConnStatusChanged)
    // The folder of the tool's log files, for the window's button that
    // opens it.
    Q_PROPERTY(QUrl logsFolderUrl READ logsFolderUrl CONSTANT)
    // The engine's text for a run that wrote the whole image.
    Q_PROPERTY(QString successMessage READ successMessage CONSTANT)
    // Why the Korvo port found at the last scan tick could not be opened;
    // empty while there is none or a port is open.
    Q_PROPERTY(QString portProblem READ portProblem NOTIFY devConnStatusChanged)
    // The engine's catalogue outcome, relayed for the window.
    Q_PROPERTY(
        DFU_client::CatalogueState catalogueState READ catalogueState NOTIFY catalogueStateChanged)
    Q_PROPERTY(QString catalogueError READ catalogueError NOTIFY catalogueStateChanged)
    // While a stored catalogue stands in: when it arrived, and that moment
    // in the short date and time format of the window's language (not the C
    // locale the tool formats numbers in).
    Q_PROPERTY(QDateTime catalogueTime READ catalogueTime NOTIFY catalogueStateChanged)
    Q_PROPERTY(QString catalogueTimeText READ catalogueTimeText NOTIFY catalogueStateChanged)
    // Why the catalogue request and the run's download failed, by kind and
    // detail (the window words them), and what the run's end names beside
    // its result (see DFU_client).
    Q_PROPERTY(DFU_client::NetworkFailure catalogueFailure READ catalogueFailure NOTIFY
                   catalogueStateChanged)
    Q_PROPERTY(QString catalogueFailureDetail READ catalogueFailureDetail NOTIFY
                   catalogueStateChanged)
    Q_PROPERTY(DFU_client::NetworkFailure downloadFailure READ downloadFailure NOTIFY runFinished)
    Q_PROPERTY(QString downloadFailureDetail READ downloadFailureDetail NOTIFY runFinished)
    Q_PROPERTY(QString runDetail READ runDetail NOTIFY runFinished)
    // Signed firmware (see DFU_client): whether images need a signature;
    // the latest run's refusal; the image chosen next, its signature
    // checked without the image (its version, and whether it is older than
    // the unit's firmware); whether the next run may flash an older image.
    Q_PROPERTY(bool signatureRequired READ signatureRequired NOTIFY offerChanged)
    Q_PROPERTY(FirmwareSignature::Failure runSignatureFailure READ runSignatureFailure NOTIFY
                   runFinished)
    Q_PROPERTY(QString offerSource READ offerSource NOTIFY offerChanged)
    Q_PROPERTY(bool offerChecked READ offerChecked NOTIFY offerChanged)
    Q_PROPERTY(FirmwareSignature::Failure offerFailure READ offerFailure NOTIFY offerChanged)
    Q_PROPERTY(QString offerVersion READ offerVersion NOTIFY offerChanged)
    Q_PROPERTY(bool offerDowngrade READ offerDowngrade NOTIFY offerChanged)
    Q_PROPERTY(bool downgradeAllowed READ downgradeAllowed WRITE setDowngradeAllowed NOTIFY
                   offerChanged)

public:
    explicit USB_StmFlasher(QObject* parent = nullptr);
    ~USB_StmFlasher() override;

    // Both timers tick at this period; the port check runs only while no port
    // is open, the keep-online ticker always.
    static constexpr std::chrono::milliseconds portCheckInterval{500};
    static constexpr std::chrono::milliseconds keepOnlineInterval{500};
    // After a run that wrote the whole image the device restarts into its
    // application firmware; this long is waited for it to report there.
    static constexpr std::chrono::milliseconds deviceReturnTimeout{15000};
    // Process-wide wait for the device's return (tests shorten it).
    static void setDeviceReturnTimeout(std::chrono::milliseconds timeout);
    // While a port is open and the last catalogue request failed (with or
    // without a stored catalogue standing in), the catalogue is asked for
    // again after this time (tests shorten it).
    static constexpr std::chrono::milliseconds catalogueRetryInterval{15000};
    static void setCatalogueRetryInterval(std::chrono::milliseconds interval);

    // Line settings and USB identification of a Korvo device's port.
    static constexpr qint32 baudRate = 460800;
    static constexpr quint16 stmVendorId = 0x0483;
    static constexpr quint16 bootLoaderProductId = 0x000D;
    static constexpr quint16 applicationProductId = 0x0011;

    // Feeds one received byte to the packet parser; returns a
    // korvoEnums::PacketParseStatus value.
    int parseUsb(unsigned char byte);

    // Parses bytes as if the port had delivered them and acts on every
    // packet they complete. The port's bytes take this way; fuzz targets and
    // tests feed it directly.
    void feedBytes(const QByteArray& bytes);

    // Read by the flashing engine (its owner pointer) and by tests.
    const usbRxStruct& receiveState() const { return usb_rx.state(); }
    QString clientVersion() const { return clientVer; }
    QSerialPort* port() const { return serialPort; }
    DFU_client* dfu() const { return dfuClient; }
    DeviceReturnWatch* returnWatch() const { return deviceReturnWatch; }
    // What the link knows of the connected device, for C++ callers (the
    // window reads the same through the properties).
    bool isPortOpen() const { return serialPort->isOpen(); }
    QString connectedDeviceName() const { return deviceName; }
    // The bus description of the open port as found (deviceName may be set
    // otherwise afterwards, as the command-line tool's --device-name does).
    QString portBusDescription() const { return openPortBusDescription; }
    QString firmwareVersionText() const { return currentFirmwareVersion; }
    quint32 bootLoaderVersion() const { return dfuVersion; }
    quint32 boardVersion() const { return boardVer; }
    QString boardRevision() const { return boardRev; }
    // A name of the caller's choosing in place of the bus description at
    // every connection (the command-line tool's --device-name, for a port
    // that reports none); applied at once to a connection open now. Empty:
    // the bus description again.
    void setDeviceNameOverride(const QString& name);

    // Called with every link at the end of its construction; what it makes
    // (the run record's writer) observes the link through its signals and
    // is parented to it. Process-wide, set at start-up by the tool that
    // keeps a record; empty: nothing.
    using Companion = std::function<void(USB_StmFlasher*)>;
    static void setCompanion(Companion companion);
    static QUrl logsFolderUrl();
    static QString successMessage();
    QTimer* portCheckTicker() const { return tim_portChecker; }
    QTimer* keepOnlineTicker() const { return keepOnlineTimer; }
    QString portProblem() const { return openProblem.text(); }
    const PortProblem& portOpenProblem() const { return openProblem; }
    DFU_client::CatalogueState catalogueState() const;
    QString catalogueError() const;
    QDateTime catalogueTime() const;
    QString catalogueTimeText() const;
    DFU_client::NetworkFailure catalogueFailure() const;
    QString catalogueFailureDetail() const;
    DFU_client::NetworkFailure downloadFailure() const;
    QString downloadFailureDetail() const;
    QString runDetail() const;
    static bool signatureRequired() { return FirmwareSignature::isRequired(); }
    FirmwareSignature::Failure runSignatureFailure() const
    {
        return dfuClient->runSignature().failure;
    }
    QString offerSource() const { return dfuClient->offer().source; }
    bool offerChecked() const { return dfuClient->offer().checked; }
    FirmwareSignature::Failure offerFailure() const { return dfuClient->offer().verdict.failure; }
    QString offerVersion() const { return dfuClient->offer().verdict.version; }
    bool offerDowngrade() const { return dfuClient->isDowngrade(offerVersion()); }
    bool downgradeAllowed() const { return dfuClient->isDowngradeAllowed(); }
    void setDowngradeAllowed(bool allowed);
    // Checks the signature of the image chosen next (a URL, a path or a
    // file URL), when images need one; see DFU_client::checkOffer.
    Q_INVOKABLE void checkOffer(const QString& source);
    // The window's language, in which catalogueTimeText writes its date
    // (Russian unless set; set once at start-up).
    static void setWindowLocale(const QLocale& locale);
    // Whether the image of `url` is in the firmware cache.
    Q_INVOKABLE bool isImageStored(const QString& url) const;

    // The catalogue entries filed under exactly `deviceName` (no trimming, case
    // sensitive), or an empty list; logs the lookup.
    static QVariantList firmwaresForDevice(const QVariantMap& allFirmwares,
                                           const QString& deviceName);

    // Catalogue entries in the order the window and the command-line tool
    // offer them, newest first: by "fileName", descending, compared as the
    // window's JavaScript localeCompare does (locale-aware); equal names keep
    // their order.
    Q_INVOKABLE static QVariantList newestFirst(QVariantList entries);

    // The latest MpxPacketData record per id, in order of first arrival,
    // shared by every USB_StmFlasher of the process.
    static QVector<mpxPacketStruct> mpxPacketRecords();

signals:
    void devConnStatusChanged();
    void availableFirmwaresChanged();
    void flashing_progress_changed(uint progress);
    void showInfoMessage(QString messageStr);
    // Relayed from the engine: the pending image download.
    void downloadProgress(qint64 received, qint64 total);
    // Relayed from the engine: see DFU_client.
    void runStarted(QString source);
    void runFinished(DFU_client::FlashResult result, QString message);
    // After a run that wrote the whole image (a success, or one whose last
    // packet the device restarted without confirming): the run's unit
    // reported in its application firmware (see DeviceReturnWatch), with
    // the version it runs; or it did not within deviceReturnTimeout. One of
    // the two follows every such run, right after its runFinished, unless a
    // new run starts first.
    void deviceReturned(QString version);
    void deviceReturnTimedOut();
    // The link asked the device in its application firmware to restart into
    // its boot loader (PrepareToFlash with parameter 0).
    void bootLoaderRequested();
    void catalogueStateChanged();
    void offerChanged();

public slots:
    uint8_t getDevConnStatus();
    uint8_t getDevConnType();
    QString getDevConnSerial();
    // The catalogue entries for the connected device: {"fileName",
    // "fileUrl"}, and while the catalogue state is offline also "stored",
    // whether the entry's image is in the firmware cache.
    QVariantList getWebFirmwaresList();
    void flashFromUrl(QString fileUrl);
    // Flashes a local image: a path or a file URL (as a file dialog gives).
    void flashFromFile(QString file);
    void sendToKorvo(uint action, uint dataOrCommand, uint i_parameter);
    void setDevConnStatus(uint8_t newStatus);
    void onAppQuit();
    // Asks for the catalogue again (the window's retry button).
    void retryCatalogue();

private slots:
    void tim_portCheckerTimeout();
    void readSerialData();
    void portError(QSerialPort::SerialPortError portErr);
    void keepOnlineTimeout();

private:
    void dispatchPacket();
    void storeMpxPacket();
    void setOpenProblem(const PortProblem& problem);
    void watchForReturn();
    // The catalogue state is failed or offline.
    bool lastCatalogueRequestFailed() const;

    uint8_t devConnStatus = 0;
    uint8_t devConnType = 0;
    QString devConnSerial;
    QSerialPort* serialPort = nullptr;
    QString clientVer;
    QString currentFirmwareVersion;
    quint32 currentFirmwareVersionInt = 0;
    QString deviceName;
    QString openPortBusDescription;
    QString deviceNameOverride;
    quint32 boardVer = 0;
    quint32 dfuVersion = 0;
    QString boardRev;
    PacketParser usb_rx; // the receive state and the byte parser that fills it
    QTimer* tim_portChecker = nullptr;
    QTimer* keepOnlineTimer = nullptr;
    DFU_client* dfuClient = nullptr;
    DeviceReturnWatch* deviceReturnWatch = nullptr;
    QTimer* catalogueRetryTimer = nullptr;
    // Set while readSerialData parses, so a nested readyRead cannot feed
    // later bytes into the parser ahead of earlier ones.
    bool parsingInput = false;
    PortProblem openProblem; // of the last scan tick
    QList<PortProblem> loggedOpenProblems; // at the last tick, so logged once
};

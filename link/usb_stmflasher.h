#pragma once

#include "dfu_client.h"
#include "packets.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QVariantList>
#include <QVariantMap>
#include <QVector>

#include <chrono>
#include <cstdint>

class QTimer;

// Receive state of the byte parser.
struct usbRxStruct
{
    bool collecting = false; // a data block is being collected
    quint32 byteCounter = 0; // header bytes so far, or data bytes so far while collecting
    usbMessageHeaderStruct header{}; // the header being received / of the last packet
    QByteArray data; // the data block of the current packet
};

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
    // The engine's catalogue outcome, relayed for the window.
    Q_PROPERTY(DFU_client::CatalogueState catalogueState READ catalogueState NOTIFY
                   catalogueStateChanged)
    Q_PROPERTY(QString catalogueError READ catalogueError NOTIFY catalogueStateChanged)

public:
    explicit USB_StmFlasher(QObject* parent = nullptr);
    ~USB_StmFlasher() override;

    // Both timers tick at this period; the port check runs only while no port
    // is open, the keep-online ticker always.
    static constexpr std::chrono::milliseconds portCheckInterval{500};
    static constexpr std::chrono::milliseconds keepOnlineInterval{500};
    // Longest wait for pending output before and after a command is written.
    static constexpr std::chrono::milliseconds sendDrainTimeout{100};
    // Data headers announcing a longer block are refused: the largest block a
    // device sends is a few kilobytes, and an unbounded one would let a
    // corrupted header swallow the following packets and memory.
    static constexpr quint32 maxDataBlockSize = 65536;
    // While a port is open and the last catalogue request failed, the
    // catalogue is asked for again after this time (tests shorten it).
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
    const usbRxStruct& receiveState() const { return usb_rx; }
    QString clientVersion() const { return clientVer; }
    QSerialPort* port() const { return serialPort; }
    DFU_client* dfu() const { return dfuClient; }
    QTimer* portCheckTicker() const { return tim_portChecker; }
    QTimer* keepOnlineTicker() const { return keepOnlineTimer; }
    DFU_client::CatalogueState catalogueState() const;
    QString catalogueError() const;

    // The catalogue entries filed under exactly `deviceName` (no trimming, case
    // sensitive), or an empty list; logs the lookup.
    static QVariantList firmwaresForDevice(const QVariantMap& allFirmwares,
                                           const QString& deviceName);

    // The latest MpxPacketData record per id, in order of first arrival,
    // shared by every USB_StmFlasher of the process.
    static QVector<mpxPacketStruct> mpxPacketRecords();

signals:
    void devConnStatusChanged();
    void availableFirmwaresChanged();
    void flashing_progress_changed(uint progress);
    void showInfoMessage(QString messageStr);
    void catalogueStateChanged();

public slots:
    uint8_t getDevConnStatus();
    uint8_t getDevConnType();
    QString getDevConnSerial();
    QVariantList getWebFirmwaresList();
    void flashFromUrl(QString fileUrl);
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
    void drainOutput();
    void resetParser();

    uint8_t devConnStatus = 0;
    uint8_t devConnType = 0;
    QString devConnSerial;
    QSerialPort* serialPort = nullptr;
    QString clientVer;
    QString currentFirmwareVersion;
    quint32 currentFirmwareVersionInt = 0;
    QString deviceName;
    quint32 boardVer = 0;
    quint32 dfuVersion = 0;
    QString boardRev;
    usbRxStruct usb_rx;
    QTimer* tim_portChecker = nullptr;
    QTimer* keepOnlineTimer = nullptr;
    DFU_client* dfuClient = nullptr;
    QTimer* catalogueRetryTimer = nullptr;
    // Set while readSerialData parses, so a nested readyRead cannot feed
    // later bytes into the parser ahead of earlier ones.
    bool parsingInput = false;
};

#pragma once

#include <QByteArray>
#include <QFuture>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QVariantMap>

#include <chrono>
#include <cstdint>

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

public:
    // The parent must be the creating USB_StmFlasher.
    explicit DFU_client(QObject* parent);
    ~DFU_client() override;

    // Transmission geometry: a head block in packet 0, then fixed slices.
    static constexpr unsigned int headBlockSize = 108;
    static constexpr unsigned int sliceSize = 4096;
    static constexpr int trailerSize = 16;

    // Network bounds: no request may stall the UI forever or fill memory.
    static constexpr std::chrono::milliseconds defaultTransferTimeout{30000};
    static constexpr qint64 maxImageDownloadBytes = 16 * 1024 * 1024;
    static constexpr qint64 maxCatalogueBytes = 4 * 1024 * 1024;
    // Process-wide transfer time-out of every request (tests shorten it).
    static void setTransferTimeout(std::chrono::milliseconds timeout);

    void preparePacketToSend(unsigned int packetNum, QByteArray* out);
    void flash2usb(QByteArray* data);

signals:
    void flashingFinished();
    void flashingAbort();
    void flashingStarted();
    void availableFirmwaresChanged();
    void flashing_progress_changed(uint progress);
    void showInfoMessage(QString messageStr);

public slots:
    void flashFromFile(QString fileName);
    void flashFromUrl(QString fileUrl);
    void startFlashing(QByteArray firmwareByteArray);
    void abortFlashing();
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
    USB_StmFlasher* link() const;

    uint8_t flashingProgress = 0;
    QObject* owner = nullptr;
    QSerialPort* serialPort = nullptr;
    QNetworkAccessManager* networkManager = nullptr;
    QVariantMap allFirmwares;
    QString pendingFileUrl;
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
};

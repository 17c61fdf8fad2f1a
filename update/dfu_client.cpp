#include "dfu_client.h"

#include "debugline.h"
#include "usb_stmflasher.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

// Interface skeleton: the flashing engine fills these in.

DFU_client::DFU_client(QObject* parent) : QObject(parent), owner(parent)
{
    flashingTimer = new QTimer(this);
    flashingTimer->setInterval(2000);
    connect(flashingTimer, &QTimer::timeout, this, &DFU_client::flashingTimeout);
    networkManager = new QNetworkAccessManager(this);
    connect(networkManager, &QNetworkAccessManager::finished, this, &DFU_client::webServerReply);
}

DFU_client::~DFU_client() = default;

void DFU_client::setTransferTimeout(std::chrono::milliseconds) {}

void DFU_client::preparePacketToSend(unsigned int, QByteArray*) {}
void DFU_client::flash2usb(QByteArray*) {}
void DFU_client::flashFromFile(QString) {}
void DFU_client::flashFromUrl(QString fileUrl)
{
    pendingFileUrl = fileUrl;
}
void DFU_client::startFlashing(QByteArray) {}
void DFU_client::abortFlashing() {}

void DFU_client::portError(QSerialPort::SerialPortError portErr)
{
    debugLine() << "DFU_client "
                << "portError"
                << " " << portErr;
}

void DFU_client::webServerFileListRequest()
{
    debugLine() << "webServerFileListRequest";
}
QVariantMap DFU_client::getWebFirmwaresList()
{
    return allFirmwares;
}
void DFU_client::dfu_rx()
{
    debugLine() << "dfu_rx";
}

void DFU_client::setSerialPort(QSerialPort* port)
{
    if (port == nullptr) {
        debugLine() << "error, flash2usb, serialPort == nullptr_t";
        return;
    }
    serialPort = port;
    connect(serialPort, &QSerialPort::errorOccurred, this, &DFU_client::portError);
}

void DFU_client::webServerReply(QNetworkReply* reply)
{
    reply->deleteLater();
}
void DFU_client::setFlashingProgress(uint16_t) {}
void DFU_client::flashingTimeout() {}

#include "usb_stmflasher.h"

#include "debugline.h"
#include "devicereturnwatch.h"
#include "dfu_client.h"
#include "korvoenums.h"
#include "serialio.h"
#include "serialportenvironment.h"
#include "tools.h"
#include "userfolders.h"
#include "win.h"

#include <QCoreApplication>
#include <QGlobalStatic>
#include <QLocale>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <tuple>

namespace {

// An MpxPacketData block carries one record in its first bytes; `length` is
// the payload length plus two.
constexpr int mpxRecordSize = int(sizeof(mpxPacketStruct));
constexpr int mpxMinLength = 2;
constexpr int mpxMaxLength = 2 + int(sizeof(mpxPacketStruct::payload));

// A DfuInfo block is read up to its boot-loader version byte.
constexpr int dfuInfoBoardVerOffset = 4;
constexpr int dfuInfoBoardRevOffset = 5;
constexpr int dfuInfoDfuVersionOffset = 7;
constexpr int dfuInfoMinSize = dfuInfoDfuVersionOffset + 1;

const QString offlineFirmwareVersion = QStringLiteral("T-.--");

const QString noDeviceName = QStringLiteral("---");

std::atomic<int> catalogueRetryMs{int(USB_StmFlasher::catalogueRetryInterval.count())};

} // namespace

// Process-wide: created on first use, destroyed at exit, never cleared.
Q_GLOBAL_STATIC(QVector<mpxPacketStruct>, mpxPackets)
// Set at start-up, before any link exists.
Q_GLOBAL_STATIC(USB_StmFlasher::Companion, linkCompanion)
// Set once at start-up, before the window exists.
Q_GLOBAL_STATIC_WITH_ARGS(QLocale, windowLocale, (QLocale::Russian, QLocale::Russia))

USB_StmFlasher::USB_StmFlasher(QObject* parent)
    : QObject(parent), clientVer(QStringLiteral("0.01")),
      currentFirmwareVersion(QStringLiteral("--.--")), deviceName(noDeviceName),
      boardRev(QStringLiteral("-"))
{
    setDevConnStatus(korvoEnums::korvoOffline);

    tim_portChecker = new QTimer(this);
    tim_portChecker->setInterval(portCheckInterval);
    tim_portChecker->start();
    connect(tim_portChecker, &QTimer::timeout, this, &USB_StmFlasher::tim_portCheckerTimeout);

    keepOnlineTimer = new QTimer(this);
    keepOnlineTimer->setInterval(keepOnlineInterval);
    keepOnlineTimer->start();
    connect(keepOnlineTimer, &QTimer::timeout, this, &USB_StmFlasher::keepOnlineTimeout);

    // Connected before the engine connects its own handler, so on every port
    // error the port is closed and the status reset when the engine reacts.
    serialPort = new QSerialPort(this);
    connect(serialPort, &QSerialPort::readyRead, this, &USB_StmFlasher::readSerialData);
    connect(serialPort, &QSerialPort::errorOccurred, this, &USB_StmFlasher::portError);

    dfuClient = new DFU_client(this);
    dfuClient->setSerialPort(serialPort);

    connect(dfuClient, &DFU_client::availableFirmwaresChanged, this,
            &USB_StmFlasher::availableFirmwaresChanged);
    connect(dfuClient, &DFU_client::showInfoMessage, this, &USB_StmFlasher::showInfoMessage);
    connect(dfuClient, &DFU_client::runStarted, this, &USB_StmFlasher::runStarted);
    connect(dfuClient, &DFU_client::runFinished, this, &USB_StmFlasher::runFinished);

    watchForReturn();
    connect(dfuClient, &DFU_client::flashing_progress_changed, this,
            &USB_StmFlasher::flashing_progress_changed);
    connect(dfuClient, &DFU_client::downloadProgress, this, &USB_StmFlasher::downloadProgress);
    connect(dfuClient, &DFU_client::offerChanged, this, &USB_StmFlasher::offerChanged);

    // Armed by each failed catalogue request; asks again only if a port is
    // still open and nothing better has come in the meantime.
    catalogueRetryTimer = new QTimer(this);
    catalogueRetryTimer->setSingleShot(true);
    connect(catalogueRetryTimer, &QTimer::timeout, this, [this] {
        if (serialPort->isOpen() && lastCatalogueRequestFailed())
            retryCatalogue();
    });
    connect(dfuClient, &DFU_client::catalogueStateChanged, this, [this] {
        if (lastCatalogueRequestFailed())
            catalogueRetryTimer->start(catalogueRetryMs.load());
        emit catalogueStateChanged();
    });

    if (QCoreApplication* app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &USB_StmFlasher::onAppQuit);
    if (*linkCompanion)
        (*linkCompanion)(this);
}

void USB_StmFlasher::setCompanion(Companion companion)
{
    *linkCompanion = std::move(companion);
}

void USB_StmFlasher::setDeviceNameOverride(const QString& name)
{
    deviceNameOverride = name;
    if (!serialPort->isOpen())
        return;
    const QString shown = name.isEmpty() ? openPortBusDescription : name;
    if (shown == deviceName)
        return;
    deviceName = shown;
    emit devConnStatusChanged();
}

USB_StmFlasher::~USB_StmFlasher() = default;

void USB_StmFlasher::setDeviceReturnTimeout(std::chrono::milliseconds timeout)
{
    DeviceReturnWatch::setTimeout(timeout);
}

void USB_StmFlasher::watchForReturn()
{
    // Created before the record writer, so the run's unit is taken before
    // the writer reads it.
    deviceReturnWatch = new DeviceReturnWatch(this);
    // After a success, and while a run whose last acknowledgement the
    // device's restart cut off waits for its unit.
    connect(dfuClient, &DFU_client::runFinished, deviceReturnWatch,
            [this](DFU_client::FlashResult result) {
                if (result == DFU_client::FlashSucceeded)
                    deviceReturnWatch->wait();
                else if (result != DFU_client::FlashUnconfirmed)
                    deviceReturnWatch->stop();
            });
    connect(dfuClient, &DFU_client::lastAcknowledgementMissed, deviceReturnWatch,
            &DeviceReturnWatch::wait);
    // Such a run ends once the unit is back (or not), before the answer.
    connect(deviceReturnWatch, &DeviceReturnWatch::returned, this, [this](const QString& version) {
        dfuClient->endUnconfirmedRun(version);
        emit deviceReturned(version);
    });
    connect(deviceReturnWatch, &DeviceReturnWatch::timedOut, this, [this] {
        dfuClient->endUnconfirmedRun(std::nullopt);
        emit deviceReturnTimedOut();
    });
}

QVector<mpxPacketStruct> USB_StmFlasher::mpxPacketRecords()
{
    return mpxPackets.exists() ? *mpxPackets : QVector<mpxPacketStruct>();
}

void USB_StmFlasher::setCatalogueRetryInterval(std::chrono::milliseconds interval)
{
    catalogueRetryMs = int(interval.count());
}

DFU_client::CatalogueState USB_StmFlasher::catalogueState() const
{
    return dfuClient->catalogueState();
}

QString USB_StmFlasher::catalogueError() const
{
    return dfuClient->catalogueError();
}

DFU_client::NetworkFailure USB_StmFlasher::catalogueFailure() const
{
    return dfuClient->catalogueFailure();
}

QString USB_StmFlasher::catalogueFailureDetail() const
{
    return dfuClient->catalogueFailureDetail();
}

DFU_client::NetworkFailure USB_StmFlasher::downloadFailure() const
{
    return dfuClient->downloadFailure();
}

QString USB_StmFlasher::downloadFailureDetail() const
{
    return dfuClient->downloadFailureDetail();
}

QString USB_StmFlasher::runDetail() const
{
    return dfuClient->runDetail();
}

void USB_StmFlasher::setDowngradeAllowed(bool allowed)
{
    if (allowed == dfuClient->isDowngradeAllowed())
        return;
    dfuClient->setDowngradeAllowed(allowed);
    emit offerChanged();
}

void USB_StmFlasher::checkOffer(const QString& source)
{
    dfuClient->checkOffer(source);
}

QDateTime USB_StmFlasher::catalogueTime() const
{
    return dfuClient->catalogueTime();
}

void USB_StmFlasher::setWindowLocale(const QLocale& locale)
{
    *windowLocale = locale;
}

QString USB_StmFlasher::catalogueTimeText() const
{
    const QDateTime time = dfuClient->catalogueTime();
    return time.isValid() ? windowLocale->toString(time.toLocalTime(), QLocale::ShortFormat)
                          : QString();
}

bool USB_StmFlasher::isImageStored(const QString& url) const
{
    return dfuClient->isImageStored(url);
}

bool USB_StmFlasher::lastCatalogueRequestFailed() const
{
    const DFU_client::CatalogueState state = dfuClient->catalogueState();
    return state == DFU_client::CatalogueFailed || state == DFU_client::CatalogueOffline;
}

void USB_StmFlasher::retryCatalogue()
{
    dfuClient->webServerFileListRequest();
}

uint8_t USB_StmFlasher::getDevConnStatus()
{
    return devConnStatus;
}

uint8_t USB_StmFlasher::getDevConnType()
{
    return devConnType;
}

QUrl USB_StmFlasher::logsFolderUrl()
{
    return QUrl::fromLocalFile(UserFolders::logsFolder());
}

QString USB_StmFlasher::successMessage()
{
    return DFU_client::successMessage;
}

QString USB_StmFlasher::getDevConnSerial()
{
    return devConnSerial;
}

QVariantList USB_StmFlasher::getWebFirmwaresList()
{
    QVariantList entries = firmwaresForDevice(dfuClient->getWebFirmwaresList(), deviceName);
    if (dfuClient->catalogueState() != DFU_client::CatalogueOffline)
        return entries;
    for (QVariant& entry : entries) {
        QVariantMap map = entry.toMap();
        map.insert(QStringLiteral("stored"),
                   dfuClient->isImageStored(map.value(QStringLiteral("fileUrl")).toString()));
        entry = map;
    }
    return entries;
}

QVariantList USB_StmFlasher::firmwaresForDevice(const QVariantMap& allFirmwares,
                                                const QString& deviceName)
{
    const bool known = allFirmwares.contains(deviceName);
    debugLine() << "getWebFirmwaresList"
                << " deviceName: " << deviceName << " allFirmwares: " << allFirmwares << known;
    if (!known)
        return QVariantList();
    return allFirmwares.value(deviceName).toList();
}

QVariantList USB_StmFlasher::newestFirst(QVariantList entries)
{
    const auto name = [](const QVariant& entry) {
        return entry.toMap().value(QStringLiteral("fileName")).toString();
    };
    std::stable_sort(entries.begin(), entries.end(), [&](const QVariant& a, const QVariant& b) {
        return QString::localeAwareCompare(name(a), name(b)) > 0;
    });
    return entries;
}

void USB_StmFlasher::flashFromUrl(QString fileUrl)
{
    dfuClient->flashFromUrl(fileUrl);
}

void USB_StmFlasher::flashFromFile(QString file)
{
    const QUrl url(file);
    dfuClient->flashFromFile(url.isLocalFile() ? url.toLocalFile() : file);
}

void USB_StmFlasher::sendToKorvo(uint action, uint dataOrCommand, uint i_parameter)
{
    if (!serialPort->isOpen()) {
        debugLine() << "serial port closed, abort sendToKorvo";
        return;
    }
    const usbMessageHeaderStruct header = makePacketHeader(
        quint8(action & 0xFF), quint8(dataOrCommand & 0xFF), devConnStatus, i_parameter);
    if (action == korvoEnums::CommandMessage && dataOrCommand == korvoEnums::PrepareToFlash
        && i_parameter == 0 && devConnStatus == korvoEnums::korvoOnline)
        emit bootLoaderRequested();
    SerialIo::writePacket(serialPort, header);
}

void USB_StmFlasher::setDevConnStatus(uint8_t newStatus)
{
    if (newStatus == devConnStatus)
        return;
    devConnStatus = newStatus;
    if (newStatus == korvoEnums::korvoOffline) {
        currentFirmwareVersion = offlineFirmwareVersion;
        dfuVersion = 0;
        boardVer = 0;
        boardRev = QString();
    }
    emit devConnStatusChanged();
    debugLine() << "setDevConnStatus " << uint(newStatus);
}

void USB_StmFlasher::onAppQuit()
{
    debugLine() << "onAppQuit";
    // A run cut short here is over: it ends as interrupted, once.
    dfuClient->interruptRun();
    if (serialPort->isOpen())
        serialPort->close();
}

void USB_StmFlasher::tim_portCheckerTimeout()
{
    debugLine() << "tim_portCheckerTimeout";

    const QList<SerialPortRecord> ports = SerialPortEnvironment::availablePorts();
    QList<PortProblem> tickProblems; // of the matching ports that failed to open
    for (const SerialPortRecord& info : ports) {
        const bool namedLikeSerialPort = info.portName.startsWith(QLatin1String("COM"))
            || info.portName.startsWith(QLatin1String("tty"));
        if (!namedLikeSerialPort || info.vendorIdentifier != stmVendorId)
            continue;

        // Any STMicroelectronics port postpones the next keep-online tick.
        keepOnlineTimer->start();

        const bool korvoProduct = info.productIdentifier == bootLoaderProductId
            || info.productIdentifier == applicationProductId;
        if (!korvoProduct || serialPort->isOpen())
            continue;

        // Opened by its system location, so an emulated port named like a
        // device can live anywhere (e.g. /dev/pts/N).
        serialPort->setPortName(info.systemLocation);
        // Deprecated in Qt 5.15 but still honoured; the device's port must not
        // be put back into its previous settings on close.
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        serialPort->setSettingsRestoredOnClose(false);
        QT_WARNING_POP
        serialPort->setBaudRate(baudRate, QSerialPort::AllDirections);
        serialPort->setDataBits(QSerialPort::Data8);
        serialPort->setParity(QSerialPort::NoParity);
        serialPort->setStopBits(QSerialPort::OneStop);
        serialPort->setFlowControl(QSerialPort::HardwareControl);

        debugLine() << "FIND PORT, trying to open, " << info.portName << " " << info.description
                    << " " << info.productIdentifier << " " << info.vendorIdentifier << " "
                    << info.serialNumber << " " << info.manufacturer;

        if (!serialPort->open(QIODevice::ReadWrite)) {
            debugLine() << "Port open error";
            deviceName = noDeviceName;
            const PortProblem problem = PortProblem::fromOpenError(
                info.portName, info.systemLocation, serialPort->error(), serialPort->errorString());
            // Once, not at every tick: logged again only when it changes.
            if (!loggedOpenProblems.contains(problem))
                debugLine() << "Port open error, " << info.portName << problem.error
                            << problem.errorText;
            tickProblems.append(problem);
            continue;
        }

        // A new connection starts hunting for a header: what was left of a
        // packet from the previous device must not swallow this one's bytes.
        usb_rx.reset();

        // Fails with UnsupportedOperationError on a port without modem
        // lines; portError keeps the port open in that case.
        serialPort->setDataTerminalReady(true);
        devConnSerial = info.serialNumber;
        devConnType = uint8_t(info.productIdentifier & 0xFF);
        tim_portChecker->stop();
        debugLine() << "PORT OPENED SUCCESFULL " << info.portName << " " << info.description << " "
                    << info.productIdentifier << " " << info.vendorIdentifier << " "
                    << info.serialNumber << " " << info.manufacturer;
        // Set before the catalogue request, so the list the UI fetches when
        // the catalogue arrives belongs to this device.
        openPortBusDescription = Win::getSerialPortBusDesc(info.portName);
        deviceName = deviceNameOverride.isEmpty() ? openPortBusDescription : deviceNameOverride;
        dfuClient->webServerFileListRequest();
        sendToKorvo(korvoEnums::CommandMessage, korvoEnums::KeepOnline, 0);
        tickProblems.clear();
        break;
    }
    loggedOpenProblems = tickProblems;
    // The first port that failed, while no port opened.
    setOpenProblem(tickProblems.value(0));
}

void USB_StmFlasher::setOpenProblem(const PortProblem& problem)
{
    if (problem == openProblem)
        return;
    openProblem = problem;
    emit devConnStatusChanged();
}

void USB_StmFlasher::readSerialData()
{
    if (parsingInput)
        return; // the running call picks these bytes up after its own
    parsingInput = true;

    // Bytes that arrive while a packet is dispatched (sendToKorvo waits for
    // its output) are buffered without a new readyRead, so read until none
    // are left.
    while (serialPort->isOpen() && serialPort->bytesAvailable() > 0)
        feedBytes(serialPort->readAll());
    parsingInput = false;
}

void USB_StmFlasher::feedBytes(const QByteArray& bytes)
{
    // The parser keeps its state across reads: a header split by the
    // operating system is assembled from both parts.
    for (const char byte : bytes) {
        if (parseUsb(static_cast<unsigned char>(byte)) != korvoEnums::PacketRx_Success)
            continue;
        dispatchPacket();
        usb_rx.clearData();
    }
}

int USB_StmFlasher::parseUsb(unsigned char byte)
{
    return usb_rx.parseByte(byte);
}

void USB_StmFlasher::dispatchPacket()
{
    // The engine reads this header through its owner pointer in dfu_rx; it
    // stays untouched until dispatch returns.
    const usbMessageHeaderStruct& header = usb_rx.header();
    const uint action = header.action;
    const uint command = header.dataOrCommand;
    const quint32 parameter = header.parameter;
    const uint status = header.status;

    if (action == korvoEnums::CommandMessage) {
        debugLine() << "usb command recieved: "
                    << Tools::convertEnumToQString(QStringLiteral("ActionTypes"), action) << " = "
                    << action
                    << Tools::convertEnumToQString(QStringLiteral("CommandsEnum"), command) << " = "
                    << command << "parameter: " << parameter
                    << Tools::convertEnumToQString(QStringLiteral("SocketStatus"), status)
                    << status;

        if (command == korvoEnums::KeepOnline) {
            currentFirmwareVersionInt = Tools::firmwareVersionNumber(parameter);
            debugLine() << "currentFirmwareVersionInt: " << currentFirmwareVersionInt;
            currentFirmwareVersion = Tools::firmwareVersionText(parameter);
            setDevConnStatus(uint8_t(status));
            sendToKorvo(korvoEnums::CommandMessage, korvoEnums::KeepOnline, 0);
        } else {
            setDevConnStatus(uint8_t(status));
            dfuClient->dfu_rx();
        }
        return;
    }

    debugLine() << "usb data recieved: "
                << Tools::convertEnumToQString(QStringLiteral("ActionTypes"), action) << " = "
                << action
                << Tools::convertEnumToQString(QStringLiteral("MessageDataTypes"), command) << " = "
                << command << "parameter: " << parameter
                << Tools::convertEnumToQString(QStringLiteral("SocketStatus"), status);

    if (command == korvoEnums::DfuInfo) {
        const uint8_t statusBefore = devConnStatus;
        const auto shownBefore
            = std::make_tuple(currentFirmwareVersion, boardVer, dfuVersion, boardRev);
        currentFirmwareVersionInt = Tools::firmwareVersionNumber(parameter);
        debugLine() << "currentFirmwareVersionInt: " << currentFirmwareVersionInt
                    << " usb_rx.header.status: " << status;
        currentFirmwareVersion = Tools::firmwareVersionText(parameter);
        // A block too short to hold the board fields leaves them alone.
        const QByteArray& data = usb_rx.data();
        if (data.size() >= dfuInfoMinSize) {
            boardVer = quint8(data[dfuInfoBoardVerOffset]);
            dfuVersion = quint8(data[dfuInfoDfuVersionOffset]);
            boardRev = QString::fromUtf8(data.constData() + dfuInfoBoardRevOffset, 1);
        }
        setDevConnStatus(uint8_t(status));
        // A device answers the opening KeepOnline with KeepOnline, which
        // changes the status, and then DfuInfo, which does not: its values
        // must still reach the window (the update button waits for them).
        if (devConnStatus == statusBefore
            && shownBefore
                != std::make_tuple(currentFirmwareVersion, boardVer, dfuVersion, boardRev))
            emit devConnStatusChanged();
    } else if (command == korvoEnums::MpxPacketData) {
        storeMpxPacket();
    }
}

void USB_StmFlasher::storeMpxPacket()
{
    if (usb_rx.data().size() < mpxRecordSize)
        return; // too short to hold a record
    mpxPacketStruct record;
    std::memcpy(&record, usb_rx.data().constData(), sizeof record);

    QVector<mpxPacketStruct>& list = *mpxPackets;
    const auto same = std::find_if(list.begin(), list.end(), [&](const mpxPacketStruct& stored) {
        return stored.id == record.id;
    });
    if (same != list.end())
        *same = record;
    else
        list.append(record);

    QString dump;
    for (const mpxPacketStruct& stored : qAsConst(list)) {
        // A length outside its range would read past the payload.
        const int payloadLength = std::clamp(int(stored.length), mpxMinLength, mpxMaxLength) - 2;
        dump += QStringLiteral("id:") + QString::number(stored.id, 16).toUpper() + QLatin1Char(' ')
            + QString::fromLatin1(
                    QByteArray(reinterpret_cast<const char*>(stored.payload), payloadLength)
                        .toHex()
                        .toUpper())
            + QStringLiteral(" | ");
    }
    debugLine() << dump;
}

void USB_StmFlasher::portError(QSerialPort::SerialPortError portErr)
{
    debugLine() << "portError" << portErr;
    // A port without modem-control lines (a pseudo-terminal) refuses DTR;
    // closing it would only have the next tick open it again.
    if (SerialIo::meaningOf(portErr) != SerialIo::ErrorMeaning::PortGone)
        return;

    debugLine() << "Closing port";
    if (serialPort->isOpen())
        serialPort->close();
    setDevConnStatus(korvoEnums::korvoOffline);
    devConnSerial = QString();
    devConnType = 0;
    tim_portChecker->start();
    deviceName = noDeviceName;
}

void USB_StmFlasher::keepOnlineTimeout()
{
    if (devConnStatus != korvoEnums::korvoOffline)
        return;
    if (!serialPort->isOpen())
        return;
    sendToKorvo(korvoEnums::CommandMessage, korvoEnums::KeepOnline, 0);
    debugLine() << "keep online sent";
}

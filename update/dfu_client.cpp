#include "dfu_client.h"

#include "debugline.h"
#include "keepawake.h"
#include "korvoenums.h"
#include "packets.h"
#include "serialio.h"
#include "threadhandoff.h"
#include "tools.h"
#include "usb_stmflasher.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QMetaEnum>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

// Start of the current run; one value for the process, kept after a run ends.
QDateTime flashingStart;
// The same moment on the monotonic clock: durations of a run are measured
// here, as reading the local time costs more than the rest of a send step
// and jumps with the wall clock.
QElapsedTimer flashingClock;

std::atomic<int> prepareTimeoutMs{int(DFU_client::prepareTimeoutInterval.count())};

// Number of packets an image of `size` bytes is cut into (0 when it has no
// byte beyond the head block).
quint64 packetCount(quint64 size)
{
    if (size <= DFU_client::headBlockSize)
        return 0;
    const quint64 rest = size - DFU_client::headBlockSize;
    return rest / DFU_client::sliceSize + (rest % DFU_client::sliceSize != 0 ? 1 : 0);
}

// Image bytes carried by the packets before `packetNum`.
quint64 bytesBeforePacket(quint64 packetNum, quint64 size)
{
    if (packetNum == 0)
        return 0;
    return std::min(size, DFU_client::headBlockSize + DFU_client::sliceSize * packetNum);
}

} // namespace

// The end-of-run texts are the engine's own, in Russian: the command-line
// tool prints them, the run record keeps them, tests compare them as they
// are. The window words the typed outcome itself, in its language.
const QString DFU_client::successMessage
    = QString::fromUtf8("Обновление успешно установлено!");
const QString DFU_client::timeoutMessage = QString::fromUtf8(
    "Ошибка обновления: устройство не отвечает");
const QString DFU_client::portLostMessage = QString::fromUtf8(
    "Ошибка обновления: связь с устройством потеряна");
const QString DFU_client::deviceErrorMessagePrefix = QString::fromUtf8(
    "Ошибка обновления: устройство сообщило об ошибке ");
const QString DFU_client::imageTooSmallMessage = QString::fromUtf8(
    "Ошибка обновления: файл прошивки слишком мал");
const QString DFU_client::downloadFailedMessage = QString::fromUtf8(
    "Ошибка обновления: не удалось загрузить прошивку");
const QString DFU_client::fileUnreadableMessage = QString::fromUtf8(
    "Ошибка обновления: не удалось прочитать файл прошивки");
const QString DFU_client::unconfirmedReturnedMessage = QString::fromUtf8("Обновление не подтверждено: устройство перезапустилось, не подтвердив последний "
    "пакет, и вернулось в рабочий режим с версией прошивки %1");
const QString DFU_client::unconfirmedAwayMessage = QString::fromUtf8("Обновление не подтверждено: устройство перезапустилось, не подтвердив последний "
    "пакет, и не вернулось в рабочий режим");
const QString DFU_client::signatureRefusedMessage = QString::fromUtf8(
    "Ошибка обновления: подпись прошивки не принята");
const QString DFU_client::downgradeRefusedMessage = QString::fromUtf8(
    "Ошибка обновления: версия прошивки %1 старше установленной %2");

DFU_client::DFU_client(QObject* parent) : QObject(parent), owner(parent)
{
    // For queued connections and signal spies of runFinished.
    qRegisterMetaType<DFU_client::FlashResult>();
    flashingTimer = new QTimer(this);
    connect(flashingTimer, &QTimer::timeout, this, &DFU_client::flashingTimeout);
    flashingTimer->setInterval(flashingTimeoutInterval);
    // A coarse timer may fire up to 5 % early; the device gets its full 2 s.
    flashingTimer->setTimerType(Qt::PreciseTimer);
    manager(Purpose::Catalogue);
    manager(Purpose::RunImage);
    // The computer stays awake from the start of a run to its end.
    auto* keepAwake = new KeepAwake(this);
    connect(this, &DFU_client::flashingStarted, keepAwake,
            [keepAwake] { keepAwake->acquire(KeepAwake::firmwareUpdateReason); });
    connect(this, &DFU_client::flashingAbort, keepAwake, &KeepAwake::release);
}

DFU_client::~DFU_client()
{
    waitForPreparation();
}

void DFU_client::setPrepareTimeout(std::chrono::milliseconds timeout)
{
    prepareTimeoutMs = int(timeout.count());
}

USB_StmFlasher* DFU_client::link() const
{
    return qobject_cast<USB_StmFlasher*>(owner);
}

uint8_t DFU_client::linkStatus() const
{
    USB_StmFlasher* flasher = link();
    return flasher ? flasher->getDevConnStatus() : uint8_t(korvoEnums::korvoOffline);
}

QByteArray* DFU_client::bufferOf(uint32_t packetNum)
{
    return packetNum % 2 == 0 ? &flashingPacket1 : &flashingPacket2;
}

void DFU_client::waitForPreparation()
{
    preparation.waitForFinished();
    TRENNIC_HANDOFF_ACQUIRE(&preparation);
}

// ---------------------------------------------------------------------------
// Packetisation

void DFU_client::preparePacketToSend(unsigned int packetNum, QByteArray* out)
{
    // Only reads firmwareBin (never detaching it) and writes *out: this runs
    // on a pool thread while the GUI thread sends from the other buffer.
    TRENNIC_HANDOFF_ACQUIRE(&preparation);
    prepare(packetNum, out);
    TRENNIC_HANDOFF_RELEASE(&preparation);
}

void DFU_client::prepare(unsigned int packetNum, QByteArray* out) const
{
    const quint64 size = quint64(firmwareBin.size());
    const quint64 count = packetCount(size);
    if (count == 0)
        return;
    quint64 n = packetNum;
    if (n >= count)
        n = count - 1;
    const quint64 offset = headBlockSize + sliceSize * n;
    if (offset >= size)
        return;
    const quint64 length = std::min<quint64>(size - offset, sliceSize);
    if (size - offset < sliceSize)
        debugLine() << "prepared last packet: " << n << " packetLen: " << length;
    // Built aside and moved in, so the buffer changes in one step that the
    // thread checker can see (Qt's own code is not instrumented).
    const char* image = firmwareBin.constData();
    const int head = n == 0 ? int(headBlockSize) : 0;
    QByteArray packet(head + int(length), Qt::Uninitialized);
    std::memcpy(packet.data(), image, size_t(head));
    std::memcpy(packet.data() + head, image + offset, size_t(length));
    *out = std::move(packet);
    debugLine() << "preparePacketToSend"
                << " packetNum: " << n << " size: " << out->size() << " dataSent: " << offset
                << " dataPointer: " << static_cast<const void*>(out);
}

void DFU_client::flash2usb(QByteArray* data)
{
    if (serialPort == nullptr) {
        debugLine() << "error, flash2usb, serialPort == nullptr_t";
        return;
    }
    const auto payloadSize = quint32(data->size());
    const usbMessageHeaderStruct header
        = makePacketHeader(korvoEnums::FlashData, korvoEnums::FlashDataPacket, linkStatus(), pNum,
                           data->constData(), payloadSize);
    lastPacketSize = payloadSize;
    // A closed port takes nothing: writing would raise NotOpenError and end
    // the run as a lost port. The packet is lost like one lost on the wire,
    // and the watchdog ends the run if no answer comes.
    if (!serialPort->isOpen()) {
        debugLine() << "error, flash2usb, serial port not open, packet not sent: " << pNum;
        return;
    }
    if (SerialIo::writePacket(serialPort, header, *data))
        packetWritten = true;
    ++figures.packets;
}

// ---------------------------------------------------------------------------
// Flashing run

void DFU_client::startFlashing(QByteArray firmwareByteArray)
{
    flashImage(firmwareByteArray, QString());
}

void DFU_client::flashImage(const QByteArray& firmwareByteArray, const QString& source,
                            const std::optional<QByteArray>& signature)
{
    announceRun(source);
    beginFlashing(firmwareByteArray, signature);
}

void DFU_client::announceRun(const QString& source)
{
    // A run still waiting for its unit ends before the next one begins.
    endUnconfirmedRun(std::nullopt);
    figures = RunFigures();
    lastRunDetail.clear();
    downloadFailureValue = Failure();
    runSignatureValue = FirmwareSignature::Verdict();
    runDowngradeValue = false;
    pendingImage.clear();
    ++runNumber;
    emit runStarted(source);
}

bool DFU_client::isDowngrade(const QString& version) const
{
    const USB_StmFlasher* flasher = link();
    const std::optional<int> order = FirmwareSignature::compareVersions(
        version, flasher ? flasher->firmwareVersionText() : QString());
    return order && *order < 0;
}

bool DFU_client::signatureAccepts(const QByteArray& file, const std::optional<QByteArray>& signature)
{
    const USB_StmFlasher* flasher = link();
    runSignatureValue = FirmwareSignature::check(file, signature,
                                                 flasher ? flasher->connectedDeviceName() : QString());
    const FirmwareSignature::Verdict& verdict = runSignatureValue;
    if (!verdict.ok()) {
        lastRunDetail = QString::fromLatin1(
            QMetaEnum::fromType<FirmwareSignature::Failure>().valueToKey(verdict.failure));
        debugLine() << "signature refused: " << lastRunDetail << " key: " << verdict.keyId
                    << ", nothing sent";
        runUnderway = false;
        reportEnd(FlashSignatureRefused, signatureRefusedMessage);
        return false;
    }
    runDowngradeValue = isDowngrade(verdict.version);
    debugLine() << "signature accepted, key: " << verdict.keyId << " version: " << verdict.version
                << (runDowngradeValue ? " (downgrade)" : "");
    if (runDowngradeValue && !downgradeAllowed) {
        lastRunDetail = verdict.version;
        debugLine() << "downgrade not allowed, nothing sent";
        runUnderway = false;
        reportEnd(FlashDowngradeRefused,
                  downgradeRefusedMessage.arg(verdict.version, flasher->firmwareVersionText()));
        return false;
    }
    return true;
}

void DFU_client::beginFlashing(const QByteArray& firmwareByteArray,
                               const std::optional<QByteArray>& signature)
{
    // The pool task reads firmwareBin.
    waitForPreparation();
    firmwareBin.clear();
    if (firmwareByteArray.size() > trailerSize)
        firmwareBin = firmwareByteArray.left(firmwareByteArray.size() - trailerSize);
    const quint32 size = quint32(firmwareBin.size());
    const uint status = linkStatus();
    debugLine() << "firmwareBin loaded ok, size: " << size << " devConnStatus: " << status;
    figures.size = size;
    figures.sha256 = QString::fromLatin1(
        QCryptographicHash::hash(firmwareBin, QCryptographicHash::Sha256).toHex());
    if (FirmwareSignature::isRequired() && !signatureAccepts(firmwareByteArray, signature)) {
        firmwareBin.clear();
        return;
    }

    if (size <= headBlockSize) {
        // PrepareToFlash with a size this small (0 above all) would only
        // reboot the device, and the run would then time out.
        debugLine() << "startFlashing ERROR: firmwareBin.size() <= " << headBlockSize
                    << ", nothing sent";
        firmwareBin.clear();
        runUnderway = false;
        reportEnd(FlashImageRefused, imageTooSmallMessage);
        return;
    }
    if (status != korvoEnums::korvoOnline && status != korvoEnums::korvoBootOnline) {
        // Nothing can be sent, so nothing is waited for. A run asked for by
        // URL or file (the device went during the download) ends at once,
        // as the link is gone; an image handed over directly is only held,
        // without a run, for a ReadyToFlash that bytes fed later may bring.
        debugLine() << "startFlashing: device not ready, PrepareToFlash not sent";
        if (runUnderway)
            failRun(FlashPortLost, portLostMessage);
        return;
    }
    runUnderway = true;
    emit flashingStarted();
    // Bounds the wait for ReadyToFlash, so a device that never answers ends
    // the run with a message instead of leaving it open for good.
    flashingTimer->start(prepareTimeoutMs.load());
    debugLine() << "sendToKorvoQueue(korvoEnums::CommandMessage, korvoEnums::PrepareToFlash, "
                   "firmwareBinSize);";
    if (USB_StmFlasher* flasher = link())
        flasher->sendToKorvo(korvoEnums::CommandMessage, korvoEnums::PrepareToFlash, size);
}

void DFU_client::dfu_rx()
{
    debugLine() << "dfu_rx";
    if (firmwareBin.isEmpty()) {
        debugLine() << "dfu_rx"
                    << " ERROR: firmwareBin.size() == 0";
        abortFlashing();
        return;
    }
    USB_StmFlasher* flasher = link();
    if (flasher == nullptr)
        return;
    const usbMessageHeaderStruct& header = flasher->receiveState().header;
    const quint32 parameter = header.parameter;
    switch (header.dataOrCommand) {
    case korvoEnums::ReadyToFlash:
        readyToFlash();
        break;
    case korvoEnums::ErrorMessage: {
        const QString name = Tools::convertEnumToQString(
            QStringLiteral("ErrorCodes"), static_cast<unsigned char>(parameter & 0xFF));
        const bool tellUser = runUnderway;
        abortFlashing();
        debugLine() << "ErrorMessage: " << name;
        lastRunDetail = name;
        if (tellUser)
            reportEnd(FlashDeviceError, deviceErrorMessagePrefix + name);
        break;
    }
    case korvoEnums::FlashPacketVerify:
        packetVerified();
        break;
    case korvoEnums::FlashPacketTimeout:
    case korvoEnums::FlashPacketBadCrc:
        resendRequested(parameter);
        break;
    default:
        break;
    }
}

void DFU_client::readyToFlash()
{
    debugLine() << "DFU: ReadyToFlash";
    waitForPreparation();
    pNum = 0;
    lastPacketSize = 0;
    totalBytesConfirmed = 0;
    resendErrors = 0;
    if (flashingProgress != 1) {
        flashingProgress = 1;
        emit flashing_progress_changed(1);
    }
    flashingStart = QDateTime::currentDateTime();
    flashingClock.start();
    preparePacketToSend(0, &flashingPacket1);
    preparePacketToSend(1, &flashingPacket2);
    flashingTimer->start(int(flashingTimeoutInterval.count()));
    if (linkStatus() < korvoEnums::korvoReflash)
        return;
    sendStep();
}

void DFU_client::packetVerified()
{
    // Every answer of the device re-arms the watchdog (at its own interval:
    // the timer may still hold the longer wait for ReadyToFlash).
    flashingTimer->start(int(flashingTimeoutInterval.count()));
    const uint32_t acknowledged = pNum;
    totalBytesConfirmed += lastPacketSize;
    lastPacketSize = 0;
    pNum = acknowledged + 1;
    if (totalBytesConfirmed >= quint32(firmwareBin.size())) {
        completeRun();
        return;
    }
    // The previous task filled the buffer about to be sent; the new one
    // refills the buffer just acknowledged.
    waitForPreparation();
    TRENNIC_HANDOFF_RELEASE(&preparation);
    preparation
        = QtConcurrent::run(QThreadPool::globalInstance(), this, &DFU_client::preparePacketToSend,
                            acknowledged + 2, bufferOf(acknowledged));
    sendStep();
}

void DFU_client::resendRequested(uint32_t packetNum)
{
    // Also the first answer when ReadyToFlash was lost on the way.
    flashingTimer->start(int(flashingTimeoutInterval.count()));
    resendErrors += 1;
    ++figures.resends;
    waitForPreparation();
    pNum = packetNum;
    // Bytes confirmed are those of the packets before the one asked for, so a
    // packet sent again is counted once even when the device goes back.
    const quint64 size = quint64(firmwareBin.size());
    const quint64 count = packetCount(size);
    const quint64 wanted = std::min<quint64>(packetNum, count > 0 ? count - 1 : 0);
    totalBytesConfirmed = quint32(bytesBeforePacket(wanted, size));
    preparePacketToSend(packetNum, bufferOf(packetNum));
    preparePacketToSend(packetNum + 1, bufferOf(packetNum + 1));
    if (linkStatus() < korvoEnums::korvoReflash)
        return;
    sendStep();
}

void DFU_client::sendStep()
{
    QByteArray* buffer = bufferOf(pNum);
    const quint32 size = quint32(firmwareBin.size());
    const qint64 elapsedMs = flashingClock.isValid() ? flashingClock.elapsed() : 0;
    const float speed
        = float(totalBytesConfirmed) / ((float(elapsedMs) + 0.01f) / 1024.0f) / 1000.0f;
    debugLine() << "sent pNum: " << pNum << " size: " << buffer->size()
                << " percent: " << uint(flashingProgress)
                << " totalBytesConfirmed: " << totalBytesConfirmed << " of " << size
                << " speed = " << speed << "kb/s, "
                << (buffer == &flashingPacket1 ? "flashingPacket1" : "flashingPacket2");
    // 64-bit so that images over 42 MB do not wrap; below 100 while incomplete.
    const auto percent = uint(quint64(totalBytesConfirmed) * 100 / size);
    if (percent > flashingProgress) {
        flashingProgress = uint8_t(percent);
        emit flashing_progress_changed(percent);
    }
    packetWritten = false;
    if (!buffer->isEmpty())
        flash2usb(buffer);
}

void DFU_client::completeRun()
{
    const auto elapsedMs = qint32((flashingClock.isValid() ? flashingClock.elapsed() : 0) + 1);
    const quint32 size = quint32(firmwareBin.size());
    debugLine() << "DONE reflashing totalBytesConfirmed: " << totalBytesConfirmed
                << " FileLength: " << size;
    const float seconds = float(elapsedMs) / 1000.0f;
    const float shown = seconds <= 60.0f ? seconds : seconds / 60.0f;
    debugLine() << "executionTime = " << shown
                << " speed = " << (float(totalBytesConfirmed) / seconds / 1024.0f) << "kb/s";
    debugLine() << "resendErrors " << resendErrors;
    abortFlashing();
    reportEnd(FlashSucceeded, successMessage);
}

void DFU_client::failRun(FlashResult result, const QString& message)
{
    const bool tellUser = runUnderway;
    abortFlashing();
    runUnderway = false;
    if (tellUser)
        reportEnd(result, message);
}

void DFU_client::reportEnd(FlashResult result, const QString& message)
{
    emit showInfoMessage(message);
    emit runFinished(result, message);
}

void DFU_client::endUnconfirmedRun(const std::optional<QString>& returnedVersion)
{
    if (!awaitingUnit)
        return;
    awaitingUnit = false;
    runUnderway = false;
    lastRunDetail = returnedVersion.value_or(QString());
    reportEnd(FlashUnconfirmed,
              returnedVersion ? unconfirmedReturnedMessage.arg(*returnedVersion)
                              : unconfirmedAwayMessage);
}

bool DFU_client::onlyLastAcknowledgementOutstanding() const
{
    const quint64 size = quint64(firmwareBin.size());
    return packetWritten && lastPacketSize > 0
        && bytesBeforePacket(pNum, size) + lastPacketSize >= size;
}

void DFU_client::interruptRun()
{
    if (!runUnderway)
        return;
    awaitingUnit = false;
    debugLine() << "run interrupted";
    // A download still under way is forgotten: its reply starts nothing.
    pendingFileUrl.clear();
    abortFlashing();
    runUnderway = false;
    emit runFinished(FlashInterrupted, QString());
}

void DFU_client::abortFlashing()
{
    waitForPreparation();
    if (USB_StmFlasher* flasher = link())
        flasher->setDevConnStatus(korvoEnums::korvoOffline);
    // A flashing run ends here; a download still under way keeps its run.
    if (!firmwareBin.isEmpty())
        runUnderway = false;
    firmwareBin.clear();
    flashingTimer->stop();
    lastPacketSize = 0;
    packetWritten = false;
    pNum = 0;
    totalBytesConfirmed = 0;
    flashingPacket1.clear();
    flashingPacket2.clear();
    resendErrors = 0;
    if (flashingProgress != 0) {
        flashingProgress = 0;
        emit flashing_progress_changed(0);
    }
    emit flashingAbort();
}

void DFU_client::flashingTimeout()
{
    debugLine() << "FLASHING TIMEOUT";
    failRun(FlashDeviceSilent, timeoutMessage);
}

void DFU_client::portError(QSerialPort::SerialPortError portErr)
{
    debugLine() << "DFU_client "
                << "portError"
                << " " << portErr;
    const SerialIo::ErrorMeaning meaning = SerialIo::meaningOf(portErr);
    if (meaning == SerialIo::ErrorMeaning::None || meaning == SerialIo::ErrorMeaning::NoModemLines)
        return;
    // A drain wait that ran out says nothing about the device during a run:
    // the watchdog judges the device.
    if (meaning == SerialIo::ErrorMeaning::DrainTimedOut && !firmwareBin.isEmpty())
        return;
    debugLine() << "portError"
                << " call abortFlashing()";
    // Only a flashing run depends on the port; a download goes on.
    if (firmwareBin.isEmpty()) {
        abortFlashing();
    } else if (onlyLastAcknowledgementOutstanding() && runUnderway) {
        // Many boot loaders reset the moment they have answered the last
        // packet: the image may well be written. Whether the device comes
        // back, and with which version, tells what is known.
        debugLine() << "port lost with only the last acknowledgement outstanding, packet: " << pNum;
        abortFlashing();
        runUnderway = true;
        awaitingUnit = true;
        emit lastAcknowledgementMissed();
    } else {
        failRun(FlashPortLost, portLostMessage);
    }
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

void DFU_client::setFlashingProgress(uint16_t flashingProg)
{
    if (flashingProg == flashingProgress)
        return;
    flashingProgress = uint8_t(flashingProg & 0xFF);
    emit flashing_progress_changed(flashingProgress);
}


// The emulated device's link protocol: commands, the flashing exchange, the
// records tests compare, and the faults it plays.

#include "korvodevice.h"

#include "debugline.h"
#include "korvoenums.h"
#include "tools.h"

#include <climits>

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

namespace {

constexpr int headBlockSize = KorvoFirmwareImage::headBlockSize;
constexpr quint32 sliceSize = 4096;
constexpr int dfuInfoSize = 8;

int toTimerMs(qint64 nanoseconds)
{
    return int(qBound<qint64>(0, (nanoseconds + 999999) / 1000000, INT_MAX));
}

} // namespace

void KorvoDevice::handleFrame(const KorvoPacketReader::Frame& frame, qint64 delayNs)
{
    const usbMessageHeaderStruct& header = frame.header;
    switch (frame.kind) {
    case KorvoPacketReader::Frame::Packet:
        if (header.action == korvoEnums::CommandMessage)
            handleCommand(header, delayNs);
        else if (header.dataOrCommand == korvoEnums::FlashDataPacket)
            handleFlashPacket(frame, delayNs);
        else
            record(header, Verdict::Ignored);
        return;
    case KorvoPacketReader::Frame::BadDataCrc:
        // The header is sound, only the block is damaged: ask again.
        if (flashing && header.dataOrCommand == korvoEnums::FlashDataPacket) {
            record(header, Verdict::BadDataCrc);
            requestResend(korvoEnums::FlashPacketBadCrc, wanted, delayNs);
        } else {
            record(header, Verdict::Ignored);
        }
        return;
    case KorvoPacketReader::Frame::BadHeaderCrc:
    case KorvoPacketReader::Frame::BadSize:
    case KorvoPacketReader::Frame::UnknownAction:
        // Nothing in such a header can be trusted; the silence watch asks
        // for the packet again if one was meant.
        return;
    }
}

void KorvoDevice::handleCommand(const usbMessageHeaderStruct& header, qint64 delayNs)
{
    const KorvoEmulatorSettings settings = shared->currentSettings();
    switch (header.dataOrCommand) {
    case korvoEnums::KeepOnline: {
        // Only a tool that does not know the device yet (status 0) gets an
        // answer; the tool's KeepOnline answers to the heartbeat get none.
        if (header.status != korvoEnums::korvoOffline) {
            record(header, Verdict::Ignored);
            return;
        }
        record(header, Verdict::Handled);
        QByteArray version;
        {
            QMutexLocker lock(&shared->mutex);
            version = shared->version;
        }
        const quint32 parameter = qFromLittleEndian<quint32>(version.constData());
        sendCommand(korvoEnums::KeepOnline, parameter, delayNs);
        QByteArray info(dfuInfoSize, '\0');
        info.replace(0, version.size(), version);
        info[4] = char(settings.boardVersion);
        info[5] = settings.boardRevision;
        info[7] = char(settings.bootLoaderVersion);
        send(makePacketHeader(korvoEnums::FlashData, korvoEnums::DfuInfo, status, parameter,
                              info.constData(), quint32(info.size())),
             info, delayNs);
        return;
    }
    case korvoEnums::PrepareToFlash: {
        record(header, Verdict::Handled);
        const quint32 size = header.parameter;
        if (mode == Mode::ApplicationFirmware || size == 0) {
            // Any PrepareToFlash restarts the application firmware into its
            // boot loader; a size of 0 restarts the boot loader itself.
            debugLine() << "korvo-emulator restarts into its boot loader";
            rebootInto(Mode::BootLoader,
                       std::chrono::duration_cast<milliseconds>(nanoseconds(delayNs)));
            return;
        }
        if (size <= quint32(headBlockSize) || size > settings.flashSize) {
            debugLine() << "korvo-emulator refuses an image of" << size << "bytes";
            endRun();
            sendCommand(korvoEnums::ErrorMessage, korvoEnums::Error_BadFirmware, delayNs);
            return;
        }
        startRun(size);
        eraseTimer->start(toTimerMs(delayNs + nanoseconds(settings.eraseDelay).count()));
        return;
    }
    default:
        record(header, Verdict::Ignored);
        return;
    }
}

void KorvoDevice::startRun(quint32 size)
{
    debugLine() << "korvo-emulator erases for an image of" << size << "bytes";
    packetTimer->stop();
    flashing = false; // until ReadyToFlash goes out
    imageSize = size;
    packetCount = (size - headBlockSize + sliceSize - 1) / sliceSize;
    wanted = 0;
    timeoutsInRow = 0;
    corruptFired = dropFired = corruptAckFired = errorFired = false;
    QMutexLocker lock(&shared->mutex);
    shared->image = QByteArray(int(size), '\xFF');
}

void KorvoDevice::sendReadyToFlash()
{
    flashing = true;
    setStatus(korvoEnums::korvoReflash);
    sendCommand(korvoEnums::ReadyToFlash, imageSize);
    armPacketWatch(0);
}

void KorvoDevice::endRun()
{
    flashing = false;
    eraseTimer->stop();
    packetTimer->stop();
    if (mode == Mode::BootLoader)
        setStatus(korvoEnums::korvoBootOnline);
}

quint32 KorvoDevice::expectedPacketSize(quint32 packet) const
{
    const quint32 offset = headBlockSize + sliceSize * packet;
    const quint32 slice = qMin(sliceSize, imageSize - offset);
    return packet == 0 ? headBlockSize + slice : slice;
}

void KorvoDevice::handleFlashPacket(const KorvoPacketReader::Frame& frame, qint64 delayNs)
{
    if (!flashing) {
        record(frame.header, Verdict::Ignored);
        return;
    }
    const KorvoEmulatorSettings settings = shared->currentSettings();
    timeoutsInRow = 0;
    if (!refusedPacket(frame, settings, delayNs))
        storePacket(frame, settings, delayNs);
}

bool KorvoDevice::refusedPacket(const KorvoPacketReader::Frame& frame,
                                const KorvoEmulatorSettings& settings, qint64 delayNs)
{
    const usbMessageHeaderStruct& header = frame.header;
    const quint32 number = header.parameter;
    const bool isWanted = number == wanted;
    if (isWanted && settings.unplugAtPacket == number) {
        record(header, Verdict::Unplugged);
        unplug();
        return true;
    }
    if (isWanted && settings.silentFromPacket == number) {
        record(header, Verdict::Silenced);
        goSilent();
        return true;
    }
    // A packet the device did not take: asked for again.
    const auto resend = [&](Verdict verdict) {
        record(header, verdict);
        requestResend(korvoEnums::FlashPacketBadCrc, wanted, delayNs);
        return true;
    };
    if (!isWanted)
        return resend(Verdict::WrongNumber);
    if (quint32(frame.data.size()) != expectedPacketSize(number))
        return resend(Verdict::WrongSize);
    if (settings.corruptPacket == number && !corruptFired) {
        corruptFired = true;
        return resend(Verdict::CorruptedOnPurpose);
    }
    if (settings.errorAtPacket == number && !errorFired) {
        errorFired = true;
        record(header, Verdict::ErrorReported);
        debugLine() << "korvo-emulator reports error" << settings.errorCode << "at packet"
                    << number;
        endRun();
        sendCommand(korvoEnums::ErrorMessage, settings.errorCode, delayNs);
        return true;
    }
    return false;
}

void KorvoDevice::storePacket(const KorvoPacketReader::Frame& frame,
                              const KorvoEmulatorSettings& settings, qint64 delayNs)
{
    const usbMessageHeaderStruct& header = frame.header;
    const quint32 number = header.parameter;
    const bool dropAck = settings.dropAckOfPacket == number && !dropFired;
    dropFired = dropFired || dropAck;
    const bool corruptAck = !dropAck && settings.corruptAckOfPacket == number && !corruptAckFired;
    corruptAckFired = corruptAckFired || corruptAck;
    {
        QMutexLocker lock(&shared->mutex);
        const int offset = number == 0 ? 0 : int(headBlockSize + sliceSize * number);
        shared->image.replace(offset, frame.data.size(), frame.data);
    }
    record(header,
           dropAck          ? Verdict::StoredAckDropped
               : corruptAck ? Verdict::StoredAckCorrupted
                            : Verdict::Stored);
    ++wanted;

    const qint64 answerDelay = delayNs + nanoseconds(settings.programmingDelay).count();
    if (corruptAck) {
        // One bit of the packet number flipped on the way: the headerCrc
        // no longer matches, and the tool must drop the whole header.
        usbMessageHeaderStruct ack = makePacketHeader(
            korvoEnums::CommandMessage, korvoEnums::FlashPacketVerify, status, number);
        ack.parameter = ack.parameter ^ 0x1u;
        send(ack, {}, answerDelay);
    } else if (!dropAck) {
        sendCommand(korvoEnums::FlashPacketVerify, number, answerDelay);
    }
    if (wanted < packetCount) {
        armPacketWatch(answerDelay);
        return;
    }
    finishRun();
    rebootInto(Mode::ApplicationFirmware,
               std::chrono::duration_cast<milliseconds>(nanoseconds(answerDelay))
                   + (settings.resetRightAfterLastAnswer ? 0ms : settings.finalAckGrace));
}

void KorvoDevice::finishRun()
{
    flashing = false;
    packetTimer->stop();
    QByteArray version;
    {
        QMutexLocker lock(&shared->mutex);
        const QByteArray fromImage = KorvoFirmwareImage::versionOf(shared->image);
        if (!fromImage.isEmpty())
            shared->version = fromImage;
        version = shared->version;
        ++shared->completedRuns;
    }
    debugLine() << "korvo-emulator took" << imageSize << "bytes, next firmware version"
                << QString::fromLatin1(version);
    post([e = emulator, version] { emit e->flashingCompleted(version); });
}

void KorvoDevice::requestResend(quint8 command, quint32 packet, qint64 delayNs)
{
    {
        QMutexLocker lock(&shared->mutex);
        shared->resends.append({command, packet});
    }
    debugLine() << "korvo-emulator asks again for packet" << packet << "with"
                << Tools::convertEnumToQString(QStringLiteral("CommandsEnum"), command);
    sendCommand(command, packet, delayNs);
    armPacketWatch(delayNs);
}

void KorvoDevice::armPacketWatch(qint64 delayNs)
{
    const KorvoEmulatorSettings settings = shared->currentSettings();
    packetTimer->start(toTimerMs(delayNs + nanoseconds(settings.packetTimeout).count()));
}

void KorvoDevice::packetSilence()
{
    if (!flashing || silent)
        return;
    const KorvoEmulatorSettings settings = shared->currentSettings();
    reader.reset(); // whatever half packet there was will not be completed
    if (++timeoutsInRow > settings.packetTimeoutLimit) {
        debugLine() << "korvo-emulator gives up waiting for packet" << wanted;
        endRun();
        sendCommand(korvoEnums::ErrorMessage, korvoEnums::Error_Timeout);
        return;
    }
    requestResend(korvoEnums::FlashPacketTimeout, wanted, 0);
}

void KorvoDevice::heartbeat()
{
    const KorvoEmulatorSettings settings = shared->currentSettings();
    if (settings.heartbeatPeriod <= 0ms) {
        heartbeatTimer->stop();
        return;
    }
    if (heartbeatTimer->intervalAsDuration() != settings.heartbeatPeriod)
        heartbeatTimer->start(settings.heartbeatPeriod);
    QByteArray version;
    {
        QMutexLocker lock(&shared->mutex);
        version = shared->version;
    }
    sendCommand(korvoEnums::KeepOnline, qFromLittleEndian<quint32>(version.constData()));
}

void KorvoDevice::record(const usbMessageHeaderStruct& header, Verdict verdict)
{
    QMutexLocker lock(&shared->mutex);
    shared->packets.append({header, verdict});
}

void KorvoDevice::setMode(Mode newMode)
{
    if (mode == newMode)
        return;
    mode = newMode;
    {
        QMutexLocker lock(&shared->mutex);
        shared->mode = newMode;
    }
    post([e = emulator, newMode] { emit e->modeChanged(newMode); });
}

void KorvoDevice::setStatus(quint8 newStatus)
{
    if (status == newStatus)
        return;
    status = newStatus;
    {
        QMutexLocker lock(&shared->mutex);
        shared->status = newStatus;
    }
    post([e = emulator, newStatus] { emit e->statusChanged(newStatus); });
}

#include "scripteddevice.h"

#include "korvoenums.h"
#include "tools.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr quint16 stmVendorId = 0x0483;
constexpr quint16 bootLoaderProductId = 0x000D;
const QString scriptedPortName = QStringLiteral("ttyKORVOSCRIPT0");
const QString scriptedDeviceName = QStringLiteral("Korvo 7");

} // namespace

ScriptedDevice::ScriptedDevice() = default;

ScriptedDevice::~ScriptedDevice()
{
    unplug();
}

bool ScriptedDevice::open()
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return false;
    termios mode{};
    tcgetattr(master, &mode);
    cfmakeraw(&mode);
    tcsetattr(master, TCSANOW, &mode);
    slavePath = QString::fromLocal8Bit(ptsname(master));
    notifier = new QSocketNotifier(master, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &ScriptedDevice::readMaster);
    SerialPortEnvironment::installProvider(this);
    return true;
}

void ScriptedDevice::unplug()
{
    if (master < 0)
        return;
    SerialPortEnvironment::removeProvider(this);
    delete notifier;
    notifier = nullptr;
    ::close(master);
    master = -1;
}

QList<SerialPortRecord> ScriptedDevice::ports() const
{
    SerialPortRecord record;
    record.portName = scriptedPortName;
    record.systemLocation = slavePath;
    record.description = QStringLiteral("STM32 Virtual ComPort");
    record.manufacturer = QStringLiteral("STMicroelectronics");
    record.serialNumber = QStringLiteral("SCRIPTED-1");
    record.vendorIdentifier = stmVendorId;
    record.productIdentifier = bootLoaderProductId;
    record.hasVendorIdentifier = true;
    record.hasProductIdentifier = true;
    return {record};
}

QList<BusDescriptionRecord> ScriptedDevice::busDescriptions() const
{
    return {{scriptedDeviceName, scriptedDeviceName + " (" + scriptedPortName + ")"}};
}

void ScriptedDevice::sendCommand(quint8 command, quint8 status, quint32 parameter)
{
    if (master < 0)
        return;
    const QByteArray bytes
        = headerBytes(makePacketHeader(korvoEnums::CommandMessage, command, status, parameter));
    const ssize_t written = ::write(master, bytes.constData(), size_t(bytes.size()));
    Q_ASSERT(written == bytes.size());
    Q_UNUSED(written)
}

QList<ScriptedDevice::Packet> ScriptedDevice::flashPackets() const
{
    QList<Packet> result;
    for (const Packet& packet : received)
        if (packet.header.action == korvoEnums::FlashData
            && packet.header.dataOrCommand == korvoEnums::FlashDataPacket)
            result.append(packet);
    return result;
}

void ScriptedDevice::readMaster()
{
    char buffer[8192];
    for (;;) {
        const ssize_t count = ::read(master, buffer, sizeof buffer);
        if (count <= 0)
            return;
        for (ssize_t i = 0; i < count; ++i)
            feed(buffer[i]);
    }
}

void ScriptedDevice::feed(char byte)
{
    if (collecting) {
        data.append(byte);
        if (quint32(data.size()) < header.dataSize)
            return;
        collecting = false;
        if (header.dataCrc != Tools::calcCrc(data.constData(), quint32(data.size()))) {
            data.clear();
            return;
        }
    } else {
        static const char magic[4] = {0x00, 0x01, 0x22, 0x77};
        if (headerCount < 4 && byte != magic[headerCount]) {
            headerCount = 0;
            return;
        }
        reinterpret_cast<char*>(&header)[headerCount++] = byte;
        if (headerCount < usbHeaderSize)
            return;
        headerCount = 0;
        if (!headerIsValid(header))
            return;
        if (header.action == korvoEnums::FlashData) {
            collecting = header.dataSize > 0;
            data.clear();
            return;
        }
    }
    Packet packet{header, data};
    data.clear();
    received.append(packet);
    if (onPacket)
        onPacket(packet);
    else
        answerByDefault(packet);
    emit packetReceived();
}

void ScriptedDevice::answerByDefault(const Packet& packet)
{
    const quint8 command = packet.header.dataOrCommand;
    if (packet.header.action == korvoEnums::CommandMessage) {
        if (command == korvoEnums::KeepOnline && packet.header.status == 0)
            sendCommand(korvoEnums::KeepOnline, bootStatus, 0x35303130); // "0105"
        if (command == korvoEnums::PrepareToFlash && packet.header.parameter > 0) {
            image = QByteArray(int(packet.header.parameter), '\xFF');
            expectedPacket = 0;
            sendCommand(korvoEnums::ReadyToFlash, korvoEnums::korvoReflash, 0);
        }
        return;
    }
    const quint32 number = packet.header.parameter;
    if (number != expectedPacket) {
        sendCommand(korvoEnums::FlashPacketTimeout, korvoEnums::korvoReflash, expectedPacket);
        return;
    }
    const int offset = number == 0 ? 0 : 108 + 4096 * int(number);
    image.replace(offset, packet.data.size(), packet.data);
    ++expectedPacket;
    sendCommand(korvoEnums::FlashPacketVerify, korvoEnums::korvoReflash, number);
}

#include "referenceclient.h"

#include "korvoenums.h"
#include "packets.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

constexpr quint32 headBlock = 108;
constexpr quint32 slice = 4096;

double microseconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::micro>(to - from).count();
}

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Blocking reader of command packets: hunts for the magic, checks headerCrc,
// and skips data messages.
class CommandReader
{
public:
    explicit CommandReader(int fd) : fd(fd) {}

    bool next(usbMessageHeaderStruct* header)
    {
        for (;;) {
            while (count < usbHeaderSize) {
                const int byte = nextByte();
                if (byte < 0)
                    return false;
                static const unsigned char magic[4] = {0x00, 0x01, 0x22, 0x77};
                if (count < 4 && byte != magic[count]) {
                    count = 0;
                    continue;
                }
                reinterpret_cast<unsigned char*>(header)[count++]
                    = static_cast<unsigned char>(byte);
            }
            count = 0;
            if (!headerIsValid(*header))
                continue;
            if (header->action == korvoEnums::CommandMessage)
                return true;
            for (quint32 i = 0; i < header->dataSize; ++i)
                if (nextByte() < 0)
                    return false;
        }
    }

private:
    int nextByte()
    {
        if (at == filled) {
            ssize_t n;
            do
                n = ::read(fd, buffer, sizeof buffer);
            while (n < 0 && errno == EINTR);
            if (n <= 0)
                return -1;
            at = 0;
            filled = n;
        }
        return static_cast<unsigned char>(buffer[at++]);
    }

    int fd;
    char buffer[4096];
    ssize_t at = 0;
    ssize_t filled = 0;
    int count = 0;
};

bool sendCommand(int fd, quint8 command, quint8 status, quint32 parameter)
{
    const usbMessageHeaderStruct header
        = makePacketHeader(korvoEnums::CommandMessage, command, status, parameter);
    return writeAll(fd, reinterpret_cast<const char*>(&header), usbHeaderSize);
}

bool sendPacket(int fd, const QByteArray& image, quint32 number)
{
    const quint32 size = quint32(image.size());
    const quint32 from = number == 0 ? 0 : headBlock + slice * number;
    const quint32 to = std::min(size, headBlock + slice * (number + 1));
    const char* payload = image.constData() + from;
    const usbMessageHeaderStruct header
        = makePacketHeader(korvoEnums::FlashData, korvoEnums::FlashDataPacket,
                           korvoEnums::korvoReflash, number, payload, to - from);
    return writeAll(fd, reinterpret_cast<const char*>(&header), usbHeaderSize)
        && writeAll(fd, payload, to - from);
}

} // namespace

RunFigures flashWithReferenceClient(const QString& systemLocation, const QByteArray& image)
{
    RunFigures figures;
    const int fd = ::open(systemLocation.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        figures.error = QStringLiteral("cannot open ") + systemLocation;
        return figures;
    }
    termios mode{};
    tcgetattr(fd, &mode);
    cfmakeraw(&mode);
    tcsetattr(fd, TCSANOW, &mode);

    const quint32 size = quint32(image.size());
    const quint32 packets = (size - headBlock + slice - 1) / slice;
    CommandReader reader(fd);
    usbMessageHeaderStruct header{};
    sendCommand(fd, korvoEnums::PrepareToFlash, korvoEnums::korvoBootOnline, size);
    do {
        if (!reader.next(&header)) {
            figures.error = QStringLiteral("no ReadyToFlash");
            ::close(fd);
            return figures;
        }
    } while (header.dataOrCommand != korvoEnums::ReadyToFlash);

    const Clock::time_point start = Clock::now();
    quint32 number = 0;
    Clock::time_point sent = Clock::now();
    sendPacket(fd, image, number);
    for (;;) {
        if (!reader.next(&header)) {
            figures.error = QStringLiteral("link closed at packet %1").arg(number);
            break;
        }
        const Clock::time_point answered = Clock::now();
        const bool answer = header.dataOrCommand == korvoEnums::FlashPacketVerify
            || header.dataOrCommand == korvoEnums::FlashPacketBadCrc
            || header.dataOrCommand == korvoEnums::FlashPacketTimeout;
        if (answer)
            figures.roundTripsUs.push_back(microseconds(sent, answered));
        if (header.dataOrCommand == korvoEnums::FlashPacketVerify) {
            if (++number == packets) {
                figures.ok = true;
                figures.totalMs = microseconds(start, answered) / 1000.0;
                break;
            }
        } else if (header.dataOrCommand == korvoEnums::FlashPacketBadCrc
                   || header.dataOrCommand == korvoEnums::FlashPacketTimeout) {
            number = header.parameter;
        } else {
            continue; // heartbeat and the like
        }
        sent = Clock::now();
        figures.gapsUs.push_back(microseconds(answered, sent));
        sendPacket(fd, image, number);
    }
    figures.packets = int(packets);
    ::close(fd);
    return figures;
}

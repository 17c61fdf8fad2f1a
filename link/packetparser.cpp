#include "packetparser.h"

#include "korvoenums.h"
#include "tools.h"

#include <array>
#include <cstring>

namespace {

// The magic's wire bytes, matched one by one while hunting for a header.
constexpr std::array<unsigned char, 4> magicBytes{0x00, 0x01, 0x22, 0x77};

} // namespace

void PacketParser::reset()
{
    rx.collecting = false;
    rx.byteCounter = 0;
    rx.data.clear();
}

int PacketParser::parseByte(unsigned char byte)
{
    usbMessageHeaderStruct& header = rx.header;

    if (rx.collecting) {
        rx.data.append(char(byte));
        ++rx.byteCounter;
        if (rx.byteCounter < header.dataSize)
            return korvoEnums::PacketRx_InProgress;
        rx.byteCounter = 0;
        rx.collecting = false;
        if (header.dataCrc != Tools::calcCrc(rx.data.constData(), header.dataSize)) {
            rx.data.clear();
            return korvoEnums::PacketRx_BadDataCrc;
        }
        return korvoEnums::PacketRx_Success;
    }

    huntHeaderByte(byte);
    if (rx.byteCounter < quint32(usbHeaderSize))
        return korvoEnums::PacketRx_InProgress;

    rx.byteCounter = 0;
    if (header.headerCrc != Tools::calcCrc(&header, usbHeaderCrcSpan)) {
        // Line noise that held the magic: a real header may begin inside
        // these bytes, so they are hunted again from the second one on.
        // Fewer than a header, they cannot complete one here.
        std::array<unsigned char, usbHeaderSize> taken{};
        std::memcpy(taken.data(), &header, taken.size());
        for (auto at = taken.cbegin() + 1; at != taken.cend(); ++at)
            huntHeaderByte(*at);
        return korvoEnums::PacketRx_BadHeaderCrc;
    }
    if (header.action == korvoEnums::CommandMessage)
        return korvoEnums::PacketRx_Success;
    if (header.action == korvoEnums::FlashData) {
        if (header.dataSize == 0 || header.dataSize > maxDataBlockSize)
            return korvoEnums::PacketRx_BadSize;
        rx.collecting = true;
        rx.data.clear();
        rx.data.reserve(int(header.dataSize));
        return korvoEnums::PacketRx_SuccessDataHeader;
    }
    return korvoEnums::PacketRx_UnknownCanId;
}

void PacketParser::huntHeaderByte(unsigned char byte)
{
    const quint32 n = rx.byteCounter;
    if (n < magicBytes.size() && byte != magicBytes[n]) {
        // The byte that breaks a partial magic may begin the next one; the
        // magic's only overlap with itself is its leading 00.
        rx.byteCounter = 0;
        if (byte != magicBytes[0])
            return;
    }
    reinterpret_cast<unsigned char*>(&rx.header)[rx.byteCounter] = byte;
    ++rx.byteCounter;
}

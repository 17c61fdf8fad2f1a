// Fuzz target: arbitrary bytes through the link's receive parser, one at a
// time as the link feeds it, under ASan and UBSan. Whatever the parser
// delivers must be a packet the link may act on: a header whose checksum
// holds, and for a data message a block of the announced size, within the
// bound, whose checksum holds too.
//
// Input (as the seeds were recorded): the stream at the front; from the end
// one byte once choosing an image (unused), one byte of flags, then one byte
// per read (its size less one).

#include "fuzzinput.h"
#include "korvoenums.h"
#include "packetparser.h"
#include "tools.h"

#include <cstring>

namespace {

// Flag: give every header and block in the stream matching checksums, so
// that mutations of their fields get past the checks.
constexpr uint8_t repairChecksumsFlag = 0x01;

void repairChecksums(QByteArray& stream)
{
    static const QByteArray magic("\x00\x01\x22\x77", 4);
    int at = stream.indexOf(magic);
    while (at >= 0 && at + usbHeaderSize <= stream.size()) {
        usbMessageHeaderStruct header{};
        std::memcpy(&header, stream.constData() + at, usbHeaderSize);
        int next = at + usbHeaderSize;
        if (header.action == korvoEnums::FlashData
            && header.dataSize <= quint32(stream.size() - next)) {
            header.dataCrc = Tools::calcCrc(stream.constData() + next, header.dataSize);
            next += int(quint32(header.dataSize));
        }
        header.headerCrc = Tools::calcCrc(&header, usbHeaderCrcSpan);
        std::memcpy(stream.data() + at, &header, usbHeaderSize);
        at = stream.indexOf(magic, next);
    }
}

void checkDelivered(const PacketParser& parser, int status)
{
    const usbMessageHeaderStruct& header = parser.header();
    FUZZ_CHECK(header.headerCrc == Tools::calcCrc(&header, usbHeaderCrcSpan),
               "status %d for a header with a wrong checksum", status);
    const bool data = header.action == korvoEnums::FlashData;
    FUZZ_CHECK(data
                   || (status == korvoEnums::PacketRx_Success
                       && header.action == korvoEnums::CommandMessage),
               "status %d for action %u", status, uint(header.action));
    if (!data)
        return;
    FUZZ_CHECK(header.dataSize > 0u && header.dataSize <= PacketParser::maxDataBlockSize,
               "status %d for a block of %u bytes", status, uint(header.dataSize));
    if (status != korvoEnums::PacketRx_Success)
        return;
    const QByteArray& block = parser.data();
    FUZZ_CHECK(quint32(block.size()) == header.dataSize, "block of %d bytes, %u announced",
               int(block.size()), uint(header.dataSize));
    FUZZ_CHECK(header.dataCrc == Tools::calcCrc(block.constData(), header.dataSize),
               "a block with a wrong checksum delivered");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size);
    input.takeSetting();
    const uint8_t flags = input.takeSetting();
    QByteArray stream;
    while (!input.atEnd())
        stream += input.takeBytes(size_t(input.takeSetting()) + 1);
    if (flags & repairChecksumsFlag)
        repairChecksums(stream);

    PacketParser parser;
    for (const char byte : qAsConst(stream)) {
        const int status = parser.parseByte(static_cast<unsigned char>(byte));
        if (status == korvoEnums::PacketRx_Success
            || status == korvoEnums::PacketRx_SuccessDataHeader)
            checkDelivered(parser, status);
        if (status == korvoEnums::PacketRx_Success)
            parser.clearData(); // as the link does once it handled the packet
        FUZZ_CHECK(quint32(parser.state().data.capacity()) <= PacketParser::maxDataBlockSize,
                   "receive buffer of %d bytes", int(parser.state().data.capacity()));
    }
    return 0;
}

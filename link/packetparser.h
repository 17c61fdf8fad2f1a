#pragma once

#include "packets.h"

#include <QByteArray>

// Receive state of the byte parser.
struct usbRxStruct
{
    bool collecting = false; // a data block is being collected
    quint32 byteCounter = 0; // header bytes so far, or data bytes so far while collecting
    usbMessageHeaderStruct header{}; // the header being received / of the last packet
    QByteArray data; // the data block of the current packet
};

// The receive path's byte parser on its own: bytes in, one at a time, and for
// each a korvoEnums::PacketParseStatus out; a complete packet's header and
// data block stay readable until the next byte. Keeps its state between
// reads, so a packet split by the operating system is put together. No port,
// no signals: the link feeds it, tests and fuzz targets feed it directly.
class PacketParser
{
public:
    // Data headers announcing a longer block are refused: the largest block a
    // device sends is a few kilobytes, and an unbounded one would let a
    // corrupted header swallow the following packets and memory.
    static constexpr quint32 maxDataBlockSize = 65536;

    // A korvoEnums::PacketParseStatus value: PacketRx_Success when `byte`
    // completed a valid packet (header() and data() hold it).
    int parseByte(unsigned char byte);

    const usbRxStruct& state() const { return rx; }
    const usbMessageHeaderStruct& header() const { return rx.header; }
    const QByteArray& data() const { return rx.data; }
    // After a packet was handled: its block is not kept.
    void clearData() { rx.data.clear(); }
    // Back to hunting for a header, dropping what was partly received.
    void reset();

private:
    // One byte of the hunt for a header: matched against the magic, then
    // stored until the header is whole.
    void huntHeaderByte(unsigned char byte);

    usbRxStruct rx;
};

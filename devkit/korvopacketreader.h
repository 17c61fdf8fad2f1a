#pragma once

#include "packets.h"

#include <QByteArray>
#include <QList>

// Cuts the byte stream of the Korvo link into packets by the link's framing
// rules: hunt for the magic (a byte that breaks it starts the hunt again,
// as the magic's first byte when it is 00), check headerCrc over bytes 0..19
// (after a mismatch the hunt goes on from the second of those bytes), take no
// data for a command, take dataSize bytes for a data message and check their
// dataCrc. Unlike the tool's receive path, the state survives between feeds,
// so a packet may arrive in any number of pieces. Data messages announcing
// more than maxDataSize bytes are refused like an empty one, so a corrupted
// header cannot make the reader swallow megabytes.
class KorvoPacketReader
{
public:
    static constexpr quint32 maxDataSize = 65536;

    struct Frame
    {
        enum Kind {
            Packet, // a complete, valid packet
            BadHeaderCrc, // 24 header bytes whose headerCrc does not match
            BadSize, // a data header announcing 0 or more than maxDataSize bytes
            UnknownAction, // a valid header whose action is neither 0 nor 1
            BadDataCrc, // a valid data header whose block fails its dataCrc
        };
        Kind kind = Packet;
        usbMessageHeaderStruct header{};
        QByteArray data;
    };

    // Feeds bytes in arrival order; returns every frame they complete.
    QList<Frame> feed(const char* bytes, qsizetype count);
    QList<Frame> feed(const QByteArray& bytes) { return feed(bytes.constData(), bytes.size()); }

    // Forgets any partial packet; the next byte starts a new hunt.
    void reset();

    // True when no partial packet is held.
    bool idle() const { return !collecting && headerCount == 0; }

private:
    usbMessageHeaderStruct header{};
    int headerCount = 0;
    bool collecting = false;
    QByteArray data;
};

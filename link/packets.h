#pragma once

#include <QByteArray>
#include <QtEndian>

#include <cstddef>
#include <type_traits>

// Wire records of the Korvo USB link. Multi-byte fields are stored
// little-endian in memory (quint32_le), so a record's bytes are exactly its
// wire bytes on any host and the receive parser can fill a header in place.

constexpr quint32 usbMagic = 0x77220100; // bytes 00 01 22 77 on the wire
constexpr int usbHeaderSize = 24;
constexpr int usbHeaderCrcSpan = 20; // headerCrc covers bytes 0..19

struct usbMessageHeaderStruct
{
    quint32_le magic;
    quint8 action;
    quint8 dataOrCommand;
    quint8 status;
    quint8 reserved;
    quint32_le parameter;
    quint32_le dataSize;
    quint32_le dataCrc;
    quint32_le headerCrc;
};

static_assert(sizeof(usbMessageHeaderStruct) == usbHeaderSize);
static_assert(std::is_standard_layout_v<usbMessageHeaderStruct>);
static_assert(std::is_trivially_copyable_v<usbMessageHeaderStruct>);
static_assert(offsetof(usbMessageHeaderStruct, action) == 4);
static_assert(offsetof(usbMessageHeaderStruct, dataOrCommand) == 5);
static_assert(offsetof(usbMessageHeaderStruct, status) == 6);
static_assert(offsetof(usbMessageHeaderStruct, reserved) == 7);
static_assert(offsetof(usbMessageHeaderStruct, parameter) == 8);
static_assert(offsetof(usbMessageHeaderStruct, dataSize) == 12);
static_assert(offsetof(usbMessageHeaderStruct, dataCrc) == 16);
static_assert(offsetof(usbMessageHeaderStruct, headerCrc) == 20);

// The record a device sends in the first 20 bytes of an MpxPacketData block.
struct mpxPacketStruct
{
    quint8 byte0;
    quint8 length; // payload length + 2
    quint8 byte2;
    quint8 id;
    quint8 payload[16];
};

static_assert(sizeof(mpxPacketStruct) == 20);
static_assert(std::is_trivially_copyable_v<mpxPacketStruct>);
static_assert(offsetof(mpxPacketStruct, id) == 3);
static_assert(offsetof(mpxPacketStruct, payload) == 4);

// Header of a message on the devices' CAN bus. The flasher never sends or
// receives it; Tools::printCanHeader only describes one for diagnostics.
struct canBusMessageHeaderStruct
{
    quint32_le leadingWord;
    quint8 action;
    quint8 dataOrCommand;
    quint8 senderModelId;
    quint8 receiverModelId;
    quint32_le receiverSerial;
    quint32_le senderSerial;
    quint32_le parameter;
    quint8 parameter1;
};

static_assert(std::is_standard_layout_v<canBusMessageHeaderStruct>);
static_assert(offsetof(canBusMessageHeaderStruct, action) == 4);
static_assert(offsetof(canBusMessageHeaderStruct, receiverModelId) == 7);
static_assert(offsetof(canBusMessageHeaderStruct, receiverSerial) == 8);
static_assert(offsetof(canBusMessageHeaderStruct, senderSerial) == 12);
static_assert(offsetof(canBusMessageHeaderStruct, parameter) == 16);
static_assert(offsetof(canBusMessageHeaderStruct, parameter1) == 20);

// The one packet builder of the link, used for commands and data messages
// alike: fills the header, takes dataSize/dataCrc from the block (0/0 when
// there is none) and computes headerCrc last. `reserved` is always 0.
usbMessageHeaderStruct makePacketHeader(quint8 action, quint8 dataOrCommand, quint8 status,
                                        quint32 parameter, const char* data = nullptr,
                                        quint32 dataSize = 0);

// The header's 24 wire bytes.
QByteArray headerBytes(const usbMessageHeaderStruct& header);

// True when the header carries the magic and a matching headerCrc.
bool headerIsValid(const usbMessageHeaderStruct& header);

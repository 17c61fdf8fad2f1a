#pragma once

#include "korvoenums.h"
#include "packets.h"
#include "tools.h"

#include <QByteArray>
#include <QList>
#include <QtEndian>

#include <cstring>

// Wire bytes of the packets a device sends, for the link's tests.
namespace LinkPackets {

// A header with every field given; only headerCrc is computed.
inline QByteArray header(quint8 action, quint8 dataOrCommand, quint8 status, quint32 parameter,
                         quint32 dataSize = 0, quint32 dataCrc = 0)
{
    usbMessageHeaderStruct h{};
    h.magic = usbMagic;
    h.action = action;
    h.dataOrCommand = dataOrCommand;
    h.status = status;
    h.parameter = parameter;
    h.dataSize = dataSize;
    h.dataCrc = dataCrc;
    h.headerCrc = Tools::calcCrc(&h, usbHeaderCrcSpan);
    return headerBytes(h);
}

inline QByteArray command(quint8 command, quint8 status, quint32 parameter = 0)
{
    return headerBytes(makePacketHeader(korvoEnums::CommandMessage, command, status, parameter));
}

inline QByteArray data(quint8 type, quint8 status, quint32 parameter, const QByteArray& block)
{
    return headerBytes(makePacketHeader(korvoEnums::FlashData, type, status, parameter,
                                        block.constData(), quint32(block.size())))
        + block;
}

// Four characters as a `parameter` carries them, the first in the low byte.
inline quint32 versionParameter(const char (&chars)[5])
{
    return qFromLittleEndian<quint32>(chars);
}

// The headers in a byte stream the tool wrote (it writes commands only).
inline QList<usbMessageHeaderStruct> headersIn(const QByteArray& bytes)
{
    QList<usbMessageHeaderStruct> headers;
    for (int at = 0; at + usbHeaderSize <= bytes.size(); at += usbHeaderSize) {
        usbMessageHeaderStruct h{};
        std::memcpy(&h, bytes.constData() + at, usbHeaderSize);
        headers.append(h);
    }
    return headers;
}

} // namespace LinkPackets

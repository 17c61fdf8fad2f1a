#include "packets.h"

#include "tools.h"

#include <cstring>

usbMessageHeaderStruct makePacketHeader(quint8 action, quint8 dataOrCommand, quint8 status,
                                        quint32 parameter, const char* data, quint32 dataSize)
{
    usbMessageHeaderStruct header{};
    header.magic = usbMagic;
    header.action = action;
    header.dataOrCommand = dataOrCommand;
    header.status = status;
    header.reserved = 0;
    header.parameter = parameter;
    if (data != nullptr && dataSize > 0) {
        header.dataSize = dataSize;
        header.dataCrc = Tools::calcCrc(data, dataSize);
    }
    header.headerCrc = Tools::calcCrc(&header, usbHeaderCrcSpan);
    return header;
}

QByteArray headerBytes(const usbMessageHeaderStruct& header)
{
    return QByteArray(reinterpret_cast<const char*>(&header), usbHeaderSize);
}

bool headerIsValid(const usbMessageHeaderStruct& header)
{
    return header.magic == usbMagic
        && header.headerCrc == Tools::calcCrc(&header, usbHeaderCrcSpan);
}

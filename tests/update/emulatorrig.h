#pragma once

#include "korvoemulator.h"
#include "korvoenums.h"
#include "usb_stmflasher.h"

#include <QList>

// The emulated boot loader's flash-data packets, in arrival order.
inline QList<usbMessageHeaderStruct> flashPacketHeaders(const KorvoEmulator& emulator)
{
    QList<usbMessageHeaderStruct> result;
    for (const KorvoEmulator::ReceivedPacket& packet : emulator.packetLog())
        if (packet.header.action == korvoEnums::FlashData
            && packet.header.dataOrCommand == korvoEnums::FlashDataPacket)
            result.append(packet.header);
    return result;
}

inline int commandCount(const KorvoEmulator& emulator, quint8 command)
{
    int count = 0;
    for (const KorvoEmulator::ReceivedPacket& packet : emulator.packetLog())
        if (packet.header.action == korvoEnums::CommandMessage
            && packet.header.dataOrCommand == command)
            ++count;
    return count;
}

// Settings of an emulated device that starts in its boot loader, ready to flash.
inline KorvoEmulatorSettings bootLoaderSettings()
{
    KorvoEmulatorSettings settings;
    settings.startInBootLoader = true;
    return settings;
}

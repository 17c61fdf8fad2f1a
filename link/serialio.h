#pragma once

#include "packets.h"

#include <QByteArray>
#include <QSerialPort>

#include <chrono>

// What goes through the device's serial port, decided in one place for the
// link and the engine: how a packet is written, and what a port error means.
namespace SerialIo {

// Longest wait for earlier output before a packet's header, and after it.
constexpr std::chrono::milliseconds drainTimeout{100};

// Writes one packet, for commands (sendToKorvo) and flash data packets
// (flash2usb) alike: the header as one write, its data block, if any, as a
// second; each handed to the port at once (flush neither waits nor reads),
// with a wait of at most drainTimeout for earlier output before the header
// and after it. Writes nothing and returns false when the port is closed,
// also when a wait's port error closed it on the way.
bool writePacket(QSerialPort* port, const usbMessageHeaderStruct& header,
                 const QByteArray& data = QByteArray());

enum class ErrorMeaning {
    None, // NoError
    // UnsupportedOperationError: the port has no modem-control lines (a
    // pseudo-terminal refuses DTR); nothing is wrong with it.
    NoModemLines,
    // TimeoutError: a drain wait ran out; it says nothing about the device.
    DrainTimedOut,
    PortGone, // anything else: the port is no longer usable
};

ErrorMeaning meaningOf(QSerialPort::SerialPortError error);

} // namespace SerialIo

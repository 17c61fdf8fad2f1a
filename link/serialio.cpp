#include "serialio.h"

namespace {

void drain(QSerialPort* port)
{
    // Only when output is queued: with an empty queue but a write not yet
    // announced by bytesWritten, QSerialPort on Unix waits out the whole time
    // for incoming data and reports a TimeoutError. A wait that meets
    // incoming data delivers it behind the event loop's back; when the loop
    // then acts on its earlier note that the port was readable, QSerialPort
    // reads nothing and reports a ReadError, which would close a healthy port.
    if (port->bytesToWrite() > 0)
        port->waitForBytesWritten(int(SerialIo::drainTimeout.count()));
}

} // namespace

bool SerialIo::writePacket(QSerialPort* port, const usbMessageHeaderStruct& header,
                           const QByteArray& data)
{
    // Output still pending (a flash data packet) goes out before the header.
    drain(port);
    if (!port->isOpen())
        return false;
    port->write(headerBytes(header));
    port->flush();
    drain(port);
    if (!data.isEmpty() && port->isOpen()) {
        port->write(data);
        port->flush();
    }
    return port->isOpen();
}

SerialIo::ErrorMeaning SerialIo::meaningOf(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::NoError:
        return ErrorMeaning::None;
    case QSerialPort::UnsupportedOperationError:
        return ErrorMeaning::NoModemLines;
    case QSerialPort::TimeoutError:
        return ErrorMeaning::DrainTimedOut;
    default:
        return ErrorMeaning::PortGone;
    }
}

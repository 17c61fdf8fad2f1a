#pragma once

#include "korvoenums.h"
#include "korvopacketreader.h"
#include "serialportenvironment.h"
#include "tools.h"

#include <QObject>
#include <QtEndian>

#include <functional>

class QSocketNotifier;

// Wire bytes of the packets a device sends.
namespace LinkPackets {

// A header with every field given; headerCrc is computed.
inline QByteArray header(quint8 action, quint8 dataOrCommand, quint8 status, quint32 parameter,
                         quint32 dataSize = 0)
{
    usbMessageHeaderStruct h = makePacketHeader(action, dataOrCommand, status, parameter);
    h.dataSize = dataSize;
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

} // namespace LinkPackets

// A device port played by the test itself on a real pseudo-terminal, for
// exchanges that need exact control: the test writes what the device sends
// and sees, framed, every packet the tool wrote. The port is listed in the
// serial-port environment until it is unplugged. It lives on the test's
// thread and reads while the event loop runs; its record is read there too.
class DevicePty : public QObject, public SerialPortProvider
{
    Q_OBJECT

public:
    using Frame = KorvoPacketReader::Frame;

    explicit DevicePty(quint16 productId, const QString& portName = QStringLiteral("ttyKORVO0"),
                       const QString& busDescription = QStringLiteral("Korvo 7"));
    ~DevicePty() override { unplug(); }

    bool send(const QByteArray& bytes);
    void sendCommand(quint8 command, quint8 status, quint32 parameter = 0)
    {
        send(LinkPackets::command(command, status, parameter));
    }
    // Takes in what the tool has written so far.
    void collect();
    // Closes the master side for good: the tool's end fails, the port is unlisted.
    void unplug();

    QList<Frame> received; // every packet the tool wrote, in order
    QList<Frame> commands(quint8 command) const;
    std::function<void(const Frame&)> onPacket; // the device's answers, if any

    SerialPortRecord record; // as listed; tests may change it
    BusDescriptionRecord bus;
    QList<SerialPortRecord> ports() const override { return {record}; }
    QList<BusDescriptionRecord> busDescriptions() const override { return {bus}; }

private:
    int master = -1;
    QSocketNotifier* notifier = nullptr;
    KorvoPacketReader reader;
};

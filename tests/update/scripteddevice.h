#pragma once

#include "packets.h"
#include "serialportenvironment.h"

#include <QByteArray>
#include <QList>
#include <QObject>

#include <functional>

class QSocketNotifier;

// A boot loader played by the test itself on a real pseudo-terminal, for
// exchanges the emulator does not offer (ReadyToFlash in mid-run, answers
// with a low status, resends of earlier packets). It lives on the test's
// thread: it reads what the tool writes when the event loop runs, and by
// default behaves like a good boot loader (status 2; PrepareToFlash ->
// ReadyToFlash with status 4; each expected packet stored and verified).
// `onPacket` replaces the answer to a packet; `answerByDefault` gives it back.
class ScriptedDevice : public QObject, public SerialPortProvider
{
    Q_OBJECT

public:
    struct Packet
    {
        usbMessageHeaderStruct header{};
        QByteArray data;
    };

    ScriptedDevice();
    ~ScriptedDevice() override;

    // Opens the pseudo-terminal and publishes it as a boot-loader port.
    bool open();
    // Closes the master side for good: the tool sees the device vanish.
    void unplug();

    void sendCommand(quint8 command, quint8 status, quint32 parameter);
    void answerByDefault(const Packet& packet);

    std::function<void(const Packet&)> onPacket;
    QList<Packet> received;
    QList<Packet> flashPackets() const;
    QByteArray image; // as assembled from the flash packets
    quint8 bootStatus = 2;
    quint32 expectedPacket = 0; // the packet the default answer stores next

    QList<SerialPortRecord> ports() const override;
    QList<BusDescriptionRecord> busDescriptions() const override;

signals:
    void packetReceived();

private:
    void readMaster();
    void feed(char byte);

    int master = -1;
    QString slavePath;
    QSocketNotifier* notifier = nullptr;
    usbMessageHeaderStruct header{};
    int headerCount = 0;
    bool collecting = false;
    QByteArray data;
};

#pragma once

#include "packets.h"
#include "serialportenvironment.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class QThread;
class KorvoDevice;

// Everything one emulated device can be told: who it is, how fast it is, and
// which faults it plays. The defaults make a plain run fast; realistic()
// models a real instrument for benchmarks. Settings may be changed at any
// time (thread-safe); the device reads them whenever it needs one, so a
// change applies from the next event it affects.
struct KorvoEmulatorSettings
{
    // Identity, as the port listing and the device's messages show it.
    QString portName = QStringLiteral("ttyKORVO0");
    QString deviceName = QStringLiteral("Korvo 7"); // the USB product string (bus description)
    QByteArray firmwareVersion = QByteArrayLiteral("0105"); // four ASCII characters at start()
    QString serialNumber = QStringLiteral("KRV7-000123");
    // The USB serial the boot loader's port reports, when it is not the
    // application firmware's: nothing in the link protocol ties the two (an
    // empty text: the boot loader reports none).
    std::optional<QString> bootLoaderSerialNumber;
    QString description = QStringLiteral("STM32 Virtual ComPort");
    QString manufacturer = QStringLiteral("STMicroelectronics");
    quint8 boardVersion = 7;
    char boardRevision = 'C';
    quint8 bootLoaderVersion = 2;
    bool startInBootLoader = false;
    // When set, a symbolic link at this path always points at the current
    // pty and is gone while the device has no port, as a udev rule names a
    // real device: a tool told this path finds the device again after its
    // reboot into a new pty.
    QString symlinkPath;

    // Timing.
    std::chrono::milliseconds heartbeatPeriod{1000}; // KeepOnline heartbeat; 0 turns it off
    std::chrono::milliseconds rebootDelay{300}; // port gone until the new port appears
    std::chrono::milliseconds finalAckGrace{50}; // last acknowledgement until the port closes
    // A boot loader that resets the moment its last answer is written: no
    // grace, so a tool may find the port gone before it reads that answer.
    bool resetRightAfterLastAnswer = false;
    std::chrono::milliseconds eraseDelay{10}; // PrepareToFlash with a size until ReadyToFlash
    std::chrono::milliseconds packetTimeout{1000}; // silence before FlashPacketTimeout
    int packetTimeoutLimit = 3; // timeouts in a row before the run ends with Error_Timeout
    quint32 flashSize = 16 * 1024 * 1024; // larger images are refused with Error_BadFirmware

    // Faults. A per-packet fault fires on the first arrival of that packet
    // number, when it is the packet the device waits for, once per flashing run.
    std::chrono::milliseconds programmingDelay{0}; // per flash packet, before its answer
    quint32 linkBytesPerSecond = 0; // each direction; 0 means no limit
    QList<int> outputChunkSizes; // output written in pieces of these sizes, cycled
    int randomChunkMax = 0; // > 0: pieces of random size 1..randomChunkMax
    quint32 randomSeed = 1; // seed of the random pieces, for repeatable runs
    std::chrono::milliseconds chunkGap{2}; // pause between pieces, so each is a read of its own
    QByteArray garbageBetweenPackets; // written after every packet the device sends
    std::optional<quint32> corruptPacket; // treated as damaged: FlashPacketBadCrc
    std::optional<quint32> dropAckOfPacket; // stored, but its FlashPacketVerify is not sent
    std::optional<quint32> corruptAckOfPacket; // stored, its FlashPacketVerify damaged on the wire
    std::optional<quint32> errorAtPacket; // answered with ErrorMessage(errorCode); run ends
    quint8 errorCode = 0; // an ErrorCodes value (0 Error_BadFirmware)
    std::optional<quint32> silentFromPacket; // from this packet on the device says nothing
    std::optional<quint32> unplugAtPacket; // the port closes for good at this packet

    // A real instrument: 16 ms to program a packet, a 1 MB/s link, 400 ms to erase.
    static KorvoEmulatorSettings realistic();
};

// An emulated Korvo device on a pseudo-terminal. It owns the master side and
// publishes the slave as a serial port (e.g. ttyKORVO0) through the process's
// serial-port environment, with the USB identifiers of the application
// firmware (0483:0011) or the boot loader (0483:000D). It speaks the link
// protocol on its own thread, so a tool blocking its thread for a while
// never stalls it: heartbeat, answers to KeepOnline, reboot into the boot
// loader, the flashing exchange and the reboot into the new firmware.
// Everything it received is kept for tests to compare. All public functions
// are thread-safe; start() and stop() belong to the thread that owns it.
class KorvoEmulator : public QObject, public SerialPortProvider
{
    Q_OBJECT

public:
    enum class Mode {
        Stopped, // start() not called, or stop() called
        ApplicationFirmware, // status 1, product id 0x0011
        BootLoader, // status 2, or 4 while taking an image; product id 0x000D
        Rebooting, // no port for rebootDelay
        Unplugged, // the port closed for good (fault)
    };
    Q_ENUM(Mode)

    // What the device made of a packet it received.
    enum class Verdict {
        Handled, // a command it acted on
        Ignored, // a command it has no use for, or a packet outside a flashing run
        Stored, // a flash packet written and acknowledged
        StoredAckDropped, // written, acknowledgement withheld (fault)
        StoredAckCorrupted, // written, acknowledgement sent with a wrong headerCrc (fault)
        BadDataCrc, // dataCrc did not match: resend requested
        WrongNumber, // not the packet wanted: resend requested
        WrongSize, // wrong payload size for its number: resend requested
        CorruptedOnPurpose, // treated as damaged (fault): resend requested
        ErrorReported, // answered with ErrorMessage (fault)
        Silenced, // the device went silent here (fault)
        Unplugged, // the device unplugged here (fault)
    };
    Q_ENUM(Verdict)

    struct ReceivedPacket
    {
        usbMessageHeaderStruct header{};
        Verdict verdict = Verdict::Ignored;
    };

    struct ResendRequest
    {
        quint8 command = 0; // FlashPacketBadCrc or FlashPacketTimeout
        quint32 packet = 0; // the packet wanted
    };

    static constexpr quint16 vendorId = 0x0483;
    static constexpr quint16 applicationProductId = 0x0011;
    static constexpr quint16 bootLoaderProductId = 0x000D;

    explicit KorvoEmulator(const KorvoEmulatorSettings& settings = {}, QObject* parent = nullptr);
    ~KorvoEmulator() override;

    KorvoEmulatorSettings settings() const;
    void setSettings(const KorvoEmulatorSettings& settings);

    // Powers the device on and installs it in the serial-port environment;
    // returns when its port is published. False (see errorString()) when no
    // pseudo-terminal could be opened. Records start afresh.
    bool start();
    // Closes the port, joins the device's thread and removes the device from
    // the serial-port environment.
    void stop();
    bool isRunning() const;
    QString errorString() const;

    Mode mode() const;
    quint8 status() const; // 1, 2 or 4 as the device reports it; 0 while it has no port
    QByteArray firmwareVersion() const; // the application firmware's four characters
    QString portName() const;
    QString systemLocation() const; // the pty slave, e.g. /dev/pts/7; empty while no port

    // The image of the latest flashing run, as large as announced by
    // PrepareToFlash; bytes not (yet) received are 0xFF, like erased flash.
    QByteArray receivedImage() const;
    QList<ReceivedPacket> packetLog() const; // every packet since start(), in order
    QList<ResendRequest> resendRequests() const; // in order
    // Every piece of output written to the port since start(), in order and
    // as written: what a tool on the port received, in at most these reads.
    QList<QByteArray> sentChunks() const;
    int completedRuns() const; // flashing runs that ended in a reboot into the new firmware

    // The line settings the tool gave the port, read on the device's side of
    // the pseudo-terminal whenever the tool's bytes arrive (a pseudo-terminal
    // has no modem-control lines: DTR cannot be seen).
    struct LineSettings
    {
        qint32 baudRate = 0; // 0: a speed outside the usual table
        int dataBits = 0;
        bool parity = false;
        bool twoStopBits = false;
        bool hardwareFlowControl = false; // RTS/CTS
    };
    // Nothing before the tool first wrote.
    std::optional<LineSettings> lineSettings() const;
    void clearRecords();

    // SerialPortProvider: the published port, nothing while there is none.
    QList<SerialPortRecord> ports() const override;
    QList<BusDescriptionRecord> busDescriptions() const override;

signals:
    // Delivered in the thread that owns the emulator.
    void modeChanged(KorvoEmulator::Mode mode);
    void statusChanged(int status);
    void portPublished(const QString& systemLocation);
    void portWithdrawn();
    void flashingCompleted(const QByteArray& newVersion);

public:
    struct Shared;

private:
    std::shared_ptr<Shared> d;
    QThread* thread = nullptr;
    KorvoDevice* device = nullptr;
    QString lastError;
};

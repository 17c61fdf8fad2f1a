#pragma once

// The emulated device's inside, shared by its two files: the pty transport
// and pacing (korvodevice_port.cpp) and the link protocol with its faults
// (korvodevice_protocol.cpp). KorvoEmulator is its public face.

#include "deadlinetimer.h"
#include "korvoemulator.h"
#include "korvofirmwareimage.h"
#include "korvopacketreader.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>

using std::chrono::milliseconds;

// State shared by the emulator's public face and the device thread.
struct KorvoEmulator::Shared
{
    mutable QMutex mutex;
    KorvoEmulatorSettings settings;
    Mode mode = Mode::Stopped;
    quint8 status = 0;
    QByteArray version;
    QString portName;
    QString systemLocation;
    QString deviceName;
    QString serialNumber;
    QString description;
    QString manufacturer;
    QByteArray image;
    QList<ReceivedPacket> packets;
    QList<ResendRequest> resends;
    QList<QByteArray> sentChunks;
    int completedRuns = 0;
    std::optional<KorvoEmulator::LineSettings> lineSettings;

    KorvoEmulatorSettings currentSettings() const
    {
        QMutexLocker lock(&mutex);
        return settings;
    }
};

// The device itself. Lives on the emulator's thread; everything it does is
// driven by that thread's event loop: the master side's notifiers and the
// timers for heartbeat, erase, programming, silence and reboot.
class KorvoDevice : public QObject
{
public:
    using Mode = KorvoEmulator::Mode;
    using Verdict = KorvoEmulator::Verdict;

    KorvoDevice(std::shared_ptr<KorvoEmulator::Shared> shared, KorvoEmulator* emulator)
        : shared(std::move(shared)), emulator(emulator)
    {}

    ~KorvoDevice() override { closePort(); }

    bool powerOn(QString* error);
    void powerOff();

private:
    struct Scheduled
    {
        qint64 due; // clock nanoseconds
        QByteArray bytes;
    };

    // Port.
    bool openPort(QString* error);
    void closePort();
    void boot(Mode mode);
    void rebootInto(Mode target, milliseconds closeAfter);
    void rebootClose();
    void rebootOpen();
    void unplug();
    void publishLink(const QString& linkPath);
    void withdrawLink();
    void goSilent();
    void readAvailable();
    void probeListener();
    void lostListener();
    void consume(const char* bytes, qsizetype count);

    // Output.
    void send(const usbMessageHeaderStruct& header, const QByteArray& data = {},
              qint64 delayNs = 0);
    void sendCommand(quint8 command, quint32 parameter, qint64 delayNs = 0);
    void releaseScheduled();
    void pumpOutput();
    int nextChunkSize(const KorvoEmulatorSettings& settings);

    // Protocol.
    void handleFrame(const KorvoPacketReader::Frame& frame, qint64 delayNs);
    void handleCommand(const usbMessageHeaderStruct& header, qint64 delayNs);
    void handleFlashPacket(const KorvoPacketReader::Frame& frame, qint64 delayNs);
    // A fault or a packet it cannot take: true when the packet was answered so.
    bool refusedPacket(const KorvoPacketReader::Frame& frame,
                       const KorvoEmulatorSettings& settings, qint64 delayNs);
    void storePacket(const KorvoPacketReader::Frame& frame, const KorvoEmulatorSettings& settings,
                     qint64 delayNs);
    void startRun(quint32 imageSize);
    void sendReadyToFlash();
    void endRun();
    void requestResend(quint8 command, quint32 packet, qint64 delayNs);
    void armPacketWatch(qint64 delayNs);
    void packetSilence();
    void heartbeat();
    quint32 expectedPacketSize(quint32 packet) const;
    void finishRun();

    // Shared state.
    void record(const usbMessageHeaderStruct& header, Verdict verdict);
    void setMode(Mode mode);
    void setStatus(quint8 status);
    template<typename F> void post(F&& f)
    {
        QMetaObject::invokeMethod(emulator, std::forward<F>(f), Qt::QueuedConnection);
    }

    std::shared_ptr<KorvoEmulator::Shared> shared;
    KorvoEmulator* emulator;
    QElapsedTimer clock;

    int masterFd = -1;
    QString slavePath;
    QString linkedPath; // the symbolic link made for the current port, if any
    QSocketNotifier* readNotifier = nullptr;
    QSocketNotifier* writeNotifier = nullptr;
    QTimer* probeTimer = nullptr;
    QTimer* heartbeatTimer = nullptr;
    QTimer* eraseTimer = nullptr;
    QTimer* packetTimer = nullptr;
    QTimer* rebootCloseTimer = nullptr;
    QTimer* rebootOpenTimer = nullptr;
    // The data path's pacing needs sub-millisecond precision.
    DeadlineTimer* scheduleTimer = nullptr;
    DeadlineTimer* pumpTimer = nullptr;
    bool listening = false;
    bool silent = false;
    bool shuttingDown = false; // final acknowledgement sent, reboot pending
    milliseconds rebootDrainWaited{0};
    bool drainedBeforeReboot = false; // output was waited for; the grace starts anew
    Mode mode = Mode::Stopped;
    quint8 status = 0;
    Mode rebootTarget = Mode::ApplicationFirmware;

    KorvoPacketReader reader;
    QList<Scheduled> scheduled;
    QByteArray pending;
    qint64 outputFreeAt = 0;
    qint64 inputFreeAt = 0;
    int chunkIndex = 0;
    QRandomGenerator chunkRandom;

    // Flashing run.
    bool flashing = false;
    quint32 imageSize = 0;
    quint32 packetCount = 0;
    quint32 wanted = 0;
    int timeoutsInRow = 0;
    bool corruptFired = false;
    bool dropFired = false;
    bool corruptAckFired = false;
    bool errorFired = false;
};


#include "korvoemulator.h"

#include "deadlinetimer.h"
#include "debugline.h"
#include "korvoenums.h"
#include "korvofirmwareimage.h"
#include "korvopacketreader.h"
#include "tools.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

namespace {

constexpr int headBlockSize = KorvoFirmwareImage::headBlockSize;
constexpr quint32 sliceSize = 4096;
constexpr int dfuInfoSize = 8;
// How often a port nobody has open is checked for a new listener.
constexpr milliseconds listenerProbeInterval{5};
// Output a device cannot get rid of is dropped beyond this, as a USB device
// whose host does not read drops it.
constexpr int maxPendingOutput = 64 * 1024;
constexpr int readBufferSize = 8192;
// Longest a restart waits for output still on its way out.
constexpr milliseconds maxRebootDrainWait{2000};
// How often a restart looks whether that output has left.
constexpr milliseconds rebootDrainPoll{5};

qint64 transferNanoseconds(qint64 bytes, quint32 bytesPerSecond)
{
    return bytesPerSecond == 0 ? 0 : bytes * 1000000000LL / bytesPerSecond;
}

int toTimerMs(qint64 nanoseconds)
{
    return int(qBound<qint64>(0, (nanoseconds + 999999) / 1000000, INT_MAX));
}

QString modeName(KorvoEmulator::Mode mode)
{
    switch (mode) {
    case KorvoEmulator::Mode::Stopped:
        return QStringLiteral("stopped");
    case KorvoEmulator::Mode::ApplicationFirmware:
        return QStringLiteral("application firmware");
    case KorvoEmulator::Mode::BootLoader:
        return QStringLiteral("boot loader");
    case KorvoEmulator::Mode::Rebooting:
        return QStringLiteral("rebooting");
    case KorvoEmulator::Mode::Unplugged:
        return QStringLiteral("unplugged");
    }
    return {};
}

} // namespace

KorvoEmulatorSettings KorvoEmulatorSettings::realistic()
{
    KorvoEmulatorSettings settings;
    settings.programmingDelay = 16ms;
    settings.linkBytesPerSecond = 1000000;
    settings.eraseDelay = 400ms;
    return settings;
}

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

bool KorvoDevice::powerOn(QString* error)
{
    clock.start();
    const auto makeTimer = [this](bool singleShot) {
        auto* timer = new QTimer(this);
        timer->setSingleShot(singleShot);
        timer->setTimerType(Qt::PreciseTimer);
        return timer;
    };
    probeTimer = makeTimer(false);
    probeTimer->setInterval(listenerProbeInterval);
    connect(probeTimer, &QTimer::timeout, this, &KorvoDevice::probeListener);
    heartbeatTimer = makeTimer(false);
    connect(heartbeatTimer, &QTimer::timeout, this, &KorvoDevice::heartbeat);
    eraseTimer = makeTimer(true);
    connect(eraseTimer, &QTimer::timeout, this, &KorvoDevice::sendReadyToFlash);
    packetTimer = makeTimer(true);
    connect(packetTimer, &QTimer::timeout, this, &KorvoDevice::packetSilence);
    rebootCloseTimer = makeTimer(true);
    connect(rebootCloseTimer, &QTimer::timeout, this, &KorvoDevice::rebootClose);
    rebootOpenTimer = makeTimer(true);
    connect(rebootOpenTimer, &QTimer::timeout, this, &KorvoDevice::rebootOpen);
    scheduleTimer = new DeadlineTimer(this);
    connect(scheduleTimer, &DeadlineTimer::timeout, this, &KorvoDevice::releaseScheduled);
    pumpTimer = new DeadlineTimer(this);
    connect(pumpTimer, &DeadlineTimer::timeout, this, &KorvoDevice::pumpOutput);

    const KorvoEmulatorSettings settings = shared->currentSettings();
    if (!openPort(error))
        return false;
    boot(settings.startInBootLoader ? Mode::BootLoader : Mode::ApplicationFirmware);
    return true;
}

void KorvoDevice::powerOff()
{
    closePort();
    setMode(Mode::Stopped);
}

bool KorvoDevice::openPort(QString* error)
{
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        if (error)
            *error = QStringLiteral("openpty: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    // Raw at once, so nothing the tool writes is echoed back or rewritten
    // before it configures the port itself.
    termios attributes{};
    ::tcgetattr(slave, &attributes);
    ::cfmakeraw(&attributes);
    ::tcsetattr(slave, TCSANOW, &attributes);
    char name[128] = {};
    ::ptsname_r(master, name, sizeof name);
    // Our own slave descriptor goes at once: with no one holding the slave,
    // reads on the master fail with EIO, which tells that no tool listens,
    // and closing the master later leaves the tool alone with a dead port.
    ::close(slave);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, ::fcntl(master, F_GETFD) | FD_CLOEXEC);

    masterFd = master;
    slavePath = QString::fromLocal8Bit(name);
    readNotifier = new QSocketNotifier(masterFd, QSocketNotifier::Read, this);
    readNotifier->setEnabled(false);
    connect(readNotifier, &QSocketNotifier::activated, this, &KorvoDevice::readAvailable);
    writeNotifier = new QSocketNotifier(masterFd, QSocketNotifier::Write, this);
    writeNotifier->setEnabled(false);
    connect(writeNotifier, &QSocketNotifier::activated, this, [this] {
        writeNotifier->setEnabled(false);
        pumpOutput();
    });
    listening = false;
    probeTimer->start();

    return true;
}

void KorvoDevice::closePort()
{
    if (masterFd < 0)
        return;
    // Out of the listing first, so no scanner picks up a port about to die.
    {
        QMutexLocker lock(&shared->mutex);
        shared->systemLocation.clear();
    }
    withdrawLink();
    // Notifiers may be in the middle of their own signal: disable, then let
    // the event loop delete them.
    for (QSocketNotifier* notifier : {readNotifier, writeNotifier}) {
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
    readNotifier = writeNotifier = nullptr;
    ::close(masterFd);
    masterFd = -1;
    for (QTimer* timer : {probeTimer, heartbeatTimer, eraseTimer, packetTimer})
        timer->stop();
    scheduleTimer->stop();
    pumpTimer->stop();
    listening = false;
    scheduled.clear();
    pending.clear();
    reader.reset();
    flashing = false;
    setStatus(0);
    post([e = emulator] { emit e->portWithdrawn(); });
}

void KorvoDevice::boot(Mode newMode)
{
    const KorvoEmulatorSettings settings = shared->currentSettings();
    silent = false;
    shuttingDown = false;
    flashing = false;
    outputFreeAt = inputFreeAt = 0;
    chunkIndex = 0;
    chunkRandom.seed(settings.randomSeed);
    setMode(newMode);
    setStatus(newMode == Mode::ApplicationFirmware ? korvoEnums::korvoOnline
                                                   : korvoEnums::korvoBootOnline);
    if (settings.heartbeatPeriod > 0ms)
        heartbeatTimer->start(settings.heartbeatPeriod);
    // Published last, so the listing never shows the port with the
    // identifiers of the mode before.
    const QString location = slavePath;
    {
        QMutexLocker lock(&shared->mutex);
        shared->systemLocation = location;
        shared->portName = settings.portName;
        shared->deviceName = settings.deviceName;
        shared->serialNumber = newMode == Mode::BootLoader && settings.bootLoaderSerialNumber
            ? *settings.bootLoaderSerialNumber
            : settings.serialNumber;
        shared->description = settings.description;
        shared->manufacturer = settings.manufacturer;
    }
    publishLink(settings.symlinkPath);
    debugLine() << "korvo-emulator" << settings.portName << "up in" << modeName(newMode) << "at"
                << location;
    post([e = emulator, location] { emit e->portPublished(location); });
}

void KorvoDevice::rebootInto(Mode target, milliseconds closeAfter)
{
    rebootTarget = target;
    shuttingDown = true;
    rebootDrainWaited = 0ms;
    drainedBeforeReboot = false;
    heartbeatTimer->stop();
    packetTimer->stop();
    eraseTimer->stop();
    rebootCloseTimer->start(closeAfter);
}

void KorvoDevice::rebootClose()
{
    // A device restarts once its last answer has left: output still being
    // paced out (a slow link, pieces with gaps) is waited for.
    // Once it has, the host still gets the whole grace to read it.
    if (listening && (!pending.isEmpty() || !scheduled.isEmpty())
        && rebootDrainWaited < maxRebootDrainWait) {
        rebootDrainWaited += rebootDrainPoll;
        drainedBeforeReboot = true;
        rebootCloseTimer->start(rebootDrainPoll);
        return;
    }
    if (drainedBeforeReboot && !shared->currentSettings().resetRightAfterLastAnswer) {
        drainedBeforeReboot = false;
        rebootCloseTimer->start(shared->currentSettings().finalAckGrace);
        return;
    }
    closePort();
    setMode(Mode::Rebooting);
    rebootOpenTimer->start(shared->currentSettings().rebootDelay);
}

void KorvoDevice::rebootOpen()
{
    QString error;
    if (openPort(&error))
        boot(rebootTarget);
    else
        debugLine() << "korvo-emulator reboot failed:" << error;
}

void KorvoDevice::unplug()
{
    debugLine() << "korvo-emulator unplugged";
    rebootCloseTimer->stop();
    rebootOpenTimer->stop();
    closePort();
    setMode(Mode::Unplugged);
}

void KorvoDevice::publishLink(const QString& linkPath)
{
    if (linkPath.isEmpty())
        return;
    // Never clobber anything but a link of ours (or a stale one).
    const QFileInfo existing(linkPath);
    if (existing.exists() && !existing.isSymLink()) {
        debugLine() << "korvo-emulator: not a symbolic link, left alone:" << linkPath;
        return;
    }
    // Made aside and renamed over the old one, so the path never names a
    // half-made link.
    const QByteArray target = QFile::encodeName(slavePath);
    const QByteArray path = QFile::encodeName(linkPath);
    const QByteArray aside = path + ".new";
    ::unlink(aside.constData());
    if (::symlink(target.constData(), aside.constData()) != 0
        || ::rename(aside.constData(), path.constData()) != 0) {
        debugLine() << "korvo-emulator: cannot link" << linkPath << strerror(errno);
        ::unlink(aside.constData());
        return;
    }
    linkedPath = linkPath;
}

void KorvoDevice::withdrawLink()
{
    if (linkedPath.isEmpty())
        return;
    ::unlink(QFile::encodeName(linkedPath).constData());
    linkedPath.clear();
}

void KorvoDevice::goSilent()
{
    debugLine() << "korvo-emulator goes silent";
    silent = true;
    scheduled.clear();
    pending.clear();
    for (QTimer* timer : {heartbeatTimer, eraseTimer, packetTimer})
        timer->stop();
    scheduleTimer->stop();
    pumpTimer->stop();
}

void KorvoDevice::readAvailable()
{
    char buffer[readBufferSize];
    while (masterFd >= 0) {
        const ssize_t n = ::read(masterFd, buffer, sizeof buffer);
        if (n > 0) {
            consume(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        lostListener(); // EIO (or end of file): the last holder of the slave closed it
        return;
    }
}

void KorvoDevice::probeListener()
{
    if (masterFd < 0)
        return;
    char buffer[readBufferSize];
    const ssize_t n = ::read(masterFd, buffer, sizeof buffer);
    if (n <= 0 && !(n < 0 && errno == EAGAIN))
        return; // EIO: still nobody holds the slave
    listening = true;
    probeTimer->stop();
    readNotifier->setEnabled(true);
    if (n > 0)
        consume(buffer, n);
    readAvailable();
}

void KorvoDevice::lostListener()
{
    listening = false;
    readNotifier->setEnabled(false);
    writeNotifier->setEnabled(false);
    pending.clear();
    reader.reset();
    probeTimer->start();
}

void KorvoDevice::consume(const char* bytes, qsizetype count)
{
    if (silent)
        return;
    const KorvoEmulatorSettings settings = shared->currentSettings();
    // The bytes took this long to cross the link; answers wait for them.
    const qint64 now = clock.nsecsElapsed();
    inputFreeAt = qMax(inputFreeAt, now) + transferNanoseconds(count, settings.linkBytesPerSecond);
    const qint64 delayNs = inputFreeAt - now;
    const QList<KorvoPacketReader::Frame> frames = reader.feed(bytes, count);
    for (const KorvoPacketReader::Frame& frame : frames) {
        if (masterFd < 0 || silent || shuttingDown)
            break;
        handleFrame(frame, delayNs);
    }
}

void KorvoDevice::send(const usbMessageHeaderStruct& header, const QByteArray& data, qint64 delayNs)
{
    if (silent || masterFd < 0)
        return;
    const qint64 due = clock.nsecsElapsed() + delayNs;
    auto at = scheduled.end();
    while (at != scheduled.begin() && (at - 1)->due > due)
        --at;
    scheduled.insert(at, {due, headerBytes(header) + data});
    releaseScheduled();
}

void KorvoDevice::sendCommand(quint8 command, quint32 parameter, qint64 delayNs)
{
    send(makePacketHeader(korvoEnums::CommandMessage, command, status, parameter), {}, delayNs);
}

void KorvoDevice::releaseScheduled()
{
    const KorvoEmulatorSettings settings = shared->currentSettings();
    const qint64 now = clock.nsecsElapsed();
    while (!scheduled.isEmpty() && scheduled.first().due <= now) {
        const QByteArray bytes = scheduled.takeFirst().bytes;
        // A device cannot send while no host reads its port.
        if (!listening || pending.size() + bytes.size() > maxPendingOutput)
            continue;
        pending += bytes;
        pending += settings.garbageBetweenPackets;
    }
    if (!scheduled.isEmpty())
        scheduleTimer->start(scheduled.first().due - now);
    pumpOutput();
}

int KorvoDevice::nextChunkSize(const KorvoEmulatorSettings& settings)
{
    if (settings.randomChunkMax > 0)
        return int(chunkRandom.bounded(quint32(settings.randomChunkMax))) + 1;
    if (!settings.outputChunkSizes.isEmpty()) {
        const int size
            = settings.outputChunkSizes.at(chunkIndex % settings.outputChunkSizes.size());
        ++chunkIndex;
        return qMax(size, 1);
    }
    return int(pending.size());
}

void KorvoDevice::pumpOutput()
{
    if (masterFd < 0 || silent)
        return;
    const KorvoEmulatorSettings settings = shared->currentSettings();
    const bool chunked = settings.randomChunkMax > 0 || !settings.outputChunkSizes.isEmpty();
    while (!pending.isEmpty()) {
        if (!listening) {
            pending.clear();
            return;
        }
        const qint64 now = clock.nsecsElapsed();
        if (outputFreeAt > now) {
            if (!pumpTimer->isActive())
                pumpTimer->start(outputFreeAt - now);
            return;
        }
        const int size = qMin(nextChunkSize(settings), int(pending.size()));
        const ssize_t written = ::write(masterFd, pending.constData(), size_t(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                writeNotifier->setEnabled(true); // the tool is not reading; wait for room
                return;
            }
            lostListener();
            return;
        }
        {
            QMutexLocker lock(&shared->mutex);
            shared->sentChunks.append(pending.left(int(written)));
        }
        pending.remove(0, int(written));
        qint64 next = now + transferNanoseconds(written, settings.linkBytesPerSecond);
        if (chunked)
            next = qMax(next, now + nanoseconds(settings.chunkGap).count());
        outputFreeAt = next;
    }
}

void KorvoDevice::handleFrame(const KorvoPacketReader::Frame& frame, qint64 delayNs)
{
    const usbMessageHeaderStruct& header = frame.header;
    switch (frame.kind) {
    case KorvoPacketReader::Frame::Packet:
        if (header.action == korvoEnums::CommandMessage)
            handleCommand(header, delayNs);
        else if (header.dataOrCommand == korvoEnums::FlashDataPacket)
            handleFlashPacket(frame, delayNs);
        else
            record(header, Verdict::Ignored);
        return;
    case KorvoPacketReader::Frame::BadDataCrc:
        // The header is sound, only the block is damaged: ask again.
        if (flashing && header.dataOrCommand == korvoEnums::FlashDataPacket) {
            record(header, Verdict::BadDataCrc);
            requestResend(korvoEnums::FlashPacketBadCrc, wanted, delayNs);
        } else {
            record(header, Verdict::Ignored);
        }
        return;
    case KorvoPacketReader::Frame::BadHeaderCrc:
    case KorvoPacketReader::Frame::BadSize:
    case KorvoPacketReader::Frame::UnknownAction:
        // Nothing in such a header can be trusted; the silence watch asks
        // for the packet again if one was meant.
        return;
    }
}

void KorvoDevice::handleCommand(const usbMessageHeaderStruct& header, qint64 delayNs)
{
    const KorvoEmulatorSettings settings = shared->currentSettings();
    switch (header.dataOrCommand) {
    case korvoEnums::KeepOnline: {
        // Only a tool that does not know the device yet (status 0) gets an
        // answer; the tool's KeepOnline answers to the heartbeat get none.
        if (header.status != korvoEnums::korvoOffline) {
            record(header, Verdict::Ignored);
            return;
        }
        record(header, Verdict::Handled);
        QByteArray version;
        {
            QMutexLocker lock(&shared->mutex);
            version = shared->version;
        }
        const quint32 parameter = qFromLittleEndian<quint32>(version.constData());
        sendCommand(korvoEnums::KeepOnline, parameter, delayNs);
        QByteArray info(dfuInfoSize, '\0');
        info.replace(0, version.size(), version);
        info[4] = char(settings.boardVersion);
        info[5] = settings.boardRevision;
        info[7] = char(settings.bootLoaderVersion);
        send(makePacketHeader(korvoEnums::FlashData, korvoEnums::DfuInfo, status, parameter,
                              info.constData(), quint32(info.size())),
             info, delayNs);
        return;
    }
    case korvoEnums::PrepareToFlash: {
        record(header, Verdict::Handled);
        const quint32 size = header.parameter;
        if (mode == Mode::ApplicationFirmware || size == 0) {
            // Any PrepareToFlash restarts the application firmware into its
            // boot loader; a size of 0 restarts the boot loader itself.
            debugLine() << "korvo-emulator restarts into its boot loader";
            rebootInto(Mode::BootLoader,
                       std::chrono::duration_cast<milliseconds>(nanoseconds(delayNs)));
            return;
        }
        if (size <= quint32(headBlockSize) || size > settings.flashSize) {
            debugLine() << "korvo-emulator refuses an image of" << size << "bytes";
            endRun();
            sendCommand(korvoEnums::ErrorMessage, korvoEnums::Error_BadFirmware, delayNs);
            return;
        }
        startRun(size);
        eraseTimer->start(toTimerMs(delayNs + nanoseconds(settings.eraseDelay).count()));
        return;
    }
    default:
        record(header, Verdict::Ignored);
        return;
    }
}

void KorvoDevice::startRun(quint32 size)
{
    debugLine() << "korvo-emulator erases for an image of" << size << "bytes";
    packetTimer->stop();
    flashing = false; // until ReadyToFlash goes out
    imageSize = size;
    packetCount = (size - headBlockSize + sliceSize - 1) / sliceSize;
    wanted = 0;
    timeoutsInRow = 0;
    corruptFired = dropFired = corruptAckFired = errorFired = false;
    QMutexLocker lock(&shared->mutex);
    shared->image = QByteArray(int(size), '\xFF');
}

void KorvoDevice::sendReadyToFlash()
{
    flashing = true;
    setStatus(korvoEnums::korvoReflash);
    sendCommand(korvoEnums::ReadyToFlash, imageSize);
    armPacketWatch(0);
}

void KorvoDevice::endRun()
{
    flashing = false;
    eraseTimer->stop();
    packetTimer->stop();
    if (mode == Mode::BootLoader)
        setStatus(korvoEnums::korvoBootOnline);
}

quint32 KorvoDevice::expectedPacketSize(quint32 packet) const
{
    const quint32 offset = headBlockSize + sliceSize * packet;
    const quint32 slice = qMin(sliceSize, imageSize - offset);
    return packet == 0 ? headBlockSize + slice : slice;
}

void KorvoDevice::handleFlashPacket(const KorvoPacketReader::Frame& frame, qint64 delayNs)
{
    const usbMessageHeaderStruct& header = frame.header;
    if (!flashing) {
        record(header, Verdict::Ignored);
        return;
    }
    const KorvoEmulatorSettings settings = shared->currentSettings();
    const quint32 number = header.parameter;
    const bool isWanted = number == wanted;
    timeoutsInRow = 0;

    if (isWanted && settings.unplugAtPacket == number) {
        record(header, Verdict::Unplugged);
        unplug();
        return;
    }
    if (isWanted && settings.silentFromPacket == number) {
        record(header, Verdict::Silenced);
        goSilent();
        return;
    }
    if (!isWanted) {
        record(header, Verdict::WrongNumber);
        requestResend(korvoEnums::FlashPacketBadCrc, wanted, delayNs);
        return;
    }
    if (quint32(frame.data.size()) != expectedPacketSize(number)) {
        record(header, Verdict::WrongSize);
        requestResend(korvoEnums::FlashPacketBadCrc, wanted, delayNs);
        return;
    }
    if (settings.corruptPacket == number && !corruptFired) {
        corruptFired = true;
        record(header, Verdict::CorruptedOnPurpose);
        requestResend(korvoEnums::FlashPacketBadCrc, wanted, delayNs);
        return;
    }
    if (settings.errorAtPacket == number && !errorFired) {
        errorFired = true;
        record(header, Verdict::ErrorReported);
        debugLine() << "korvo-emulator reports error" << settings.errorCode << "at packet"
                    << number;
        endRun();
        sendCommand(korvoEnums::ErrorMessage, settings.errorCode, delayNs);
        return;
    }

    const bool dropAck = settings.dropAckOfPacket == number && !dropFired;
    dropFired = dropFired || dropAck;
    const bool corruptAck = !dropAck && settings.corruptAckOfPacket == number && !corruptAckFired;
    corruptAckFired = corruptAckFired || corruptAck;
    {
        QMutexLocker lock(&shared->mutex);
        const int offset = number == 0 ? 0 : int(headBlockSize + sliceSize * number);
        shared->image.replace(offset, frame.data.size(), frame.data);
    }
    record(header,
           dropAck          ? Verdict::StoredAckDropped
               : corruptAck ? Verdict::StoredAckCorrupted
                            : Verdict::Stored);
    ++wanted;

    const qint64 answerDelay = delayNs + nanoseconds(settings.programmingDelay).count();
    if (corruptAck) {
        // One bit of the packet number flipped on the way: the headerCrc
        // no longer matches, and the tool must drop the whole header.
        usbMessageHeaderStruct ack = makePacketHeader(
            korvoEnums::CommandMessage, korvoEnums::FlashPacketVerify, status, number);
        ack.parameter = ack.parameter ^ 0x1u;
        send(ack, {}, answerDelay);
    } else if (!dropAck) {
        sendCommand(korvoEnums::FlashPacketVerify, number, answerDelay);
    }
    if (wanted < packetCount) {
        armPacketWatch(answerDelay);
        return;
    }
    finishRun();
    rebootInto(Mode::ApplicationFirmware,
               std::chrono::duration_cast<milliseconds>(nanoseconds(answerDelay))
                   + (settings.resetRightAfterLastAnswer ? 0ms : settings.finalAckGrace));
}

void KorvoDevice::finishRun()
{
    flashing = false;
    packetTimer->stop();
    QByteArray version;
    {
        QMutexLocker lock(&shared->mutex);
        const QByteArray fromImage = KorvoFirmwareImage::versionOf(shared->image);
        if (!fromImage.isEmpty())
            shared->version = fromImage;
        version = shared->version;
        ++shared->completedRuns;
    }
    debugLine() << "korvo-emulator took" << imageSize << "bytes, next firmware version"
                << QString::fromLatin1(version);
    post([e = emulator, version] { emit e->flashingCompleted(version); });
}

void KorvoDevice::requestResend(quint8 command, quint32 packet, qint64 delayNs)
{
    {
        QMutexLocker lock(&shared->mutex);
        shared->resends.append({command, packet});
    }
    debugLine() << "korvo-emulator asks again for packet" << packet << "with"
                << Tools::convertEnumToQString(QStringLiteral("CommandsEnum"), command);
    sendCommand(command, packet, delayNs);
    armPacketWatch(delayNs);
}

void KorvoDevice::armPacketWatch(qint64 delayNs)
{
    const KorvoEmulatorSettings settings = shared->currentSettings();
    packetTimer->start(toTimerMs(delayNs + nanoseconds(settings.packetTimeout).count()));
}

void KorvoDevice::packetSilence()
{
    if (!flashing || silent)
        return;
    const KorvoEmulatorSettings settings = shared->currentSettings();
    reader.reset(); // whatever half packet there was will not be completed
    if (++timeoutsInRow > settings.packetTimeoutLimit) {
        debugLine() << "korvo-emulator gives up waiting for packet" << wanted;
        endRun();
        sendCommand(korvoEnums::ErrorMessage, korvoEnums::Error_Timeout);
        return;
    }
    requestResend(korvoEnums::FlashPacketTimeout, wanted, 0);
}

void KorvoDevice::heartbeat()
{
    const KorvoEmulatorSettings settings = shared->currentSettings();
    if (settings.heartbeatPeriod <= 0ms) {
        heartbeatTimer->stop();
        return;
    }
    if (heartbeatTimer->intervalAsDuration() != settings.heartbeatPeriod)
        heartbeatTimer->start(settings.heartbeatPeriod);
    QByteArray version;
    {
        QMutexLocker lock(&shared->mutex);
        version = shared->version;
    }
    sendCommand(korvoEnums::KeepOnline, qFromLittleEndian<quint32>(version.constData()));
}

void KorvoDevice::record(const usbMessageHeaderStruct& header, Verdict verdict)
{
    QMutexLocker lock(&shared->mutex);
    shared->packets.append({header, verdict});
}

void KorvoDevice::setMode(Mode newMode)
{
    if (mode == newMode)
        return;
    mode = newMode;
    {
        QMutexLocker lock(&shared->mutex);
        shared->mode = newMode;
    }
    post([e = emulator, newMode] { emit e->modeChanged(newMode); });
}

void KorvoDevice::setStatus(quint8 newStatus)
{
    if (status == newStatus)
        return;
    status = newStatus;
    {
        QMutexLocker lock(&shared->mutex);
        shared->status = newStatus;
    }
    post([e = emulator, newStatus] { emit e->statusChanged(newStatus); });
}

KorvoEmulator::KorvoEmulator(const KorvoEmulatorSettings& settings, QObject* parent)
    : QObject(parent), d(std::make_shared<Shared>())
{
    qRegisterMetaType<KorvoEmulator::Mode>();
    d->settings = settings;
    d->portName = settings.portName;
    d->version = settings.firmwareVersion;
}

KorvoEmulator::~KorvoEmulator()
{
    stop();
}

KorvoEmulatorSettings KorvoEmulator::settings() const
{
    return d->currentSettings();
}

void KorvoEmulator::setSettings(const KorvoEmulatorSettings& settings)
{
    QMutexLocker lock(&d->mutex);
    d->settings = settings;
}

bool KorvoEmulator::start()
{
    if (thread)
        return true;
    {
        QMutexLocker lock(&d->mutex);
        d->version = d->settings.firmwareVersion.leftJustified(4, '\0', true);
        d->portName = d->settings.portName;
        d->image.clear();
        d->packets.clear();
        d->resends.clear();
        d->sentChunks.clear();
        d->completedRuns = 0;
    }
    thread = new QThread;
    thread->setObjectName(QStringLiteral("korvo-emulator"));
    device = new KorvoDevice(d, this);
    device->moveToThread(thread);
    thread->start();
    bool ok = false;
    QMetaObject::invokeMethod(
        device, [this, &ok] { ok = device->powerOn(&lastError); }, Qt::BlockingQueuedConnection);
    if (!ok) {
        stop();
        return false;
    }
    SerialPortEnvironment::installProvider(this);
    return true;
}

void KorvoEmulator::stop()
{
    if (!thread)
        return;
    SerialPortEnvironment::removeProvider(this);
    KorvoDevice* dying = device;
    QMetaObject::invokeMethod(
        dying,
        [dying] {
            dying->powerOff();
            delete dying;
        },
        Qt::BlockingQueuedConnection);
    device = nullptr;
    thread->quit();
    thread->wait();
    delete thread;
    thread = nullptr;
    QMutexLocker lock(&d->mutex);
    d->mode = Mode::Stopped;
    d->status = 0;
    d->systemLocation.clear();
}

bool KorvoEmulator::isRunning() const
{
    return thread != nullptr;
}

QString KorvoEmulator::errorString() const
{
    return lastError;
}

KorvoEmulator::Mode KorvoEmulator::mode() const
{
    QMutexLocker lock(&d->mutex);
    return d->mode;
}

quint8 KorvoEmulator::status() const
{
    QMutexLocker lock(&d->mutex);
    return d->status;
}

QByteArray KorvoEmulator::firmwareVersion() const
{
    QMutexLocker lock(&d->mutex);
    return d->version;
}

QString KorvoEmulator::portName() const
{
    QMutexLocker lock(&d->mutex);
    return d->portName;
}

QString KorvoEmulator::systemLocation() const
{
    QMutexLocker lock(&d->mutex);
    return d->systemLocation;
}

QByteArray KorvoEmulator::receivedImage() const
{
    QMutexLocker lock(&d->mutex);
    return d->image;
}

QList<KorvoEmulator::ReceivedPacket> KorvoEmulator::packetLog() const
{
    QMutexLocker lock(&d->mutex);
    return d->packets;
}

QList<KorvoEmulator::ResendRequest> KorvoEmulator::resendRequests() const
{
    QMutexLocker lock(&d->mutex);
    return d->resends;
}

QList<QByteArray> KorvoEmulator::sentChunks() const
{
    QMutexLocker lock(&d->mutex);
    return d->sentChunks;
}

int KorvoEmulator::completedRuns() const
{
    QMutexLocker lock(&d->mutex);
    return d->completedRuns;
}

void KorvoEmulator::clearRecords()
{
    QMutexLocker lock(&d->mutex);
    d->packets.clear();
    d->resends.clear();
    d->sentChunks.clear();
}

QList<SerialPortRecord> KorvoEmulator::ports() const
{
    QMutexLocker lock(&d->mutex);
    if (d->systemLocation.isEmpty())
        return {};
    SerialPortRecord record;
    record.portName = d->portName;
    record.systemLocation = d->systemLocation;
    record.description = d->description;
    record.manufacturer = d->manufacturer;
    record.serialNumber = d->serialNumber;
    record.vendorIdentifier = vendorId;
    record.productIdentifier
        = d->mode == Mode::ApplicationFirmware ? applicationProductId : bootLoaderProductId;
    record.hasVendorIdentifier = record.hasProductIdentifier = true;
    return {record};
}

QList<BusDescriptionRecord> KorvoEmulator::busDescriptions() const
{
    QMutexLocker lock(&d->mutex);
    if (d->systemLocation.isEmpty())
        return {};
    return {{d->deviceName, d->description + QStringLiteral(" (") + d->portName + ')'}};
}

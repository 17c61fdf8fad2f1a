// The emulated device's transport: the pty and its listener, power and
// restarts, the published port, and output paced like a real link.

#include "korvodevice.h"

#include "debugline.h"
#include "korvoenums.h"
#include "tools.h"

#include <QFile>
#include <QFileInfo>
#include <QMetaObject>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

namespace {

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

// The settings of the slave side as the master sees them (on Linux a pty
// master reads and writes its slave's termios).
KorvoEmulator::LineSettings lineSettingsOf(int masterFd)
{
    KorvoEmulator::LineSettings line;
    termios attributes{};
    if (::tcgetattr(masterFd, &attributes) != 0)
        return line;
    const std::pair<speed_t, qint32> speeds[] = {
        {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
        {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    for (const auto& [code, baud] : speeds)
        if (::cfgetospeed(&attributes) == code)
            line.baudRate = baud;
    const tcflag_t size = attributes.c_cflag & CSIZE;
    line.dataBits = size == CS8 ? 8 : size == CS7 ? 7 : size == CS6 ? 6 : 5;
    line.parity = (attributes.c_cflag & PARENB) != 0;
    line.twoStopBits = (attributes.c_cflag & CSTOPB) != 0;
    line.hardwareFlowControl = (attributes.c_cflag & CRTSCTS) != 0;
    return line;
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
    {
        QMutexLocker lock(&shared->mutex);
        shared->lineSettings = lineSettingsOf(masterFd);
    }
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

#include "korvoemulator.h"

#include "korvodevice.h"

#include <QThread>

using namespace std::chrono_literals;

KorvoEmulatorSettings KorvoEmulatorSettings::realistic()
{
    KorvoEmulatorSettings settings;
    settings.programmingDelay = 16ms;
    settings.linkBytesPerSecond = 1000000;
    settings.eraseDelay = 400ms;
    return settings;
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

std::optional<KorvoEmulator::LineSettings> KorvoEmulator::lineSettings() const
{
    QMutexLocker lock(&d->mutex);
    return d->lineSettings;
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

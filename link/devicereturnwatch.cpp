#include "devicereturnwatch.h"

#include "debugline.h"
#include "korvoenums.h"
#include "serialportenvironment.h"
#include "usb_stmflasher.h"
#include "win.h"

#include <QSerialPort>
#include <QTimer>

#include <algorithm>
#include <atomic>

namespace {

std::atomic<int> timeoutMs{int(USB_StmFlasher::deviceReturnTimeout.count())};

} // namespace

DeviceReturnWatch::DeviceReturnWatch(USB_StmFlasher* link) : QObject(link), link(link)
{
    timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this] {
        debugLine() << "device not back in application firmware";
        emit timedOut();
    });
    connect(link, &USB_StmFlasher::devConnStatusChanged, this, &DeviceReturnWatch::onLinkChanged);
    connect(link, &USB_StmFlasher::runStarted, this, &DeviceReturnWatch::onRunStarted);
    connect(link, &USB_StmFlasher::bootLoaderRequested, this,
            &DeviceReturnWatch::onBootLoaderRequested);
    connect(link->port(), &QIODevice::aboutToClose, this, &DeviceReturnWatch::onPortClosing);
}

void DeviceReturnWatch::setTimeout(std::chrono::milliseconds timeout)
{
    timeoutMs = int(timeout.count());
}

std::chrono::milliseconds DeviceReturnWatch::timeout()
{
    return std::chrono::milliseconds(timeoutMs.load());
}

void DeviceReturnWatch::wait()
{
    timer->start(timeoutMs.load());
}

void DeviceReturnWatch::stop()
{
    timer->stop();
}

void DeviceReturnWatch::onLinkChanged()
{
    // Bytes parsed after the port closed may still announce a status.
    if (!link->isPortOpen())
        return;
    const uint status = link->getDevConnStatus();
    if (status == korvoEnums::korvoOnline) {
        if (!applicationSeen) {
            // A new connection in application firmware: a restart asked for
            // earlier did not lead to a boot loader.
            applicationSeen = true;
            restarting.reset();
        }
        lastApplication = Unit{link->getDevConnSerial(), link->portBusDescription(),
                               link->firmwareVersionText()};
        if (timer->isActive() && isRunUnit()) {
            timer->stop();
            debugLine() << "device back in application firmware, version "
                        << lastApplication->version;
            emit returned(lastApplication->version);
        }
        return;
    }
    if (status != korvoEnums::korvoBootOnline || bootLoaderSeen)
        return;
    bootLoaderSeen = true;
    if (restarting)
        bootLoaderUnit = restarting;
    else if (lastApplication && !lastApplication->serial.isEmpty()
             && lastApplication->serial == link->getDevConnSerial())
        bootLoaderUnit = lastApplication;
    restarting.reset();
}

void DeviceReturnWatch::onPortClosing()
{
    // The connection is over; what it was goes with it.
    applicationSeen = false;
    bootLoaderSeen = false;
    bootLoaderUnit.reset();
}

void DeviceReturnWatch::onRunStarted()
{
    timer->stop();
    run = RunUnit();
    run.bootSerial = link->getDevConnSerial();
    run.name = link->portBusDescription();
    if (link->getDevConnStatus() == korvoEnums::korvoOnline)
        run.application = lastApplication; // flashed from its application firmware
    else
        run.application = bootLoaderUnit;
}

void DeviceReturnWatch::onBootLoaderRequested()
{
    restarting = lastApplication;
}

bool DeviceReturnWatch::isRunUnit() const
{
    const QString expected = run.application && !run.application->serial.isEmpty()
        ? run.application->serial
        : run.bootSerial;
    if (!expected.isEmpty() && link->getDevConnSerial() == expected)
        return true;
    // No serial ties the two: the one device of that name back in its
    // application firmware is the unit.
    const QString name = run.application ? run.application->name : run.name;
    return link->portBusDescription() == name && isSingleApplicationPortNamed(name);
}

bool DeviceReturnWatch::isSingleApplicationPortNamed(const QString& name) const
{
    const QList<SerialPortRecord> ports = SerialPortEnvironment::availablePorts();
    const auto count = std::count_if(ports.cbegin(), ports.cend(), [&](const SerialPortRecord& p) {
        return p.vendorIdentifier == USB_StmFlasher::stmVendorId
            && p.productIdentifier == USB_StmFlasher::applicationProductId
            && Win::getSerialPortBusDesc(p.portName) == name;
    });
    return count == 1;
}

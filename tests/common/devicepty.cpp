#include "devicepty.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

DevicePty::DevicePty(quint16 productId, const QString& portName, const QString& busDescription)
{
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        qFatal("no pseudo-terminal");
    // Raw from the start, so nothing is echoed or rewritten by the line discipline.
    termios mode{};
    ::tcgetattr(master, &mode);
    ::cfmakeraw(&mode);
    ::tcsetattr(master, TCSANOW, &mode);
    record.portName = portName;
    record.systemLocation = QString::fromLocal8Bit(::ptsname(master));
    record.description = QStringLiteral("STM32 Virtual ComPort");
    record.manufacturer = QStringLiteral("STMicroelectronics");
    record.serialNumber = QStringLiteral("SN1");
    record.vendorIdentifier = 0x0483;
    record.productIdentifier = productId;
    record.hasVendorIdentifier = record.hasProductIdentifier = true;
    bus = {busDescription, busDescription + QStringLiteral(" (") + portName + QLatin1Char(')')};
    notifier = new QSocketNotifier(master, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &DevicePty::collect);
    SerialPortEnvironment::installProvider(this);
}

bool DevicePty::send(const QByteArray& bytes)
{
    qsizetype done = 0;
    while (master >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        done += qMax<ssize_t>(n, 0);
    }
    return done == bytes.size();
}

void DevicePty::collect()
{
    char buffer[8192];
    ssize_t n;
    while (master >= 0 && (n = ::read(master, buffer, sizeof buffer)) > 0) {
        for (const Frame& frame : reader.feed(buffer, n)) {
            received.append(frame);
            if (onPacket)
                onPacket(frame);
        }
    }
}

void DevicePty::unplug()
{
    if (master < 0)
        return;
    SerialPortEnvironment::removeProvider(this);
    delete notifier;
    ::close(master);
    master = -1;
}

QList<DevicePty::Frame> DevicePty::commands(quint8 command) const
{
    QList<Frame> found;
    for (const Frame& frame : received)
        if (frame.header.action == korvoEnums::CommandMessage
            && frame.header.dataOrCommand == command)
            found.append(frame);
    return found;
}

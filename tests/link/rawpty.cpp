#include "rawpty.h"

#include <QMutexLocker>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

RawPty::RawPty()
{
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return;
    if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0) {
        ::close(fd);
        return;
    }
    slave = QString::fromLocal8Bit(::ptsname(fd));
    // Raw from the start, so nothing sent before the tool opens its end is
    // echoed or rewritten by the line discipline.
    const int slaveFd = ::open(slave.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (slaveFd >= 0) {
        termios settings{};
        if (::tcgetattr(slaveFd, &settings) == 0) {
            ::cfmakeraw(&settings);
            ::tcsetattr(slaveFd, TCSANOW, &settings);
        }
        ::close(slaveFd);
    }
    masterFd = fd;
}

RawPty::~RawPty()
{
    unplug();
}

bool RawPty::send(const QByteArray& bytes)
{
    qsizetype done = 0;
    while (masterFd >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(masterFd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
    }
    return done == bytes.size();
}

QByteArray RawPty::receive()
{
    QByteArray received;
    char buffer[4096];
    while (masterFd >= 0) {
        const ssize_t n = ::read(masterFd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        received.append(buffer, int(n));
    }
    return received;
}

void RawPty::unplug()
{
    if (masterFd >= 0)
        ::close(masterFd);
    masterFd = -1;
}

TestPorts::TestPorts()
{
    SerialPortEnvironment::installProvider(this);
}

TestPorts::~TestPorts()
{
    SerialPortEnvironment::removeProvider(this);
}

void TestPorts::setPorts(const QList<SerialPortRecord>& records)
{
    QMutexLocker lock(&mutex);
    portRecords = records;
}

void TestPorts::setBusDescriptions(const QList<BusDescriptionRecord>& records)
{
    QMutexLocker lock(&mutex);
    busRecords = records;
}

QList<SerialPortRecord> TestPorts::ports() const
{
    QMutexLocker lock(&mutex);
    return portRecords;
}

QList<BusDescriptionRecord> TestPorts::busDescriptions() const
{
    QMutexLocker lock(&mutex);
    return busRecords;
}

SerialPortRecord TestPorts::port(const QString& portName, const QString& location, quint16 vendorId,
                                 quint16 productId, const QString& serialNumber)
{
    SerialPortRecord record;
    record.portName = portName;
    record.systemLocation = location;
    record.vendorIdentifier = vendorId;
    record.productIdentifier = productId;
    record.hasVendorIdentifier = true;
    record.hasProductIdentifier = true;
    record.serialNumber = serialNumber;
    record.description = QStringLiteral("Test port");
    record.manufacturer = QStringLiteral("Test");
    return record;
}

#include "keepawakebackend.h"

#include "debugline.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QFileInfo>
#include <QString>
#include <QtGlobal>

#include <chrono>

namespace {

// logind answers at once; a bus that hangs must not hold up the start of a run for long.
constexpr std::chrono::milliseconds inhibitCallTimeout{2000};

// Where libdbus and Qt look for the system bus when no address is given.
const char* const defaultSystemBusSocket = "/var/run/dbus/system_bus_socket";

// Whether a system bus can be there at all. Asked first, so that a machine
// without one (a container, a build server) never starts Qt's D-Bus thread.
bool systemBusMayExist()
{
    return qEnvironmentVariableIsSet("DBUS_SYSTEM_BUS_ADDRESS")
        || QFileInfo::exists(QString::fromLatin1(defaultSystemBusSocket));
}

// Takes a logind sleep inhibitor over the system bus ("block": suspend waits
// until it is let go). logind keeps it while the returned file descriptor
// stays open. Without a system bus, or without logind on it, nothing is held.
class LogindKeepAwake : public KeepAwakeBackend
{
public:
    bool acquire(const std::string& reason) override
    {
        if (!systemBusMayExist())
            return false;
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.isConnected())
            return false;
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
        call << QStringLiteral("sleep") << QStringLiteral("Trennic Flasher")
             << QString::fromStdString(reason) << QStringLiteral("block");
        const QDBusReply<QDBusUnixFileDescriptor> reply
            = bus.call(call, QDBus::Block, int(inhibitCallTimeout.count()));
        if (!reply.isValid()) {
            debugLine() << "keepAwake: no sleep inhibitor: " << reply.error().message();
            return false;
        }
        inhibitor = reply.value();
        return inhibitor.isValid();
    }

    void release() override
    {
        // Closing the last copy of the descriptor ends the inhibitor.
        inhibitor = QDBusUnixFileDescriptor();
    }

private:
    QDBusUnixFileDescriptor inhibitor;
};

} // namespace

std::unique_ptr<KeepAwakeBackend> createSystemKeepAwakeBackend()
{
    return std::make_unique<LogindKeepAwake>();
}

#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <optional>

class QTimer;
class USB_StmFlasher;

// Follows the unit a run started from across its restarts, and after a run
// that wrote the whole image waits for that unit to report in its
// application firmware again.
//
// Nothing in the link protocol ties a boot loader's port to the application
// firmware's: its USB serial may be another or none. So the unit is known by
// what the link saw: the application firmware that the link asked to restart
// into its boot loader is the unit of the boot loader that connects next; a
// boot loader with the same serial as the last application firmware is that
// unit too. On its return the unit is recognised by that application
// firmware's serial (else the boot loader's) or, when the serials differ or
// are empty, as the single device of the run's device name that reports in
// its application firmware during the wait.
class DeviceReturnWatch : public QObject
{
    Q_OBJECT

public:
    // The unit as it was before a run.
    struct Unit
    {
        QString serial; // USB serial of its application firmware's port
        QString name; // bus description of its port
        QString version; // firmware version it reported there
    };
    // The unit of the run under way or last run.
    struct RunUnit
    {
        // As its application firmware showed it before the run; empty when
        // the link did not see this unit there.
        std::optional<Unit> application;
        QString bootSerial; // the USB serial of the run's own port
        QString name; // the bus description of the run's own port
    };

    // The link's children observe its signals; the link relays the answers.
    explicit DeviceReturnWatch(USB_StmFlasher* link);

    // Waits this long for the unit (process-wide; tests shorten it).
    static void setTimeout(std::chrono::milliseconds timeout);
    static std::chrono::milliseconds timeout();

    const RunUnit& runUnit() const { return run; }

    // Starts the wait for the run's unit; answered once by returned() or
    // timedOut(), unless stop() comes first.
    void wait();
    void stop();

signals:
    void returned(QString version);
    void timedOut();

private:
    void onLinkChanged();
    void onRunStarted();
    void onBootLoaderRequested();
    void onPortClosing();
    bool isRunUnit() const;
    bool isSingleApplicationPortNamed(const QString& name) const;

    USB_StmFlasher* link;
    QTimer* timer = nullptr;
    RunUnit run;
    // The application firmware last seen on the link.
    std::optional<Unit> lastApplication;
    // The application firmware asked to restart into its boot loader, until
    // the next boot loader connects.
    std::optional<Unit> restarting;
    // The unit of the boot loader on the port now, when known.
    std::optional<Unit> bootLoaderUnit;
    // What the connection on the port now has reported.
    bool applicationSeen = false;
    bool bootLoaderSeen = false;
};

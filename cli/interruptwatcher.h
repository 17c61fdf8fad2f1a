#pragma once

#include <QObject>

class QSocketNotifier;

// Brings Ctrl-C (SIGINT) and SIGTERM into the event loop: the signal
// handler only writes the signal's number into a socket pair, whose other
// end a QSocketNotifier watches, so everything else happens in ordinary
// slots. Each handler catches one signal; a second one acts as if nothing
// were installed. One per process; the previous handlers come back on
// destruction.
class InterruptWatcher : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatcher(QObject* parent = nullptr);
    ~InterruptWatcher() override;

    // False when the socket pair could not be made (no signal is caught).

signals:
    void interrupted(int signalNumber);

private:
    void readSignal();

    QSocketNotifier* notifier = nullptr;
};

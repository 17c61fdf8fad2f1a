#pragma once

#include <QObject>

class QSocketNotifier;

// A single-shot timer with nanosecond resolution (a Linux timerfd watched by
// the thread's event loop). QTimer counts whole milliseconds, which would add
// up to a millisecond to every paced answer of the emulated device and make a
// modelled 1 MB/s link visibly slower than it is.
class DeadlineTimer : public QObject
{
    Q_OBJECT

public:
    explicit DeadlineTimer(QObject* parent = nullptr);
    ~DeadlineTimer() override;

    // Fires once, `nanoseconds` from now (at once for 0 or less); a start
    // while active re-arms it.
    void start(qint64 nanoseconds);
    void stop();
    bool isActive() const { return active; }

signals:
    void timeout();

private:
    void expire();

    int fd = -1;
    QSocketNotifier* notifier = nullptr;
    bool active = false;
};

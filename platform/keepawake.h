#pragma once

#include "keepawakebackend.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// Keeps the computer from going to sleep while it is held: a laptop that
// sleeps in the middle of a flashing run breaks the run. The engine holds it
// from the start of a run to its end. The platform's way of asking is a
// KeepAwakeBackend; where the platform offers none, holding it does nothing.
class KeepAwake : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool held READ isHeld NOTIFY heldChanged)

public:
    // What the system is told while a run holds it awake.
    static const QString firmwareUpdateReason;

    explicit KeepAwake(QObject* parent = nullptr);
    ~KeepAwake() override;

    // True while the system has taken a request to stay awake.
    bool isHeld() const { return held; }

    using BackendFactory = std::function<std::unique_ptr<KeepAwakeBackend>()>;
    // Process-wide: makes the backend of every KeepAwake constructed from now
    // on (tests observe the engine through it); an empty function restores
    // the platform's own.
    static void setBackendFactory(BackendFactory factory);

public slots:
    // Asks the system to stay awake; does nothing while already held.
    void acquire(const QString& reason);
    // Lets the system sleep again; does nothing when not held.
    void release();

signals:
    void heldChanged(bool held);

private:
    std::unique_ptr<KeepAwakeBackend> backend;
    bool held = false;
};

#include "keepawake.h"

#include <utility>

namespace {

KeepAwake::BackendFactory& backendFactory()
{
    static KeepAwake::BackendFactory factory;
    return factory;
}

} // namespace

const QString KeepAwake::firmwareUpdateReason = QStringLiteral("Firmware update in progress");

KeepAwake::KeepAwake(QObject* parent)
    : QObject(parent),
      backend(backendFactory() ? backendFactory()() : createSystemKeepAwakeBackend())
{}

KeepAwake::~KeepAwake()
{
    // A window closed in the middle of a run must not leave the system awake.
    if (held && backend)
        backend->release();
}

void KeepAwake::setBackendFactory(BackendFactory factory)
{
    backendFactory() = std::move(factory);
}

void KeepAwake::acquire(const QString& reason)
{
    if (held || !backend)
        return;
    if (!backend->acquire(reason.toStdString()))
        return;
    held = true;
    emit heldChanged(true);
}

void KeepAwake::release()
{
    if (!held)
        return;
    backend->release();
    held = false;
    emit heldChanged(false);
}

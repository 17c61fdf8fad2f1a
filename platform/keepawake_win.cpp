#include "keepawakebackend.h"

#include <windows.h>

namespace {

// Keeps the system (not the display) out of sleep while the calling thread
// asks for it. ES_CONTINUOUS makes the state last until it is changed again;
// the state belongs to the thread, so acquire and release come from one.
class WindowsKeepAwake : public KeepAwakeBackend
{
public:
    ~WindowsKeepAwake() override { WindowsKeepAwake::release(); }

    bool acquire(const std::string& /*reason*/) override
    {
        held = SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
        return held;
    }

    void release() override
    {
        if (!held)
            return;
        SetThreadExecutionState(ES_CONTINUOUS);
        held = false;
    }

private:
    bool held = false;
};

} // namespace

std::unique_ptr<KeepAwakeBackend> createSystemKeepAwakeBackend()
{
    return std::make_unique<WindowsKeepAwake>();
}

#pragma once

// The platform side of KeepAwake, kept free of Qt so that the Windows one can
// be compiled (and syntax-checked on any host) with a plain Windows tool chain.

#include <memory>
#include <string>

// Asks the operating system to keep the computer awake, and lets it sleep
// again. Called on one thread (the GUI thread), never twice in a row.
class KeepAwakeBackend
{
public:
    virtual ~KeepAwakeBackend() = default;
    // `reason` (UTF-8) is shown where the system lists what holds it awake.
    // Returns whether the system took the request.
    virtual bool acquire(const std::string& reason) = 0;
    virtual void release() = 0;
};

// The backend of the platform this is built for (one file per platform);
// null where the platform offers none.
std::unique_ptr<KeepAwakeBackend> createSystemKeepAwakeBackend();

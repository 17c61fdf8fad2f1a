#include "keepawakebackend.h"

// No way to hold the computer awake is used on this platform.
std::unique_ptr<KeepAwakeBackend> createSystemKeepAwakeBackend()
{
    return nullptr;
}

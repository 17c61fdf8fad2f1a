#pragma once

// ThreadSanitizer cannot see the synchronisation inside Qt's (uninstrumented)
// thread pool and futures, so a finished QFuture does not tell it that the
// pool task's writes happened before the waiter's reads. These markers state
// that order at the two ends of a hand-off over `token`; they compile to
// nothing outside a ThreadSanitizer build.
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define TRENNIC_HANDOFF_RELEASE(token)                                                             \
    __tsan_release(const_cast<void*>(static_cast<const volatile void*>(token)))
#define TRENNIC_HANDOFF_ACQUIRE(token)                                                             \
    __tsan_acquire(const_cast<void*>(static_cast<const volatile void*>(token)))
#else
#define TRENNIC_HANDOFF_RELEASE(token) static_cast<void>(token)
#define TRENNIC_HANDOFF_ACQUIRE(token) static_cast<void>(token)
#endif

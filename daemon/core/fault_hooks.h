// Faults that tests inject into a running daemon from outside. Compiled in only with
// MRVDC_FAULT_HOOKS (the host builds); the sight's build has none of them.
//   SIGUSR2                     ends the daemon through the error level, as an internal
//                               failure does;
//   MRVDC_FAULT_SYNC_DELAY_MS   every sync of a recording to storage takes that much longer,
//                               as on a slow card.
#pragma once

#include <cstdlib>

#ifdef MRVDC_FAULT_HOOKS
constexpr bool kFaultHooks = true;
#else
constexpr bool kFaultHooks = false;
#endif

inline int fault_sync_delay_ms() {
    static const char *delay = kFaultHooks ? getenv("MRVDC_FAULT_SYNC_DELAY_MS") : nullptr;
    return delay ? atoi(delay) : 0;
}

#pragma once

// The flags that signals set in the companion programs: SIGINT and SIGTERM ask the program to
// stop, SIGUSR1 tells it to go ahead (a script's word that everything is wired).

#include <atomic>
#include <csignal>

namespace tamblin::tools {

inline std::atomic<bool> stopRequested{false};
inline std::atomic<bool> goAhead{false};
static_assert(std::atomic<bool>::is_always_lock_free, "flags are set from signal handlers");

inline void watchSignals() {
    std::signal(SIGINT, [](int) { stopRequested.store(true); });
    std::signal(SIGTERM, [](int) { stopRequested.store(true); });
    std::signal(SIGUSR1, [](int) { goAhead.store(true); });
}

}  // namespace tamblin::tools

// The interrupt flag the handlers of both systems set and the commands poll.
#include "interrupt.h"

#include <atomic>

namespace orukiv::tool {

namespace {
std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
}  // namespace

bool MarkInterrupted() {
    return gInterrupted.exchange(true);
}

bool Interrupted() {
    return gInterrupted.load();
}

void RequestInterrupt() {
    gInterrupted = true;
}

void ClearInterrupt() {
    gInterrupted = false;
}

}  // namespace orukiv::tool

// Low-latency mode: KIV_SetWorkerTiming, KIV_Notify and the worker's
// waitable sleep between passes.
#include "stack/worker_timing.h"

#include "stack/stack_core.h"

namespace orukiv {

namespace {

constexpr uint32_t kMinPeriodUs = 100;
constexpr uint32_t kMaxPeriodUs = 1000000;
constexpr uint32_t kKnownFlags =
    KIV_TIMING_WAKE_ON_REQUEST | KIV_TIMING_DRAIN_RECEIVE | KIV_TIMING_HOST_INPUT;

}  // namespace

// The waker is created before the first non-zero flags and period are
// stored (release), and never replaced: a thread that reads either as
// non-zero (acquire) may use it.
bool InLowLatencyMode(const StackCore* stack) {
    return stack->periodUs.load(std::memory_order_acquire) != 0;
}

bool LowLatencyPause(StackCore* stack) {
    const uint32_t period = stack->periodUs.load(std::memory_order_acquire);
    if (period == 0) return false;
    // A pass that took the stop request ends the worker: no sleep first.
    if (stack->running.load() == 0) return true;
    // A full receive poll starts the next pass at once, with or without
    // KIV_TIMING_DRAIN_RECEIVE (the behaviour of every timing now).
    if (stack->lastPollFull) return true;
    (void)platform::WakerSleepUs(stack->waker, period);
    return true;
}

void WakeWorker(StackCore* stack) {
    if (InLowLatencyMode(stack)) platform::WakerWake(stack->waker);
}

void WakeOnRequest(StackCore* stack) {
    if ((stack->timingFlags.load(std::memory_order_acquire) & KIV_TIMING_WAKE_ON_REQUEST) != 0)
        platform::WakerWake(stack->waker);
}

void CloseWorkerTiming(StackCore* stack) {
    if (stack->waker == nullptr) return;
    platform::WakerClose(stack->waker);
    stack->waker = nullptr;
}

}  // namespace orukiv

using namespace orukiv;

extern "C" int32_t KIV_SetWorkerTiming(KIV_Handle handle, uint32_t periodUs, uint32_t flags) {
    if (handle == nullptr || periodUs < kMinPeriodUs || periodUs > kMaxPeriodUs ||
        (flags & ~kKnownFlags) != 0)
        return KIV_ERR_PARAM;
    StackCore* stack = CoreOf(handle);
    platform::MutexLock(stack->mutex);
    if (stack->waker == nullptr) stack->waker = platform::WakerCreate();
    const bool ok = stack->waker != nullptr;
    if (ok) {
        stack->timingFlags.store(flags, std::memory_order_release);
        stack->periodUs.store(periodUs, std::memory_order_release);
    }
    platform::MutexUnlock(stack->mutex);
    if (!ok) return KIV_ERR_NO_RESOURCE;
    // A long sleep already under way ends now, so the new timing holds from
    // the next pass.
    platform::WakerWake(stack->waker);
    return KIV_OK;
}

extern "C" int32_t KIV_Notify(KIV_Handle handle) {
    if (handle == nullptr) return KIV_ERR_PARAM;
    WakeWorker(CoreOf(handle));
    return KIV_OK;
}

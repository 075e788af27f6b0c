// Cyclic operation: KIV_StartCyclic, KIV_StopCyclic, KIV_GetCyclicStats and
// the worker's cycles between its passes.
#include "services/cyclic.h"

#include <algorithm>
#include <cstring>

#include "log/log.h"
#include "stack/cia301.h"
#include "stack/co_stack.h"

namespace orukiv {

namespace {

constexpr uint32_t kMinPeriodUs = 250;
constexpr uint32_t kMaxPeriodUs = 1000000;
constexpr uint32_t kMaxCycleFrames = 16;
constexpr uint64_t kNsPerUs = 1000;
constexpr uint64_t kNever = ~0ull;

// Holds the cycle lock unless the caller is the worker inside a cycle,
// which holds it already.
class CycleGuard {
public:
    explicit CycleGuard(CoStack* stack)
        : c_(stack->cyclic), held_(!(OnOwnWorker(stack) && c_.inCycle)) {
        if (held_) platform::MutexLock(c_.lock);
    }
    ~CycleGuard() {
        if (held_) platform::MutexUnlock(c_.lock);
    }
    CycleGuard(const CycleGuard&) = delete;
    CycleGuard& operator=(const CycleGuard&) = delete;

private:
    Cyclic& c_;
    bool held_;
};

// With the lock held: the next cycle follows lastDueNs by the new period
// (at once when that has passed) with the new callback and counter range.
void ApplyConfig(Cyclic& c, const CyclicConfig& config, uint64_t lastDueNs, uint64_t nowNs) {
    c.config = config;
    c.nextDueNs = std::max(lastDueNs + config.periodNs, nowNs);
    if (c.counter > config.overflow) c.counter = 1;
}

// With the lock held: a start of a stopped instance, at nowNs.
void Restart(Cyclic& c, const CyclicConfig& config, uint64_t nowNs) {
    c.config = config;
    c.nextDueNs = nowNs;
    c.cycle = 0;
    c.counter = 1;
    c.badReturnLogged = false;
    c.hasPending = false;
    c.cycles.store(0, std::memory_order_relaxed);
    c.skipped.store(0, std::memory_order_relaxed);
    c.maxLateUs.store(0, std::memory_order_relaxed);
    c.active.store(true);
}

void SetMax(std::atomic<uint32_t>& worst, uint32_t value) {
    if (value > worst.load(std::memory_order_relaxed))
        worst.store(value, std::memory_order_relaxed);
}

// With the lock held: calls fn and sends what it returned, in order.
void RunHostPart(CoStack* stack, Cyclic& c, uint64_t cycle) {
    KIV_CanFrame frames[kMaxCycleFrames];
    std::memset(frames, 0, sizeof frames);
    const int32_t n = c.config.fn(cycle, frames, kMaxCycleFrames, c.config.user);
    bool valid = n >= 0 && n <= static_cast<int32_t>(kMaxCycleFrames);
    for (int32_t i = 0; valid && i < n; ++i) valid = frames[i].dlc <= 8;
    if (!valid) {
        if (!c.badReturnLogged) {
            c.badReturnLogged = true;
            Log().Error("kiv cycle callback returned %d frames (or a dlc above 8): nothing sent",
                        n);
        }
        return;
    }
    for (int32_t i = 0; i < n; ++i) (void)SendFrame(stack, &frames[i]);
}

// One cycle, when its deadline has come: SYNC, then the host's frames.
void RunCycle(CoStack* stack) {
    Cyclic& c = stack->cyclic;
    platform::MutexLock(c.lock);
    const uint64_t now = platform::SteadyNs();
    if (!c.active.load() || !HostReachable(stack) || now < c.nextDueNs) {
        platform::MutexUnlock(c.lock);
        return;
    }
    const uint64_t period = c.config.periodNs;
    uint64_t late = now - c.nextDueNs;
    if (late >= period) {
        // No burst to catch up: the deadlines passed go without SYNC.
        const uint64_t missed = late / period;
        c.skipped.store(c.skipped.load(std::memory_order_relaxed) + missed,
                        std::memory_order_relaxed);
        c.cycle += static_cast<uint64_t>(missed);
        c.nextDueNs += missed * period;
        late -= missed * period;
    }
    SetMax(c.maxLateUs, static_cast<uint32_t>(late / kNsPerUs));

    KIV_CanFrame sync;
    std::memset(&sync, 0, sizeof sync);
    sync.id = cia301::kCobSync;
    if (c.config.overflow != 0) {
        sync.dlc = 1;
        sync.data[0] = c.counter;
        c.counter = c.counter >= c.config.overflow ? 1 : static_cast<uint8_t>(c.counter + 1);
    }
    c.inCycle = true;
    (void)SendFrame(stack, &sync);
    Count(c.cycles);
    if (c.config.fn != nullptr && HostReachable(stack) && c.active.load())
        RunHostPart(stack, c, c.cycle);
    c.inCycle = false;

    const uint64_t due = c.nextDueNs;
    ++c.cycle;
    c.nextDueNs = due + period;
    if (c.hasPending) {
        c.hasPending = false;
        if (c.pendingRestart)
            Restart(c, c.pending, platform::SteadyNs());
        else
            ApplyConfig(c, c.pending, due, platform::SteadyNs());
    }
    platform::MutexUnlock(c.lock);
}

uint64_t NextDue(CoStack* stack) {
    Cyclic& c = stack->cyclic;
    platform::MutexLock(c.lock);
    const uint64_t due = c.active.load() ? c.nextDueNs : kNever;
    platform::MutexUnlock(c.lock);
    return due;
}

// Creates what cyclic operation needs, once; false when it cannot be had.
bool PrepareCyclic(CoStack* stack) {
    Cyclic& c = stack->cyclic;
    if (c.used.load(std::memory_order_acquire)) return true;
    platform::MutexLock(stack->mutex);
    if (c.lock == nullptr) c.lock = platform::MutexCreate();
    if (stack->waker == nullptr) stack->waker = platform::WakerCreate();
    const bool ok = c.lock != nullptr && stack->waker != nullptr;
    if (ok) c.used.store(true, std::memory_order_release);
    platform::MutexUnlock(stack->mutex);
    return ok;
}

}  // namespace

bool CyclicPause(CoStack* stack) {
    if (!stack->cyclic.used.load(std::memory_order_acquire)) return false;
    if (stack->running.load() == 0) return true;
    // The pass period of the timing in force; wakes end the sleep for a pass
    // only in low-latency mode (in the default timing only a start or a stop
    // wakes the worker, to look at the deadline again).
    const uint32_t lowLatencyUs = stack->periodUs.load(std::memory_order_acquire);
    uint64_t passSleepNs = lowLatencyUs != 0 ? lowLatencyUs * kNsPerUs : kPassSleepMs * 1000000ull;
    // A full receive poll starts the next pass at once while cycles run (the
    // drives' answers of every cycle must not pile up), and in low-latency
    // mode when the instance asks for it.
    const bool drain = stack->cyclic.active.load() ||
                       (lowLatencyUs != 0 && (stack->timingFlags.load(std::memory_order_relaxed) &
                                              KIV_TIMING_DRAIN_RECEIVE) != 0);
    if (drain && stack->lastPollFull) passSleepNs = 0;
    const uint64_t passDue = platform::SteadyNs() + passSleepNs;
    for (;;) {
        if (stack->running.load() == 0) return true;
        const uint64_t due = NextDue(stack);
        const uint64_t now = platform::SteadyNs();
        if (due <= now) {
            RunCycle(stack);
            if (platform::SteadyNs() >= passDue) return true;
            continue;
        }
        if (passDue <= now) return true;
        if (platform::WakerSleepUntilNs(stack->waker, std::min(due, passDue)) && lowLatencyUs != 0)
            return true;
    }
}

void CyclicHalt(CoStack* stack) {
    Cyclic& c = stack->cyclic;
    if (!c.used.load(std::memory_order_acquire)) return;
    c.active.store(false);
    platform::WakerWake(stack->waker);
}

void CloseCyclic(CoStack* stack) {
    if (stack->cyclic.lock == nullptr) return;
    platform::MutexClose(stack->cyclic.lock);
    stack->cyclic.lock = nullptr;
}

}  // namespace orukiv

using namespace orukiv;

extern "C" int32_t KIV_StartCyclic(KIV_Handle handle, uint32_t periodUs, uint8_t counterOverflow,
                                   KIV_CycleFn fn, void* user) {
    if (handle == nullptr || periodUs < kMinPeriodUs || periodUs > kMaxPeriodUs ||
        (counterOverflow != 0 && (counterOverflow < cia301::kSyncCounterOverflowMin ||
                                  counterOverflow > cia301::kSyncCounterOverflowMax)))
        return KIV_ERR_PARAM;
    CoStack* stack = handle;
    if (!PrepareCyclic(stack)) return KIV_ERR_NO_RESOURCE;
    Cyclic& c = stack->cyclic;
    const CyclicConfig config{periodUs * kNsPerUs, counterOverflow, fn, user};
    {
        CycleGuard guard(stack);
        const uint64_t now = platform::SteadyNs();
        if (OnOwnWorker(stack) && c.inCycle) {
            // Inside fn: the cycle under way ends first.
            c.pending = config;
            c.pendingRestart = !c.active.load();
            c.hasPending = true;
            c.active.store(true);
        } else if (c.active.load()) {
            ApplyConfig(c, config, c.nextDueNs - c.config.periodNs, now);
        } else {
            Restart(c, config, now);
        }
    }
    platform::WakerWake(stack->waker);
    return KIV_OK;
}

extern "C" int32_t KIV_StopCyclic(KIV_Handle handle) {
    if (handle == nullptr) return KIV_ERR_PARAM;
    CoStack* stack = handle;
    Cyclic& c = stack->cyclic;
    if (!c.used.load(std::memory_order_acquire)) return KIV_OK;
    {
        CycleGuard guard(stack);
        c.active.store(false);
        c.hasPending = false;  // a start asked for inside fn is undone too
    }
    platform::WakerWake(stack->waker);
    return KIV_OK;
}

extern "C" int32_t KIV_GetCyclicStats(KIV_Handle handle, KIV_CyclicStats* stats) {
    if (handle == nullptr || stats == nullptr) return KIV_ERR_PARAM;
    const Cyclic& c = handle->cyclic;
    constexpr auto relaxed = std::memory_order_relaxed;
    KIV_CyclicStats out;
    std::memset(&out, 0, sizeof out);
    out.cycles = c.cycles.load(relaxed);
    out.skipped = c.skipped.load(relaxed);
    out.maxLateUs = c.maxLateUs.load(relaxed);
    *stats = out;
    return KIV_OK;
}

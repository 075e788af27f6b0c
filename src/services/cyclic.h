// Cyclic operation: SYNC at a fixed period, each followed at once by the
// host's frames of that cycle, from the worker thread. The worker sleeps
// until its next pass or the next deadline, whichever comes first.
#pragma once

#include <atomic>
#include <cstdint>

#include "orukiv/orukiv.h"
#include "platform/platform.h"

struct CoStack;

namespace orukiv {

// What KIV_StartCyclic sets.
struct CyclicConfig {
    uint64_t periodNs;
    uint8_t overflow;  // 0: SYNC without counter byte
    KIV_CycleFn fn;
    void* user;
};

struct Cyclic {
    // Created by the first KIV_StartCyclic (under the instance mutex), with
    // the instance's waker; `used` is set (release) once both exist, so a
    // thread that reads it true (acquire) may use them. Never replaced.
    platform::Mutex* lock;
    std::atomic<bool> used;
    // Cleared without the lock by KIV_Destroy; read under it before a cycle.
    std::atomic<bool> active;

    // Guarded by lock, which the worker holds for a whole cycle (SYNC, fn,
    // its frames): a thread that holds it knows no cycle is under way.
    CyclicConfig config;
    uint64_t nextDueNs;  // deadline of the next cycle (SteadyNs clock)
    uint64_t cycle;      // number of the next cycle's deadline
    uint8_t counter;     // counter byte of the next SYNC, 1..overflow
    bool badReturnLogged;
    // A start while running, asked for inside fn: applied when it returns.
    bool hasPending;
    bool pendingRestart;  // fn stopped, then started again
    CyclicConfig pending;

    // Worker only: true while the worker runs a cycle (and holds lock).
    bool inCycle;

    // Behind KIV_GetCyclicStats: written under lock, read without.
    std::atomic<uint64_t> cycles;
    std::atomic<uint64_t> skipped;
    std::atomic<uint32_t> maxLateUs;
};

// Worker, after each pass, once cyclic operation was ever started: runs the
// cycles that fall due and sleeps until the next pass is due; returns true.
// False at once when KIV_StartCyclic was never called (the caller sleeps as
// before).
bool CyclicPause(CoStack* stack);
// KIV_Destroy: no cycle starts from now on. Never waits.
void CyclicHalt(CoStack* stack);
// Releases the lock; the worker must have ended.
void CloseCyclic(CoStack* stack);

}  // namespace orukiv

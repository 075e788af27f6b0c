// The foundation of an instance: the host's callbacks, the worker thread,
// the request ring, the tick, the worker's timing, the send path and the
// routing of requests and received frames to the services. It knows the
// service table (stack/service.h), never a service.
#pragma once

#include <atomic>
#include <cstdint>

#include "orukiv/orukiv.h"
#include "platform/platform.h"
#include "stack/request.h"
#include "stack/statistics.h"

using TickSource = uint32_t (*)(void* context);

struct StackCore {
    KIV_CanRecvFn canRecv;
    KIV_CanSendFn canSend;
    KIV_FdRecvFn fdRecv;
    KIV_FdSendFn fdSend;
    KIV_EventFn onEvent;
    void* userData;
    orukiv::platform::Thread* thread;
    orukiv::platform::Mutex* mutex;
    RequestRing ring;
    std::atomic<int32_t> running;

    // The millisecond clock of the services; tests substitute their own.
    TickSource tick;
    void* tickContext;
    // Set once a receive poll answered a count outside 0..8, so that a
    // broken host cannot flood the log.
    bool badRecvCountLogged;
    // The counters behind KIV_GetStats.
    orukiv::Statistics stats;
    // Who frees the instance when KIV_Destroy gave up waiting for the worker:
    // 0 nobody yet, 1 the worker has ended, 2 KIV_Destroy handed it over.
    std::atomic<int32_t> handoff;
    // Set by KIV_Destroy before it returns with the worker still running (it
    // gave up waiting, or was called on the worker itself). The host may free
    // what its callbacks use from then on: the worker enters none again.
    std::atomic<bool> hostReleased;

    // KIV_Cancel's generation counters (stack/cancel.h): for every node
    // (KIV_Cancel(h, 0)) and per node. Any thread raises them; services read.
    std::atomic<uint32_t> cancelAll;
    std::atomic<uint32_t> cancelNode[128];

    // Low-latency mode (stack/worker_timing.cpp): the sleep between passes
    // in microseconds, 0 for the default timing, and KIV_TIMING_ flags. The
    // waker exists from the first KIV_SetWorkerTiming on.
    std::atomic<uint32_t> periodUs;
    std::atomic<uint32_t> timingFlags;
    orukiv::platform::Waker* waker;
    // The last receive poll filled all 8 records (worker only).
    bool lastPollFull;

    // Frees the whole instance (set by the instance that owns the services).
    void (*freeInstance)(StackCore* core);
};

namespace orukiv {

// The worker's sleep between passes in the default timing.
constexpr uint32_t kPassSleepMs = 5;

inline uint32_t StackTick(StackCore* s) {
    return s->tick(s->tickContext);
}

// Milliseconds elapsed from `since` to `now` on the tick counter, by the
// library's one wrap rule: the plain difference, less one when the count
// has wrapped.
inline uint32_t ElapsedMs(uint32_t now, uint32_t since) {
    return now >= since ? now - since : now - since - 1u;
}

// False once KIV_Destroy has returned while the worker still runs: every
// place that calls a host callback asks first.
inline bool HostReachable(const StackCore* s) {
    return !s->hostReleased.load();
}

// The foundation of a handle (defined by the instance, which knows its type).
StackCore* CoreOf(KIV_Handle handle);

// True on the worker thread of this instance, that is inside one of its
// callbacks.
bool OnOwnWorker(const StackCore* stack);

// Request ring and call pattern.
bool EnqueueRequest(StackCore* stack, CoRequest* request);
// Queues the request and waits for its completion. On the instance's own
// worker (a callback calling a queuing export) it would wait for itself:
// refused with KIV_ERR_PARAM and one Error line naming exportName.
int32_t SubmitRequest(StackCore* stack, CoRequest* request, const char* exportName);
// Worker only: hands the request to the service that declared its type;
// true when the service keeps it (it completes the request later).
bool DispatchRequest(StackCore* stack, CoRequest* request);
// The one path by which a classic frame is sent.
int32_t SendFrame(StackCore* stack, const KIV_CanFrame* frame);
// Sends a frame whose failure only the log hears of: nothing without
// canSend, a log line on failure.
void ChannelSend(StackCore* stack, const KIV_CanFrame* frame);

// Worker.
unsigned WorkerMain(void* instance);
void PollReceive(StackCore* stack);
// Runs one pass of the worker loop without sleeping (tests drive it).
void WorkerPass(StackCore* stack);
// A received frame: counted, then offered to each service that takes its
// identifier, in table order.
void ProcessRxFrame(StackCore* stack, const KIV_CanFrame* frame);

// Lifecycle: starts the worker of an instance whose mutex exists (false
// when the thread cannot start); stops it as KIV_Destroy says and frees the
// instance (or hands it to the worker).
bool StartWorker(StackCore* stack);
int32_t StopWorker(StackCore* stack);

}  // namespace orukiv

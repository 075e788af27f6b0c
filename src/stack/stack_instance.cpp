// Instance lifecycle (KIV_Init, KIV_Destroy) and the worker loop.
#include <cstring>
#include <new>

#include "log/log.h"
#include "stack/co_stack.h"
#include "stack/worker_timing.h"

using namespace orukiv;

namespace {

uint32_t PlatformTick(void*) {
    return platform::TickMs();
}

// The instance whose worker runs on this thread, if any.
thread_local const CoStack* t_workerOf = nullptr;

constexpr uint32_t kStopPauseMs = 20;
constexpr uint32_t kJoinTimeoutMs = 1000;
constexpr uint32_t kPollCount = 8;

// Sanitises a receive poll's answer: more than the room is treated as the
// room, a negative count as nothing. The first bad count is logged.
uint32_t ClampPollCount(CoStack* stack, int32_t n, const char* what) {
    if (n >= 0 && n <= static_cast<int32_t>(kPollCount)) return static_cast<uint32_t>(n);
    if (!stack->badRecvCountLogged) {
        stack->badRecvCountLogged = true;
        Log().Error("kiv %s poll returned bad count %d, taken as %d", what, n,
                    n < 0 ? 0 : static_cast<int>(kPollCount));
    }
    return n < 0 ? 0u : kPollCount;
}

// Releases every caller still waiting on an instance whose worker has ended:
// requests left in the ring (behind a stop request) and SDO transfers still
// in a channel. The contract forbids such calls, but a caller blocked
// forever is worse than an error code.
void ReleaseStranded(CoStack* stack) {
    RequestRing& ring = stack->ring;
    while (ring.head != ring.tail) {
        CoRequest* r = ring.slots[ring.head];
        ring.head = (ring.head + 1) % kRingSlots;
        if (r->type == REQ_STOP) continue;
        r->result = KIV_ERR_NO_RESOURCE;
        if (r->done != nullptr) platform::SemaphorePost(r->done);
    }
    LssReleaseAll(stack, KIV_ERR_NO_RESOURCE);
    for (SdoChannel* pool : {stack->sdoUpload, stack->sdoDownload}) {
        for (int i = 0; i < SDO_CHANNELS; ++i) {
            SdoChannel& ch = pool[i];
            if (!ch.busy || ch.request == nullptr) continue;
            ch.request->result = KIV_ERR_TIMEOUT;
            platform::Semaphore* done = ch.request->done;
            std::memset(&ch, 0, sizeof ch);
            if (done != nullptr) platform::SemaphorePost(done);
        }
    }
}

}  // namespace

namespace orukiv {

bool OnOwnWorker(const CoStack* stack) {
    return t_workerOf == stack;
}

CoStack* NewStack(const KIV_InitParam* param) {
    auto* stack = new (std::nothrow) CoStack{};
    if (stack == nullptr) return nullptr;
    if (param != nullptr) {
        stack->canRecv = param->canRecv;
        stack->canSend = param->canSend;
        stack->fdRecv = param->fdRecv;
        stack->fdSend = param->fdSend;
        stack->onEvent = param->onEvent;
        stack->userData = param->userData;
    }
    stack->sdoTimeoutMs = 1000;
    SdoDefaultSettings(&stack->sdoSettings);
    stack->lssTimeoutMs.store(kLssDefaultTimeoutMs);
    stack->tick = PlatformTick;
    return stack;
}

void FreeStack(CoStack* stack) {
    CloseCyclic(stack);
    CloseWorkerTiming(stack);
    if (stack->mutex != nullptr) platform::MutexClose(stack->mutex);
    delete stack;
}

void PollReceive(CoStack* stack) {
    bool full = false;
    if (stack->canRecv != nullptr && HostReachable(stack)) {
        KIV_CanFrame frames[kPollCount];
        int32_t n = stack->canRecv(frames, kPollCount, stack->userData);
        uint32_t count = ClampPollCount(stack, n, "can");
        if (count == kPollCount) Count(stack->stats.fullPolls);
        for (uint32_t i = 0; i < count; ++i) ProcessRxFrame(stack, &frames[i]);
        full = count == kPollCount;
    }
    if (stack->fdRecv != nullptr && HostReachable(stack)) {
        // No operation acts on CAN FD frames: they are taken and dropped.
        KIV_FdFrame frames[kPollCount];
        int32_t n = stack->fdRecv(frames, kPollCount, stack->userData);
        if (ClampPollCount(stack, n, "fd") == kPollCount) full = true;
    }
    stack->lastPollFull = full;
}

void WorkerPass(CoStack* stack) {
    PollReceive(stack);
    for (;;) {
        // Released by KIV_Destroy (from a callback, or after it gave up
        // waiting): what is left is completed when the worker ends.
        if (!HostReachable(stack)) return;
        platform::MutexLock(stack->mutex);
        RequestRing& ring = stack->ring;
        if (ring.head == ring.tail) {
            platform::MutexUnlock(stack->mutex);
            break;
        }
        CoRequest* request = ring.slots[ring.head];
        ring.head = (ring.head + 1) % kRingSlots;
        platform::MutexUnlock(stack->mutex);

        if (request->type == REQ_STOP) {
            stack->running.store(0);
            break;
        }
        if (!DispatchRequest(stack, request)) {
            // The caller may return as soon as it is released: the request
            // is not touched after this.
            if (request->done != nullptr) platform::SemaphorePost(request->done);
        }
    }
    if (!HostReachable(stack)) return;
    SdoTickUploads(stack);
    SdoTickDownloads(stack);
    if (stack->supervision.active != 0) SupervisionDue(stack);
    LssDue(stack);
}

unsigned WorkerMain(void* instance) {
    auto* stack = static_cast<CoStack*>(instance);
    t_workerOf = stack;
    if (stack->running.load() != 0) {
        do {
            WorkerPass(stack);
            // A receive poll that filled all 8 records shows a backlog: the
            // next pass comes at once, in every timing.
            // A block download waiting for its sub-block's acknowledgement
            // looks again after 1 ms.
            if (!CyclicPause(stack) && !LowLatencyPause(stack) && !stack->lastPollFull)
                platform::SleepMs(SdoAwaitsBlockAck(stack) ? 1 : kPassSleepMs);
        } while (stack->running.load() != 0);
    }
    t_workerOf = nullptr;
    // KIV_Destroy may have given up waiting (or been called in a callback)
    // and handed the instance over.
    if (stack->handoff.exchange(1) == 2) {
        ReleaseStranded(stack);
        FreeStack(stack);
    }
    return 0;
}

}  // namespace orukiv

extern "C" KIV_Handle KIV_Init(const KIV_InitParam* param) {
    if (param == nullptr || param->canRecv == nullptr || param->canSend == nullptr) return nullptr;
    CoStack* stack = NewStack(param);
    if (stack == nullptr) return nullptr;
    stack->mutex = platform::MutexCreate();
    if (stack->mutex == nullptr) {
        FreeStack(stack);
        return nullptr;
    }
    stack->running.store(1);
    stack->thread = platform::ThreadStart(WorkerMain, stack);
    if (stack->thread == nullptr) {
        stack->running.store(0);
        FreeStack(stack);
        return nullptr;
    }
    return stack;
}

namespace {

// Ends KIV_Destroy without the worker having ended: from now on it calls no
// host callback; it completes what is left and frees the instance when it
// leaves the callback it is in.
int32_t HandOverToWorker(CoStack* stack) {
    // Under the mutex, as the progress report reads it: no progress call
    // starts after this; one under way on the worker is waited for a while.
    platform::MutexLock(stack->mutex);
    stack->hostReleased.store(true);
    platform::MutexUnlock(stack->mutex);
    SdoAwaitProgress(stack, kJoinTimeoutMs);
    platform::ThreadClose(stack->thread);
    stack->thread = nullptr;
    if (stack->handoff.exchange(2) == 1) {
        ReleaseStranded(stack);
        FreeStack(stack);
    }
    return KIV_OK;
}

}  // namespace

extern "C" int32_t KIV_Destroy(KIV_Handle handle) {
    if (handle == nullptr) return KIV_ERR_PARAM;
    CoStack* stack = handle;
    if (stack->running.load() == 0) return KIV_OK;
    CyclicHalt(stack);

    // Called in one of the instance's own callbacks: waiting for the worker
    // would be waiting for this very call.
    if (OnOwnWorker(stack)) {
        stack->running.store(0);
        return HandOverToWorker(stack);
    }

    // The stop request is all zero (REQ_STOP, no semaphore) and is only ever
    // read, so one shared record serves every instance; unlike a record on
    // this stack it stays valid if the worker outlives this call.
    static CoRequest stop{};
    (void)EnqueueRequest(stack, &stop);  // a full ring still stops: running is cleared below
    WakeWorker(stack);
    platform::SleepMs(kStopPauseMs);
    stack->running.store(0);

    if (platform::ThreadJoin(stack->thread, kJoinTimeoutMs)) {
        platform::ThreadClose(stack->thread);
        ReleaseStranded(stack);
        FreeStack(stack);
        return KIV_OK;
    }
    // The worker is stuck, most likely in a blocking callback. Nothing may be
    // freed while it can still run: it releases the instance when it ends.
    return HandOverToWorker(stack);
}

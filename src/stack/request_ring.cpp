// The request ring and the synchronous call pattern of every queuing export.
#include "log/log.h"
#include "stack/stack_core.h"
#include "stack/worker_timing.h"

namespace orukiv {

bool EnqueueRequest(StackCore* stack, CoRequest* request) {
    platform::MutexLock(stack->mutex);
    RequestRing& ring = stack->ring;
    int32_t next = (ring.tail + 1) % kRingSlots;
    if (next == ring.head) {
        platform::MutexUnlock(stack->mutex);
        return false;
    }
    ring.slots[ring.tail] = request;
    ring.tail = next;
    platform::MutexUnlock(stack->mutex);
    WakeOnRequest(stack);
    return true;
}

int32_t SubmitRequest(StackCore* stack, CoRequest* request, const char* exportName) {
    if (OnOwnWorker(stack)) {
        Log().Error(
            "kiv %s called in a callback of its own instance: refused, it would wait "
            "for itself",
            exportName);
        return KIV_ERR_PARAM;
    }
    request->done = platform::SemaphoreCreate();
    if (request->done == nullptr) return KIV_ERR_NO_RESOURCE;
    if (!EnqueueRequest(stack, request)) {
        platform::SemaphoreClose(request->done);
        return KIV_ERR_NO_RESOURCE;
    }
    platform::SemaphoreWait(request->done);
    platform::SemaphoreClose(request->done);
    return request->result;
}

}  // namespace orukiv

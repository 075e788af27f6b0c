// KIV_Cancel and the cancel marks the services read (stack/cancel.h).
#include "stack/cancel.h"

#include "stack/co_stack.h"
#include "stack/worker_timing.h"

namespace orukiv {

uint32_t CancelMark(const CoStack* stack, uint8_t node) {
    // Both counters only grow, so their sum changes whenever either does.
    const uint32_t all = stack->cancelAll.load(std::memory_order_acquire);
    return all + (node < 128 ? stack->cancelNode[node].load(std::memory_order_acquire) : 0u);
}

bool CancelledSince(const CoStack* stack, uint8_t node, uint32_t mark) {
    return CancelMark(stack, node) != mark;
}

}  // namespace orukiv

extern "C" int32_t KIV_Cancel(KIV_Handle handle, uint8_t node) {
    if (handle == nullptr || node > 127) return KIV_ERR_PARAM;
    if (node == 0)
        handle->cancelAll.fetch_add(1, std::memory_order_acq_rel);
    else
        handle->cancelNode[node].fetch_add(1, std::memory_order_acq_rel);
    // In low-latency mode the next pass comes at once; in the default
    // timing within the plain sleep.
    orukiv::WakeWorker(handle);
    return KIV_OK;
}

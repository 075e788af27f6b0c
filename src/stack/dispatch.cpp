// The common send path, and the routing of requests and received frames to
// the services of the table.
#include "log/log.h"
#include "stack/service.h"

namespace orukiv {

int32_t SendFrame(StackCore* stack, const KIV_CanFrame* frame) {
    if (frame == nullptr || stack->canSend == nullptr) return KIV_ERR_NO_SEND;
    // Released by KIV_Destroy: the host may have freed what canSend uses.
    if (!HostReachable(stack)) return KIV_ERR_NO_RESOURCE;
    int32_t rc = stack->canSend(frame, stack->userData);
    if (rc == 0) {
        Count(stack->stats.framesSent);
        return KIV_OK;
    }
    Count(stack->stats.sendFailures);
    Log().Error("oru can obj<0x%08x> send fail...", frame->id);
    return rc;
}

void ChannelSend(StackCore* stack, const KIV_CanFrame* frame) {
    (void)SendFrame(stack, frame);
}

namespace {

const Service* ServiceOf(int32_t type) {
    for (std::size_t i = 0; i < kServiceCount; ++i) {
        const Service& s = *kServiceTable[i];
        for (std::size_t k = 0; k < s.requestTypeCount; ++k)
            if (s.requestTypes[k] == type) return &s;
    }
    return nullptr;
}

}  // namespace

bool DispatchRequest(StackCore* stack, CoRequest* request) {
    request->result = KIV_OK;
    if (request->type == REQ_INPUT_FRAME) {
        ProcessRxFrame(stack, &request->payload.frame);
        return false;
    }
    const Service* service = request->type != REQ_STOP ? ServiceOf(request->type) : nullptr;
    if (service == nullptr || service->dispatch == nullptr) {
        request->result = KIV_ERR_PARAM;  // a type no service declared
        return false;
    }
    return service->dispatch(stack, request);
}

void ProcessRxFrame(StackCore* stack, const KIV_CanFrame* frame) {
    Count(stack->stats.framesReceived);
    for (std::size_t i = 0; i < kServiceCount; ++i) {
        const Service& s = *kServiceTable[i];
        if (s.onFrame != nullptr && frame->id >= s.frameFirst && frame->id <= s.frameLast)
            s.onFrame(stack, frame);
    }
}

}  // namespace orukiv

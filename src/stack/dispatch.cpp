// The worker's routing of requests, and the common send path.
#include <cstring>

#include "log/log.h"
#include "stack/co_stack.h"

namespace orukiv {

int32_t SendFrame(CoStack* stack, const KIV_CanFrame* frame) {
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

void ChannelSend(CoStack* stack, const KIV_CanFrame* frame) {
    (void)SendFrame(stack, frame);
}

bool DispatchRequest(CoStack* stack, CoRequest* request) {
    request->result = KIV_OK;
    switch (request->type) {
        case REQ_INPUT_FRAME:
            ProcessRxFrame(stack, &request->payload.frame);
            return false;
        case REQ_SDO_READ:
        case REQ_SDO_WRITE:
            if (SdoClaimChannel(stack, request) == KIV_OK) return true;
            request->result = KIV_ERR_NO_RESOURCE;
            return false;
        case REQ_SUPERVISE:
        case REQ_GUARD:
            request->result = SupervisionConfigure(stack, request);
            return false;
        case REQ_LSS:
            return LssDispatch(stack, request);
        case REQ_BOOT_EVENT:
            EmitBootEvent(stack, request);
            return false;
        case REQ_NMT_COMMAND:
        case REQ_PDO:
        case REQ_PDO_RTR:
        case REQ_SYNC:
        case REQ_EMCY:
        case REQ_TIMESTAMP:
        case REQ_NODE_GUARD:
        case REQ_HEARTBEAT: {
            KIV_CanFrame frame;
            BuildServiceFrame(request, &frame);
            request->result = SendFrame(stack, &frame);
            return false;
        }
        default:  // 1, 3 and anything outside 1..17
            request->result = KIV_ERR_PARAM;
            return false;
    }
}

}  // namespace orukiv

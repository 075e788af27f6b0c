// Boot-up as a service of the stack: the worker counts each node's boot-up
// messages and sends the KIV_EVENT_BOOT event of a boot (services/node_boot.h).
#include "instance/co_stack.h"
#include "services/node_boot.h"
#include "stack/service.h"

namespace orukiv {

void CountBootUp(CoStack* stack, const KIV_CanFrame* frame) {
    const uint32_t id = frame->id;
    if (frame->rtr || frame->dlc == 0 || id <= cia301::kCobNodeControlBase ||
        id > cia301::kCobNodeControlBase + cia301::kMaxNodeId)
        return;
    const uint32_t node = id - cia301::kCobNodeControlBase;
    stack->heard[node].fetch_add(1, std::memory_order_release);
    if (frame->data[0] != KIV_NMT_STATE_BOOTUP) return;
    stack->bootUps[node].fetch_add(1, std::memory_order_release);
    if (stack->netBootActive.load(std::memory_order_acquire) != 0 &&
        stack->netBootListed[node].load(std::memory_order_acquire) == 0)
        ReportUnlistedBootUp(stack, static_cast<uint8_t>(node));
}

namespace {

constexpr int32_t kRequestTypes[] = {REQ_BOOT_EVENT};

bool Dispatch(StackCore* core, CoRequest* request) {
    EmitBootEvent(Instance(core), request);
    return false;
}
void OnFrame(StackCore* core, const KIV_CanFrame* frame) {
    CountBootUp(Instance(core), frame);
}

}  // namespace

extern const Service kBootService = {
    "boot-up",
    kRequestTypes,
    std::size(kRequestTypes),
    Dispatch,
    cia301::kCobNodeControlBase + cia301::kMinNodeId,
    cia301::kCobNodeControlBase + cia301::kMaxNodeId,
    OnFrame,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace orukiv

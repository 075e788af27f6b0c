// The instance that owns the services: made, its services set up from the
// table, its worker started (KIV_Init); stopped and freed (KIV_Destroy).
#include <new>

#include "instance/co_stack.h"
#include "stack/service.h"
#include "stack/worker_timing.h"

namespace orukiv {

namespace {

uint32_t PlatformTick(void*) {
    return platform::TickMs();
}

void FreeCore(StackCore* core) {
    FreeStack(Instance(core));
}

}  // namespace

StackCore* CoreOf(KIV_Handle handle) {
    return handle;
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
    stack->tick = PlatformTick;
    stack->freeInstance = FreeCore;
    for (std::size_t i = 0; i < kServiceCount; ++i)
        if (kServiceTable[i]->init != nullptr) kServiceTable[i]->init(stack);
    return stack;
}

void FreeStack(CoStack* stack) {
    for (std::size_t i = 0; i < kServiceCount; ++i)
        if (kServiceTable[i]->close != nullptr) kServiceTable[i]->close(stack);
    CloseWorkerTiming(stack);
    if (stack->mutex != nullptr) platform::MutexClose(stack->mutex);
    delete stack;
}

}  // namespace orukiv

using namespace orukiv;

extern "C" KIV_Handle KIV_Init(const KIV_InitParam* param) {
    if (param == nullptr || param->canRecv == nullptr || param->canSend == nullptr) return nullptr;
    CoStack* stack = NewStack(param);
    if (stack == nullptr) return nullptr;
    stack->mutex = platform::MutexCreate();
    if (stack->mutex == nullptr || !StartWorker(stack)) {
        FreeStack(stack);
        return nullptr;
    }
    return stack;
}

extern "C" int32_t KIV_Destroy(KIV_Handle handle) {
    if (handle == nullptr) return KIV_ERR_PARAM;
    return StopWorker(handle);
}

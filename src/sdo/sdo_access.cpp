// Object access exports: KIV_ReadObject, KIV_WriteObject, their Ex and Block
// forms, KIV_SetSDOTimeout.
#include "sdo/sdo_access.h"

#include <atomic>
#include <cstring>

#include "stack/cancel.h"
#include "stack/co_stack.h"

namespace orukiv {

int32_t SubmitRead(CoStack* stack, uint8_t node, uint16_t index, uint8_t subIndex, uint8_t* buffer,
                   uint32_t capacity, uint32_t* received, uint32_t* abortCode,
                   const char* exportName, bool block, uint8_t* unsized) {
    if (abortCode != nullptr) *abortCode = 0;
    if (!NodeIdValid(node)) return KIV_ERR_PARAM;
    CoRequest r;
    std::memset(&r, 0, sizeof r);
    r.type = REQ_SDO_READ;
    r.node = node;
    r.payload.sdoRead.index = index;
    r.payload.sdoRead.subIndex = subIndex;
    r.payload.sdoRead.buffer = buffer;
    r.payload.sdoRead.capacity = capacity;
    r.payload.sdoRead.received = received;
    r.payload.sdoRead.abortCode = abortCode;
    r.sdoBlock = block ? 1 : 0;
    r.sdoUnsized = unsized;
    r.cancelMark = CancelMark(stack, node);
    return SubmitRequest(stack, &r, exportName);
}

int32_t SubmitWrite(CoStack* stack, uint8_t node, uint16_t index, uint8_t subIndex,
                    const uint8_t* data, uint32_t size, uint32_t* abortCode, const char* exportName,
                    bool block) {
    if (abortCode != nullptr) *abortCode = 0;
    if (!NodeIdValid(node)) return KIV_ERR_PARAM;
    CoRequest r;
    std::memset(&r, 0, sizeof r);
    r.type = REQ_SDO_WRITE;
    r.node = node;
    r.payload.sdoWrite.index = index;
    r.payload.sdoWrite.subIndex = subIndex;
    r.payload.sdoWrite.data = data;
    r.payload.sdoWrite.size = size;
    r.payload.sdoWrite.abortCode = abortCode;
    r.sdoBlock = block ? 1 : 0;
    r.cancelMark = CancelMark(stack, node);
    return SubmitRequest(stack, &r, exportName);
}

}  // namespace orukiv

extern "C" {

int32_t KIV_ReadObject(KIV_Handle handle, uint8_t node, uint16_t index, uint8_t subIndex,
                       uint8_t* buffer, uint32_t capacity, uint32_t* received) {
    if (handle == nullptr || buffer == nullptr || received == nullptr) return KIV_ERR_PARAM;
    return orukiv::SubmitRead(handle, node, index, subIndex, buffer, capacity, received, nullptr,
                              __func__);
}

int32_t KIV_ReadObjectEx(KIV_Handle handle, uint8_t node, uint16_t index, uint8_t subIndex,
                         uint8_t* buffer, uint32_t capacity, uint32_t* received,
                         uint32_t* abortCode) {
    if (abortCode != nullptr) *abortCode = 0;
    if (handle == nullptr || buffer == nullptr || received == nullptr) return KIV_ERR_PARAM;
    return orukiv::SubmitRead(handle, node, index, subIndex, buffer, capacity, received, abortCode,
                              __func__);
}

int32_t KIV_WriteObject(KIV_Handle handle, uint8_t node, uint16_t index, uint8_t subIndex,
                        const uint8_t* data, uint32_t size) {
    if (handle == nullptr || data == nullptr || size == 0) return KIV_ERR_PARAM;
    return orukiv::SubmitWrite(handle, node, index, subIndex, data, size, nullptr, __func__);
}

int32_t KIV_WriteObjectEx(KIV_Handle handle, uint8_t node, uint16_t index, uint8_t subIndex,
                          const uint8_t* data, uint32_t size, uint32_t* abortCode) {
    if (abortCode != nullptr) *abortCode = 0;
    // CiA 301 has no expedited form for zero bytes: refuse rather than send
    // a malformed frame.
    if (handle == nullptr || data == nullptr || size == 0) return KIV_ERR_PARAM;
    return orukiv::SubmitWrite(handle, node, index, subIndex, data, size, abortCode, __func__);
}

int32_t KIV_ReadObjectBlock(KIV_Handle handle, uint8_t node, uint16_t index, uint8_t subIndex,
                            uint8_t* buffer, uint32_t capacity, uint32_t* received,
                            uint32_t* abortCode) {
    if (abortCode != nullptr) *abortCode = 0;
    if (handle == nullptr || buffer == nullptr || received == nullptr) return KIV_ERR_PARAM;
    return orukiv::SubmitRead(handle, node, index, subIndex, buffer, capacity, received, abortCode,
                              __func__, true);
}

int32_t KIV_WriteObjectBlock(KIV_Handle handle, uint8_t node, uint16_t index, uint8_t subIndex,
                             const uint8_t* data, uint32_t size, uint32_t* abortCode) {
    if (abortCode != nullptr) *abortCode = 0;
    if (handle == nullptr || data == nullptr || size == 0) return KIV_ERR_PARAM;
    return orukiv::SubmitWrite(handle, node, index, subIndex, data, size, abortCode, __func__,
                               true);
}

int32_t KIV_SetSDOTimeout(KIV_Handle handle, uint32_t timeoutMs) {
    if (handle == nullptr) return 0;
    orukiv::platform::MutexLock(handle->mutex);
    // The worker copies the value at each claim without the mutex.
    std::atomic_ref<uint32_t>(handle->sdoTimeoutMs).store(timeoutMs, std::memory_order_relaxed);
    return orukiv::platform::MutexUnlock(handle->mutex);
}

}  // extern "C"

// CiA 402 drive-profile exports: each one SDO transfer to sub-index 0 of a
// fixed object (PowerOn: four).
#include <cstring>

#include "platform/platform.h"
#include "sdo/sdo_access.h"
#include "stack/cia301.h"
#include "instance/co_stack.h"

namespace {

constexpr uint16_t kControlword = 0x6040;
constexpr uint16_t kStatusword = 0x6041;
constexpr uint16_t kModesOfOperation = 0x6060;
constexpr uint16_t kModesOfOperationDisplay = 0x6061;
constexpr uint16_t kPositionActual = 0x6064;
constexpr uint16_t kVelocityActual = 0x606C;
constexpr uint16_t kTargetTorque = 0x6071;
constexpr uint16_t kTorqueActual = 0x6077;
constexpr uint16_t kTargetPosition = 0x607A;
constexpr uint16_t kHomingMethod = 0x6098;
constexpr uint16_t kTargetVelocity = 0x60FF;

int32_t WriteLE(KIV_Handle h, uint8_t node, uint16_t index, uint32_t value, uint32_t size,
                const char* exportName) {
    if (h == nullptr) return KIV_ERR_PARAM;
    uint8_t bytes[4];
    for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return orukiv::SubmitWrite(h, node, index, 0, bytes, size, nullptr, exportName);
}

// Room for the answer of a getter: more than the largest drive object, so
// that an answer longer than the object is seen as such rather than cut to
// fit (the server picks the protocol whatever the room).
constexpr uint32_t kReadRoom = 8;

// Reads the object and stores it in *out, little-endian, only when exactly
// `size` bytes arrived: an answer of another length is not this object's
// value, and fails with KIV_ERR_PARAM. An expedited answer without size
// indication carries the object in its first bytes: it fits any object of
// up to four bytes.
template <typename T>
int32_t Get(KIV_Handle h, uint8_t node, uint16_t index, uint32_t size, T* out,
            const char* exportName) {
    if (h == nullptr || out == nullptr) return KIV_ERR_PARAM;
    uint8_t buffer[kReadRoom] = {};
    uint32_t received = 0;
    uint8_t unsized = 0;
    const int32_t rc = orukiv::SubmitRead(h, node, index, 0, buffer, kReadRoom, &received, nullptr,
                                          exportName, false, &unsized);
    if (rc != KIV_OK) return rc;
    const bool unsizedFits = unsized != 0 && received == orukiv::cia301::kSdoExpeditedMax;
    if (received != size && !unsizedFits) return KIV_ERR_PARAM;
    uint32_t v = 0;
    for (uint32_t i = 0; i < size; ++i) v |= static_cast<uint32_t>(buffer[i]) << (8 * i);
    if (size == 2)
        *out = static_cast<T>(static_cast<uint16_t>(v));
    else
        *out = static_cast<T>(v);
    return KIV_OK;
}

}  // namespace

extern "C" {

int32_t KIV_402_SetControlWord(KIV_Handle h, uint8_t node, uint16_t value) {
    return WriteLE(h, node, kControlword, value, 2, __func__);
}
int32_t KIV_402_GetStatusWord(KIV_Handle h, uint8_t node, uint16_t* value) {
    return Get(h, node, kStatusword, 2, value, __func__);
}
int32_t KIV_402_SetOpMode(KIV_Handle h, uint8_t node, int32_t mode) {
    return WriteLE(h, node, kModesOfOperation, static_cast<uint32_t>(mode) & 0xFF, 1, __func__);
}
int32_t KIV_402_GetOpMode(KIV_Handle h, uint8_t node, int32_t* mode) {
    // The mode in force, zero-extended: 0xFF reads as 255.
    return Get(h, node, kModesOfOperationDisplay, 1, mode, __func__);
}
int32_t KIV_402_SetTargetPos(KIV_Handle h, uint8_t node, int32_t value) {
    return WriteLE(h, node, kTargetPosition, static_cast<uint32_t>(value), 4, __func__);
}
int32_t KIV_402_GetActualPos(KIV_Handle h, uint8_t node, int32_t* value) {
    return Get(h, node, kPositionActual, 4, value, __func__);
}
int32_t KIV_402_SetTargetVel(KIV_Handle h, uint8_t node, int32_t value) {
    return WriteLE(h, node, kTargetVelocity, static_cast<uint32_t>(value), 4, __func__);
}
int32_t KIV_402_GetActualVel(KIV_Handle h, uint8_t node, int32_t* value) {
    return Get(h, node, kVelocityActual, 4, value, __func__);
}
int32_t KIV_402_SetTargetTorque(KIV_Handle h, uint8_t node, int16_t value) {
    return WriteLE(h, node, kTargetTorque, static_cast<uint16_t>(value), 2, __func__);
}
int32_t KIV_402_GetActualTorque(KIV_Handle h, uint8_t node, int16_t* value) {
    return Get(h, node, kTorqueActual, 2, value, __func__);
}
int32_t KIV_402_SetHomingMode(KIV_Handle h, uint8_t node, int8_t method) {
    return WriteLE(h, node, kHomingMethod, static_cast<uint8_t>(method), 1, __func__);
}
int32_t KIV_402_FaultReset(KIV_Handle h, uint8_t node) {
    return WriteLE(h, node, kControlword, 0x0080, 2, __func__);
}

int32_t KIV_402_PowerOn(KIV_Handle h, uint8_t node) {
    // Fault reset, shutdown, switch on, enable operation: timing alone, the
    // statusword is not read in between.
    static const uint16_t kSequence[4] = {0x0080, 0x0006, 0x0007, 0x000F};
    for (int i = 0; i < 3; ++i) {
        int32_t rc = WriteLE(h, node, kControlword, kSequence[i], 2, __func__);
        if (rc != KIV_OK) return rc;
        orukiv::platform::SleepMs(10);
    }
    return WriteLE(h, node, kControlword, kSequence[3], 2, __func__);
}

}  // extern "C"

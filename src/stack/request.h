// The request records that the exports hand to the worker through the
// ring: their types (one number per request of every service) and
// arguments. Data only: the foundation carries them, the services read them.
#pragma once

#include <cstdint>

#include "orukiv/orukiv.h"
#include "platform/platform.h"

struct CoRequest;

enum CoRequestType : int32_t {
    REQ_STOP = 0,
    REQ_INPUT_FRAME = 2,
    REQ_NMT_COMMAND = 4,
    REQ_SDO_READ = 5,
    REQ_SDO_WRITE = 6,
    REQ_PDO = 7,
    REQ_PDO_RTR = 8,
    REQ_SYNC = 9,
    REQ_EMCY = 10,
    REQ_TIMESTAMP = 11,
    REQ_NODE_GUARD = 12,
    REQ_HEARTBEAT = 13,
    REQ_SUPERVISE = 14,
    REQ_GUARD = 15,
    REQ_LSS = 16,
    REQ_BOOT_EVENT = 17,
};

// Arguments of a request, by type. Pointers refer to the caller's memory,
// which stays valid because the caller is blocked until completion. A new
// service may keep its arguments in its own record of at most 80 bytes,
// read through PayloadAs, instead of adding a member here.
union CoPayload {
    KIV_CanFrame frame;  // REQ_INPUT_FRAME
    struct {
        int32_t command;
    } nmt;
    struct {
        uint16_t index;
        uint8_t subIndex;
        uint8_t* buffer;
        uint32_t capacity;
        uint32_t* received;
        uint32_t* abortCode;  // may be null
    } sdoRead;
    struct {
        uint16_t index;
        uint8_t subIndex;
        const uint8_t* data;
        uint32_t size;
        uint32_t* abortCode;  // may be null
    } sdoWrite;
    struct {
        uint32_t cobId;
        const uint8_t* data;
        uint8_t length;
    } pdo;
    struct {
        uint32_t cobId;
    } pdoRtr;
    struct {
        uint16_t errorCode;
        uint8_t errorRegister;
        uint8_t manufacturer[5];
    } emcy;
    struct {
        uint16_t year;
        uint8_t month, day, hour, minute, second;
        uint32_t millisecond;
    } timestamp;
    struct {
        int32_t state;
    } heartbeat;
    struct {
        uint32_t timeMs;  // heartbeat time-out or guard time; 0 stops
        uint8_t lifeTimeFactor;
    } supervise;  // REQ_SUPERVISE, REQ_GUARD
    struct {
        uint8_t service;  // orukiv::LssService
        uint8_t a, b;     // node-ID, mode, bit timing table and index
        uint16_t delayMs;
        uint32_t waitMs;     // fastscan step, identify window
        uint32_t values[4];  // switch selective: the identity
        uint32_t* out32;     // identity found or inquired (4)
        uint8_t* out8;       // error code or node-ID
        CoRequest* next;     // worker: the next waiting LSS service
    } lss;
    struct {
        uint8_t status;  // CiA 302-2 letter, 0 success
        uint8_t nmtState;
        int32_t result;
        uint32_t abortCode;
    } boot;  // REQ_BOOT_EVENT
    unsigned char raw[80];
};
static_assert(sizeof(CoPayload) == 80);

// One request. Lives on the calling thread's stack; zero-filled before use.
struct CoRequest {
    int32_t type;  // CoRequestType
    uint8_t node;
    CoPayload payload;
    orukiv::platform::Semaphore* done;  // null in a stop request
    int32_t result;
    // SDO requests: 1 for a block transfer; where a read records that the
    // server's expedited answer indicated no size (may be null).
    uint8_t sdoBlock;
    uint8_t* sdoUnsized;
    // The cancel mark of the request's node when the call was made
    // (stack/cancel.h); services that honour KIV_Cancel set it.
    uint32_t cancelMark;
};

constexpr int kRingSlots = 32;

// Requests waiting for the worker; one slot always stays empty. Guarded by
// the instance mutex.
struct RequestRing {
    CoRequest* slots[kRingSlots];
    int32_t head;
    int32_t tail;
};

// A service's own argument record in a request's payload.
template <class T>
T& PayloadAs(CoRequest& request) {
    static_assert(sizeof(T) <= sizeof(CoPayload) && alignof(T) <= alignof(CoPayload));
    return *reinterpret_cast<T*>(request.payload.raw);
}

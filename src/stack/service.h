// A service of the stack, as the foundation sees it: the request types it
// takes, the identifiers of the frames it takes, its hooks into the worker's
// pass and the instance's life. Each service defines one Service record in
// its own files; the instance lists them in its table
// (instance/service_table.cpp), which is all the foundation knows of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "stack/stack_core.h"

namespace orukiv {

struct Service {
    const char* name;
    // The request types (CoRequestType) the worker hands to dispatch, which
    // returns true when the service keeps the request (and completes it
    // later), false when the worker may release its caller.
    const int32_t* requestTypes;
    std::size_t requestTypeCount;
    bool (*dispatch)(StackCore* stack, CoRequest* request);
    // Received frames whose identifier lies in frameFirst..frameLast go to
    // onFrame, in table order.
    uint32_t frameFirst;
    uint32_t frameLast;
    void (*onFrame)(StackCore* stack, const KIV_CanFrame* frame);
    // Once a pass, after the requests: the service's due work.
    void (*due)(StackCore* stack);
    // After each pass: sleeps until the next pass is due and returns true
    // when the service times the worker; false leaves it to the next one.
    bool (*pause)(StackCore* stack);
    // The instance is made (before its worker starts): default settings.
    void (*init)(StackCore* stack);
    // KIV_Destroy begins: nothing new starts. Never waits.
    void (*halt)(StackCore* stack);
    // The worker has ended: callers the service still holds are released
    // with result.
    void (*release)(StackCore* stack, int32_t result);
    // The instance is freed: the service's resources go.
    void (*close)(StackCore* stack);
    // KIV_Destroy hands the instance over to a worker it could not join (or
    // it was called inside a callback): waits up to maxMs for a host
    // callback of the service under way on another thread to return, so
    // that none runs once KIV_Destroy has returned.
    void (*handOver)(StackCore* stack, uint32_t maxMs);
};

// Every identifier, for services that pick their frames themselves.
constexpr uint32_t kAllFrames = 0xFFFFFFFFu;

// The service table, in order (instance/service_table.cpp).
extern const Service* const kServiceTable[];
extern const std::size_t kServiceCount;

}  // namespace orukiv

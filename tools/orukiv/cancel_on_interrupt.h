// Long library calls that Ctrl-C cancels: the call runs on a thread of its
// own while this thread watches for an interrupt and, at the first, calls
// KIV_Cancel for the call's node (0: everything, LSS included). The call then
// ends with KIV_ERR_CANCELLED within a worker pass.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "interrupt.h"
#include "orukiv/orukiv.h"

namespace orukiv::tool {

// Runs call() and returns its result; true in *cancelled when an interrupt
// cancelled it (may be null).
template <typename Call>
int32_t RunCancellable(KIV_Handle h, uint8_t node, Call call, bool* cancelled = nullptr) {
    std::atomic<bool> done{false};
    int32_t result = KIV_OK;
    std::thread worker([&] {
        result = call();
        done.store(true);
    });
    bool sent = false;
    while (!done.load()) {
        if (!sent && Interrupted()) {
            KIV_Cancel(h, node);
            sent = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    worker.join();
    if (cancelled != nullptr) *cancelled = sent;
    return result;
}

}  // namespace orukiv::tool

// Per-instance counters behind KIV_GetStats. Only the worker writes them, so
// a count is a relaxed load and store (no locked instruction on the worker's
// path); any thread may read them.
#pragma once

#include <atomic>
#include <cstdint>

struct StackCore;

namespace orukiv {

struct Statistics {
    std::atomic<uint64_t> framesReceived;
    std::atomic<uint64_t> framesSent;
    std::atomic<uint64_t> sendFailures;
    std::atomic<uint64_t> fullPolls;
    std::atomic<uint64_t> sdoCompleted;
    std::atomic<uint64_t> sdoTimeouts;
    std::atomic<uint64_t> sdoAborts;
    // Abort code (bits 8..39) and node (bits 0..7) in one word, so that a
    // reader never pairs a code with another abort's node.
    std::atomic<uint64_t> lastAbort;
};

// Worker only: one more of `counter`.
inline void Count(std::atomic<uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// Worker only: an SDO transfer with `node` ended with `result`; abortCode is
// the server's code when result is KIV_ERR_ABORTED.
void CountSdoEnd(StackCore* stack, uint8_t node, int32_t result, uint32_t abortCode);

}  // namespace orukiv

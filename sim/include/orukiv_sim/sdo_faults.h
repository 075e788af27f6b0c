// The SDO abort codes the simulated servers use, and the fault knobs of a
// node's SDO server (SimNode::SetFaults; the segmented server's protocol
// knobs act in SdoSegmentedServer).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "orukiv/orukiv.h"

namespace orukiv::sim {

// SDO abort codes the server uses.
namespace abort_code {
constexpr uint32_t kToggleNotAlternated = 0x05030000;
constexpr uint32_t kCommandInvalid = 0x05040001;
constexpr uint32_t kUnsupportedAccess = 0x06010000;
constexpr uint32_t kWriteOnly = 0x06010001;
constexpr uint32_t kReadOnly = 0x06010002;
constexpr uint32_t kNoObject = 0x06020000;
constexpr uint32_t kCannotMap = 0x06040041;
constexpr uint32_t kMappingTooLong = 0x06040042;
constexpr uint32_t kLengthMismatch = 0x06070010;
constexpr uint32_t kLengthTooHigh = 0x06070012;
constexpr uint32_t kLengthTooLow = 0x06070013;
constexpr uint32_t kNoSubIndex = 0x06090011;
constexpr uint32_t kInvalidValue = 0x06090030;
constexpr uint32_t kValueTooHigh = 0x06090031;
constexpr uint32_t kGeneralError = 0x08000000;
}  // namespace abort_code

// Fault knobs of a node's SDO server. All off by default. The random draws
// come from a generator seeded with `seed` each time SetFaults is called.
struct SdoFaults {
    uint32_t seed = 1;
    // Share (0..1) of answers not sent at all. The server's state moves on
    // as if the answer had been lost on the bus.
    double dropShare = 0.0;
    // Every answer is sent this much later, from the bus's timer thread.
    std::chrono::microseconds delay{0};
    // Share (0..1) of answers with one byte inverted (xor 0xFF): the byte
    // at corruptByte, or a random one of the eight when it is negative.
    double corruptShare = 0.0;
    int corruptByte = -1;
    // The next N segment answers (upload segments and download segment
    // acknowledgements) carry the wrong toggle bit; -1: all of them. Such an
    // answer does not move the transfer on, so a client repeating its
    // request with the right toggle is served normally.
    int wrongToggleAnswers = 0;
    // Abort a segmented transfer with midTransferAbortCode instead of
    // serving segment N + 1 (0: the first segment request is aborted);
    // negative: never.
    int abortAfterSegments = -1;
    uint32_t midTransferAbortCode = abort_code::kGeneralError;
    // Size announced in the segmented initiate-upload answer (0x41) in place
    // of the object's real size; the segments still carry the real data and
    // the last one still follows the real size. Announcing less than the
    // real size makes a last segment hold more than the announced remainder
    // (real - announced < 7) or non-last segments run beyond the announced
    // size (real - announced >= 7); announcing more makes the last segment
    // arrive while more than 7 announced bytes remain.
    std::optional<uint32_t> announcedUploadSize;
    // Byte 0 of every expedited upload answer, in place of 0x4F/0x4B/0x47/
    // 0x43 (the data bytes stay the object's).
    std::optional<uint8_t> expeditedUploadCommand;
    // A segment request repeating the previous toggle is answered again
    // with the previous answer instead of an abort (as if the answer had
    // been lost and the client retried).
    bool repeatOnSameToggle = false;
    // Upload answers without the size indicated, as CiA 301 allows: 0x42
    // with four data bytes (the object's, zero-padded) for an expedited
    // answer, 0x40 for a segmented one.
    bool omitUploadSize = false;

    // Lenient behaviours of older simulated servers, off by default:
    // an initiate request during a segmented transfer replaces it (instead
    // of being aborted with kCommandInvalid) ...
    bool replaceTransferOnInitiate = false;
    // ... and TPDO mapping records take any write, in any order.
    bool lenientMapping = false;

    // The server's own time-out, as standard devices have: a segmented or
    // block transfer that no request has moved on for this long ends when the
    // next request arrives (0: never). Without it, a transfer whose client
    // left without an abort that arrived (its initiate answer lost, the
    // repeated initiate aborted) blocks the node for good.
    std::chrono::milliseconds transferTimeout{0};
};

}  // namespace orukiv::sim

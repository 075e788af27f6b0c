// A fake host bus for tests: binds a library instance's callbacks to this
// object, records every sent frame with its time, feeds injected frames to
// canRecv, records events, and can make canSend fail or block.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "orukiv/orukiv.h"

namespace orukiv::test {

using Clock = std::chrono::steady_clock;

struct SentFrame {
    KIV_CanFrame frame;
    Clock::time_point at;
};

struct PollRecord {
    uint32_t maxCount;
    Clock::time_point at;
};

class FakeBus {
public:
    FakeBus() = default;
    FakeBus(const FakeBus&) = delete;
    FakeBus& operator=(const FakeBus&) = delete;

    // Init record with canRecv and canSend (and, when asked, onEvent and the
    // CAN FD pair) bound to this bus.
    KIV_InitParam Param(bool withEvents = true, bool withFd = false);

    // Frames handed to canRecv at the next polls, up to 8 per poll.
    void Inject(const KIV_CanFrame& frame);
    void Inject(const std::vector<KIV_CanFrame>& frames);
    // Overrides the count canRecv answers (frames are still copied first);
    // used to feed out-of-range counts. Reset with ClearRecvCountOverride.
    void SetRecvCountOverride(int32_t count);
    void ClearRecvCountOverride();
    // Called on the worker thread for every sent frame, after it is
    // recorded (e.g. to answer it). May Inject.
    void SetResponder(std::function<void(const KIV_CanFrame&)> fn);

    // canSend answers `code` from now on (0 = success).
    void FailSendsWith(int32_t code);
    // canSend blocks (inside the callback) until ReleaseSends.
    void BlockSends();
    void ReleaseSends();
    // Number of canSend calls currently blocked.
    int BlockedSenders() const;

    std::vector<SentFrame> Sent() const;
    std::vector<KIV_CanFrame> SentFrames() const;
    std::size_t SentCount() const;
    void ClearSent();
    // Waits until at least n frames were sent; false on time-out.
    bool WaitForSent(std::size_t n, std::chrono::milliseconds timeout) const;

    std::vector<PollRecord> CanPolls() const;
    std::size_t FdPolls() const;
    std::size_t FdSends() const;

    std::vector<KIV_Event> Events() const;
    bool WaitForEvents(std::size_t n, std::chrono::milliseconds timeout) const;

private:
    static int32_t CanRecv(KIV_CanFrame* frames, uint32_t maxCount, void* user);
    static int32_t CanSend(const KIV_CanFrame* frame, void* user);
    static int32_t FdRecv(KIV_FdFrame* frames, uint32_t maxCount, void* user);
    static int32_t FdSend(const KIV_FdFrame* frame, void* user);
    static void OnEvent(const KIV_Event* event, void* user);

    mutable std::mutex m_;
    mutable std::condition_variable cv_;
    std::deque<KIV_CanFrame> rx_;
    bool overrideCount_ = false;
    int32_t recvCount_ = 0;
    std::vector<SentFrame> sent_;
    std::vector<PollRecord> polls_;
    std::size_t fdPolls_ = 0;
    std::size_t fdSends_ = 0;
    std::vector<KIV_Event> events_;
    int32_t sendResult_ = 0;
    bool blockSends_ = false;
    int blocked_ = 0;
    std::function<void(const KIV_CanFrame&)> responder_;
};

}  // namespace orukiv::test

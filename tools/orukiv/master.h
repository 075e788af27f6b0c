// The tool's library instance: one KIV_Init over a bus, the frame trace in
// both directions, and the events it reports. The bus's arrivals are passed
// on to the instance with KIV_Notify.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "bus.h"
#include "candump.h"
#include "orukiv/orukiv.h"

namespace orukiv::tool {

// The recent events of the instance, kept for waiting on, and optionally
// passed to a handler as it arrives (on the worker thread). Events are
// numbered from 0 as they arrive; only the last kKept stay, so that memory
// stays flat however long the tool runs (a monitor takes its events through
// the handler).
class EventLog {
public:
    using Predicate = std::function<bool(const KIV_Event&)>;
    static constexpr std::size_t kKept = 4096;

    void Add(const KIV_Event& event);
    // Sets the handler (empty: none) and returns the events kept that
    // arrived before it, none of which it will see. The old handler is no longer
    // running when this returns.
    std::vector<KIV_Event> SetHandler(std::function<void(const KIV_Event&)> handler);
    // Waits for an event matching `match` numbered `from` or later (a number
    // from Size()); its number, or -1 on time-out.
    long WaitFor(const Predicate& match, std::size_t from, std::chrono::milliseconds timeout);
    // The kept events numbered `from` or later.
    std::vector<KIV_Event> Since(std::size_t from) const;
    // How many events arrived in all: the number the next one gets.
    std::size_t Size() const;
    // How many are kept now (at most kKept).
    std::size_t Kept() const;

private:
    mutable std::mutex m_;  // events_
    std::condition_variable cv_;
    std::deque<KIV_Event> events_;
    std::size_t first_ = 0;  // the number of events_.front()
    std::mutex handlerM_;    // handler_, held while it runs
    std::function<void(const KIV_Event&)> handler_;
};

class Master {
public:
    // `trace` may be null; both must outlive the master.
    Master(Bus& bus, FrameTrace* trace);
    ~Master();
    Master(const Master&) = delete;
    Master& operator=(const Master&) = delete;

    // KIV_Init; false when it returned null.
    bool Start();
    KIV_Handle Handle() const { return handle_; }
    Bus& bus() { return bus_; }
    EventLog& Events() { return events_; }
    // Sets what sees each frame the instance sent (on the worker thread;
    // empty: nothing). Once this returns the old observer is not running.
    void SetSendObserver(std::function<void(const KIV_CanFrame&)> observer);

private:
    static int32_t CanRecv(KIV_CanFrame* frames, uint32_t maxCount, void* user);
    static int32_t CanSend(const KIV_CanFrame* frame, void* user);
    static void OnEvent(const KIV_Event* event, void* user);

    Bus& bus_;
    FrameTrace* const trace_;
    EventLog events_;
    std::mutex observerM_;  // held while the observer runs
    std::function<void(const KIV_CanFrame&)> observer_;
    KIV_Handle handle_ = nullptr;
};

// "KIV_ERR_TIMEOUT (no complete answer in time)" and, for an abort,
// "KIV_ERR_ABORTED: SDO abort 0x06020000 (object does not exist ...)".
std::string ResultText(int32_t result, uint32_t abortCode = 0);
// "KIV_ERR_TIMEOUT"; "error 7" for a code of the bus adapter.
std::string ResultName(int32_t result);

}  // namespace orukiv::tool

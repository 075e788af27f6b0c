// Helpers shared by the stack-core tests: waiting for a condition, peeking at
// the request ring, capturing log lines, and a scripted host whose receive
// polls answer exactly what a test asks for.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orukiv/QUserLog.h"
#include "orukiv/orukiv.h"
#include "platform/platform.h"
#include "instance/co_stack.h"

namespace orukiv::coretest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls pred every millisecond until it holds or the time is up.
inline bool WaitUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto end = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() >= end) return pred();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Number of requests waiting in the instance's ring, read under its mutex.
inline int Waiting(CoStack* stack) {
    platform::MutexLock(stack->mutex);
    const int n = (stack->ring.tail - stack->ring.head + kRingSlots) % kRingSlots;
    platform::MutexUnlock(stack->mutex);
    return n;
}

// Runs an export on its own thread, so that a call that wrongly blocks
// fails the test instead of hanging it.
inline std::future<int32_t> Async(std::function<int32_t()> call) {
    return std::async(std::launch::async, std::move(call));
}

// True when the future is ready within the time (the call has returned).
inline bool ReturnsWithin(std::future<int32_t>& f, std::chrono::milliseconds timeout) {
    return f.wait_for(timeout) == std::future_status::ready;
}

// Owns an instance for a test: destroys it at scope exit unless the test
// took the handle back to destroy it itself, so that a failed assertion
// never leaves a worker running on a host that goes away.
class Instance {
public:
    explicit Instance(KIV_Handle h) : h_(h) {}
    ~Instance() {
        if (h_ != nullptr) KIV_Destroy(h_);
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;
    KIV_Handle get() const { return h_; }
    // The test destroys the instance itself from now on.
    KIV_Handle Take() {
        KIV_Handle h = h_;
        h_ = nullptr;
        return h;
    }

private:
    KIV_Handle h_;
};

// Holds a bus's canSend blocked for its lifetime. Declared after the
// futures of the calls it holds up, so that it lets them finish before
// their destructors wait for them.
template <typename Bus>
class SendGate {
public:
    explicit SendGate(Bus& bus) : bus_(bus) { bus_.BlockSends(); }
    ~SendGate() { bus_.ReleaseSends(); }
    SendGate(const SendGate&) = delete;
    SendGate& operator=(const SendGate&) = delete;
    void Open() { bus_.ReleaseSends(); }

private:
    Bus& bus_;
};

// Collects every line the logger hands to the debugger output while alive.
// The logger's level is opened fully for the capture and put back to the
// test binaries' default (everything) afterwards.
class LogCapture {
public:
    LogCapture() {
        QUserLog::GetInstance().SetLogLevel(LOG_TRACE);
        platform::SetDebugCapture(&LogCapture::Hook, this);
    }
    ~LogCapture() {
        platform::SetDebugCapture(nullptr, nullptr);
        QUserLog::GetInstance().SetLogLevel(LOG_TRACE);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Lines of the given level tag ("ERROR", "WARN", ...), without the
    // separate newline texts.
    std::vector<std::string> Lines(const std::string& level) const {
        const std::string tag = "] [" + level + "] ";
        std::lock_guard<std::mutex> g(m_);
        std::vector<std::string> out;
        for (const auto& t : texts_)
            if (t.find(tag) != std::string::npos) out.push_back(t);
        return out;
    }
    // The message part of a line: what follows "[LEVEL] ".
    static std::string Message(const std::string& line) {
        const auto at = line.find("] [");
        if (at == std::string::npos) return line;
        const auto close = line.find("] ", at + 3);
        return close == std::string::npos ? line : line.substr(close + 2);
    }

private:
    static void Hook(const char* text, void* ctx) {
        auto* self = static_cast<LogCapture*>(ctx);
        std::lock_guard<std::mutex> g(self->m_);
        self->texts_.emplace_back(text);
    }
    mutable std::mutex m_;
    std::vector<std::string> texts_;
};

// One answer of a scripted receive poll: the frames written into the room
// (at most 8) and the count returned, which may differ from the frames
// written.
struct PollStep {
    std::vector<KIV_CanFrame> frames;
    int32_t answer = 0;
};

// A host whose callbacks follow a script. Classic polls take the next
// scripted step, or the idle step when the script is used up; every
// callback records the thread it ran on.
class ScriptHost {
public:
    KIV_InitParam Param(bool withEvents = true) {
        KIV_InitParam p;
        std::memset(&p, 0, sizeof p);
        p.canRecv = &ScriptHost::CanRecv;
        p.canSend = &ScriptHost::CanSend;
        if (withEvents) p.onEvent = &ScriptHost::OnEvent;
        p.userData = this;
        return p;
    }

    void Script(std::vector<PollStep> steps) {
        std::lock_guard<std::mutex> g(m_);
        for (auto& s : steps) script_.push_back(std::move(s));
    }
    void SetIdle(PollStep step) {
        std::lock_guard<std::mutex> g(m_);
        idle_ = std::move(step);
    }
    bool ScriptDone() const {
        std::lock_guard<std::mutex> g(m_);
        return script_.empty();
    }
    // CAN FD polls answer with these frames and this count.
    void SetFdAnswer(std::vector<KIV_FdFrame> frames, int32_t answer) {
        std::lock_guard<std::mutex> g(m_);
        fdFrames_ = std::move(frames);
        fdAnswer_ = answer;
    }

    std::size_t Polls() const {
        std::lock_guard<std::mutex> g(m_);
        return polls_;
    }
    std::size_t FdPolls() const {
        std::lock_guard<std::mutex> g(m_);
        return fdPolls_;
    }
    std::vector<uint32_t> MaxCounts() const {
        std::lock_guard<std::mutex> g(m_);
        return maxCounts_;
    }
    std::vector<KIV_Event> Events() const {
        std::lock_guard<std::mutex> g(m_);
        return events_;
    }
    std::vector<std::thread::id> EventThreads() const {
        std::lock_guard<std::mutex> g(m_);
        return eventThreads_;
    }
    std::thread::id PollThread() const {
        std::lock_guard<std::mutex> g(m_);
        return pollThread_;
    }
    std::vector<KIV_CanFrame> Sent() const {
        std::lock_guard<std::mutex> g(m_);
        return sent_;
    }

    static int32_t FdRecv(KIV_FdFrame* frames, uint32_t maxCount, void* user) {
        auto* self = static_cast<ScriptHost*>(user);
        std::lock_guard<std::mutex> g(self->m_);
        ++self->fdPolls_;
        for (std::size_t i = 0; i < self->fdFrames_.size() && i < maxCount; ++i)
            frames[i] = self->fdFrames_[i];
        return self->fdAnswer_;
    }
    static int32_t FdSend(const KIV_FdFrame*, void* user) {
        auto* self = static_cast<ScriptHost*>(user);
        std::lock_guard<std::mutex> g(self->m_);
        ++self->fdSends_;
        return 0;
    }
    std::size_t FdSends() const {
        std::lock_guard<std::mutex> g(m_);
        return fdSends_;
    }

private:
    static int32_t CanRecv(KIV_CanFrame* frames, uint32_t maxCount, void* user) {
        auto* self = static_cast<ScriptHost*>(user);
        std::lock_guard<std::mutex> g(self->m_);
        ++self->polls_;
        self->maxCounts_.push_back(maxCount);
        self->pollThread_ = std::this_thread::get_id();
        PollStep step = self->idle_;
        if (!self->script_.empty()) {
            step = std::move(self->script_.front());
            self->script_.pop_front();
        }
        // Never write beyond the room the library passed.
        for (std::size_t i = 0; i < step.frames.size() && i < maxCount; ++i)
            frames[i] = step.frames[i];
        return step.answer;
    }
    static int32_t CanSend(const KIV_CanFrame* frame, void* user) {
        auto* self = static_cast<ScriptHost*>(user);
        std::lock_guard<std::mutex> g(self->m_);
        self->sent_.push_back(*frame);
        return 0;
    }
    static void OnEvent(const KIV_Event* event, void* user) {
        auto* self = static_cast<ScriptHost*>(user);
        std::lock_guard<std::mutex> g(self->m_);
        self->events_.push_back(*event);
        self->eventThreads_.push_back(std::this_thread::get_id());
    }

    mutable std::mutex m_;
    std::deque<PollStep> script_;
    PollStep idle_;
    std::vector<KIV_FdFrame> fdFrames_;
    int32_t fdAnswer_ = 0;
    std::size_t polls_ = 0;
    std::size_t fdPolls_ = 0;
    std::size_t fdSends_ = 0;
    std::vector<uint32_t> maxCounts_;
    std::thread::id pollThread_;
    std::vector<KIV_Event> events_;
    std::vector<std::thread::id> eventThreads_;
    std::vector<KIV_CanFrame> sent_;
};

// n PDO-range data frames from firstId up, each with one distinguishing
// data byte.
inline std::vector<KIV_CanFrame> NumberedFrames(std::size_t n, uint32_t firstId = 0x181) {
    std::vector<KIV_CanFrame> out;
    for (std::size_t i = 0; i < n; ++i) {
        KIV_CanFrame f;
        std::memset(&f, 0, sizeof f);
        f.id = firstId + static_cast<uint32_t>(i);
        f.dlc = 1;
        f.data[0] = static_cast<uint8_t>(0xA0 + i);
        out.push_back(f);
    }
    return out;
}

}  // namespace orukiv::coretest

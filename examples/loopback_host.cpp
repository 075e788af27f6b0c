// A minimal host: one stack instance on an in-memory loopback bus, where
// every frame the library sends comes back at its next receive poll. The
// host lets the worker poll for about a second, sends an NMT start, a SYNC
// and a heartbeat, and reports what the library did.
//
// Only the public header is used, exactly as a third-party host would.
#include <orukiv/orukiv.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The host side of the bus. Callbacks run on the library's worker thread,
// the exports on the main thread: everything shared is locked or atomic.
class LoopbackBus {
public:
    KIV_InitParam Param() {
        KIV_InitParam p{};
        p.canRecv = &LoopbackBus::CanRecv;
        p.canSend = &LoopbackBus::CanSend;
        p.onEvent = &LoopbackBus::OnEvent;
        p.userData = this;
        return p;
    }

    std::uint64_t Polls() const { return polls_.load(); }
    std::uint64_t FramesSent() const { return sent_.load(); }

    std::vector<KIV_Event> Events() const {
        std::lock_guard<std::mutex> g(m_);
        return events_;
    }

    bool WaitForEvents(std::size_t n, std::chrono::milliseconds limit) const {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            if (Events().size() >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return Events().size() >= n;
    }

private:
    static int32_t CanRecv(KIV_CanFrame* frames, uint32_t maxCount, void* user) {
        auto* self = static_cast<LoopbackBus*>(user);
        self->polls_.fetch_add(1);
        std::lock_guard<std::mutex> g(self->m_);
        uint32_t n = 0;
        while (n < maxCount && !self->wire_.empty()) {
            frames[n++] = self->wire_.front();
            self->wire_.pop_front();
        }
        return static_cast<int32_t>(n);
    }

    static int32_t CanSend(const KIV_CanFrame* frame, void* user) {
        auto* self = static_cast<LoopbackBus*>(user);
        self->sent_.fetch_add(1);
        std::lock_guard<std::mutex> g(self->m_);
        self->wire_.push_back(*frame);
        return 0;
    }

    static void OnEvent(const KIV_Event* event, void* user) {
        auto* self = static_cast<LoopbackBus*>(user);
        std::lock_guard<std::mutex> g(self->m_);
        self->events_.push_back(*event);
    }

    mutable std::mutex m_;
    std::deque<KIV_CanFrame> wire_;
    std::vector<KIV_Event> events_;
    std::atomic<std::uint64_t> polls_{0};
    std::atomic<std::uint64_t> sent_{0};
};

const char* EventName(uint32_t type) {
    switch (type) {
        case KIV_EVENT_NMT:
            return "NMT";
        case KIV_EVENT_SYNC:
            return "SYNC";
        case KIV_EVENT_EMCY:
            return "EMCY";
        case KIV_EVENT_HEARTBEAT:
            return "heartbeat";
        case KIV_EVENT_TIME:
            return "TIME";
        case KIV_EVENT_SDO:
            return "SDO";
        case KIV_EVENT_FRAME:
            return "PDO-range frame";
        case KIV_EVENT_NODE_GUARD:
            return "node guarding";
        default:
            return "unclassified";
    }
}

void PrintEvent(const KIV_Event& ev) {
    std::printf("  event %-10s node %3u", EventName(ev.type), static_cast<unsigned>(ev.node));
    if (ev.type == KIV_EVENT_NMT) {
        std::printf("  command 0x%02" PRIX32, ev.body.nmt.command);
    } else if (ev.type == KIV_EVENT_HEARTBEAT) {
        std::printf("  state %" PRIu32, ev.body.heartbeat.state);
    }
    std::printf("\n");
}

bool Report(const char* what, int32_t result) {
    std::printf("%-34s -> %" PRId32 "%s\n", what, result, result == KIV_OK ? " (ok)" : "");
    return result == KIV_OK;
}

}  // namespace

int main() {
    LoopbackBus bus;
    const KIV_InitParam param = bus.Param();

    const auto started = Clock::now();
    KIV_Handle handle = KIV_Init(&param);
    if (handle == nullptr) {
        std::fprintf(stderr, "KIV_Init failed\n");
        return 1;
    }
    std::printf("instance created; letting the worker poll for 1 s\n");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("receive polls after 1 s: %" PRIu64 " (one every ~5 ms expected)\n", bus.Polls());

    bool ok = true;
    ok &= Report("NMT start, all nodes", KIV_NMT_SendCommand(handle, 0, KIV_NMT_CMD_START));
    ok &= Report("SYNC", KIV_SendSYNC(handle));
    ok &= Report("heartbeat, node 1, operational",
                 KIV_NMT_SendHeartbeat(handle, 1, KIV_NMT_STATE_OPERATIONAL));

    // The loopback hands the frames back at the next poll, as events.
    const bool echoed = bus.WaitForEvents(3, std::chrono::seconds(2));

    const int32_t destroyed = KIV_Destroy(handle);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();

    std::printf("instance destroyed (%" PRId32 ") after %lld ms\n", destroyed,
                static_cast<long long>(ms));
    std::printf("receive polls: %" PRIu64 "\n", bus.Polls());
    std::printf("frames sent:   %" PRIu64 "\n", bus.FramesSent());
    const auto events = bus.Events();
    std::printf("events:        %zu\n", events.size());
    for (const auto& ev : events) PrintEvent(ev);

    if (!ok || !echoed || destroyed != KIV_OK) {
        std::fprintf(stderr, "loopback example: something went wrong\n");
        return 1;
    }
    return 0;
}

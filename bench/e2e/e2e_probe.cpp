// End-to-end figures of the library on the simulated bus, as a plain
// program (no benchmark framework) so that the same code runs on Linux and,
// cross-built, under Wine. Prints one "name value" line per figure; the
// names say the unit. scripts/bench turns them into ratios.
//
//   e2e_probe [--quick]
//
// Modes of the latency and segmented figures:
//   default  the default timing, node answering inside canSend;
//   wake     KIV_SetWorkerTiming(1000 us, wake on request), same node;
//   notify   as wake, the node answering from its own thread and the host
//            calling KIV_Notify as each frame arrives.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "orukiv/QUserLog.h"
#include "orukiv/orukiv.h"
#include "orukiv_sim/sim.h"

namespace {

using Clock = std::chrono::steady_clock;
using orukiv::sim::SimNode;
using orukiv::sim::VirtualBus;

constexpr uint8_t kNode = 5;
constexpr uint16_t kU32 = 0x2000;
constexpr uint16_t kBlock = 0x2001;
constexpr std::size_t kBlockSize = 64;

bool g_quick = false;

void Print(const std::string& name, double value) {
    std::printf("%s %.6g\n", name.c_str(), value);
    std::fflush(stdout);
}

double Us(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
}

enum class Mode { kDefault, kWake, kNotify };
const char* Name(Mode m) {
    return m == Mode::kDefault ? "default" : m == Mode::kWake ? "wake" : "notify";
}

// The host's side of a virtual bus: frames for the library queue here and,
// when asked, each arrival calls KIV_Notify. Every receive poll is
// timestamped (one poll per worker pass).
class Host {
public:
    explicit Host(VirtualBus& bus) : bus_(bus) {
        ep_ = bus_.Attach("host", [this](const KIV_CanFrame& f) {
            {
                std::lock_guard<std::mutex> g(m_);
                queue_.push_back(f);
            }
            // Under the lock: NotifyTo(nullptr) must not return while a
            // notification to the old handle is still on its way.
            std::lock_guard<std::mutex> g(notifyM_);
            if (notify_ != nullptr) KIV_Notify(notify_);
        });
        polls_.reserve(1 << 18);
    }
    ~Host() { bus_.Detach(ep_); }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    KIV_InitParam Param() {
        KIV_InitParam p;
        std::memset(&p, 0, sizeof p);
        p.canRecv = &Host::Recv;
        p.canSend = &Host::Send;
        p.userData = this;
        return p;
    }
    void NotifyTo(KIV_Handle h) {
        std::lock_guard<std::mutex> g(notifyM_);
        notify_ = h;
    }
    void ClearPolls() {
        std::lock_guard<std::mutex> g(m_);
        polls_.clear();
    }
    double MedianPassUs() {
        std::lock_guard<std::mutex> g(m_);
        std::vector<double> gaps;
        for (std::size_t i = 1; i < polls_.size(); ++i)
            gaps.push_back(Us(polls_[i] - polls_[i - 1]));
        return Quantile(std::move(gaps), 0.5);
    }

private:
    static int32_t Recv(KIV_CanFrame* frames, uint32_t maxCount, void* user) {
        auto* self = static_cast<Host*>(user);
        std::lock_guard<std::mutex> g(self->m_);
        if (self->polls_.size() < self->polls_.capacity()) self->polls_.push_back(Clock::now());
        uint32_t n = 0;
        while (n < maxCount && !self->queue_.empty()) {
            frames[n++] = self->queue_.front();
            self->queue_.pop_front();
        }
        return static_cast<int32_t>(n);
    }
    static int32_t Send(const KIV_CanFrame* frame, void* user) {
        static_cast<Host*>(user)->ep_->Send(*frame);
        return 0;
    }

    VirtualBus& bus_;
    std::shared_ptr<orukiv::sim::Endpoint> ep_;
    std::mutex m_;
    std::deque<KIV_CanFrame> queue_;
    std::vector<Clock::time_point> polls_;
    std::mutex notifyM_;
    KIV_Handle notify_ = nullptr;
};

// One instance, its host and one simulated node on a bus of their own.
class Rig {
public:
    explicit Rig(Mode mode)
        : node_(bus_, kNode,
                mode == Mode::kNotify ? SimNode::Mode::kThread : SimNode::Mode::kInline) {
        node_.AddU32(kU32, 0, 0x11223344u);
        node_.AddObject(kBlock, 0, std::vector<uint8_t>(kBlockSize, 0x5A));
        KIV_InitParam p = host_.Param();
        handle_ = KIV_Init(&p);
        if (handle_ == nullptr) return;
        if (mode != Mode::kDefault) KIV_SetWorkerTiming(handle_, 1000, KIV_TIMING_WAKE_ON_REQUEST);
        if (mode == Mode::kNotify) host_.NotifyTo(handle_);
    }
    ~Rig() {
        host_.NotifyTo(nullptr);
        if (handle_ != nullptr) KIV_Destroy(handle_);
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    KIV_Handle Handle() const { return handle_; }
    Host& host() { return host_; }

private:
    VirtualBus bus_;
    Host host_{bus_};
    SimNode node_;
    KIV_Handle handle_ = nullptr;
};

int32_t Sync(KIV_Handle h) {
    return KIV_SendSYNC(h);
}
int32_t ReadU32(KIV_Handle h) {
    uint8_t buf[4];
    uint32_t n = 0;
    return KIV_ReadObject(h, kNode, kU32, 0, buf, sizeof buf, &n);
}
int32_t WriteU32(KIV_Handle h) {
    const uint8_t v[4] = {1, 2, 3, 4};
    return KIV_WriteObject(h, kNode, kU32, 0, v, sizeof v);
}
int32_t ReadBlock(KIV_Handle h) {
    uint8_t buf[kBlockSize];
    uint32_t n = 0;
    const int32_t rc = KIV_ReadObject(h, kNode, kBlock, 0, buf, sizeof buf, &n);
    return rc == KIV_OK && n != kBlockSize ? -1 : rc;
}
int32_t WriteBlock(KIV_Handle h) {
    uint8_t data[kBlockSize];
    std::memset(data, 0xA5, sizeof data);
    return KIV_WriteObject(h, kNode, kBlock, 0, data, sizeof data);
}

struct Op {
    const char* name;
    int32_t (*call)(KIV_Handle);
    int defaultCalls;  // calls measured in the default timing
};

// Back-to-back calls of one export: median and 99th percentile in µs, and
// the worker's pass period in the same run.
void Latency(const Op& op, Mode mode) {
    Rig rig(mode);
    if (rig.Handle() == nullptr) return;
    int calls = mode == Mode::kDefault ? op.defaultCalls : op.defaultCalls * 10;
    if (g_quick) calls = std::max(10, calls / 10);
    for (int i = 0; i < 3; ++i) op.call(rig.Handle());
    rig.host().ClearPolls();
    std::vector<double> us;
    int failures = 0;
    for (int i = 0; i < calls; ++i) {
        const auto t0 = Clock::now();
        if (op.call(rig.Handle()) != KIV_OK) ++failures;
        us.push_back(Us(Clock::now() - t0));
    }
    const std::string key = std::string(op.name) + "." + Name(mode);
    Print(key + ".median_us", Quantile(us, 0.5));
    Print(key + ".p99_us", Quantile(us, 0.99));
    if (mode == Mode::kDefault) Print(key + ".pass_us", rig.host().MedianPassUs());
    if (failures != 0) Print(key + ".failures", failures);
}

// One instance whose host always has eight frames waiting.
void ReceiveThroughput(bool drain) {
    struct Full {
        std::atomic<uint64_t> frames{0};
        static int32_t Recv(KIV_CanFrame* out, uint32_t maxCount, void* user) {
            static const KIV_CanFrame f = orukiv::sim::MakeFrame(0x181, {1, 2, 3, 4, 5, 6, 7, 8});
            for (uint32_t i = 0; i < maxCount; ++i) out[i] = f;
            static_cast<Full*>(user)->frames.fetch_add(maxCount, std::memory_order_relaxed);
            return static_cast<int32_t>(maxCount);
        }
        static int32_t Send(const KIV_CanFrame*, void*) { return 0; }
        static void Event(const KIV_Event*, void*) {}
    } host;
    KIV_InitParam p;
    std::memset(&p, 0, sizeof p);
    p.canRecv = &Full::Recv;
    p.canSend = &Full::Send;
    p.onEvent = &Full::Event;
    p.userData = &host;
    KIV_Handle h = KIV_Init(&p);
    if (h == nullptr) return;
    if (drain) KIV_SetWorkerTiming(h, 1000, KIV_TIMING_DRAIN_RECEIVE);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const uint64_t f0 = host.frames.load();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(g_quick ? 300 : 1500));
    const uint64_t f1 = host.frames.load();
    const auto t1 = Clock::now();
    KIV_Destroy(h);
    Print(std::string("receive.") + (drain ? "drain" : "default") + ".frames_per_s",
          static_cast<double>(f1 - f0) / std::chrono::duration<double>(t1 - t0).count());
}

// Reads per second of `count` instances, each on its own bus with its own
// node and read back to back by its own thread.
double InstanceReadRate(int count) {
    std::vector<std::unique_ptr<Rig>> rigs;
    for (int i = 0; i < count; ++i) rigs.push_back(std::make_unique<Rig>(Mode::kDefault));
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> done{0};
    std::vector<std::thread> threads;
    for (auto& r : rigs) {
        threads.emplace_back([&, h = r->Handle()] {
            while (!stop.load(std::memory_order_relaxed))
                if (ReadU32(h) == KIV_OK) done.fetch_add(1, std::memory_order_relaxed);
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const uint64_t c0 = done.load();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(g_quick ? 500 : 3000));
    const uint64_t c1 = done.load();
    const auto t1 = Clock::now();
    stop.store(true);
    for (auto& t : threads) t.join();
    return static_cast<double>(c1 - c0) / std::chrono::duration<double>(t1 - t0).count();
}

#if defined(__linux__)
double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ResidentKiB() {
    long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024.0;
}

// CPU (% of one core) and resident memory (KiB) per idle instance.
void IdleCost(uint32_t periodUs) {
    constexpr int kInstances = 32;
    static auto recv = [](KIV_CanFrame*, uint32_t, void*) -> int32_t { return 0; };
    static auto send = [](const KIV_CanFrame*, void*) -> int32_t { return 0; };
    KIV_InitParam p;
    std::memset(&p, 0, sizeof p);
    p.canRecv = recv;
    p.canSend = send;
    const double rss0 = ResidentKiB();
    std::vector<KIV_Handle> handles;
    for (int i = 0; i < kInstances; ++i) {
        KIV_Handle h = KIV_Init(&p);
        if (h == nullptr) break;
        if (periodUs != 0) KIV_SetWorkerTiming(h, periodUs, 0);
        handles.push_back(h);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double rss1 = ResidentKiB();
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(g_quick ? 500 : 3000));
    const double cpu1 = CpuSeconds();
    const auto t1 = Clock::now();
    for (KIV_Handle h : handles) KIV_Destroy(h);
    const double n = static_cast<double>(handles.size());
    const std::string key = periodUs == 0 ? "idle.default" : "idle.period_1ms";
    Print(key + ".cpu_percent_per_instance",
          100.0 * (cpu1 - cpu0) / std::chrono::duration<double>(t1 - t0).count() / n);
    Print(key + ".rss_kib_per_instance", (rss1 - rss0) / n);
}
#endif

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--quick") == 0) g_quick = true;
    // Nothing is logged while measuring.
    QUserLog::GetInstance().SetLogLevel(static_cast<LogLevel>(6));

    const Op ops[] = {
        {"sync", Sync, 200},
        {"read", ReadU32, 100},
        {"write", WriteU32, 100},
    };
    for (const Op& op : ops)
        for (Mode m : {Mode::kDefault, Mode::kWake, Mode::kNotify}) Latency(op, m);

    // Segmented transfers of 64 bytes: bytes per second from the median.
    const Op segmented[] = {{"segread", ReadBlock, 20}, {"segwrite", WriteBlock, 20}};
    for (const Op& op : segmented)
        for (Mode m : {Mode::kDefault, Mode::kWake, Mode::kNotify}) Latency(op, m);
    Print("segmented.bytes", kBlockSize);

    ReceiveThroughput(false);
    ReceiveThroughput(true);

    const double one = InstanceReadRate(1);
    const double many = InstanceReadRate(64);
    Print("scaling.instances_1.reads_per_s", one);
    Print("scaling.instances_64.reads_per_s", many);

#if defined(__linux__)
    IdleCost(0);
    IdleCost(1000);
#endif
    return 0;
}

// Figures of cyclic operation as a plain program, so that the same code runs
// on Linux and, cross-built, under Wine. For each period (1 ms, 250 us),
// each measured for S seconds (deviations in alternating one-second rounds,
// counts in one continuous run per timing):
//   bare      a thread of its own sleeping to absolute deadlines (the limit
//             the system sets);
//   default   KIV_StartCyclic in the default timing;
//   lowlat    KIV_StartCyclic in low-latency mode (1000 us, wake on request,
//             drain receive).
// Prints one "name value" line per figure: the 99th percentile and the
// largest deviation of the interval between SYNCs from the period, the 99th
// percentile of the time from each deadline to the first SYNC (or wake-up)
// at or after it (a late bare thread catches up in a burst of short
// intervals where the library skips: this one compares both alike), the
// SYNC count against the ideal count, the skipped deadlines, and the time
// from a SYNC to the last frame of its cycle handed to canSend.
//
//   cyclic_probe [--seconds S]   (default 10)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <time.h>
#endif

#include "orukiv/orukiv.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kFramesPerCycle = 4;

double g_seconds = 10;

void Print(const std::string& name, double value) {
    std::printf("%s %.6g\n", name.c_str(), value);
    std::fflush(stdout);
}

double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
}

// |interval - period| in microseconds for consecutive times.
std::vector<double> Deviations(const std::vector<Clock::time_point>& at, uint32_t periodUs) {
    std::vector<double> out;
    for (std::size_t i = 1; i < at.size(); ++i) {
        const double us = std::chrono::duration<double, std::micro>(at[i] - at[i - 1]).count();
        out.push_back(std::abs(us - periodUs));
    }
    return out;
}

void PrintDeviations(const std::string& prefix, const std::vector<double>& dev) {
    Print(prefix + "_dev_p50_us", Quantile(dev, 0.50));
    Print(prefix + "_dev_p99_us", Quantile(dev, 0.99));
    Print(prefix + "_dev_max_us", dev.empty() ? 0.0 : *std::max_element(dev.begin(), dev.end()));
}

// ---- The bare thread ---------------------------------------------------------

#ifdef _WIN32
struct DeadlineSleeper {
    HANDLE timer =
        CreateWaitableTimerExW(nullptr, nullptr, 0x2 /* high resolution */, TIMER_ALL_ACCESS);
    ~DeadlineSleeper() {
        if (timer) CloseHandle(timer);
    }
    void Until(Clock::time_point t) {
        const auto left = t - Clock::now();
        if (left <= Clock::duration::zero()) return;
        LARGE_INTEGER due;
        due.QuadPart = -std::chrono::duration_cast<std::chrono::nanoseconds>(left).count() / 100;
        if (timer && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE))
            WaitForSingleObject(timer, INFINITE);
        else
            std::this_thread::sleep_until(t);
    }
};
#else
struct DeadlineSleeper {
    void Until(Clock::time_point t) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch());
        timespec ts;
        ts.tv_sec = static_cast<time_t>(ns.count() / 1000000000);
        ts.tv_nsec = static_cast<long>(ns.count() % 1000000000);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
        }
    }
};
#endif

struct Samples {
    std::vector<double> deviations;  // |interval - period|
    std::vector<double> lateUs;      // wake-up or SYNC against its deadline
};

// A bare thread's wake-ups over `seconds`.
Samples Bare(uint32_t periodUs, double seconds) {
    const auto period = std::chrono::microseconds(periodUs);
    const auto n = static_cast<std::size_t>(seconds * 1e6 / periodUs);
    std::vector<Clock::time_point> at;
    at.reserve(n);
    Clock::time_point start;
    std::thread t([&] {
        DeadlineSleeper sleeper;
        start = Clock::now();
        for (std::size_t k = 0; k < n; ++k) {
            sleeper.Until(start + k * period);
            at.push_back(Clock::now());
        }
    });
    t.join();
    Samples out{Deviations(at, periodUs), {}};
    for (std::size_t k = 0; k < at.size(); ++k)
        out.lateUs.push_back(std::chrono::duration<double, std::micro>(at[k] - start).count() -
                             static_cast<double>(k * periodUs));
    return out;
}

// ---- The library ---------------------------------------------------------------

struct Host {
    std::vector<Clock::time_point> syncs;
    std::vector<double> toLastUs;  // SYNC to the last frame of its cycle
    std::vector<std::pair<Clock::time_point, uint32_t>> numbered;  // SYNC, its cycle
    Clock::time_point lastSync;
    std::atomic<bool> recording{true};

    static int32_t Recv(KIV_CanFrame*, uint32_t, void*) { return 0; }
    static int32_t Send(const KIV_CanFrame* f, void* user) {
        auto* self = static_cast<Host*>(user);
        if (!self->recording.load()) return 0;
        const Clock::time_point now = Clock::now();
        if (f->id == 0x080) {
            self->syncs.push_back(now);
            self->lastSync = now;
        } else if (f->data[0] == kFramesPerCycle - 1) {
            self->toLastUs.push_back(
                std::chrono::duration<double, std::micro>(now - self->lastSync).count());
        }
        return 0;
    }
    static int32_t Cycle(uint64_t cycle, KIV_CanFrame* frames, uint32_t, void* user) {
        auto* self = static_cast<Host*>(user);
        self->numbered.emplace_back(self->lastSync, cycle);
        for (uint32_t i = 0; i < kFramesPerCycle; ++i) {
            frames[i].id = 0x201 + i;
            frames[i].dlc = 8;
            frames[i].data[0] = static_cast<uint8_t>(i);
            std::memcpy(frames[i].data + 4, &cycle, 4);
        }
        return kFramesPerCycle;
    }
};

struct Run {
    Samples samples;
    std::vector<double> toLastUs;
    KIV_CyclicStats stats{};
    double elapsedUs = 0;
    double lastSyncUs = 0;  // after the start
};

// One instance running cycles for `seconds`.
Run Library(uint32_t periodUs, bool lowLatency, double seconds) {
    Host host;
    const auto n = static_cast<std::size_t>(seconds * 1e6 / periodUs);
    host.syncs.reserve(n + 16);
    host.toLastUs.reserve(n + 16);
    host.numbered.reserve(n + 16);
    KIV_InitParam p;
    std::memset(&p, 0, sizeof p);
    p.canRecv = &Host::Recv;
    p.canSend = &Host::Send;
    p.userData = &host;
    KIV_Handle h = KIV_Init(&p);
    if (h == nullptr) std::exit(1);
    if (lowLatency)
        KIV_SetWorkerTiming(h, 1000, KIV_TIMING_WAKE_ON_REQUEST | KIV_TIMING_DRAIN_RECEIVE);
    Run run;
    const Clock::time_point start = Clock::now();
    if (KIV_StartCyclic(h, periodUs, 0, &Host::Cycle, &host) != KIV_OK) std::exit(1);
    std::this_thread::sleep_until(start + std::chrono::duration<double>(seconds));
    KIV_StopCyclic(h);
    run.elapsedUs = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    KIV_GetCyclicStats(h, &run.stats);
    KIV_Destroy(h);
    run.samples.deviations = Deviations(host.syncs, periodUs);
    // Every deadline is served by the first SYNC at or after it (a skipped
    // one by the SYNC of a later deadline), as every deadline of the bare
    // thread is by its next wake-up. The first deadline is the start
    // itself, taken just before the call.
    uint32_t next = 0;
    for (const auto& [at, cycle] : host.numbered) {
        const double us = std::chrono::duration<double, std::micro>(at - start).count();
        for (; next <= cycle; ++next)
            run.samples.lateUs.push_back(us - static_cast<double>(next) * periodUs);
    }
    run.toLastUs = std::move(host.toLastUs);
    if (!host.syncs.empty())
        run.lastSyncUs =
            std::chrono::duration<double, std::micro>(host.syncs.back() - start).count();
    return run;
}

void Append(std::vector<double>& to, const std::vector<double>& from) {
    to.insert(to.end(), from.begin(), from.end());
}

// The interval deviations of the bare thread and of both timings, measured
// in alternating rounds of one second so that a change of the machine's
// load hits all three alike; then one continuous run per timing for the
// counts and the time to the last frame.
void Period(uint32_t periodUs) {
    const std::string p = std::to_string(periodUs);
    const int rounds = std::max(1, static_cast<int>(g_seconds + 0.5));
    Samples bare, timing[2];
    auto add = [](Samples& to, const Samples& from) {
        Append(to.deviations, from.deviations);
        Append(to.lateUs, from.lateUs);
    };
    for (int r = 0; r < rounds; ++r) {
        add(bare, Bare(periodUs, g_seconds / rounds));
        for (int mode = 0; mode < 2; ++mode)
            add(timing[mode], Library(periodUs, mode == 1, g_seconds / rounds).samples);
    }
    PrintDeviations("bare_" + p, bare.deviations);
    Print("bare_" + p + "_late_p99_us", Quantile(bare.lateUs, 0.99));
    for (int mode = 0; mode < 2; ++mode) {
        const std::string prefix = std::string(mode == 1 ? "lowlat_" : "default_") + p;
        PrintDeviations(prefix, timing[mode].deviations);
        Print(prefix + "_late_p99_us", Quantile(timing[mode].lateUs, 0.99));
        const Run run = Library(periodUs, mode == 1, g_seconds);
        const KIV_CyclicStats& st = run.stats;
        const double ideal = run.elapsedUs / periodUs;
        Print(prefix + "_syncs", static_cast<double>(st.cycles));
        Print(prefix + "_skipped", static_cast<double>(st.skipped));
        Print(prefix + "_ideal", ideal);
        Print(prefix + "_count_error_pct",
              100.0 * (static_cast<double>(st.cycles) - ideal) / ideal);
        Print(prefix + "_deadlines_error_pct",
              100.0 * (static_cast<double>(st.cycles + st.skipped) - ideal) / ideal);
        // The last SYNC against its absolute deadline: drift would grow it.
        const double k = static_cast<double>(st.cycles + st.skipped) - 1;
        Print(prefix + "_last_sync_vs_deadline_us", run.lastSyncUs - k * periodUs);
        Print(prefix + "_max_late_us", st.maxLateUs);
        Print(prefix + "_to_last_frame_p50_us", Quantile(run.toLastUs, 0.50));
        Print(prefix + "_to_last_frame_p99_us", Quantile(run.toLastUs, 0.99));
    }
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0) g_seconds = std::atof(argv[i + 1]);
    Print("seconds", g_seconds);
    for (uint32_t period : {1000u, 250u}) Period(period);
    return 0;
}

// `orukiv monitor`: every decoded event as it arrives.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "cmd_od.h"
#include "command.h"
#include "event_text.h"
#include "interrupt.h"
#include "procedures.h"
#include "report.h"

namespace orukiv::tool {

int CmdMonitor(Session& s, double seconds, uint32_t superviseMs) {
    const auto start = std::chrono::steady_clock::now();
    std::mutex printM;
    // Nodes whose boot-up, heartbeat or guarding answer was seen; set on the
    // worker, taken up by the loop below (supervising queues, which a
    // callback must not do).
    std::array<std::atomic<bool>, 128> heard{};
    const bool json = s.options().json;
    auto print = [&](const KIV_Event& e) {
        if (e.type == KIV_EVENT_HEARTBEAT && e.node >= 1 && e.node <= 127)
            heard[e.node].store(true, std::memory_order_relaxed);
        const double t =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::lock_guard<std::mutex> lock(printM);
        if (json) {
            char time[32];
            std::snprintf(time, sizeof time, "%.3f", t);
            PrintJson(s, true, Json().Raw("time", time).Merge(EventJson(e)));
        } else {
            std::printf("%8.3f  %s%s\n", t, EventText(e).c_str(), SdoObjectNote(s, e).c_str());
        }
        std::fflush(stdout);
    };
    // Events that came before the monitor started (boot-ups on a just
    // opened bus) too.
    for (const KIV_Event& e : s.master().Events().SetHandler(print)) print(e);
    std::array<bool, 128> supervised{};
    int status = kExitOk;
    while (!Interrupted() && s.bus().Lost().empty()) {
        if (seconds > 0 &&
            std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(seconds))
            break;
        for (int node = 1; superviseMs > 0 && node <= 127; ++node) {
            if (supervised[node] || !heard[node].load(std::memory_order_relaxed)) continue;
            supervised[node] = true;
            const int32_t r = KIV_SuperviseNode(s.h(), static_cast<uint8_t>(node), superviseMs);
            if (r != KIV_OK) {
                std::lock_guard<std::mutex> lock(printM);
                status = PrintFailure(s, "supervising node " + std::to_string(node), r, 0,
                                      Json().Uint("node", static_cast<uint64_t>(node)));
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    s.master().Events().SetHandler({});
    return status;  // a lost bus: the runner reports it (exit status 3)
}

Command MonitorCommand() {
    return {"monitor", "print every decoded event: [SECONDS] (default: until Ctrl-C)",
            [](CLI::App& app) -> Handler {
                struct Args {
                    double seconds = 0;
                    int64_t supervise = 0;
                };
                auto a = std::make_shared<Args>();
                AddSeconds(app, "SECONDS", a->seconds,
                           "how long to listen (default: until Ctrl-C)");
                AddNumber(app, "--supervise", a->supervise, 1, 0x7FFFFFFF,
                          "watch the heartbeat of every node heard, lost after MS ms of silence")
                    ->option_text("MS");
                return [a](Session& s) {
                    return CmdMonitor(s, a->seconds, static_cast<uint32_t>(a->supervise));
                };
            }};
}

}  // namespace orukiv::tool

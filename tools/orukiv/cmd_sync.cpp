// `orukiv sync [--period MS [--count N]]`: one SYNC, or one every period.
#include <chrono>
#include <memory>
#include <thread>

#include "command.h"
#include "interrupt.h"
#include "report.h"

namespace orukiv::tool {

static int CmdSync(Session& s, uint32_t periodMs, uint64_t count) {
    if (periodMs == 0) return PrintResult(s, "SYNC sent", "SYNC", KIV_SendSYNC(s.h()));
    // Paced by the clock, not by the sends: no drift over a long run.
    const auto period = std::chrono::milliseconds(periodMs);
    auto next = std::chrono::steady_clock::now();
    uint64_t sent = 0;
    while (!Interrupted() && (count == 0 || sent < count)) {
        const int32_t r = KIV_SendSYNC(s.h());
        if (r != KIV_OK)
            return PrintFailure(s, "SYNC " + std::to_string(sent + 1), r, 0,
                                Json().Uint("sent", sent));
        ++sent;
        next += period;
        while (!Interrupted() && std::chrono::steady_clock::now() < next &&
               (count == 0 || sent < count))
            std::this_thread::sleep_until(
                std::min(next, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)));
    }
    PrintDone(s,
              std::to_string(sent) + " SYNC" + (sent == 1 ? "" : "s") + " sent every " +
                  std::to_string(periodMs) + " ms" + (Interrupted() ? " (interrupted)" : ""),
              Json().Uint("sent", sent).Uint("periodMs", periodMs));
    return kExitOk;
}

Command SyncCommand() {
    return {"sync", "send a SYNC; with --period, one every MS ms until Ctrl-C or --count N",
            [](CLI::App& app) -> Handler {
                struct Args {
                    int64_t period = 0, count = 0;
                };
                auto a = std::make_shared<Args>();
                AddNumber(app, "--period", a->period, 1, 60000, "send one SYNC every MS ms")
                    ->option_text("MS");
                AddNumber(app, "--count", a->count, 1, INT64_MAX, "stop after N SYNCs")
                    ->option_text("N");
                return [a](Session& s) {
                    return CmdSync(s, static_cast<uint32_t>(a->period),
                                   static_cast<uint64_t>(a->count));
                };
            }};
}

}  // namespace orukiv::tool

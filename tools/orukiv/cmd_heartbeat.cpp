// `orukiv heartbeat NODE MS`: a node's producer heartbeat time (0x1017).
#include <memory>

#include "command.h"
#include "report.h"

namespace orukiv::tool {

static int CmdHeartbeat(Session& s, uint8_t node, uint16_t periodMs) {
    const Access a = s.WriteU(node, 0x1017, 0, periodMs, 2);
    const Json fields = Json().Uint("node", node).Uint("periodMs", periodMs);
    if (!a.ok())
        return PrintFailure(s,
                            "setting the heartbeat period of node " + std::to_string(node) +
                                " to " + std::to_string(periodMs) + " ms (0x1017)",
                            a.result, a.abortCode, fields);
    PrintDone(s,
              "node " + std::to_string(node) + " produces its heartbeat every " +
                  std::to_string(periodMs) + " ms" + (periodMs == 0 ? " (off)" : ""),
              fields);
    return kExitOk;
}

Command HeartbeatCommand() {
    return {"heartbeat", "set a node's heartbeat period: NODE MS (0: off)",
            [](CLI::App& app) -> Handler {
                struct Args {
                    int64_t node = 0, period = 0;
                };
                auto a = std::make_shared<Args>();
                AddNode(app, a->node);
                AddNumber(app, "MS", a->period, 0, 0xFFFF)->required();
                return [a](Session& s) {
                    return CmdHeartbeat(s, static_cast<uint8_t>(a->node),
                                        static_cast<uint16_t>(a->period));
                };
            }};
}

}  // namespace orukiv::tool

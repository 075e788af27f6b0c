// `orukiv scan`: the nodes that answer SDO, and those only heard (heartbeat
// or boot-up), with their NMT state.
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <thread>

#include "command.h"
#include "commands.h"
#include "event_text.h"
#include "interrupt.h"
#include "report.h"

namespace orukiv::tool {

namespace {

// The last NMT state each node showed in its heartbeat or boot-up among the
// events the session still holds.
void AddHeard(Session& s, std::vector<NodeInfo>& nodes) {
    for (const KIV_Event& e : s.master().Events().Since(0)) {
        if (e.type != KIV_EVENT_HEARTBEAT || e.node < 1 || e.node > 127) continue;
        auto it = std::find_if(nodes.begin(), nodes.end(),
                               [&](const NodeInfo& n) { return n.node == e.node; });
        if (it == nodes.end()) {
            NodeInfo info;
            info.node = e.node;
            info.answered = false;
            nodes.push_back(info);
            it = nodes.end() - 1;
        }
        it->state = e.body.heartbeat.state;
    }
}

}  // namespace

std::vector<NodeInfo> ScanNodes(Session& s) {
    // Absent nodes cost a whole time-out each: ask sixteen at a time (one
    // per SDO channel of the library), with a short time-out unless one was
    // given.
    if (!s.options().timeoutGiven) KIV_SetSDOTimeout(s.h(), 200);
    std::vector<NodeInfo> found;
    std::mutex m;
    std::vector<std::thread> workers;
    constexpr int kWorkers = 16;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            for (int node = 1 + w; node <= 127 && !Interrupted(); node += kWorkers) {
                const Access type = s.Read(static_cast<uint8_t>(node), 0x1000, 0);
                if (!type.ok() && type.result != KIV_ERR_ABORTED) continue;
                NodeInfo info;
                info.node = static_cast<uint8_t>(node);
                info.deviceType = type.U32();
                std::lock_guard<std::mutex> lock(m);
                found.push_back(info);
            }
        });
    }
    for (auto& t : workers) t.join();
    KIV_SetSDOTimeout(s.h(), s.options().timeoutMs);

    for (NodeInfo& info : found) {
        if (Interrupted()) break;
        const Access name = s.Read(info.node, 0x1008, 0);
        if (name.ok()) info.name.assign(name.data.begin(), name.data.end());
        info.hasIdentity = true;
        for (uint8_t sub = 1; sub <= 4; ++sub) {
            const Access id = s.Read(info.node, 0x1018, sub);
            info.hasIdentity = info.hasIdentity && id.ok();
            info.identity[sub - 1] = id.U32();
        }
    }
    AddHeard(s, found);
    std::sort(found.begin(), found.end(),
              [](const NodeInfo& a, const NodeInfo& b) { return a.node < b.node; });
    return found;
}

void PrintNodes(const std::vector<NodeInfo>& nodes) {
    std::printf(
        "node  state            device type  vendor      product     revision    serial      "
        "name\n");
    for (const NodeInfo& n : nodes) {
        std::printf("%4u  %-15s  ", n.node, n.state ? NmtStateName(*n.state).c_str() : "-");
        if (!n.answered) {
            std::printf("(heard, no SDO answer)\n");
            continue;
        }
        std::printf("0x%08X ", n.deviceType);
        if (n.hasIdentity)
            std::printf("  0x%08X  0x%08X  0x%08X  0x%08X", n.identity[0], n.identity[1],
                        n.identity[2], n.identity[3]);
        else
            std::printf("  %-46s", "(no identity)");
        std::printf("  %s\n", n.name.empty()
                                  ? "-"
                                  : FormatValue(FindValueType("str"),
                                                reinterpret_cast<const uint8_t*>(n.name.data()),
                                                n.name.size())
                                        .c_str());
    }
}

int CmdScan(Session& s) {
    const std::vector<NodeInfo> nodes = ScanNodes(s);
    if (s.options().json) {
        for (const NodeInfo& n : nodes) {
            Json j;
            j.Bool("ok", true).Uint("node", n.node).Bool("answered", n.answered);
            if (n.state) j.Str("state", NmtStateName(*n.state));
            if (n.answered) j.Uint("deviceType", n.deviceType);
            if (n.hasIdentity)
                j.Uint("vendor", n.identity[0])
                    .Uint("product", n.identity[1])
                    .Uint("revision", n.identity[2])
                    .Uint("serial", n.identity[3]);
            if (!n.name.empty()) j.Str("name", n.name);
            std::printf("%s\n", j.Object().c_str());
        }
        if (nodes.empty()) PrintError(s, "no node answered or was heard");
        std::fflush(stdout);
    } else {
        PrintNodes(nodes);
        const auto answered =
            std::count_if(nodes.begin(), nodes.end(), [](const NodeInfo& n) { return n.answered; });
        std::printf("%zu node%s answered, %zu heard only%s\n", static_cast<std::size_t>(answered),
                    answered == 1 ? "" : "s", nodes.size() - static_cast<std::size_t>(answered),
                    Interrupted() ? " (interrupted)" : "");
    }
    return nodes.empty() || Interrupted() ? kExitFailed : kExitOk;
}

Command ScanCommand() {
    return {"scan",
            "find nodes 1..127 (SDO, heartbeat, boot-up); show their state, names and identities",
            [](CLI::App&) -> Handler { return [](Session& s) { return CmdScan(s); }; }};
}

}  // namespace orukiv::tool

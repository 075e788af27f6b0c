// `orukiv scan`: the nodes that answer SDO, and those only heard (heartbeat
// or boot-up), with their NMT state.
#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

#include "command.h"
#include "event_text.h"
#include "interrupt.h"
#include "procedures.h"
#include "report.h"

namespace orukiv::tool {

namespace {

// The last NMT state node showed in its heartbeat or boot-up among the
// events the session still holds.
std::optional<uint32_t> HeardState(Session& s, uint8_t node) {
    std::optional<uint32_t> state;
    for (const KIV_Event& e : s.master().Events().Since(0))
        if (e.type == KIV_EVENT_HEARTBEAT && e.node == node) state = e.body.heartbeat.state;
    return state;
}

}  // namespace

std::vector<NodeInfo> ScanNodes(Session& s, const std::function<void(const NodeInfo&)>& onNode) {
    // Absent nodes cost a whole time-out each: ask fifteen at a time (one
    // per SDO channel of the library, one left for the names), with a short
    // time-out unless one was given.
    if (!s.options().timeoutGiven) KIV_SetSDOTimeout(s.h(), 200);
    enum : int { kAsking, kAnswered, kSilent };
    std::array<int, 128> outcome{};
    std::array<uint32_t, 128> deviceType{};
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::thread> workers;
    constexpr int kWorkers = 15;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            for (int node = 1 + w; node <= 127; node += kWorkers) {
                int result = kSilent;
                uint32_t type = 0;
                if (!Interrupted()) {
                    const Access a = s.Read(static_cast<uint8_t>(node), 0x1000, 0);
                    if (a.ok() || a.result == KIV_ERR_ABORTED) result = kAnswered;
                    type = a.U32();
                }
                std::lock_guard<std::mutex> lock(m);
                outcome[node] = result;
                deviceType[node] = type;
                cv.notify_all();
            }
        });
    }
    // In node order, each node as soon as it and those below it are known:
    // its name and identity read, then handed to onNode.
    std::vector<NodeInfo> found;
    std::array<bool, 128> listed{};
    for (int node = 1; node <= 127; ++node) {
        NodeInfo info;
        info.node = static_cast<uint8_t>(node);
        {
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [&] { return outcome[node] != kAsking; });
            info.answered = outcome[node] == kAnswered;
            info.deviceType = deviceType[node];
        }
        if (info.answered && !Interrupted()) {
            const Access name = s.Read(info.node, 0x1008, 0);
            if (name.ok()) info.name.assign(name.data.begin(), name.data.end());
            info.hasIdentity = true;
            for (uint8_t sub = 1; sub <= 4; ++sub) {
                const Access id = s.Read(info.node, 0x1018, sub);
                info.hasIdentity = info.hasIdentity && id.ok();
                info.identity[sub - 1] = id.U32();
            }
        }
        // Nodes only heard come last, with the state they showed last.
        if (!info.answered) continue;
        info.state = HeardState(s, info.node);
        listed[node] = true;
        found.push_back(info);
        if (onNode) onNode(info);
    }
    for (auto& t : workers) t.join();
    KIV_SetSDOTimeout(s.h(), s.options().timeoutMs);
    // Nodes heard (heartbeat, boot-up) that did not answer.
    for (int node = 1; node <= 127; ++node) {
        if (listed[node]) continue;
        NodeInfo info;
        info.node = static_cast<uint8_t>(node);
        info.answered = false;
        if (!(info.state = HeardState(s, info.node))) continue;
        found.push_back(info);
        if (onNode) onNode(info);
    }
    return found;
}

namespace {

void PrintHeader() {
    std::printf(
        "node  state            device type  vendor      product     revision    serial      "
        "name\n");
}

void PrintNode(const NodeInfo& n) {
    std::printf("%4u  %-15s  ", n.node, n.state ? NmtStateName(*n.state).c_str() : "-");
    if (!n.answered) {
        std::printf("(heard, no SDO answer)\n");
        std::fflush(stdout);
        return;
    }
    std::printf("0x%08X ", n.deviceType);
    if (n.hasIdentity)
        std::printf("  0x%08X  0x%08X  0x%08X  0x%08X", n.identity[0], n.identity[1], n.identity[2],
                    n.identity[3]);
    else
        std::printf("  %-46s", "(no identity)");
    std::printf("  %s\n",
                n.name.empty()
                    ? "-"
                    : FormatValue(FindValueType("str"),
                                  reinterpret_cast<const uint8_t*>(n.name.data()), n.name.size())
                          .c_str());
    std::fflush(stdout);
}

Json NodeJson(const NodeInfo& n) {
    Json j;
    j.Uint("node", n.node).Bool("answered", n.answered);
    if (n.state) j.Str("state", NmtStateName(*n.state));
    if (n.answered) j.Uint("deviceType", n.deviceType);
    if (n.hasIdentity)
        j.Uint("vendor", n.identity[0])
            .Uint("product", n.identity[1])
            .Uint("revision", n.identity[2])
            .Uint("serial", n.identity[3]);
    if (!n.name.empty()) j.Str("name", n.name);
    return j;
}

}  // namespace

void PrintNodes(const std::vector<NodeInfo>& nodes) {
    PrintHeader();
    for (const NodeInfo& n : nodes) PrintNode(n);
}

int CmdScan(Session& s) {
    // Each node is shown as the scan reaches it, in node order.
    const bool json = s.options().json;
    if (!json) PrintHeader();
    const std::vector<NodeInfo> nodes = ScanNodes(s, [&](const NodeInfo& n) {
        if (json)
            PrintJson(s, true, NodeJson(n));
        else
            PrintNode(n);
    });
    if (json) {
        if (nodes.empty()) PrintError(s, "no node answered or was heard");
    } else {
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
            "find nodes 1..127 (SDO, heartbeat, boot-up); show their state, names and identities, "
            "each node as the scan reaches it",
            [](CLI::App&) -> Handler { return [](Session& s) { return CmdScan(s); }; }};
}

}  // namespace orukiv::tool

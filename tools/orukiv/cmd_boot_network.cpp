// `orukiv boot-network FILE`: boots the nodes of a network file side by
// side (KIV_BootNetwork), one line per node as it finishes.
//
// The network file is plain text, one node per line; '#' starts a comment:
//
//   # node  role       settings
//   5       mandatory  expect 0xA1F:0x305:0x10000:0 type 0x20192 dcf drive.dcf
//   10      optional   reset heartbeat 1500 start
//
// The role is `mandatory` or `optional` (the default). Settings, in any
// order: `expect V:P:R:S` (expected identity, 0 parts not checked), `type T`
// (expected device type), `dcf FILE` (written to the node; relative to the
// network file), `boot-time MS`, `heartbeat MS` (heartbeat consumer
// time-out), and the words `reset` (NMT reset communication first), `start`
// (started with the network) and `keep` (left running when operational).
// A line that does not parse ends the command with exit status 2 before
// anything is sent.
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "cancel_on_interrupt.h"
#include "command.h"
#include "event_text.h"
#include "interrupt.h"
#include "orukiv/orukiv_od.h"
#include "report.h"
#include "values.h"

namespace orukiv::tool {

namespace {

struct NetArgs {
    std::string file;
    bool startAll = false, stopAll = false;
};

struct NetNode {
    KIV_BootNetParam entry{};
    std::string dcf;
    int line = 0;
};

std::string DirOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// One line: false with `error` set when it does not parse.
bool ParseLine(const std::string& text, const std::string& dir, NetNode& n, std::string& error) {
    std::istringstream in(text);
    std::string word;
    in >> word;
    const auto node = ParseUnsigned(word, 127);
    if (!node || *node == 0) {
        error = "'" + word + "' is not a node-ID 1..127";
        return false;
    }
    n.entry.node = static_cast<uint8_t>(*node);
    KIV_BootParam& p = n.entry.param;
    const auto number = [&](const std::string& key, uint64_t max, uint32_t& out) {
        std::string v;
        const auto parsed = (in >> v) ? ParseUnsigned(v, max) : std::nullopt;
        if (!parsed)
            error = key + " needs a number up to " + std::to_string(max);
        else
            out = static_cast<uint32_t>(*parsed);
        return parsed.has_value();
    };
    while (in >> word) {
        if (word == "mandatory") {
            p.flags |= KIV_BOOT_MANDATORY;
        } else if (word == "optional") {
            p.flags &= ~KIV_BOOT_MANDATORY;
        } else if (word == "reset") {
            p.flags |= KIV_BOOT_RESET_COMM;
        } else if (word == "start") {
            p.flags |= KIV_BOOT_START;
        } else if (word == "keep") {
            p.flags |= KIV_BOOT_KEEP_OPERATIONAL;
        } else if (word == "expect") {
            std::string v;
            uint32_t id[4] = {};
            if (!(in >> v) || !ParseIdentity(v, id)) {
                error = "expect needs VENDOR:PRODUCT:REVISION:SERIAL";
                return false;
            }
            p.vendorId = id[0];
            p.productCode = id[1];
            p.revision = id[2];
            p.serial = id[3];
        } else if (word == "type") {
            if (!number(word, 0xFFFFFFFFu, p.deviceType)) return false;
        } else if (word == "boot-time") {
            if (!number(word, 0x7FFFFFFFu, p.bootTimeMs)) return false;
        } else if (word == "heartbeat") {
            if (!number(word, 0x7FFFFFFFu, p.heartbeatMs)) return false;
        } else if (word == "dcf") {
            if (!(in >> n.dcf)) {
                error = "dcf needs a file name";
                return false;
            }
            if (!n.dcf.empty() && n.dcf[0] != '/') n.dcf = dir + n.dcf;
            p.flags |= KIV_BOOT_CONFIGURE;
        } else {
            error = "unknown setting '" + word + "'";
            return false;
        }
    }
    return true;
}

// The file's nodes; false with `error` ("FILE:LINE: ...") when it does not
// parse or names a node twice.
bool ParseNetworkFile(const std::string& path, std::vector<NetNode>& nodes, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::string line;
    bool seen[128] = {};
    for (int number = 1; std::getline(in, line); ++number) {
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        NetNode n;
        n.line = number;
        std::string why;
        if (!ParseLine(line, DirOf(path), n, why)) {
            error = path + ":" + std::to_string(number) + ": " + why;
            return false;
        }
        if (seen[n.entry.node]) {
            error = path + ":" + std::to_string(number) + ": node " + std::to_string(n.entry.node) +
                    " is listed twice";
            return false;
        }
        seen[n.entry.node] = true;
        nodes.push_back(n);
    }
    if (nodes.empty()) {
        error = path + ": no node listed";
        return false;
    }
    return true;
}

std::string Letter(uint8_t status) {
    return std::string(1, static_cast<char>(status));
}

int BootNetwork(Session& s, const NetArgs& a) {
    std::vector<NetNode> nodes;
    std::string error;
    if (!ParseNetworkFile(a.file, nodes, error)) {
        PrintError(s, error);
        return kExitUsage;
    }
    std::vector<KIV_Od*> dcfs;
    const auto freeAll = [&] {
        for (KIV_Od* d : dcfs) KIV_OdFree(d);
    };
    std::vector<KIV_BootNetParam> list;
    for (NetNode& n : nodes) {
        if (!n.dcf.empty()) {
            KIV_OdError e{};
            KIV_Od* d = KIV_OdLoadFile(n.dcf.c_str(), n.entry.node, &e);
            if (d == nullptr) {
                freeAll();
                PrintError(s, a.file + ":" + std::to_string(n.line) + ": cannot read " + n.dcf +
                                  ": " + e.message);
                return kExitUsage;
            }
            dcfs.push_back(d);
            n.entry.param.dcf = d;
        }
        list.push_back(n.entry);
    }
    if (Interrupted()) {
        freeAll();
        return PrintError(s, "interrupted; nothing was sent");
    }
    // One line per node as its boot ends (the worker's boot events); nodes
    // not on the list that boot meanwhile show with status 'A'.
    std::mutex printM;
    const auto print = [&](const KIV_Event& e) {
        if (e.type != KIV_EVENT_BOOT) return;
        const auto& b = e.body.boot;
        const Json fields = Json()
                                .Uint("node", e.node)
                                .Str("status", b.status != 0 ? Letter(b.status) : "")
                                .Str("result", ResultName(b.result));
        std::string text = "node " + std::to_string(e.node) + ": ";
        if (b.status == 0 || b.status == 'L')
            text += "booted";
        else
            text += "status '" + Letter(b.status) + "': " + BootStatusText(b.status) + " (" +
                    ResultText(b.result, b.abortCode) + ")";
        std::lock_guard<std::mutex> g(printM);
        PrintDone(s, text, fields);
    };
    s.master().Events().SetHandler(print);
    std::vector<KIV_BootReport> reports(list.size());
    const uint32_t flags =
        (a.startAll ? KIV_BOOTNET_START_ALL : 0u) | (a.stopAll ? KIV_BOOTNET_STOP_ALL : 0u);
    const int32_t result = RunCancellable(s.h(), 0, [&] {
        return KIV_BootNetwork(s.h(), list.data(), static_cast<uint32_t>(list.size()), flags,
                               reports.data());
    });
    s.master().Events().SetHandler({});
    freeAll();
    std::size_t failed = 0;
    for (const KIV_BootReport& r : reports) failed += r.result != KIV_OK ? 1 : 0;
    if (result != KIV_OK)
        return PrintFailure(s, "network boot (a mandatory node failed; nothing was started)",
                            result, 0, Json().Uint("failed", failed));
    PrintDone(s,
              "network started: " + std::to_string(list.size() - failed) + " of " +
                  std::to_string(list.size()) + " nodes booted",
              Json().Uint("nodes", list.size()).Uint("failed", failed));
    return kExitOk;
}

}  // namespace

Command BootNetworkCommand() {
    return {"boot-network",
            "boot the nodes of a network file side by side and start the network: FILE",
            [](CLI::App& cmd) -> Handler {
                auto a = std::make_shared<NetArgs>();
                cmd.add_option("FILE", a->file,
                               "network file: one node per line, 'NODE [mandatory|optional] "
                               "[expect V:P:R:S] [type T] [dcf FILE] [boot-time MS] "
                               "[heartbeat MS] [reset] [start] [keep]'")
                    ->required();
                cmd.add_flag("--start-all", a->startAll,
                             "start the network with one NMT 'start all nodes'");
                cmd.add_flag("--stop-all", a->stopAll,
                             "NMT 'stop all nodes' when a mandatory node fails");
                return [a](Session& s) { return BootNetwork(s, *a); };
            }};
}

}  // namespace orukiv::tool

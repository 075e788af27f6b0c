// `orukiv lss`: layer setting services (CiA 305) on the bus.
//   lss scan [--step MS]                 fastscan until no unconfigured slave
//                                        answers; each identity listed
//   lss set-id V:P:R:S NODE [--store]    number one slave
//   lss inquire [V:P:R:S]                identity and node-ID of one slave
//   lss configure-all --first N [--count M] [--store] [--step MS]
//                                        number every unconfigured slave
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cancel_on_interrupt.h"
#include "command.h"
#include "interrupt.h"
#include "report.h"
#include "values.h"

namespace orukiv::tool {

bool ParseIdentity(const std::string& text, uint32_t out[4]) {
    std::size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t colon = text.find(':', at);
        if ((i < 3) != (colon != std::string::npos)) return false;
        const auto v = ParseUnsigned(text.substr(at, colon - at), 0xFFFFFFFFu);
        if (!v) return false;
        out[i] = static_cast<uint32_t>(*v);
        at = colon + 1;
    }
    return true;
}

CLI::Validator IdentityCheck() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            uint32_t id[4];
            return ParseIdentity(text, id) ? std::string()
                                           : "'" + text + "' is not VENDOR:PRODUCT:REVISION:SERIAL";
        },
        "V:P:R:S");
}

std::string IdentityText(const uint32_t id[4]) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "0x%08X:0x%08X:0x%08X:0x%08X", id[0], id[1], id[2], id[3]);
    return buf;
}

namespace {

struct LssArgs {
    std::string identity;
    int64_t node = 0, step = 0, first = 0, count = 127;
    bool store = false;
};

bool Report(Session& s, const std::string& what, int32_t r) {
    if (r == KIV_OK) return true;
    PrintFailure(s, what, r);
    return false;
}

int Scan(Session& s, uint32_t stepMs) {
    std::vector<std::string> found;
    bool failed = false;
    // Each slave found stays in configuration state, out of the next scans,
    // until all are switched back to waiting at the end.
    for (int i = 0; i < 127; ++i) {
        uint32_t id[4] = {};
        const int32_t r =
            RunCancellable(s.h(), 0, [&] { return KIV_LSS_Fastscan(s.h(), stepMs, id); });
        if (r == KIV_ERR_TIMEOUT || r == KIV_ERR_CANCELLED) break;
        if (!Report(s, "fastscan", r)) {
            failed = true;
            break;
        }
        found.push_back(IdentityText(id));
        PrintDone(s, "unconfigured slave " + std::to_string(found.size()) + ": " + found.back(),
                  Json().Uint("slave", found.size()).Str("identity", found.back()));
        if (Interrupted()) break;
    }
    failed = !Report(s, "switch to waiting state", KIV_LSS_SwitchGlobal(s.h(), 0)) || failed;
    const std::string summary = std::to_string(found.size()) + " unconfigured slave" +
                                (found.size() == 1 ? "" : "s") + " found";
    if (found.empty()) return PrintError(s, summary);
    if (!s.options().json) std::printf("%s\n", summary.c_str());
    return failed || Interrupted() ? kExitFailed : kExitOk;
}

int SetId(Session& s, const uint32_t id[4], uint8_t node, bool store) {
    const std::string who = IdentityText(id);
    const Json fields = Json().Str("identity", who).Uint("node", node);
    if (Interrupted()) return PrintError(s, "interrupted; nothing was sent", fields);
    const int32_t sel = KIV_LSS_SwitchSelective(s.h(), id[0], id[1], id[2], id[3]);
    if (sel == KIV_ERR_TIMEOUT)
        return PrintError(s, "no slave with identity " + who + " answered", fields);
    if (!Report(s, "switch selective", sel)) return kExitFailed;
    uint8_t error = 0;
    int32_t r = KIV_LSS_ConfigureNodeId(s.h(), node, &error);
    bool ok = true;
    if (r == KIV_ERR_ABORTED) {
        PrintError(s,
                   "slave " + who + " refused node-ID " + std::to_string(node) + " (error code " +
                       std::to_string(error) + ")",
                   Json(fields).Uint("lssError", error));
        ok = false;
    } else {
        ok = Report(s, "configure node-ID", r);
    }
    if (ok && store) {
        r = KIV_LSS_StoreConfiguration(s.h(), &error);
        if (r == KIV_ERR_ABORTED)
            PrintError(s,
                       "slave " + who + " cannot store its configuration (error code " +
                           std::to_string(error) + ": " +
                           (error == 1 ? "not supported" : "storage error") + ")",
                       Json(fields).Uint("lssError", error));
        else
            Report(s, "store configuration", r);
        ok = r == KIV_OK;
    }
    ok = Report(s, "switch to waiting state", KIV_LSS_SwitchGlobal(s.h(), 0)) && ok;
    if (ok)
        PrintDone(s,
                  "slave " + who + ": node-ID " + std::to_string(node) + (store ? ", stored" : "") +
                      " (an unconfigured slave takes it now, a configured one at its next reset "
                      "communication)",
                  Json(fields).Bool("stored", store));
    return ok ? kExitOk : kExitFailed;
}

int Inquire(Session& s, const std::string& identity) {
    uint32_t want[4] = {};
    if (!identity.empty()) {
        ParseIdentity(identity, want);
        const int32_t r = KIV_LSS_SwitchSelective(s.h(), want[0], want[1], want[2], want[3]);
        if (r == KIV_ERR_TIMEOUT)
            return PrintError(s, "no slave with identity " + identity + " answered");
        if (!Report(s, "switch selective", r)) return kExitFailed;
    } else if (!Report(s, "switch to configuration state", KIV_LSS_SwitchGlobal(s.h(), 1))) {
        return kExitFailed;
    }
    uint32_t id[4] = {};
    uint8_t node = 0;
    int32_t r = KIV_LSS_InquireIdentity(s.h(), id);
    if (r == KIV_OK) r = KIV_LSS_InquireNodeId(s.h(), &node);
    Report(s, "switch to waiting state", KIV_LSS_SwitchGlobal(s.h(), 0));
    if (r == KIV_ERR_AMBIGUOUS)
        return PrintError(s,
                          "several slaves answered the inquiry (more than one was in "
                          "configuration state): name one with its IDENTITY",
                          Json().Str("result", ResultName(r)));
    if (!Report(s, "inquire", r)) return kExitFailed;
    char text[160];
    std::snprintf(text, sizeof text,
                  "identity %s (vendor 0x%08X, product 0x%08X, revision 0x%08X, serial 0x%08X)\n"
                  "node-ID %u%s",
                  IdentityText(id).c_str(), id[0], id[1], id[2], id[3], node,
                  node == 255 ? " (unconfigured)" : "");
    PrintDone(s, text, Json().Str("identity", IdentityText(id)).Uint("node", node));
    return kExitOk;
}

int ConfigureAll(Session& s, const LssArgs& a) {
    if (Interrupted()) return PrintError(s, "interrupted; nothing was sent");
    const auto max = static_cast<uint8_t>(a.count);
    std::vector<KIV_LssFound> found(max);
    uint32_t count = 0;
    const int32_t r = RunCancellable(s.h(), 0, [&] {
        return KIV_LSS_ConfigureAll(s.h(), static_cast<uint8_t>(a.first), max,
                                    a.store ? KIV_LSS_STORE : 0u, static_cast<uint32_t>(a.step),
                                    found.data(), &count);
    });
    for (uint32_t i = 0; i < count; ++i) {
        const KIV_LssFound& e = found[i];
        const std::string who = IdentityText(e.identity);
        Json fields =
            Json().Str("identity", who).Uint("node", e.nodeId).Bool("stored", e.stored != 0);
        if (e.result == KIV_OK) {
            PrintDone(s,
                      "slave " + who + ": node-ID " + std::to_string(e.nodeId) +
                          (e.stored != 0 ? ", stored" : ""),
                      fields);
            continue;
        }
        std::string what = "slave " + who;
        what += e.nodeId != 0 ? ": node-ID " + std::to_string(e.nodeId) + ", store" : ": numbering";
        if (e.errorCode != 0) {
            what += " (LSS error code " + std::to_string(e.errorCode) + ")";
            fields.Uint("lssError", e.errorCode);
        }
        PrintFailure(s, what, e.result, 0, fields);
    }
    if (r != KIV_OK && (count == 0 || found[count - 1].result == KIV_OK))
        PrintFailure(s, "fastscan", r);
    if (!s.options().json) std::printf("%u slave%s numbered\n", count, count == 1 ? "" : "s");
    return r == KIV_OK ? kExitOk : kExitFailed;
}

}  // namespace

Command LssCommand() {
    return {"lss", "layer setting services: scan|set-id|inquire|configure-all",
            [](CLI::App& lss) -> Handler {
                auto args = std::make_shared<LssArgs>();
                lss.require_subcommand(1);
                CLI::App* scan = lss.add_subcommand(
                    "scan", "fastscan every unconfigured slave and list its identity");
                AddNumber(*scan, "--step", args->step, 1, 10000,
                          "wait for 'no answer' per fastscan step (default 20)")
                    ->option_text("MS");
                CLI::App* setId =
                    lss.add_subcommand("set-id", "give one slave a node-ID: V:P:R:S NODE");
                setId->add_option("IDENTITY", args->identity, "vendor:product:revision:serial")
                    ->required()
                    ->check(IdentityCheck());
                AddNode(*setId, args->node);
                setId->add_flag("--store", args->store, "the slave keeps it across a power cycle");
                CLI::App* inquire = lss.add_subcommand(
                    "inquire",
                    "identity and node-ID of the slave with IDENTITY, or of the only slave");
                inquire->add_option("IDENTITY", args->identity, "vendor:product:revision:serial")
                    ->check(IdentityCheck());
                CLI::App* all = lss.add_subcommand(
                    "configure-all", "number every unconfigured slave from node-ID --first up");
                AddNumber(*all, "--first", args->first, 1, 127, "the first node-ID given")
                    ->option_text("N")
                    ->required();
                AddNumber(*all, "--count", args->count, 1, 127,
                          "number at most this many slaves (default 127)")
                    ->option_text("M");
                all->add_flag("--store", args->store, "each slave keeps its node-ID");
                AddNumber(*all, "--step", args->step, 1, 10000,
                          "wait for 'no answer' per fastscan step (default 20)")
                    ->option_text("MS");
                return [=](Session& s) {
                    if (scan->parsed()) return Scan(s, static_cast<uint32_t>(args->step));
                    if (all->parsed()) return ConfigureAll(s, *args);
                    if (setId->parsed()) {
                        uint32_t id[4] = {};
                        ParseIdentity(args->identity, id);
                        return SetId(s, id, static_cast<uint8_t>(args->node), args->store);
                    }
                    return Inquire(s, args->identity);
                };
            }};
}

}  // namespace orukiv::tool

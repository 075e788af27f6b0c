// `orukiv lss`: layer setting services (CiA 305) on the bus.
//   lss scan [--step MS]                 fastscan until no unconfigured slave
//                                        answers; each identity listed
//   lss set-id V:P:R:S NODE [--store]    number one slave
//   lss inquire [V:P:R:S]                identity and node-ID of one slave
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "registered_command.h"
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

std::string IdentityText(const uint32_t id[4]) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "0x%08X:0x%08X:0x%08X:0x%08X", id[0], id[1], id[2], id[3]);
    return buf;
}

namespace {

struct LssArgs {
    std::string identity;
    std::string node;
    std::string step;
    bool store = false;
};

CLI::Validator IdentityCheck() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            uint32_t id[4];
            return ParseIdentity(text, id) ? std::string()
                                           : "'" + text + "' is not VENDOR:PRODUCT:REVISION:SERIAL";
        },
        "V:P:R:S");
}

bool Report(const char* what, int32_t r) {
    if (r == KIV_OK) return true;
    std::printf("%s: %s\n", what, ResultText(r).c_str());
    return false;
}

int Scan(Session& s, uint32_t stepMs) {
    std::vector<std::string> found;
    // Each slave found stays in configuration state, out of the next scans,
    // until all are switched back to waiting at the end.
    for (int i = 0; i < 127; ++i) {
        uint32_t id[4] = {};
        const int32_t r = KIV_LSS_Fastscan(s.h(), stepMs, id);
        if (r == KIV_ERR_TIMEOUT) break;
        if (!Report("fastscan", r)) break;
        found.push_back(IdentityText(id));
        std::printf("unconfigured slave %zu: %s\n", found.size(), found.back().c_str());
    }
    Report("switch to waiting state", KIV_LSS_SwitchGlobal(s.h(), 0));
    std::printf("%zu unconfigured slave%s found\n", found.size(), found.size() == 1 ? "" : "s");
    return found.empty() ? 1 : 0;
}

int SetId(Session& s, const uint32_t id[4], uint8_t node, bool store) {
    const std::string who = IdentityText(id);
    const int32_t sel = KIV_LSS_SwitchSelective(s.h(), id[0], id[1], id[2], id[3]);
    if (sel == KIV_ERR_TIMEOUT) {
        std::printf("no slave with identity %s answered\n", who.c_str());
        return 1;
    }
    if (!Report("switch selective", sel)) return 1;
    uint8_t error = 0;
    int32_t r = KIV_LSS_ConfigureNodeId(s.h(), node, &error);
    bool ok = true;
    if (r == KIV_ERR_ABORTED) {
        std::printf("slave %s refused node-ID %u (error code %u)\n", who.c_str(), node, error);
        ok = false;
    } else {
        ok = Report("configure node-ID", r);
    }
    if (ok && store) {
        r = KIV_LSS_StoreConfiguration(s.h(), &error);
        if (r == KIV_ERR_ABORTED)
            std::printf("slave %s cannot store its configuration (error code %u: %s)\n",
                        who.c_str(), error, error == 1 ? "not supported" : "storage error");
        ok = r == KIV_OK || (r != KIV_ERR_ABORTED && Report("store configuration", r));
    }
    ok = Report("switch to waiting state", KIV_LSS_SwitchGlobal(s.h(), 0)) && ok;
    if (ok)
        std::printf(
            "slave %s: node-ID %u%s (an unconfigured slave takes it now, a configured "
            "one at its next reset communication)\n",
            who.c_str(), node, store ? ", stored" : "");
    return ok ? 0 : 1;
}

int Inquire(Session& s, const std::string& identity) {
    uint32_t want[4] = {};
    if (!identity.empty()) {
        ParseIdentity(identity, want);
        const int32_t r = KIV_LSS_SwitchSelective(s.h(), want[0], want[1], want[2], want[3]);
        if (r == KIV_ERR_TIMEOUT) {
            std::printf("no slave with identity %s answered\n", identity.c_str());
            return 1;
        }
        if (!Report("switch selective", r)) return 1;
    } else if (!Report("switch to configuration state", KIV_LSS_SwitchGlobal(s.h(), 1))) {
        return 1;
    }
    uint32_t id[4] = {};
    uint8_t node = 0;
    const bool ok = Report("inquire identity", KIV_LSS_InquireIdentity(s.h(), id)) &&
                    Report("inquire node-ID", KIV_LSS_InquireNodeId(s.h(), &node));
    Report("switch to waiting state", KIV_LSS_SwitchGlobal(s.h(), 0));
    if (!ok) return 1;
    std::printf("identity %s (vendor 0x%08X, product 0x%08X, revision 0x%08X, serial 0x%08X)\n",
                IdentityText(id).c_str(), id[0], id[1], id[2], id[3]);
    if (node == 255)
        std::printf("node-ID 255 (unconfigured)\n");
    else
        std::printf("node-ID %u\n", node);
    return 0;
}

}  // namespace

RegisteredCommand RegisterLssCommand(CLI::App& app) {
    auto args = std::make_shared<LssArgs>();
    CLI::App* lss = app.add_subcommand("lss", "layer setting services: scan|set-id|inquire");
    lss->require_subcommand(1);
    CLI::App* scan =
        lss->add_subcommand("scan", "fastscan every unconfigured slave and list its identity");
    scan->add_option("--step", args->step, "wait for 'no answer' per fastscan step (default 20)")
        ->check(CLI::Range(1, 10000))
        ->option_text("MS");
    CLI::App* setId = lss->add_subcommand("set-id", "give one slave a node-ID: V:P:R:S NODE");
    setId->add_option("IDENTITY", args->identity, "vendor:product:revision:serial")
        ->required()
        ->check(IdentityCheck());
    setId->add_option("NODE", args->node)->required()->check(CLI::Range(1, 127));
    setId->add_flag("--store", args->store, "the slave keeps it across a power cycle");
    CLI::App* inquire = lss->add_subcommand(
        "inquire", "identity and node-ID of the slave with IDENTITY, or of the only slave");
    inquire->add_option("IDENTITY", args->identity, "vendor:product:revision:serial")
        ->check(IdentityCheck());
    return {lss, [=](Session& s) {
                if (*scan)
                    return Scan(
                        s, args->step.empty() ? 0u : static_cast<uint32_t>(std::stoul(args->step)));
                if (*setId) {
                    uint32_t id[4] = {};
                    ParseIdentity(args->identity, id);
                    return SetId(s, id, static_cast<uint8_t>(std::stoul(args->node)), args->store);
                }
                return Inquire(s, args->identity);
            }};
}

}  // namespace orukiv::tool

// `orukiv boot NODE`: the CiA 302-2 boot of one node (KIV_BootNode), with
// the error status letter and its meaning in words when it fails.
#include <cstdio>
#include <memory>
#include <string>

#include "orukiv/orukiv_od.h"
#include "registered_command.h"
#include "values.h"

namespace orukiv::tool {

namespace {

struct BootArgs {
    std::string node, expect, deviceType, dcf, supervise, bootTime;
    bool start = false, reset = false, mandatory = false;
};

const char* StatusText(uint8_t letter) {
    switch (letter) {
        case 'A':
            return "the node is not in the network list";
        case 'B':
            return "no answer from the node (device type 0x1000, or its boot-up message)";
        case 'C':
            return "device type (0x1000) differs from the expected one";
        case 'D':
            return "vendor-ID (0x1018:1) differs from the expected one";
        case 'E':
            return "no heartbeat from the node";
        case 'F':
            return "no answer to node guarding";
        case 'J':
            return "configuration download failed";
        case 'K':
            return "heartbeat lost while supervision was being started";
        case 'L':
            return "the node was already operational and was left running";
        case 'M':
            return "product code (0x1018:2) differs from the expected one";
        case 'N':
            return "revision number (0x1018:3) differs from the expected one";
        case 'O':
            return "serial number (0x1018:4) differs from the expected one";
        default:
            return "see CiA 302-2";
    }
}

const char* StepText(uint8_t step) {
    static const char* const names[] = {"",          "device type", "identity", "reset",
                                        "configure", "supervision", "start",    "done"};
    return step < std::size(names) ? names[step] : "?";
}

const char* StateText(uint8_t state) {
    switch (state) {
        case KIV_NMT_STATE_OPERATIONAL:
            return "operational";
        case KIV_NMT_STATE_PRE_OPERATIONAL:
            return "pre-operational";
        case KIV_NMT_STATE_STOPPED:
            return "stopped";
        default:
            return "state unknown";
    }
}

uint32_t Num(const std::string& text) {
    return static_cast<uint32_t>(*ParseUnsigned(text, 0xFFFFFFFFu));  // validated already
}

int Boot(Session& s, const BootArgs& a) {
    const auto node = static_cast<uint8_t>(Num(a.node));
    KIV_BootParam p{};
    if (!a.expect.empty()) {
        uint32_t id[4] = {};
        ParseIdentity(a.expect, id);
        p.vendorId = id[0];
        p.productCode = id[1];
        p.revision = id[2];
        p.serial = id[3];
    }
    if (!a.deviceType.empty()) p.deviceType = Num(a.deviceType);
    if (!a.supervise.empty()) p.heartbeatMs = Num(a.supervise);
    if (!a.bootTime.empty()) p.bootTimeMs = Num(a.bootTime);
    p.flags = (a.start ? KIV_BOOT_START : 0u) | (a.reset ? KIV_BOOT_RESET_COMM : 0u) |
              (a.mandatory ? KIV_BOOT_MANDATORY : 0u);
    KIV_Od* dcf = nullptr;
    if (!a.dcf.empty()) {
        KIV_OdError error{};
        dcf = KIV_OdLoadFile(a.dcf.c_str(), node, &error);
        if (dcf == nullptr) {
            std::printf("cannot read %s: %s\n", a.dcf.c_str(), error.message);
            return 1;
        }
        p.dcf = dcf;
        p.flags |= KIV_BOOT_CONFIGURE;
    }
    KIV_BootReport r{};
    const int32_t result = KIV_BootNode(s.h(), node, &p, &r);
    KIV_OdFree(dcf);
    if (result == KIV_OK) {
        std::printf("node %u booted in %u ms, %s%s\n", node, r.elapsedMs, StateText(r.nmtState),
                    r.status == 'L' ? " (it was operational already and was left running)" : "");
        return 0;
    }
    if (r.status == 0) {
        std::printf("node %u: boot failed at step %s: %s\n", node, StepText(r.step),
                    ResultText(result, r.abortCode).c_str());
        return 1;
    }
    std::printf("node %u: boot failed at step %s: status '%c': %s\n", node, StepText(r.step),
                r.status, StatusText(r.status));
    if (r.index != 0) std::printf("  object 0x%04X:%02X\n", r.index, r.subIndex);
    if (r.expected != r.actual)
        std::printf("  expected 0x%08X, read 0x%08X\n", r.expected, r.actual);
    else
        std::printf("  %s\n", ResultText(result, r.abortCode).c_str());
    return 1;
}

CLI::Validator NumberCheck(uint64_t lo, uint64_t hi) {
    return CLI::Validator(
        [lo, hi](std::string& text) -> std::string {
            const auto v = ParseUnsigned(text, hi);
            return v && *v >= lo ? std::string()
                                 : "'" + text + "' is not a number from " + std::to_string(lo) +
                                       " to " + std::to_string(hi);
        },
        "NUMBER");
}

}  // namespace

RegisteredCommand RegisterBootCommand(CLI::App& app) {
    auto a = std::make_shared<BootArgs>();
    CLI::App* boot = app.add_subcommand(
        "boot", "CiA 302-2 boot of a node: checks, configuration, supervision, start: NODE");
    boot->add_option("NODE", a->node)->required()->check(NumberCheck(1, 127));
    boot->add_option("--expect", a->expect, "expected identity (0: not checked)")
        ->option_text("V:P:R:S")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                uint32_t id[4];
                return ParseIdentity(text, id) ? std::string() : "'" + text + "' is not V:P:R:S";
            },
            "V:P:R:S"));
    boot->add_option("--device-type", a->deviceType, "expected device type 0x1000")
        ->option_text("T")
        ->check(NumberCheck(1, 0xFFFFFFFFu));
    boot->add_option("--dcf", a->dcf, "write this DCF's values to the node")->option_text("FILE");
    boot->add_flag("--start", a->start, "NMT start at the end");
    boot->add_flag("--reset", a->reset, "NMT reset communication first, then wait for boot-up");
    boot->add_flag("--mandatory", a->mandatory, "wait for the node up to the boot time");
    boot->add_option("--boot-time", a->bootTime, "wait for the node and its boot-up (default 5000)")
        ->option_text("MS")
        ->check(NumberCheck(1, 0x7FFFFFFF));
    boot->add_option("--supervise", a->supervise, "heartbeat consumer time-out after the boot")
        ->option_text("MS")
        ->check(NumberCheck(1, 0x7FFFFFFF));
    return {boot, [a](Session& s) { return Boot(s, *a); }};
}

}  // namespace orukiv::tool

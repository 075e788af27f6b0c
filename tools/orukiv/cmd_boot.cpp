// `orukiv boot NODE`: the CiA 302-2 boot of one node (KIV_BootNode), with
// the error status letter and its meaning in words when it fails.
#include <cstdio>
#include <memory>
#include <string>

#include "cancel_on_interrupt.h"
#include "command.h"
#include "event_text.h"
#include "interrupt.h"
#include "orukiv/orukiv_od.h"
#include "report.h"
#include "values.h"

namespace orukiv::tool {

const char* BootStatusText(uint8_t letter) {
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

const char* BootStepText(uint8_t step) {
    static const char* const names[] = {"",          "device type", "identity", "reset",
                                        "configure", "supervision", "start",    "done"};
    return step < std::size(names) ? names[step] : "?";
}

namespace {

struct BootArgs {
    int64_t node = 0, deviceType = 0, supervise = 0, bootTime = 0;
    std::string expect, dcf;
    bool start = false, reset = false, mandatory = false;
};

int Boot(Session& s, const BootArgs& a) {
    const auto node = static_cast<uint8_t>(a.node);
    const Json fields = Json().Uint("node", node);
    KIV_BootParam p{};
    if (!a.expect.empty()) {
        uint32_t id[4] = {};
        ParseIdentity(a.expect, id);
        p.vendorId = id[0];
        p.productCode = id[1];
        p.revision = id[2];
        p.serial = id[3];
    }
    p.deviceType = static_cast<uint32_t>(a.deviceType);
    p.heartbeatMs = static_cast<uint32_t>(a.supervise);
    p.bootTimeMs = static_cast<uint32_t>(a.bootTime);
    p.flags = (a.start ? KIV_BOOT_START : 0u) | (a.reset ? KIV_BOOT_RESET_COMM : 0u) |
              (a.mandatory ? KIV_BOOT_MANDATORY : 0u);
    KIV_Od* dcf = nullptr;
    if (!a.dcf.empty()) {
        KIV_OdError error{};
        dcf = KIV_OdLoadFile(a.dcf.c_str(), node, &error);
        if (dcf == nullptr)
            return PrintError(s, "cannot read " + a.dcf + ": " + error.message, fields);
        p.dcf = dcf;
        p.flags |= KIV_BOOT_CONFIGURE;
    }
    // The boot resets and configures the node: interrupted before it
    // starts, nothing is sent; once under way an interrupt cancels it (the
    // SDO transfer under way sends its abort frame).
    if (Interrupted()) {
        KIV_OdFree(dcf);
        return PrintError(s, "interrupted; nothing was sent to node " + std::to_string(node),
                          fields);
    }
    KIV_BootReport r{};
    const int32_t result =
        RunCancellable(s.h(), node, [&] { return KIV_BootNode(s.h(), node, &p, &r); });
    KIV_OdFree(dcf);
    const Json report = Json(fields)
                            .Str("step", BootStepText(r.step))
                            .Str("state", NmtStateName(r.nmtState))
                            .Uint("elapsedMs", r.elapsedMs);
    if (result == KIV_OK) {
        PrintDone(s,
                  "node " + std::to_string(node) + " booted in " + std::to_string(r.elapsedMs) +
                      " ms, " + NmtStateName(r.nmtState) +
                      (r.status == 'L' ? " (it was operational already and was left running)" : ""),
                  Json(report).Str("status", r.status == 'L' ? "L" : ""));
        return kExitOk;
    }
    std::string what =
        "node " + std::to_string(node) + ": boot, step '" + BootStepText(r.step) + "'";
    Json failed(report);
    if (r.status != 0) {
        what += ", status '" + std::string(1, static_cast<char>(r.status)) +
                "': " + BootStatusText(r.status) + ";";
        failed.Str("status", std::string(1, static_cast<char>(r.status)));
    }
    if (r.index != 0) {
        what += " object " + HexNumber(r.index, 4) + ":" + HexNumber(r.subIndex, 2).substr(2);
        failed.Uint("index", r.index).Uint("subIndex", r.subIndex);
    }
    if (r.expected != r.actual) {
        what += ", expected " + HexNumber(r.expected, 8) + ", read " + HexNumber(r.actual, 8);
        failed.Uint("expected", r.expected).Uint("actual", r.actual);
    }
    return PrintFailure(s, what, result, r.abortCode, failed);
}

}  // namespace

Command BootCommand() {
    return {"boot", "CiA 302-2 boot of a node: checks, configuration, supervision, start: NODE",
            [](CLI::App& boot) -> Handler {
                auto a = std::make_shared<BootArgs>();
                AddNode(boot, a->node);
                boot.add_option("--expect", a->expect, "expected identity (0: not checked)")
                    ->option_text("V:P:R:S")
                    ->check(IdentityCheck());
                AddNumber(boot, "--device-type", a->deviceType, 1, 0xFFFFFFFF,
                          "expected device type 0x1000")
                    ->option_text("T");
                boot.add_option("--dcf", a->dcf, "write this DCF's values to the node")
                    ->option_text("FILE");
                boot.add_flag("--start", a->start, "NMT start at the end");
                boot.add_flag("--reset", a->reset,
                              "NMT reset communication first, then wait for boot-up");
                boot.add_flag("--mandatory", a->mandatory, "wait for the node up to the boot time");
                AddNumber(boot, "--boot-time", a->bootTime, 1, 0x7FFFFFFF,
                          "wait for the node and its boot-up (default 5000)")
                    ->option_text("MS");
                AddNumber(boot, "--supervise", a->supervise, 1, 0x7FFFFFFF,
                          "heartbeat consumer time-out after the boot")
                    ->option_text("MS");
                return [a](Session& s) { return Boot(s, *a); };
            }};
}

}  // namespace orukiv::tool

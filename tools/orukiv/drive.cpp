// CiA 402 commands: power-on and a profile-position move that halts the
// drive when it is interrupted or runs past its time limit.
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "command.h"
#include "event_text.h"
#include "procedures.h"
#include "report.h"

namespace orukiv::tool {

namespace {

constexpr uint16_t kControlword = 0x6040;
constexpr uint16_t kModesOfOperation = 0x6060;
constexpr uint16_t kTargetPosition = 0x607A;
constexpr int8_t kProfilePosition = 1;
constexpr uint16_t kErrorCode = 0x603F;
constexpr uint16_t kCwDisableVoltage = 0x0000;
constexpr uint16_t kCwShutdown = 0x0006;
constexpr uint16_t kCwSwitchOn = 0x0007;
constexpr uint16_t kCwEnableOperation = 0x000F;
constexpr uint16_t kCwNewSetPoint = 0x0010;
constexpr uint16_t kCwHalt = 0x0100;
constexpr uint16_t kCwQuickStop = 0x000B;  // enable voltage, quick stop (bit 2 clear)
constexpr uint16_t kSwTargetReached = 1u << 10;
constexpr auto kMoveLimit = std::chrono::seconds(60);
constexpr auto kPollPeriod = std::chrono::milliseconds(100);
constexpr auto kStopWait = std::chrono::milliseconds(1000);  // for the halt, then the quick stop
constexpr auto kStateWait = std::chrono::milliseconds(500);  // for each power-on transition

std::string StatusText(uint16_t sw) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "statusword 0x%04X (%s)", sw, DriveStateOf(sw));
    return buf;
}

bool OperationEnabled(uint16_t sw) {
    return std::string(DriveStateOf(sw)) == "operation enabled";
}

// Polls the drive until `done` holds or kStopWait passes; `pos` and `sw`
// keep the last values read.
bool WaitForDrive(Session& s, uint8_t node, int32_t& pos, uint16_t& sw,
                  const std::function<bool(uint16_t)>& done) {
    const auto until = std::chrono::steady_clock::now() + kStopWait;
    do {
        uint16_t now = 0;
        if (KIV_402_GetStatusWord(s.h(), node, &now) == KIV_OK) {
            sw = now;
            KIV_402_GetActualPos(s.h(), node, &pos);
            if (done(sw)) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

}  // namespace

CLI::Option* AddResetFault(CLI::App& app, bool& out) {
    return app.add_flag("--reset-fault", out,
                        "a drive in fault: show its error code (0x603F), then reset the fault "
                        "(controlword 0x0080) and go on; without it a fault fails the command");
}

MoveOutcome StopDrive(Session& s, uint8_t node, int32_t lastPos, uint16_t lastSw) {
    MoveOutcome out;
    out.position = lastPos;
    uint16_t sw = lastSw;
    // The halt bit: the drive decelerates and stands, "target reached"
    // saying that it does.
    const Access halt = s.WriteU(node, kControlword, 0, kCwEnableOperation | kCwHalt, 2);
    if (halt.ok() && WaitForDrive(s, node, out.position, sw, [](uint16_t w) {
            return (w & kSwTargetReached) != 0 || !OperationEnabled(w);
        })) {
        out.stop = "halted";
        out.report = "halted at " + std::to_string(out.position) + ", " + StatusText(sw);
        return out;
    }
    // Not confirmed: quick stop.
    const Access quick = s.WriteU(node, kControlword, 0, kCwQuickStop, 2);
    if (quick.ok() &&
        WaitForDrive(s, node, out.position, sw, [](uint16_t w) { return !OperationEnabled(w); })) {
        out.stop = "quick stop";
        out.report = std::string("halt ") + (halt.ok() ? "not confirmed" : "refused") +
                     ", quick stop at " + std::to_string(out.position) + ", " + StatusText(sw);
        return out;
    }
    out.stop = "failed";
    out.result = quick.ok() ? KIV_ERR_TIMEOUT : quick.result;
    out.abortCode = quick.abortCode;
    out.report = "THE DRIVE MAY STILL BE MOVING: neither halt nor quick stop was confirmed (" +
                 (quick.ok() ? std::string("no answer in time") : quick.Error()) +
                 "), last position " + std::to_string(out.position);
    return out;
}

std::string DriveStatus(Session& s, uint8_t node, uint16_t sw) {
    std::string text = StatusText(sw);
    if (!InFault(sw)) return text;
    const Access code = s.Read(node, kErrorCode, 0);
    return text + ", error code " +
           (code.ok() && code.data.size() == 2 ? HexNumber(code.U32(), 4) + " (0x603F)"
                                               : "unknown (0x603F: " + code.Error() + ")");
}

bool InFault(uint16_t sw) {
    const std::string state = DriveStateOf(sw);
    return state == "fault" || state == "fault reaction active";
}

namespace {

// Polls the statusword every 10 ms until the drive is in `state` or
// kStateWait passes; `sw` keeps the last value read.
bool WaitForState(Session& s, uint8_t node, const char* state, uint16_t& sw) {
    const auto until = std::chrono::steady_clock::now() + kStateWait;
    while (true) {
        uint16_t now = 0;
        if (KIV_402_GetStatusWord(s.h(), node, &now) == KIV_OK) {
            sw = now;
            if (std::string(DriveStateOf(sw)) == state) return true;
        }
        if (std::chrono::steady_clock::now() >= until || Interrupted()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

bool PowerOn(Session& s, uint8_t node, bool resetFault, std::string& report) {
    uint16_t sw = 0;
    int32_t r = KIV_402_GetStatusWord(s.h(), node, &sw);
    if (r != KIV_OK) {
        report = "statusword read failed: " + ResultText(r);
        return false;
    }
    std::string done;  // the transitions made, for the report
    if (InFault(sw)) {
        const std::string fault = DriveStatus(s, node, sw);
        if (!resetFault) {
            report = "the drive is in fault: " + fault + "; --reset-fault clears it";
            return false;
        }
        if ((r = KIV_402_FaultReset(s.h(), node)) != KIV_OK) {
            report = "fault reset (controlword 0x0080) failed: " + ResultText(r);
            return false;
        }
        if (!WaitForState(s, node, "switch on disabled", sw)) {
            report = "fault reset: 'switch on disabled' not reached within 500 ms, " +
                     DriveStatus(s, node, sw);
            return false;
        }
        done = "fault reset (" + fault + "), ";
    }
    // The transitions from the state the drive is in to operation enabled.
    struct Transition {
        const char* from;
        const char* name;
        uint16_t controlword;
        const char* to;
    };
    static const Transition kTransitions[] = {
        {"quick stop active", "disable voltage", kCwDisableVoltage, "switch on disabled"},
        {"not ready to switch on", nullptr, 0, "switch on disabled"},
        {"switch on disabled", "shutdown", kCwShutdown, "ready to switch on"},
        {"ready to switch on", "switch on", kCwSwitchOn, "switched on"},
        {"switched on", "enable operation", kCwEnableOperation, "operation enabled"},
    };
    for (const Transition& t : kTransitions) {
        if (std::string(DriveStateOf(sw)) != t.from) continue;
        if (Interrupted()) {
            report = done + "interrupted in '" + t.from + "'";
            return false;
        }
        if (t.name && (r = KIV_402_SetControlWord(s.h(), node, t.controlword)) != KIV_OK) {
            report = done + std::string(t.name) + " (controlword " + HexNumber(t.controlword, 4) +
                     ") failed: " + ResultText(r);
            return false;
        }
        if (!WaitForState(s, node, t.to, sw)) {
            report = done + (t.name ? std::string(t.name) + ": '" : std::string("'")) + t.to +
                     "' not reached within 500 ms, the drive is in " + DriveStatus(s, node, sw);
            return false;
        }
        if (t.name) done += std::string(t.name) + ", ";
    }
    if (!OperationEnabled(sw)) {
        report = done + "the drive did not reach operation enabled: " + DriveStatus(s, node, sw);
        return false;
    }
    report = done + StatusText(sw);
    return true;
}

bool PowerOn(Session& s, uint8_t node, std::string& report) {
    return PowerOn(s, node, false, report);
}

MoveOutcome Move(Session& s, uint8_t node, int32_t target,
                 const std::function<void(int32_t)>& progress) {
    MoveOutcome out;
    uint16_t sw = 0;
    int32_t r = KIV_402_GetStatusWord(s.h(), node, &sw);
    if (r != KIV_OK) {
        out.result = r;
        out.report = "statusword read failed: " + ResultText(r);
        return out;
    }
    if (!OperationEnabled(sw)) {
        out.report = "the drive is not enabled, " + DriveStatus(s, node, sw) +
                     ": run power-on first (or move --power-on)";
        return out;
    }
    const std::vector<Step> steps = {
        {"mode of operation", kModesOfOperation, 0, static_cast<uint8_t>(kProfilePosition), 1},
        {"target position", kTargetPosition, 0, static_cast<uint32_t>(target), 4},
        {"controlword", kControlword, 0, kCwEnableOperation, 2},
    };
    StepFailure failed;
    if (!RunSteps(s, node, steps, failed)) {
        out.result = failed.access.result;
        out.abortCode = failed.access.abortCode;
        out.report = "step '" + failed.step + "' failed: " + failed.access.Error();
        return out;
    }
    if (Interrupted()) {
        out.report = "interrupted before the move started";
        return out;
    }
    const auto start = std::chrono::steady_clock::now();
    if (!RunSteps(s, node,
                  {{"new set-point", kControlword, 0, kCwEnableOperation | kCwNewSetPoint, 2}},
                  failed)) {
        // The set-point may have been taken although the answer was lost.
        MoveOutcome stop = StopDrive(s, node, 0, sw);
        stop.result = failed.access.result;
        stop.abortCode = failed.access.abortCode;
        stop.report =
            "step '" + failed.step + "' failed: " + failed.access.Error() + "; " + stop.report;
        return stop;
    }
    int32_t pos = 0;
    const char* why = nullptr;  // why the move is stopped, or null
    while (true) {
        if (Interrupted()) {
            why = "interrupted";
            break;
        }
        if (std::chrono::steady_clock::now() - start >= kMoveLimit) {
            why = "time limit of 60 s passed";
            break;
        }
        if ((r = KIV_402_GetActualPos(s.h(), node, &pos)) != KIV_OK ||
            (r = KIV_402_GetStatusWord(s.h(), node, &sw)) != KIV_OK) {
            why = "reading the drive failed";
            out.result = r;
            break;
        }
        progress(pos);
        if (!OperationEnabled(sw)) {
            out.position = pos;
            out.report = "the drive left operation enabled at " + std::to_string(pos) + ": " +
                         StatusText(sw);
            return out;
        }
        if ((sw & kSwTargetReached) != 0 && pos == target) break;
        std::this_thread::sleep_for(kPollPeriod);
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (why) {
        const int32_t readResult = out.result;
        out = StopDrive(s, node, pos, sw);
        if (out.result == KIV_OK) out.result = readResult;
        char buf[64];
        std::snprintf(buf, sizeof buf, " after %.2f s: ", secs);
        out.report = why + std::string(buf) + out.report;
        return out;
    }
    // The set-point bit back to 0 for the next move.
    KIV_402_SetControlWord(s.h(), node, kCwEnableOperation);
    out.reached = true;
    out.position = pos;
    char buf[120];
    std::snprintf(buf, sizeof buf, "target reached at %d after %.2f s, %s", static_cast<int>(pos),
                  secs, StatusText(sw).c_str());
    out.report = buf;
    return out;
}

bool MoveTo(Session& s, uint8_t node, int32_t target, const std::function<void(int32_t)>& progress,
            std::string& report) {
    const MoveOutcome out = Move(s, node, target, progress);
    report = out.report;
    return out.reached;
}

int CmdPowerOn(Session& s, uint8_t node, bool resetFault) {
    std::string report;
    const bool ok = PowerOn(s, node, resetFault, report);
    const Json fields = Json().Uint("node", node).Str("report", report);
    if (!ok)
        return PrintError(s, "power-on of node " + std::to_string(node) + ": " + report, fields);
    PrintDone(s, "node " + std::to_string(node) + ": " + report, fields);
    return kExitOk;
}

int CmdMove(Session& s, uint8_t node, int32_t position, bool powerOnFirst, bool resetFault) {
    if (powerOnFirst && CmdPowerOn(s, node, resetFault) != kExitOk) return kExitFailed;
    const bool json = s.options().json;
    const MoveOutcome out = Move(s, node, position, [&](int32_t pos) {
        if (json) return;
        std::printf("node %u: position %d of %d\n", node, static_cast<int>(pos),
                    static_cast<int>(position));
        std::fflush(stdout);
    });
    Json fields;
    fields.Uint("node", node).Int("target", position).Int("position", out.position);
    if (!out.stop.empty()) fields.Str("stop", out.stop);
    if (!out.reached)
        return PrintFailure(s, "move of node " + std::to_string(node) + ": " + out.report,
                            out.result, out.abortCode, fields);
    PrintDone(s, "node " + std::to_string(node) + ": " + out.report, fields);
    return kExitOk;
}

Command PowerOnCommand() {
    return {"power-on",
            "CiA 402: bring a drive to operation enabled: NODE; a fault is shown, and reset "
            "only with --reset-fault",
            [](CLI::App& app) -> Handler {
                struct Args {
                    int64_t node = 0;
                    bool resetFault = false;
                };
                auto a = std::make_shared<Args>();
                AddNode(app, a->node);
                AddResetFault(app, a->resetFault);
                return [a](Session& s) {
                    return CmdPowerOn(s, static_cast<uint8_t>(a->node), a->resetFault);
                };
            }};
}

Command MoveCommand() {
    return {"move",
            "CiA 402: profile position move: NODE POSITION; Ctrl-C or the 60 s limit halts the "
            "drive",
            [](CLI::App& app) -> Handler {
                struct Args {
                    int64_t node = 0, position = 0;
                    bool powerOn = false, resetFault = false;
                };
                auto a = std::make_shared<Args>();
                AddNode(app, a->node);
                AddNumber(app, "POSITION", a->position, INT32_MIN, INT32_MAX)->required();
                app.add_flag("--power-on", a->powerOn, "run the power-on sequence first");
                AddResetFault(app, a->resetFault)->needs("--power-on");
                return [a](Session& s) {
                    return CmdMove(s, static_cast<uint8_t>(a->node),
                                   static_cast<int32_t>(a->position), a->powerOn, a->resetFault);
                };
            }};
}

}  // namespace orukiv::tool

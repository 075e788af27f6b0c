// CiA 402 commands: power-on and a profile-position move.
#include <chrono>
#include <cstdio>
#include <thread>

#include "commands.h"
#include "event_text.h"

namespace orukiv::tool {

namespace {

constexpr int8_t kProfilePosition = 1;
constexpr uint16_t kCwEnableOperation = 0x000F;
constexpr uint16_t kCwNewSetPoint = 0x0010;
constexpr uint16_t kSwTargetReached = 1u << 10;
constexpr auto kMoveLimit = std::chrono::seconds(60);
constexpr auto kPollPeriod = std::chrono::milliseconds(100);

std::string StatusText(uint16_t sw) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "statusword 0x%04X (%s)", sw, DriveStateOf(sw));
    return buf;
}

bool OperationEnabled(uint16_t sw) {
    return std::string(DriveStateOf(sw)) == "operation enabled";
}

}  // namespace

bool PowerOn(Session& s, uint8_t node, std::string& report) {
    const int32_t r = KIV_402_PowerOn(s.h(), node);
    if (r != KIV_OK) {
        report = "power-on sequence failed: " + ResultText(r);
        return false;
    }
    uint16_t sw = 0;
    const int32_t g = KIV_402_GetStatusWord(s.h(), node, &sw);
    if (g != KIV_OK) {
        report = "statusword read failed: " + ResultText(g);
        return false;
    }
    report = StatusText(sw);
    return OperationEnabled(sw);
}

bool MoveTo(Session& s, uint8_t node, int32_t target, const std::function<void(int32_t)>& progress,
            std::string& report) {
    uint16_t sw = 0;
    int32_t r = KIV_402_GetStatusWord(s.h(), node, &sw);
    if (r != KIV_OK) {
        report = "statusword read failed: " + ResultText(r);
        return false;
    }
    if (!OperationEnabled(sw)) {
        report = "the drive is not enabled, " + StatusText(sw) + ": run power-on first";
        return false;
    }
    struct Step {
        const char* what;
        std::function<int32_t()> call;
    };
    const Step steps[] = {
        {"mode of operation", [&] { return KIV_402_SetOpMode(s.h(), node, kProfilePosition); }},
        {"target position", [&] { return KIV_402_SetTargetPos(s.h(), node, target); }},
        {"controlword", [&] { return KIV_402_SetControlWord(s.h(), node, kCwEnableOperation); }},
        {"new set-point",
         [&] { return KIV_402_SetControlWord(s.h(), node, kCwEnableOperation | kCwNewSetPoint); }},
    };
    for (const Step& step : steps) {
        if ((r = step.call()) != KIV_OK) {
            report = std::string(step.what) + " write failed: " + ResultText(r);
            return false;
        }
    }
    const auto start = std::chrono::steady_clock::now();
    int32_t pos = 0;
    bool reached = false;
    while (!Interrupted() && std::chrono::steady_clock::now() - start < kMoveLimit) {
        if ((r = KIV_402_GetActualPos(s.h(), node, &pos)) != KIV_OK ||
            (r = KIV_402_GetStatusWord(s.h(), node, &sw)) != KIV_OK) {
            report = "reading the drive failed: " + ResultText(r);
            return false;
        }
        progress(pos);
        if (!OperationEnabled(sw)) {
            report = "the drive left operation enabled: " + StatusText(sw);
            return false;
        }
        if ((sw & kSwTargetReached) != 0 && pos == target) {
            reached = true;
            break;
        }
        std::this_thread::sleep_for(kPollPeriod);
    }
    KIV_402_SetControlWord(s.h(), node, kCwEnableOperation);  // set-point bit back to 0
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char buf[120];
    std::snprintf(buf, sizeof buf, "%s %d after %.2f s, %s",
                  reached ? "target reached at" : "stopped at", static_cast<int>(pos), secs,
                  StatusText(sw).c_str());
    report = buf;
    return reached;
}

int CmdPowerOn(Session& s, uint8_t node) {
    std::string report;
    const bool ok = PowerOn(s, node, report);
    std::printf("node %u: %s\n", node, report.c_str());
    return ok ? 0 : 1;
}

int CmdMove(Session& s, uint8_t node, int32_t position) {
    std::string report;
    const bool ok = MoveTo(
        s, node, position,
        [&](int32_t pos) {
            std::printf("node %u: position %d of %d\n", node, static_cast<int>(pos),
                        static_cast<int>(position));
            std::fflush(stdout);
        },
        report);
    std::printf("node %u: %s\n", node, report.c_str());
    return ok ? 0 : 1;
}

}  // namespace orukiv::tool

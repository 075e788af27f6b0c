// `orukiv cyclic NODE --period US [--seconds S]`: SYNC and the drive's
// target position every period, from the library's cyclic operation; prints
// the cycles, skipped deadlines, worst lateness and worst following error.
#include "cmd_cyclic.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "command.h"
#include "commands.h"
#include "interrupt.h"
#include "report.h"

namespace orukiv::tool {

namespace {

constexpr int8_t kCyclicPosition = 8;
constexpr uint16_t kRpdo1Comm = 0x1400;
constexpr uint16_t kRpdo1Map = 0x1600;
constexpr uint32_t kCobInvalid = 0x80000000u;
constexpr uint32_t kRpdoBase = 0x200;
constexpr uint32_t kTpdo1Base = 0x180;
constexpr uint32_t kTpdo2Base = 0x280;
constexpr uint32_t kTargetPositionMap = 0x607A0020u;  // 0x607A:00, 32 bits
constexpr uint16_t kFollowingWindow = 0x6065;
constexpr int32_t kDefaultDistance = 100000;
constexpr double kPi = 3.14159265358979323846;
constexpr uint32_t kHoldCycles = 20;

int32_t I32(const uint8_t* p) {
    uint32_t v = 0;
    std::memcpy(&v, p, 4);
    return static_cast<int32_t>(v);
}

// What the cycle callback and the event handler share with the run.
struct Trajectory {
    uint32_t cobId;
    double start, distance, cyclesTotal;
    uint32_t holdCycles = 0;  // worker only
    std::atomic<bool> done{false};

    static int32_t Cycle(uint64_t cycle, KIV_CanFrame* frames, uint32_t, void* user) {
        auto* t = static_cast<Trajectory*>(user);
        const double x = std::min(1.0, cycle / t->cyclesTotal);
        const auto target =
            static_cast<int32_t>(std::lround(t->start + t->distance * (1 - std::cos(kPi * x)) / 2));
        // At the end the target holds for a few SYNCs, which the drive takes
        // to close the gap, however many deadlines were skipped before.
        if (x >= 1.0 && ++t->holdCycles >= kHoldCycles) t->done.store(true);
        frames[0].id = t->cobId;
        frames[0].dlc = 4;
        std::memcpy(frames[0].data, &target, 4);
        return 1;
    }
};

// RPDO1 of node carries the target position (through SDO writes of its
// records), TPDO1 statusword and position, TPDO2 the following error.
std::string MapPdos(Session& s, uint8_t node) {
    const uint32_t rpdo = kRpdoBase + node;
    struct Step {
        uint16_t index;
        uint8_t sub;
        uint32_t value;
        std::size_t size;
    } const steps[] = {{kRpdo1Comm, 1, kCobInvalid | rpdo, 4},
                       {kRpdo1Map, 0, 0, 1},
                       {kRpdo1Map, 1, kTargetPositionMap, 4},
                       {kRpdo1Map, 0, 1, 1},
                       {kRpdo1Comm, 1, rpdo, 4}};
    for (const Step& st : steps) {
        const Access a = s.WriteU(node, st.index, st.sub, st.value, st.size);
        if (!a.ok())
            return "RPDO1 mapping, " + ObjectName(node, st.index, st.sub) + ": " + a.Error();
    }
    const KIV_PdoMapEntry tpdo1[] = {KIV_MakePdoMapEntry(0x6041, 0, 16),
                                     KIV_MakePdoMapEntry(0x6064, 0, 32)};
    const KIV_PdoMapEntry tpdo2[] = {KIV_MakePdoMapEntry(0x60F4, 0, 32)};
    int32_t r = KIV_ConfigTPDO(s.h(), node, 1, tpdo1, 2);
    if (r == KIV_OK) r = KIV_ConfigTPDO(s.h(), node, 2, tpdo2, 1);
    return r == KIV_OK ? std::string() : "TPDO mapping: " + ResultText(r);
}

}  // namespace

bool RunCyclic(Session& s, uint8_t node, uint32_t periodUs, double seconds, int32_t distance,
               CyclicRun& run, std::string& report) {
    std::string error = MapPdos(s, node);
    int32_t r = KIV_OK;
    if (error.empty() && (r = KIV_NMT_SendCommand(s.h(), node, KIV_NMT_CMD_START)) != KIV_OK)
        error = "NMT start: " + ResultText(r);
    if (error.empty() && (r = KIV_402_GetActualPos(s.h(), node, &run.start)) != KIV_OK)
        error = "actual position: " + ResultText(r);
    // The first target is where the drive stands: no jump when it enables.
    if (error.empty() && (r = KIV_402_SetTargetPos(s.h(), node, run.start)) != KIV_OK)
        error = "target position: " + ResultText(r);
    if (error.empty() && (r = KIV_402_SetOpMode(s.h(), node, kCyclicPosition)) != KIV_OK)
        error = "mode of operation: " + ResultText(r);
    std::string power;
    if (error.empty() && !PowerOn(s, node, power)) error = power;
    if (!error.empty()) {
        report = error;
        return false;
    }
    const Access window = s.Read(node, kFollowingWindow, 0);
    const uint32_t limit = window.ok() ? window.U32() : 1000;

    Trajectory t;
    t.cobId = kRpdoBase + node;
    t.start = run.start;
    t.distance = distance;
    t.cyclesTotal = std::max(1.0, seconds * 1e6 / periodUs);
    run.end = static_cast<int32_t>(run.start + static_cast<int64_t>(distance));
    std::atomic<uint32_t> worst{0};
    std::atomic<uint64_t> tpdos{0};
    s.master().Events().SetHandler([&](const KIV_Event& e) {
        if (e.type != KIV_EVENT_FRAME || e.body.frame.frameLength < 4) return;
        if (e.body.frame.cobId == kTpdo1Base + node) tpdos.fetch_add(1);
        if (e.body.frame.cobId != kTpdo2Base + node) return;
        const auto magnitude =
            static_cast<uint32_t>(std::llabs(static_cast<int64_t>(I32(e.body.frame.frameData))));
        if (magnitude > worst.load()) worst.store(magnitude);
    });
    r = KIV_StartCyclic(s.h(), periodUs, 0, &Trajectory::Cycle, &t);
    if (r == KIV_OK) {
        while (!t.done.load() && !Interrupted())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        KIV_StopCyclic(s.h());
        KIV_GetCyclicStats(s.h(), &run.stats);
    }
    // The last TPDOs are on their way to the event handler.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    s.master().Events().SetHandler({});
    if (r != KIV_OK) {
        report = "cyclic operation refused: " + ResultText(r);
        return false;
    }
    run.worstFollowing = worst.load();
    run.tpdos = tpdos.load();
    if (Interrupted()) {
        // The SYNC producer is stopped; the drive holds its last target.
        // Halt it as an interrupted move is halted.
        uint16_t sw = 0;
        KIV_402_GetStatusWord(s.h(), node, &sw);
        KIV_402_GetActualPos(s.h(), node, &run.final);
        const MoveOutcome stop = StopDrive(s, node, run.final, sw);
        run.final = stop.position;
        report = "interrupted: cyclic operation stopped, " + stop.report;
        return false;
    }
    if ((r = KIV_402_GetActualPos(s.h(), node, &run.final)) != KIV_OK) {
        report = "actual position: " + ResultText(r);
        return false;
    }
    const bool arrived = std::llabs(static_cast<int64_t>(run.final) - run.end) <= limit;
    char buf[200];
    std::snprintf(buf, sizeof buf, "position %d, %s %d (following-error window %u)",
                  static_cast<int>(run.final), arrived ? "at the end" : "short of the end",
                  static_cast<int>(run.end), limit);
    report = buf;
    return run.stats.cycles > 0 && arrived;
}

namespace {

template <typename Args>
int CmdCyclic(Session& s, const Args& a) {
    const auto node = static_cast<uint8_t>(a.node);
    const auto periodUs = static_cast<uint32_t>(a.periodUs);
    CyclicRun run;
    std::string report;
    const bool ok = RunCyclic(s, node, periodUs, a.seconds, kDefaultDistance, run, report);
    const Json fields = Json()
                            .Uint("node", node)
                            .Uint("periodUs", periodUs)
                            .Uint("cycles", run.stats.cycles)
                            .Uint("skipped", run.stats.skipped)
                            .Uint("maxLateUs", run.stats.maxLateUs)
                            .Uint("tpdos", run.tpdos)
                            .Uint("worstFollowingError", run.worstFollowing)
                            .Int("position", run.final)
                            .Int("end", run.end);
    if (!s.options().json) {
        std::printf("node %u: cyclic synchronous position, period %u us\n", node, periodUs);
        std::printf("  cycles %llu, skipped deadlines %llu, worst lateness %u us\n",
                    static_cast<unsigned long long>(run.stats.cycles),
                    static_cast<unsigned long long>(run.stats.skipped), run.stats.maxLateUs);
        std::printf("  TPDOs received %llu, worst following error %u counts\n",
                    static_cast<unsigned long long>(run.tpdos), run.worstFollowing);
    }
    if (!ok) return PrintError(s, "node " + std::to_string(node) + ": " + report, fields);
    PrintDone(s, "  " + report, fields);
    return kExitOk;
}

}  // namespace

Command CyclicCommand() {
    return {"cyclic", "CiA 402: cyclic synchronous position along a smooth trajectory: NODE",
            [](CLI::App& app) -> Handler {
                struct Args {
                    int64_t node = 0, periodUs = 0;
                    double seconds = 2;
                };
                auto a = std::make_shared<Args>();
                AddNode(app, a->node);
                AddNumber(app, "--period", a->periodUs, 250, 1000000,
                          "SYNC period in microseconds (250..1000000)")
                    ->required()
                    ->option_text("US");
                app.add_option("--seconds", a->seconds, "length of the trajectory (default 2)")
                    ->check(CLI::Range(0.01, 3600.0));
                return [a](Session& s) { return CmdCyclic(s, *a); };
            }};
}

}  // namespace orukiv::tool

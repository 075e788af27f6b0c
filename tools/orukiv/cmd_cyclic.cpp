// `orukiv cyclic NODE --period US [--distance COUNTS] [--seconds S]`: SYNC
// and the drive's target position every period, from the library's cyclic
// operation; prints the cycles, skipped deadlines, worst lateness and worst
// following error. The drive's feedback (TPDO1) is watched: missing at the
// start or stopping, the run ends and the drive is halted.
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
#include "event_text.h"
#include "interrupt.h"
#include "procedures.h"
#include "report.h"

namespace orukiv::tool {

namespace {

constexpr int8_t kCyclicPosition = 8;
constexpr uint16_t kProfileVelocity = 0x6081;
constexpr uint16_t kFollowingWindow = 0x6065;
// Feedback (TPDO1) must arrive within this many SYNCs after the start, and
// may then miss at most this many in a row.
constexpr uint64_t kFirstFeedbackCycles = 3;
constexpr uint64_t kFeedbackGapCycles = 10;
constexpr double kPi = 3.14159265358979323846;
constexpr uint32_t kHoldCycles = 20;

bool OperationEnabled(uint16_t sw) {
    return std::string(DriveStateOf(sw)) == "operation enabled";
}

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
    // Feedback watch: the SYNCs sent so far, and their count when the last
    // TPDO1 arrived (both on the worker thread); set once the feedback is
    // lost. (A cycle number counts skipped deadlines too.)
    std::atomic<uint64_t> syncs{0};
    std::atomic<uint64_t> lastFeedback{0};
    std::atomic<bool> gotFeedback{false};
    std::atomic<bool> feedbackLost{false};

    static int32_t Cycle(uint64_t cycle, KIV_CanFrame* frames, uint32_t, void* user) {
        auto* t = static_cast<Trajectory*>(user);
        const uint64_t sent = t->syncs.fetch_add(1) + 1;
        const uint64_t gap = sent - std::min<uint64_t>(sent, t->lastFeedback.load());
        if (gap > (t->gotFeedback.load() ? kFeedbackGapCycles : kFirstFeedbackCycles))
            t->feedbackLost.store(true);
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

// RPDO1 of node carries the target position, TPDO1 statusword and
// position, TPDO2 the following error, each set by the library's PDO
// procedure; every PDO keeps its COB-ID (made valid) and transmission type.
std::string MapPdos(Session& s, uint8_t node, uint32_t& rpdoCob, uint32_t& tpdo1Cob,
                    uint32_t& tpdo2Cob) {
    const std::vector<KIV_PdoMapEntry> rpdo1 = {KIV_MakePdoMapEntry(0x607A, 0, 32)};
    const std::vector<KIV_PdoMapEntry> tpdo1 = {KIV_MakePdoMapEntry(0x6041, 0, 16),
                                                KIV_MakePdoMapEntry(0x6064, 0, 32)};
    const std::vector<KIV_PdoMapEntry> tpdo2 = {KIV_MakePdoMapEntry(0x60F4, 0, 32)};
    std::string error;
    if (ConfigurePdo(s, node, false, 1, rpdo1, true, error, &rpdoCob) != KIV_OK)
        return "RPDO1 mapping, " + error;
    if (ConfigurePdo(s, node, true, 1, tpdo1, true, error, &tpdo1Cob) != KIV_OK)
        return "TPDO1 mapping, " + error;
    if (ConfigurePdo(s, node, true, 2, tpdo2, true, error, &tpdo2Cob) != KIV_OK)
        return "TPDO2 mapping, " + error;
    rpdoCob &= 0x7FF;
    tpdo1Cob &= 0x7FF;
    tpdo2Cob &= 0x7FF;
    return {};
}

// The drive's profile velocity (0x6081) in counts per second; 0 when it
// cannot be read.
uint32_t ProfileVelocity(Session& s, uint8_t node) {
    const Access v = s.Read(node, kProfileVelocity, 0);
    return v.ok() && v.data.size() == 4 ? v.U32() : 0;
}

}  // namespace

bool RunCyclic(Session& s, uint8_t node, const CyclicParam& param, CyclicRun& run,
               std::string& report) {
    uint32_t rpdoCob = 0, tpdo1Cob = 0, tpdo2Cob = 0;
    std::string error = MapPdos(s, node, rpdoCob, tpdo1Cob, tpdo2Cob);
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
    if (error.empty() && !PowerOn(s, node, param.resetFault, power)) error = power;
    if (!error.empty()) {
        report = error;
        return false;
    }
    const Access window = s.Read(node, kFollowingWindow, 0);
    const uint32_t limit = window.ok() ? window.U32() : 1000;
    // A half cosine of distance d over T seconds peaks at pi d / (2 T): the
    // ramp is never shorter than the profile velocity allows.
    run.seconds = param.seconds;
    if (param.distance != 0) {
        const uint32_t v = ProfileVelocity(s, node);
        const double least =
            v ? kPi * std::fabs(static_cast<double>(param.distance)) / (2.0 * v) : 0;
        if (least > run.seconds) {
            run.seconds = least;
            run.stretched = v;
        }
    }

    Trajectory t;
    t.cobId = rpdoCob;
    t.start = run.start;
    t.distance = param.distance;
    t.cyclesTotal = std::max(1.0, run.seconds * 1e6 / param.periodUs);
    run.end = static_cast<int32_t>(run.start + static_cast<int64_t>(param.distance));
    std::atomic<uint32_t> worst{0};
    std::atomic<uint64_t> tpdos{0};
    std::atomic<uint16_t> lastSw{0};
    std::atomic<int32_t> lastPos{run.start};
    s.master().Events().SetHandler([&](const KIV_Event& e) {
        if (e.type != KIV_EVENT_FRAME || e.body.frame.frameLength < 4) return;
        const uint8_t* d = e.body.frame.frameData;
        if (e.body.frame.cobId == tpdo1Cob) {
            tpdos.fetch_add(1);
            lastSw.store(static_cast<uint16_t>(d[0] | d[1] << 8));
            if (e.body.frame.frameLength >= 6) lastPos.store(I32(d + 2));
            t.lastFeedback.store(t.syncs.load());
            t.gotFeedback.store(true);
        }
        if (e.body.frame.cobId != tpdo2Cob) return;
        const auto magnitude = static_cast<uint32_t>(std::llabs(static_cast<int64_t>(I32(d))));
        if (magnitude > worst.load()) worst.store(magnitude);
    });
    const char* why = nullptr;  // why the run is cut short
    // The drive's answers are taken as they arrive (low-latency mode, unless
    // the user chose its period): a TPDO is then counted before the next
    // SYNC, and the feedback watch counts in SYNCs.
    if (s.options().lowLatencyUs == 0)
        KIV_SetWorkerTiming(s.h(), 1000, KIV_TIMING_WAKE_ON_REQUEST | KIV_TIMING_DRAIN_RECEIVE);
    r = KIV_StartCyclic(s.h(), param.periodUs, 0, &Trajectory::Cycle, &t);
    if (r == KIV_OK) {
        while (!t.done.load()) {
            if (Interrupted()) {
                why = "interrupted";
            } else if (!s.bus().Lost().empty()) {
                why = "the bus was lost";
            } else if (t.feedbackLost.load()) {
                why = t.gotFeedback.load() ? "the drive's feedback (TPDO1) stopped"
                                           : "no feedback (TPDO1) from the drive";
            } else if (t.gotFeedback.load() && !OperationEnabled(lastSw.load())) {
                why = "the drive left operation enabled";
            }
            if (why) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        KIV_StopCyclic(s.h());
        KIV_GetCyclicStats(s.h(), &run.stats);
    }
    // The last TPDOs are on their way to the event handler.
    if (!why) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    s.master().Events().SetHandler({});
    if (r != KIV_OK) {
        report = "cyclic operation refused: " + ResultText(r);
        return false;
    }
    run.worstFollowing = worst.load();
    run.tpdos = tpdos.load();
    if (why) {
        // The SYNC producer is stopped; the drive holds its last target.
        // Halt it as an interrupted move is halted (at once when the bus is
        // gone: nothing would answer).
        run.final = lastPos.load();
        if (!s.bus().Lost().empty()) {
            report = std::string(why) + ": cyclic operation stopped, last position " +
                     std::to_string(run.final);
            return false;
        }
        uint16_t sw = lastSw.load();
        KIV_402_GetStatusWord(s.h(), node, &sw);
        KIV_402_GetActualPos(s.h(), node, &run.final);
        const MoveOutcome stop = StopDrive(s, node, run.final, sw);
        run.final = stop.position;
        char buf[120];
        std::snprintf(buf, sizeof buf, " (COB-ID 0x%03X) after %llu SYNCs", tpdo1Cob,
                      static_cast<unsigned long long>(run.stats.cycles));
        report = why + (t.feedbackLost.load() ? std::string(buf) : std::string()) +
                 ": cyclic operation stopped, " + stop.report;
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
    return run.stats.cycles > 0 && run.tpdos > 0 && arrived;
}

namespace {

template <typename Args>
int CmdCyclic(Session& s, const Args& a) {
    const auto node = static_cast<uint8_t>(a.node);
    const auto periodUs = static_cast<uint32_t>(a.periodUs);
    CyclicRun run;
    std::string report;
    CyclicParam param;
    param.periodUs = periodUs;
    param.seconds = a.seconds;
    param.distance = static_cast<int32_t>(a.distance);
    param.resetFault = a.resetFault;
    const bool ok = RunCyclic(s, node, param, run, report);
    const Json fields = Json()
                            .Uint("node", node)
                            .Uint("periodUs", periodUs)
                            .Uint("cycles", run.stats.cycles)
                            .Uint("skipped", run.stats.skipped)
                            .Uint("maxLateUs", run.stats.maxLateUs)
                            .Uint("tpdos", run.tpdos)
                            .Uint("worstFollowingError", run.worstFollowing)
                            .Int("position", run.final)
                            .Int("end", run.end)
                            .Int("distance", param.distance)
                            .Str("seconds", std::to_string(run.seconds));
    if (!s.options().json) {
        std::printf("node %u: cyclic synchronous position, period %u us, %s %d counts in %.3f s\n",
                    node, periodUs, param.distance ? "distance" : "holding position, distance",
                    static_cast<int>(param.distance), run.seconds);
        if (run.stretched)
            std::printf(
                "  ramp lengthened from %.3f s: the drive's profile velocity (0x6081) is "
                "%u counts/s\n",
                param.seconds, run.stretched);
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
    return {"cyclic",
            "CiA 402: cyclic synchronous position along a smooth trajectory of --distance "
            "counts (none: the drive holds its position): NODE; fails, halting the drive, when "
            "its feedback (TPDO1) does not come or stops",
            [](CLI::App& app) -> Handler {
                struct Args {
                    int64_t node = 0, periodUs = 0, distance = 0;
                    double seconds = 2;
                    bool resetFault = false;
                };
                auto a = std::make_shared<Args>();
                AddNode(app, a->node);
                AddNumber(app, "--period", a->periodUs, 250, 1000000,
                          "SYNC period in microseconds (250..1000000)")
                    ->required()
                    ->option_text("US");
                app.add_option("--seconds", a->seconds,
                               "length of the trajectory, 0.1..3600 (default 2); lengthened when "
                               "the distance needs more at the drive's profile velocity (0x6081)")
                    ->check(CLI::Range(0.1, 3600.0));
                AddNumber(app, "--distance", a->distance, INT32_MIN, INT32_MAX,
                          "counts to travel from the actual position (default 0: hold it)")
                    ->option_text("COUNTS");
                AddResetFault(app, a->resetFault);
                return [a](Session& s) { return CmdCyclic(s, *a); };
            }};
}

}  // namespace orukiv::tool

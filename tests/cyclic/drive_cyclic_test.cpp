// The simulated drive in cyclic synchronous position (8) and velocity (9)
// mode, commanded by the library's cycles: an RPDO target taken on SYNC
// only, the TPDO answering each SYNC, and a trajectory followed within a
// bound that allows for the deadlines a loaded machine skips.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

#include "orukiv/orukiv.h"
#include "orukiv_sim/sim.h"

using namespace std::chrono_literals;
using namespace orukiv::sim;

namespace {

constexpr uint8_t kDrive = 7;
constexpr uint32_t kRpdo = 0x200 + kDrive;
constexpr uint32_t kTpdo = 0x180 + kDrive;
constexpr uint32_t kCycles = 400;  // of the trajectory; then it holds
constexpr double kPi = 3.14159265358979323846;

struct Case {
    int8_t mode;
    uint16_t targetObject;
    int32_t distance;  // mode 8: counts; mode 9: counts/s reached
};

// Half a cosine from 0 to `distance` over kCycles cycles, then the end.
struct Command {
    int32_t distance;
    std::atomic<uint32_t> lastCycle{0};
    static int32_t Fn(uint64_t cycle, KIV_CanFrame* f, uint32_t, void* user) {
        auto* self = static_cast<Command*>(user);
        const double x = std::min(1.0, cycle / static_cast<double>(kCycles));
        const auto v =
            static_cast<int32_t>(std::lround(self->distance * (1 - std::cos(kPi * x)) / 2));
        self->lastCycle.store(cycle);
        f[0].id = kRpdo;
        f[0].dlc = 4;
        std::memcpy(f[0].data, &v, 4);
        return 1;
    }
};

}  // namespace

TEST(CyclicDrive, FollowsATrajectoryWithTargetsTakenOnSync) {
    for (const Case& c : {Case{8, 0x607A, 20000}, Case{9, 0x60FF, 50000}}) {
        SCOPED_TRACE(testing::Message() << "mode " << int(c.mode));
        VirtualBus bus;
        HostEndpoint host{bus};
        SimDrive drive{bus, kDrive};
        KIV_InitParam p = host.Param(true);
        KIV_Handle h = KIV_Init(&p);
        ASSERT_NE(h, nullptr);
        const uint32_t map = static_cast<uint32_t>(c.targetObject) << 16 | 0x20;
        const uint8_t count = 1;
        const uint32_t cobId = kRpdo;
        ASSERT_EQ(KIV_WriteObject(h, kDrive, 0x1600, 1, reinterpret_cast<const uint8_t*>(&map), 4),
                  0);
        ASSERT_EQ(KIV_WriteObject(h, kDrive, 0x1600, 0, &count, 1), 0);
        ASSERT_EQ(
            KIV_WriteObject(h, kDrive, 0x1400, 1, reinterpret_cast<const uint8_t*>(&cobId), 4), 0);
        const KIV_PdoMapEntry tpdo[] = {KIV_MakePdoMapEntry(0x6041, 0, 16),
                                        KIV_MakePdoMapEntry(0x6064, 0, 32)};
        ASSERT_EQ(KIV_ConfigTPDO(h, kDrive, 1, tpdo, 2), 0);
        ASSERT_EQ(KIV_NMT_SendCommand(h, kDrive, KIV_NMT_CMD_START), 0);
        ASSERT_EQ(KIV_402_SetOpMode(h, kDrive, c.mode), 0);
        ASSERT_EQ(KIV_402_PowerOn(h, kDrive), 0);

        // A target written between SYNCs waits for the next SYNC. The step
        // is small: its following error (half of it) stays in the drive's
        // worst, which the trajectory's bound below must still hold.
        const int32_t step = 100;
        uint8_t data[4];
        std::memcpy(data, &step, 4);
        ASSERT_EQ(KIV_SendPDO(h, kRpdo, data, 4), 0);
        int32_t actual = -1;
        ASSERT_EQ(c.mode == 8 ? KIV_402_GetActualPos(h, kDrive, &actual)
                              : KIV_402_GetActualVel(h, kDrive, &actual),
                  0);
        EXPECT_EQ(actual, 0);
        ASSERT_EQ(KIV_SendSYNC(h), 0);
        ASSERT_EQ(c.mode == 8 ? KIV_402_GetActualPos(h, kDrive, &actual)
                              : KIV_402_GetActualVel(h, kDrive, &actual),
                  0);
        EXPECT_EQ(actual, step / 2);  // half the gap per SYNC

        // The trajectory, from where the drive stands back to 0 first.
        std::atomic<uint64_t> tpdos{0};
        std::atomic<uint16_t> lastStatus{0};
        host.SetEventHandler([&](const KIV_Event& e) {
            if (e.type != KIV_EVENT_FRAME || e.body.frame.cobId != kTpdo) return;
            tpdos.fetch_add(1);
            uint16_t sw;
            std::memcpy(&sw, e.body.frame.frameData, 2);
            lastStatus.store(sw);
        });
        Command cmd;
        cmd.distance = c.distance;
        ASSERT_EQ(KIV_StartCyclic(h, 1000, 0, &Command::Fn, &cmd), 0);
        while (cmd.lastCycle.load() < kCycles + 40) std::this_thread::sleep_for(5ms);
        ASSERT_EQ(KIV_StopCyclic(h), 0);
        KIV_CyclicStats st{};
        KIV_GetCyclicStats(h, &st);
        std::this_thread::sleep_for(50ms);  // the last TPDOs reach the host
        host.SetEventHandler({});

        // Every SYNC was answered, and the drive reported following.
        EXPECT_GE(tpdos.load(), st.cycles * 9 / 10);
        EXPECT_NE(lastStatus.load() & 0x1000, 0);
        EXPECT_EQ(lastStatus.load() & 0x2000, 0);  // within the window at the end
        // Per cycle the target moves at most distance x pi / (2 x kCycles);
        // the error settles near one such step, and a skipped deadline adds
        // one more each.
        const double perCycle = c.distance * kPi / (2.0 * kCycles);
        const double bound = perCycle * (2 + static_cast<double>(st.skipped)) + 2;
        EXPECT_LE(drive.WorstFollowingError(), bound) << st.skipped << " deadlines skipped";
        ASSERT_EQ(c.mode == 8 ? KIV_402_GetActualPos(h, kDrive, &actual)
                              : KIV_402_GetActualVel(h, kDrive, &actual),
                  0);
        EXPECT_EQ(actual, c.distance);
        if (c.mode == 9) {
            int32_t position = 0;
            ASSERT_EQ(KIV_402_GetActualPos(h, kDrive, &position), 0);
            EXPECT_GT(position, 0);  // the velocity moved the drive
        }
        KIV_Destroy(h);
    }
}

// The simulated nodes on the network: NMT state machine, heartbeat and
// guarding, PDOs, device objects, profile-position motion. Time-driven
// behaviour is driven by calling Tick with made-up time points.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orukiv_sim/sim.h"

using namespace std::chrono_literals;
using namespace orukiv::sim;

namespace {

using Bytes = std::vector<uint8_t>;

struct Seen {
    uint32_t id;
    Bytes data;
    bool operator==(const Seen& o) const { return id == o.id && data == o.data; }
};

std::ostream& operator<<(std::ostream& os, const Seen& s) {
    os << std::hex << s.id << "#";
    for (uint8_t b : s.data) os << (b < 16 ? "0" : "") << static_cast<int>(b);
    return os;
}

class SimNetworkNodes : public ::testing::Test {
protected:
    SimNetworkNodes() {
        drive.AddRpdoObjects();
        drive.AddDeviceObjects({0x00020192, "drive", 1, 2, 3, 4});
    }

    // Every frame that reached the host since the last call.
    std::vector<Seen> Drain() {
        std::vector<Seen> out;
        while (auto f = host.Receive()) out.push_back({f->id, Bytes(f->data, f->data + f->dlc)});
        return out;
    }
    void Nmt(uint8_t command, uint8_t node) { host.Send(MakeFrame(0x000, {command, node})); }
    void Sdo(uint8_t node, std::initializer_list<uint8_t> bytes) {
        host.Send(MakeSdoFrame(0x600u + node, bytes));
    }

    VirtualBus bus;
    HostEndpoint host{bus};
    SimDrive drive{bus, 5};
    SimIoNode io{bus, 10};
    const Clock::time_point t0 = Clock::now();
};

TEST_F(SimNetworkNodes, NmtStateMachineByteScript) {
    struct Step {
        const char* what;
        Bytes frame;  // NMT command and node
        KIV_NmtState driveState;
        std::vector<Seen> seen;
    };
    const Step steps[] = {
        {"start node 5 only", {0x01, 5}, KIV_NMT_STATE_OPERATIONAL, {}},
        {"stop all", {0x02, 0}, KIV_NMT_STATE_STOPPED, {}},
        {"pre-operational", {0x80, 5}, KIV_NMT_STATE_PRE_OPERATIONAL, {}},
        {"unknown command: ignored", {0x42, 5}, KIV_NMT_STATE_PRE_OPERATIONAL, {}},
        {"reset node: boot-up", {0x81, 5}, KIV_NMT_STATE_PRE_OPERATIONAL, {{0x705, {0x00}}}},
        {"start all", {0x01, 0}, KIV_NMT_STATE_OPERATIONAL, {}},
        {"reset communication of all: two boot-ups",
         {0x82, 0},
         KIV_NMT_STATE_PRE_OPERATIONAL,
         {{0x705, {0x00}}, {0x70A, {0x00}}}},
    };
    for (const Step& s : steps) {
        Nmt(s.frame[0], s.frame[1]);
        EXPECT_EQ(drive.NmtState(), s.driveState) << s.what;
        EXPECT_EQ(Drain(), s.seen) << s.what;
    }
    EXPECT_EQ(io.NmtState(), KIV_NMT_STATE_PRE_OPERATIONAL);
}

TEST_F(SimNetworkNodes, StoppedNodeIgnoresSdoAndServesItAgainWhenStarted) {
    Nmt(0x02, 5);
    Sdo(5, {0x40, 0x00, 0x10, 0x00});
    EXPECT_TRUE(Drain().empty());
    Nmt(0x01, 5);
    Sdo(5, {0x40, 0x00, 0x10, 0x00});
    EXPECT_EQ(Drain(),
              (std::vector<Seen>{{0x585, {0x43, 0x00, 0x10, 0x00, 0x92, 0x01, 0x02, 0x00}}}));
}

TEST_F(SimNetworkNodes, GuardingAnswersToggleAndResetCommunicationRestartsTheToggle) {
    auto guard = [&] {
        KIV_CanFrame rtr = MakeFrame(0x705, {});
        rtr.rtr = 1;
        host.Send(rtr);
    };
    guard();
    guard();
    Nmt(0x01, 5);
    guard();
    EXPECT_EQ(Drain(), (std::vector<Seen>{{0x705, {0x7F}}, {0x705, {0xFF}}, {0x705, {0x05}}}));
    Nmt(0x82, 5);
    guard();
    EXPECT_EQ(Drain(), (std::vector<Seen>{{0x705, {0x00}}, {0x705, {0x7F}}}));
}

TEST_F(SimNetworkNodes, HeartbeatFollowsThePeriodAndTheSilenceKnob) {
    drive.SetValue(0x1017, 0, {100, 0});
    struct Step {
        std::chrono::milliseconds at;
        bool silenced;
        std::size_t beats;  // heartbeats after this tick
    };
    const Step steps[] = {
        {0ms, false, 0},  // the period starts
        {99ms, false, 0},   {100ms, false, 1}, {150ms, false, 0},
        {200ms, false, 1},  {300ms, true, 0},  // silenced: nothing
        {900ms, false, 0},                     // resumed: a whole period first
        {1000ms, false, 1},
    };
    for (const Step& s : steps) {
        drive.SetHeartbeatSilenced(s.silenced);
        drive.Tick(t0 + s.at);
        const auto seen = Drain();
        EXPECT_EQ(seen.size(), s.beats) << "at " << s.at.count() << " ms";
        for (const Seen& f : seen) EXPECT_EQ(f, (Seen{0x705, {0x7F}}));
    }
    drive.SetValue(0x1017, 0, {0, 0});
    drive.Tick(t0 + 5000ms);
    EXPECT_TRUE(Drain().empty()) << "period 0: no heartbeat";
}

TEST_F(SimNetworkNodes, TpdosGoOutOnSyncOnlyWhenOperationalValidAndMapped) {
    // TPDO1 of the drive: statusword and position, still not valid.
    drive.SetValue(0x1800, 1, {0x85, 0x01, 0x00, 0x80});
    drive.SetValue(0x1A00, 0, {2});
    drive.SetValue(0x1A00, 1, {0x10, 0x00, 0x41, 0x60});
    drive.SetValue(0x1A00, 2, {0x20, 0x00, 0x64, 0x60});
    drive.SetActualPosition(0x01020304);
    io.SetInputs(0x3C);
    const KIV_CanFrame sync = MakeFrame(0x080, {});

    host.Send(sync);
    EXPECT_TRUE(Drain().empty()) << "pre-operational";
    Nmt(0x01, 0);
    host.Send(sync);
    EXPECT_EQ(Drain(), (std::vector<Seen>{{0x18A, {0x3C}}})) << "the drive's TPDO is not valid yet";
    drive.SetValue(0x1800, 1, {0x85, 0x01, 0x00, 0x00});
    host.Send(sync);
    EXPECT_EQ(Drain(),
              (std::vector<Seen>{{0x185, {0x40, 0x00, 0x04, 0x03, 0x02, 0x01}}, {0x18A, {0x3C}}}));
    // Every second SYNC; a mapping that does not fit in 8 bytes sends nothing.
    io.SetValue(0x1800, 2, {2});
    drive.SetValue(0x1A00, 0, {3});
    drive.SetValue(0x1A00, 3, {0x20, 0x00, 0x64, 0x60});
    std::vector<std::size_t> sent;
    for (int i = 0; i < 4; ++i) {
        host.Send(sync);
        sent.push_back(Drain().size());
    }
    EXPECT_EQ(sent, (std::vector<std::size_t>{0, 1, 0, 1}));
    io.SetValue(0x1800, 2, {254});  // event-driven: not on SYNC
    host.Send(sync);
    host.Send(sync);
    EXPECT_TRUE(Drain().empty());
}

TEST_F(SimNetworkNodes, RpdoSetsTheOutputsAndAShortOneRaisesAnEmcy) {
    host.Send(MakeFrame(0x20A, {0xA5}));
    EXPECT_EQ(io.Outputs(), 0u) << "pre-operational";
    Nmt(0x01, 10);
    host.Send(MakeFrame(0x20A, {0xA5}));
    EXPECT_EQ(io.Outputs(), 0xA5u);
    host.Send(MakeFrame(0x20A, {}));
    EXPECT_EQ(io.Outputs(), 0xA5u);
    EXPECT_EQ(Drain(), (std::vector<Seen>{{0x08A, {0x10, 0x82, 0x10, 0, 0, 0, 0, 0}}}));
}

TEST_F(SimNetworkNodes, DeviceObjectsAreConstant) {
    Sdo(5, {0x40, 0x18, 0x10, 0x04});
    Sdo(5, {0x23, 0x18, 0x10, 0x01, 1, 2, 3, 4});
    EXPECT_EQ(Drain(),
              (std::vector<Seen>{{0x585, {0x43, 0x18, 0x10, 0x04, 4, 0, 0, 0}},
                                 {0x585, {0x80, 0x18, 0x10, 0x01, 0x02, 0x00, 0x01, 0x06}}}));
    EXPECT_EQ(drive.Value(0x1008, 0), (Bytes{'d', 'r', 'i', 'v', 'e'}));
}

TEST_F(SimNetworkNodes, ProfilePositionMovesAtTheProfileVelocityUntilTargetReached) {
    auto write = [&](std::initializer_list<uint8_t> bytes) {
        Sdo(5, bytes);
        const auto answer = Drain();
        ASSERT_EQ(answer.size(), 1u);
        ASSERT_EQ(answer[0].data[0], 0x60);
    };
    write({0x2B, 0x40, 0x60, 0x00, 0x06, 0x00});
    write({0x2B, 0x40, 0x60, 0x00, 0x0F, 0x00});
    write({0x2F, 0x60, 0x60, 0x00, 0x01});                    // profile position
    write({0x23, 0x81, 0x60, 0x00, 0xE8, 0x03, 0x00, 0x00});  // 1000 counts/s
    write({0x23, 0x7A, 0x60, 0x00, 0xF4, 0x01, 0x00, 0x00});  // target 500
    EXPECT_EQ(drive.ValueU32(0x6064, 0), 0u) << "no move before the set-point";

    write({0x2B, 0x40, 0x60, 0x00, 0x1F, 0x00});  // new set-point
    EXPECT_EQ(drive.StatusWord() & 0x1400, 0x1000) << "acknowledged, not reached";
    struct Step {
        std::chrono::milliseconds at;
        uint32_t position;
        bool reached;
    };
    const Step steps[] = {{0ms, 0, false},     {100ms, 100, false}, {250ms, 250, false},
                          {499ms, 499, false}, {600ms, 500, true},  {900ms, 500, true}};
    for (const Step& s : steps) {
        drive.Tick(t0 + s.at);
        EXPECT_EQ(drive.ValueU32(0x6064, 0), s.position) << s.at.count() << " ms";
        EXPECT_EQ((drive.StatusWord() & 0x0400) != 0, s.reached) << s.at.count() << " ms";
    }
    write({0x2B, 0x40, 0x60, 0x00, 0x0F, 0x00});
    EXPECT_EQ(drive.StatusWord() & 0x1000, 0) << "acknowledge follows bit 4 down";

    // Relative set-point backwards; a fault stops the motion where it is.
    write({0x23, 0x7A, 0x60, 0x00, 0x9C, 0xFF, 0xFF, 0xFF});  // -100
    write({0x2B, 0x40, 0x60, 0x00, 0x5F, 0x00});
    drive.Tick(t0 + 950ms);
    EXPECT_EQ(drive.ValueU32(0x6064, 0), 450u);
    drive.InjectFault(0x2310, false);
    drive.Tick(t0 + 2000ms);
    EXPECT_EQ(drive.ValueU32(0x6064, 0), 450u);
}

}  // namespace

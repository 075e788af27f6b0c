// Block transfers end to end: a library instance on the virtual bus against
// the strict simulated block server, on an instant bus, with bit timing and
// its bounded transmit queue, and with frames lost at random.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "orukiv/orukiv.h"
#include "orukiv_sim/sim.h"

using namespace std::chrono_literals;
using namespace orukiv::sim;

namespace {

constexpr uint8_t kNode = 5;
constexpr uint16_t kIndex = 0x1F50;

std::vector<uint8_t> Pattern(std::size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 131 + seed * 7) >> 1);
    return v;
}

class BlockEndToEnd : public ::testing::Test {
protected:
    void Start(uint32_t bitRate = 0) {
        if (bitRate != 0) {
            ASSERT_TRUE(bus.SetBitTiming({bitRate, 10}));
        }
        KIV_InitParam p = host.Param();
        h = KIV_Init(&p);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(
            KIV_SetWorkerTiming(h, 1000, KIV_TIMING_WAKE_ON_REQUEST | KIV_TIMING_DRAIN_RECEIVE),
            KIV_OK);
        // Frames that arrive, and host frames that leave the bus, wake the worker.
        host.endpoint().SetArrivalHandler([this] { KIV_Notify(h); });
        host.endpoint().SetSentHandler([this] { KIV_Notify(h); });
    }
    void TearDown() override {
        if (h) {
            host.endpoint().SetArrivalHandler({});
            host.endpoint().SetSentHandler({});
            KIV_Destroy(h);
        }
    }

    int32_t Write(const std::vector<uint8_t>& data, uint32_t* abortCode = nullptr) {
        return KIV_WriteObjectBlock(h, kNode, kIndex, 1, data.data(),
                                    static_cast<uint32_t>(data.size()), abortCode);
    }
    int32_t Read(std::vector<uint8_t>& out, uint32_t* abortCode = nullptr) {
        out.assign(SimDrive::kProgramDataMaxSize, 0);
        uint32_t got = 0;
        const int32_t rc = KIV_ReadObjectBlock(h, kNode, kIndex, 1, out.data(),
                                               static_cast<uint32_t>(out.size()), &got, abortCode);
        out.resize(rc == KIV_OK ? got : 0);
        return rc;
    }

    VirtualBus bus;
    HostEndpoint host{bus};
    SimDrive drive{bus, kNode};
    KIV_Handle h = nullptr;
};

TEST_F(BlockEndToEnd, RoundTripsThroughTheServersKnobs) {
    Start();
    const struct {
        const char* what;
        BlockServerSettings settings;
        std::size_t size;
    } cases[] = {
        {"one byte", {}, 1},
        {"one full sub-block", {}, 127 * 7},
        {"one past it", {}, 127 * 7 + 1},
        {"blksize changing 5, 127, 1", {.blockSizes = {5, 127, 1}}, 3000},
        {"a dropped segment", {.dropSegment = 40}, 5000},
        {"refused: segmented instead", {.refuse = true}, 300},
        {"latency 2 ms", {.latency = 2ms}, 20000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        drive.SetBlockServer(c.settings);
        const auto data = Pattern(c.size, static_cast<uint32_t>(c.size));
        ASSERT_EQ(Write(data), KIV_OK);
        EXPECT_EQ(drive.Value(kIndex, 1), data);
        std::vector<uint8_t> back;
        ASSERT_EQ(Read(back), KIV_OK);
        EXPECT_EQ(back, data);
    }
}

TEST_F(BlockEndToEnd, ServerFaultsEndTheTransferCleanly) {
    Start();
    const auto good = Pattern(2000, 1);
    ASSERT_EQ(Write(good), KIV_OK);
    const struct {
        const char* what;
        BlockServerSettings settings;
        int32_t write, read;             // results
        uint32_t writeAbort, readAbort;  // the server's codes, when it aborted
    } cases[] = {
        // The server checks a download's CRC, the client an upload's.
        {"corrupted CRC", {.corruptCrc = true}, KIV_ERR_ABORTED, KIV_ERR_PARAM, 0x05040004, 0},
        {"abort mid-block",
         {.abortAfterSegments = 100, .midBlockAbortCode = 0x08000020},
         KIV_ERR_ABORTED,
         KIV_ERR_ABORTED,
         0x08000020,
         0x08000020},
        // The server's blksize only governs downloads.
        {"blksize 0", {.blockSizes = {0}}, KIV_ERR_PARAM, KIV_OK, 0, 0},
        {"blksize 128 on a later sub-block",
         {.blockSizes = {10, 128}},
         KIV_ERR_PARAM,
         KIV_OK,
         0,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        drive.SetBlockServer(c.settings);
        uint32_t code = 0;
        std::vector<uint8_t> back;
        EXPECT_EQ(Write(Pattern(3000, 2), &code), c.write);
        EXPECT_EQ(code, c.writeAbort);
        EXPECT_EQ(Read(back, &code), c.read);
        EXPECT_EQ(code, c.readAbort);
        // Nothing stored, and the server is free again for a good transfer.
        EXPECT_EQ(drive.Value(kIndex, 1), good);
        drive.SetBlockServer({});
        ASSERT_EQ(Read(back), KIV_OK);
        EXPECT_EQ(back, good);
    }
}

TEST_F(BlockEndToEnd, PacesSubBlocksThroughABoundedTransmitQueue) {
    Start(1000000);
    drive.SetBlockServer({.latency = 500us});
    const auto data = Pattern(30000, 3);  // about 0.5 s of bus time each way
    ASSERT_EQ(Write(data), KIV_OK);
    EXPECT_EQ(drive.Value(kIndex, 1), data);
    std::vector<uint8_t> back;
    ASSERT_EQ(Read(back), KIV_OK);
    EXPECT_EQ(back, data);
    KIV_Stats stats{};
    ASSERT_EQ(KIV_GetStats(h, &stats), KIV_OK);
    EXPECT_GT(stats.sendFailures, 0u);  // the queue of 10 was full at times
}

TEST_F(BlockEndToEnd, OnePercentOfFramesLostEveryTransferCompletesOrFailsCleanly) {
    Start();
    KIV_SetSDOTimeout(h, 250);
    SdoFaults faults;
    faults.transferTimeout = 150ms;  // a server left without an abort frees itself
    drive.SetFaults(faults);
    bus.SetLoss(0.01, 42);
    const auto clean = [](int32_t rc) { return rc >= KIV_OK && rc <= KIV_ERR_ABORTED; };
    int completed = 0;
    for (uint32_t i = 0; i < 24; ++i) {
        SCOPED_TRACE(i);
        const auto data = Pattern(1500 + 100 * i, i);
        const int32_t w = Write(data);
        EXPECT_TRUE(clean(w)) << w;
        if (w != KIV_OK) continue;
        EXPECT_EQ(drive.Value(kIndex, 1), data);
        std::vector<uint8_t> back;
        const int32_t r = Read(back);
        EXPECT_TRUE(clean(r)) << r;
        if (r != KIV_OK) continue;
        EXPECT_EQ(back, data);
        ++completed;
    }
    EXPECT_GE(completed, 12);  // most complete: lost segments are sent again
}

}  // namespace

// The slcan bus end to end over a pseudo-terminal: the library reads and
// writes objects of the simulated network, which sits behind a software
// slcan adapter on the other side of the line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "bus.h"
#include "master.h"
#include "orukiv_sim/sim.h"
#include "slcan_device.h"

using namespace std::chrono_literals;
using namespace orukiv::tool;

namespace {

class SlcanOverPty : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(OpenPseudoTerminal(pty, error)) << error;
        path = pty.slavePath;
        device = std::make_unique<SlcanDevice>(net.Bus(), std::move(pty.master));
    }
    void TearDown() override {
        device.reset();
        if (pty.slaveFd >= 0) ::close(pty.slaveFd);
    }

    orukiv::sim::SimNetwork net;
    PseudoTerminal pty;
    std::string path;
    std::unique_ptr<SlcanDevice> device;
};

TEST_F(SlcanOverPty, ReadsAndWritesObjectsOfTheSimulatedNetwork) {
    std::string error;
    auto bus = OpenSlcanBus(path, 250000, error);
    ASSERT_TRUE(bus) << error;
    EXPECT_TRUE(device->IsOpen());
    Master master(*bus, nullptr);
    ASSERT_TRUE(master.Start());
    KIV_SetSDOTimeout(master.Handle(), 3000);
    net.Start();  // boot-ups cross the line as events

    uint8_t buf[64];
    uint32_t got = 0, abortCode = 0;
    ASSERT_EQ(KIV_ReadObjectEx(master.Handle(), 5, 0x1008, 0, buf, sizeof buf, &got, &abortCode),
              KIV_OK);
    EXPECT_EQ(std::string(buf, buf + got), "orukiv sim servo drive") << "segmented, 4 segments";

    const uint8_t outputs = 0x3C;
    ASSERT_EQ(KIV_WriteObjectEx(master.Handle(), 10, 0x6200, 1, &outputs, 1, &abortCode), KIV_OK);
    EXPECT_EQ(net.Io().Outputs(), 0x3C);
    ASSERT_EQ(KIV_ReadObjectEx(master.Handle(), 10, 0x6200, 1, buf, sizeof buf, &got, &abortCode),
              KIV_OK);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(buf[0], 0x3C);

    EXPECT_EQ(KIV_WriteObjectEx(master.Handle(), 10, 0x6000, 1, &outputs, 1, &abortCode),
              KIV_ERR_ABORTED);
    EXPECT_EQ(abortCode, 0x06010002u) << "inputs are read only; the abort crosses the line";

    auto bootUp = [](const KIV_Event& e) {
        return e.type == KIV_EVENT_HEARTBEAT && e.node == 10 && e.body.heartbeat.state == 0;
    };
    EXPECT_GE(master.Events().WaitFor(bootUp, 0, 5s), 0);
    EXPECT_EQ(device->Refusals(), 1u) << "only the 'C' that closes a channel that was not open";
}

TEST_F(SlcanOverPty, AdapterRefusesFramesWhileClosedAndASilentLineFailsTheOpen) {
    // Raw protocol on the line: a frame before the channel is open is refused.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "t0800\r", 6), 6);
    char c = 0;
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < until && ::read(fd, &c, 1) != 1)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(c, '\a');
    EXPECT_EQ(device->Refusals(), 1u);
    ::close(fd);

    // A line with no adapter behind it.
    PseudoTerminal silent;
    std::string error;
    ASSERT_TRUE(OpenPseudoTerminal(silent, error)) << error;
    EXPECT_EQ(OpenSlcanBus(silent.slavePath, 500000, error), nullptr);
    EXPECT_NE(error.find("did not answer"), std::string::npos) << error;
    ::close(silent.slaveFd);
}

}  // namespace

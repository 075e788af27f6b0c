// Instance lifecycle and the worker's polling.
#include <gtest/gtest.h>

#include <thread>

#include "fake_bus.h"
#include "frames.h"
#include "stack/co_stack.h"

using namespace std::chrono_literals;
using orukiv::test::FakeBus;

TEST(Lifecycle, InitRefusesMissingMandatoryCallbacks) {
    FakeBus bus;
    EXPECT_EQ(KIV_Init(nullptr), nullptr);
    KIV_InitParam p = bus.Param();
    p.canRecv = nullptr;
    EXPECT_EQ(KIV_Init(&p), nullptr);
    p = bus.Param();
    p.canSend = nullptr;
    EXPECT_EQ(KIV_Init(&p), nullptr);
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(bus.CanPolls().empty()) << "a refused init must start no worker";
}

TEST(Lifecycle, DestroyNullIsParamError) { EXPECT_EQ(KIV_Destroy(nullptr), KIV_ERR_PARAM); }

TEST(Lifecycle, PollsWithCountEightAndDestroysQuickly) {
    FakeBus bus;
    KIV_InitParam p = bus.Param(false, false);
    KIV_Handle h = KIV_Init(&p);
    ASSERT_NE(h, nullptr);
    std::this_thread::sleep_for(200ms);
    auto start = orukiv::test::Clock::now();
    EXPECT_EQ(KIV_Destroy(h), KIV_OK);
    auto took = orukiv::test::Clock::now() - start;
    EXPECT_LT(took, 500ms);
    auto polls = bus.CanPolls();
    ASSERT_GE(polls.size(), 5u);
    for (const auto& poll : polls) EXPECT_EQ(poll.maxCount, 8u);
    const auto n = polls.size();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(bus.CanPolls().size(), n) << "the worker must have ended";
}

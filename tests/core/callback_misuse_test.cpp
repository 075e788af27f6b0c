// Exports called from inside the instance's own callbacks, on its worker
// thread: queuing exports are refused at once (they would wait for
// themselves), KIV_SetSDOTimeout keeps working, and KIV_Destroy stops the
// instance without waiting, after which no callback is entered again.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core_support.h"
#include "fake_bus.h"
#include "frames.h"

using namespace std::chrono_literals;
using orukiv::coretest::Async;
using orukiv::coretest::Instance;
using orukiv::coretest::LogCapture;
using orukiv::coretest::ReturnsWithin;
using orukiv::coretest::Waiting;
using orukiv::coretest::WaitUntil;
using orukiv::test::FakeBus;
using orukiv::test::Frame;

namespace {

struct Misuse {
    const char* exportName;  // the name the Error line must carry
    std::function<int32_t(KIV_Handle)> call;
};

std::vector<Misuse> QueuingExports() {
    static uint8_t buf[8];
    static uint32_t got, abortCode;
    static uint16_t u16;
    static int16_t i16;
    static int32_t i32;
    static const uint8_t kData[6] = {1, 2, 3, 4, 5, 6};
    static const KIV_CanFrame kFrame = Frame(0x181, {1});
    return {
        {"KIV_InputFrame", [](KIV_Handle h) { return KIV_InputFrame(h, &kFrame); }},
        {"KIV_NMT_SendCommand", [](KIV_Handle h) { return KIV_NMT_SendCommand(h, 0, 1); }},
        {"KIV_NMT_SendHeartbeat", [](KIV_Handle h) { return KIV_NMT_SendHeartbeat(h, 5, 5); }},
        {"KIV_SendNodeGuardRequest", [](KIV_Handle h) { return KIV_SendNodeGuardRequest(h, 5); }},
        {"KIV_SendSYNC", [](KIV_Handle h) { return KIV_SendSYNC(h); }},
        {"KIV_SendEMCY", [](KIV_Handle h) { return KIV_SendEMCY(h, 5, 0x1000, 1, nullptr); }},
        {"KIV_SendPDO", [](KIV_Handle h) { return KIV_SendPDO(h, 0x201, kData, 2); }},
        {"KIV_SendRemotePDO", [](KIV_Handle h) { return KIV_SendRemotePDO(h, 0x181); }},
        {"KIV_SendTimestamp",
         [](KIV_Handle h) { return KIV_SendTimestamp(h, 2024, 1, 1, 0, 0, 0, 0); }},
        {"KIV_ReadObject",
         [](KIV_Handle h) { return KIV_ReadObject(h, 5, 0x1000, 0, buf, 4, &got); }},
        {"KIV_ReadObjectEx",
         [](KIV_Handle h) { return KIV_ReadObjectEx(h, 5, 0x1000, 0, buf, 8, &got, &abortCode); }},
        {"KIV_WriteObject",
         [](KIV_Handle h) { return KIV_WriteObject(h, 5, 0x2000, 0, kData, 6); }},
        {"KIV_WriteObjectEx",
         [](KIV_Handle h) { return KIV_WriteObjectEx(h, 5, 0x2000, 0, kData, 2, &abortCode); }},
        // Remote configuration is refused by the first transfer it starts.
        {"KIV_WriteObject", [](KIV_Handle h) { return KIV_NMT_SetHeartbeatPeriod(h, 5, 100); }},
        {"KIV_ReadObject",
         [](KIV_Handle h) {
             static const KIV_PdoMapEntry kMap[1] = {KIV_MakePdoMapEntry(0x6041, 0, 16)};
             return KIV_ConfigTPDO(h, 5, 1, kMap, 1);
         }},
        {"KIV_402_SetControlWord", [](KIV_Handle h) { return KIV_402_SetControlWord(h, 5, 6); }},
        {"KIV_402_GetStatusWord", [](KIV_Handle h) { return KIV_402_GetStatusWord(h, 5, &u16); }},
        {"KIV_402_SetOpMode", [](KIV_Handle h) { return KIV_402_SetOpMode(h, 5, 1); }},
        {"KIV_402_GetOpMode", [](KIV_Handle h) { return KIV_402_GetOpMode(h, 5, &i32); }},
        {"KIV_402_SetTargetPos", [](KIV_Handle h) { return KIV_402_SetTargetPos(h, 5, 1); }},
        {"KIV_402_GetActualPos", [](KIV_Handle h) { return KIV_402_GetActualPos(h, 5, &i32); }},
        {"KIV_402_SetTargetVel", [](KIV_Handle h) { return KIV_402_SetTargetVel(h, 5, 1); }},
        {"KIV_402_GetActualVel", [](KIV_Handle h) { return KIV_402_GetActualVel(h, 5, &i32); }},
        {"KIV_402_SetTargetTorque", [](KIV_Handle h) { return KIV_402_SetTargetTorque(h, 5, 1); }},
        {"KIV_402_GetActualTorque",
         [](KIV_Handle h) { return KIV_402_GetActualTorque(h, 5, &i16); }},
        {"KIV_402_SetHomingMode", [](KIV_Handle h) { return KIV_402_SetHomingMode(h, 5, 1); }},
        {"KIV_402_FaultReset", [](KIV_Handle h) { return KIV_402_FaultReset(h, 5); }},
        {"KIV_402_PowerOn", [](KIV_Handle h) { return KIV_402_PowerOn(h, 5); }},
    };
}

}  // namespace

// Every queuing export, called inside canSend: 1 at once, one Error line
// naming it, nothing queued or sent. KIV_SetSDOTimeout works there, and
// the instance carries on normally afterwards.
TEST(CallbackMisuse, QueuingExportsAreRefusedOnTheirOwnWorker) {
    FakeBus bus;
    KIV_InitParam p = bus.Param(false, false);
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    KIV_Handle h = inst.get();
    const std::vector<Misuse> calls = QueuingExports();

    LogCapture log;
    std::vector<int32_t> results;
    int32_t timeoutResult = 0;
    bool done = false;
    bus.SetResponder([&](const KIV_CanFrame&) {
        if (std::exchange(done, true)) return;
        for (const Misuse& m : calls) results.push_back(m.call(h));
        timeoutResult = KIV_SetSDOTimeout(h, 700);
    });
    std::future<int32_t> sync = Async([h] { return KIV_SendSYNC(h); });
    ASSERT_TRUE(ReturnsWithin(sync, 20s)) << "a callback waits for its own worker";
    EXPECT_EQ(sync.get(), KIV_OK);

    ASSERT_EQ(results.size(), calls.size());
    const std::vector<std::string> errors = log.Lines("ERROR");
    EXPECT_EQ(errors.size(), calls.size()) << "one Error line per refused call";
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(results[i], KIV_ERR_PARAM) << calls[i].exportName;
        const std::string name = std::string(" ") + calls[i].exportName + " ";
        if (i < errors.size()) {
            EXPECT_NE(errors[i].find(name), std::string::npos) << errors[i];
        }
    }
    EXPECT_NE(timeoutResult, 0);
    EXPECT_EQ(h->sdoTimeoutMs, 700u);
    EXPECT_EQ(Waiting(h), 0);
    EXPECT_EQ(bus.SentFrames(), std::vector<KIV_CanFrame>{Frame(0x080, {})});

    bus.SetResponder({});
    EXPECT_EQ(KIV_NMT_SendHeartbeat(h, 5, 5), KIV_OK) << "the instance must still work";
}

// A host whose onEvent can run a test's code and be held.
struct HookHost {
    FakeBus bus;
    std::function<void(const KIV_Event&)> onEvent;
    std::atomic<int> events{0};
    std::atomic<int> callsAfterDestroy{0};
    std::atomic<bool> destroyed{false};

    KIV_InitParam Param() {
        KIV_InitParam p = bus.Param(false, false);
        inner_ = p;
        p.canRecv = [](KIV_CanFrame* f, uint32_t n, void* u) {
            auto* self = static_cast<HookHost*>(u);
            self->Count();
            return self->inner_.canRecv(f, n, self->inner_.userData);
        };
        p.canSend = [](const KIV_CanFrame* f, void* u) {
            auto* self = static_cast<HookHost*>(u);
            self->Count();
            return self->inner_.canSend(f, self->inner_.userData);
        };
        p.onEvent = [](const KIV_Event* e, void* u) {
            auto* self = static_cast<HookHost*>(u);
            self->Count();
            ++self->events;
            if (self->onEvent) self->onEvent(*e);
        };
        p.userData = this;
        return p;
    }

private:
    void Count() {
        if (destroyed.load()) ++callsAfterDestroy;
    }
    KIV_InitParam inner_{};
};

// KIV_Destroy inside onEvent, with the rest of the poll's frames still to
// be reported, a request queued meanwhile and an SDO read in a channel: it
// returns 0 without waiting for itself; the worker then enters no callback
// again, refuses the queued request with 3, ends the read with 2 and frees
// the instance.
TEST(CallbackMisuse, DestroyInsideItsOwnCallbackStopsWithoutWaiting) {
    HookHost host;
    KIV_InitParam p = host.Param();
    KIV_Handle h = KIV_Init(&p);
    ASSERT_NE(h, nullptr);

    uint8_t buf[4];
    uint32_t got = 0;
    std::future<int32_t> read =
        Async([&] { return KIV_ReadObject(h, 9, 0x1000, 0, buf, 4, &got); });
    ASSERT_TRUE(host.bus.WaitForSent(1, 5s)) << "the read must be in a channel";

    std::mutex m;
    std::condition_variable cv;
    bool inside = false, go = false;
    int32_t destroyResult = -1;
    auto elapsed = std::chrono::steady_clock::duration::zero();
    host.onEvent = [&](const KIV_Event&) {
        if (host.destroyed.load()) return;
        std::unique_lock<std::mutex> g(m);
        inside = true;
        cv.notify_all();
        cv.wait(g, [&] { return go; });
        const auto start = std::chrono::steady_clock::now();
        destroyResult = KIV_Destroy(h);
        elapsed = std::chrono::steady_clock::now() - start;
        host.destroyed.store(true);
    };
    host.bus.Inject({Frame(0x181, {1}), Frame(0x182, {2}), Frame(0x183, {3})});
    {
        std::unique_lock<std::mutex> g(m);
        ASSERT_TRUE(cv.wait_for(g, 10s, [&] { return inside; }));
    }
    std::future<int32_t> queued = Async([h] { return KIV_SendSYNC(h); });
    ASSERT_TRUE(WaitUntil([&] { return Waiting(h) == 1; }));
    {
        std::lock_guard<std::mutex> g(m);
        go = true;
        cv.notify_all();
    }

    ASSERT_TRUE(ReturnsWithin(queued, 10s));
    ASSERT_TRUE(ReturnsWithin(read, 10s));
    EXPECT_EQ(queued.get(), KIV_ERR_NO_RESOURCE);
    EXPECT_EQ(read.get(), KIV_ERR_TIMEOUT);
    EXPECT_EQ(destroyResult, KIV_OK);
    // The join it used to attempt gave up after a second; generous bound.
    EXPECT_LT(elapsed, 900ms) << "KIV_Destroy waited for its own worker";
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(host.events.load(), 1) << "events reported after KIV_Destroy returned";
    EXPECT_EQ(host.callsAfterDestroy.load(), 0);
    EXPECT_EQ(host.bus.SentCount(), 1u) << "only the read's request went out";
}

// The SDO transfer channels driven by hand: requests claimed directly, server
// answers offered as received frames, ticks run one at a time against a fake
// millisecond clock. No worker thread and no sleeping, so re-send periods,
// time-outs and the tick-count wrap are checked to the millisecond.
#include "sdo/sdo_channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "fake_bus.h"
#include "frames.h"
#include "platform/platform.h"
#include "sdo_test_util.h"
#include "instance/co_stack.h"

using namespace std::chrono_literals;
using orukiv::test::FakeBus;
using sdotest::Pattern;
using sdotest::Segment;
using sdotest::Slice;

namespace {

constexpr uint8_t kNode = 5;
constexpr uint32_t kToServer = 0x605;
constexpr uint32_t kFromServer = 0x585;
constexpr uint16_t kIndex = 0x2345;  // iL 0x45, iH 0x23
constexpr uint8_t kSub = 0x07;
constexpr int32_t kPending = -77;  // result of a request nobody completed yet
constexpr uint32_t kUntouched = 0xDEADBEEF;
constexpr uint8_t kGuard = 0xA5;
constexpr std::size_t kGuardBytes = 16;

KIV_CanFrame Req(const std::vector<uint8_t>& b) {
    return sdotest::SdoFrame(kToServer, b);
}
KIV_CanFrame Resp(const std::vector<uint8_t>& b) {
    return sdotest::SdoFrame(kFromServer, b);
}

const KIV_CanFrame kInitUpload = Req({0x40, 0x45, 0x23, 0x07});
const KIV_CanFrame kAbortFrame = Req({0x80, 0x45, 0x23, 0x07, 0x00, 0x00, 0x04, 0x05});

struct FakeClock {
    uint32_t now = 1000;
    static uint32_t Read(void* self) { return static_cast<FakeClock*>(self)->now; }
};

// The caller's side of one transfer: request, buffer with guard bytes behind
// it, received-length variable. Never moves while a channel refers to it.
struct Transfer {
    CoRequest request{};
    std::vector<uint8_t> storage;
    uint32_t capacity = 0;
    uint32_t received = kUntouched;
    uint32_t abortCode = kUntouched;
    int32_t claim = kPending;

    bool Done() const { return request.result != kPending; }
    int32_t Result() const { return request.result; }
    std::vector<uint8_t> Stored(std::size_t n) const { return Slice(storage, 0, n); }
    bool GuardsIntact() const {
        for (std::size_t i = capacity; i < storage.size(); ++i)
            if (storage[i] != kGuard) return false;
        return true;
    }
};

struct SentAt {
    uint32_t at;
    KIV_CanFrame frame;
};

class SdoChannels : public ::testing::Test {
protected:
    void SetUp() override { MakeStack(true); }
    void TearDown() override { orukiv::FreeStack(stack_); }  // closes the mutex, if any

    void MakeStack(bool withSend) {
        KIV_InitParam p = bus_.Param(false);
        if (!withSend) p.canSend = nullptr;
        stack_ = orukiv::NewStack(&p);
        ASSERT_NE(stack_, nullptr);
        stack_->tick = &FakeClock::Read;
        stack_->tickContext = &clock_;
    }

    Transfer& Read(uint32_t capacity, uint16_t index = kIndex, uint8_t sub = kSub,
                   uint8_t node = kNode) {
        auto t = std::make_unique<Transfer>();
        t->capacity = capacity;
        t->storage.assign(capacity + kGuardBytes, kGuard);
        t->request.type = REQ_SDO_READ;
        t->request.node = node;
        t->request.payload.sdoRead.index = index;
        t->request.payload.sdoRead.subIndex = sub;
        t->request.payload.sdoRead.buffer = t->storage.data();
        t->request.payload.sdoRead.capacity = capacity;
        t->request.payload.sdoRead.received = &t->received;
        t->request.payload.sdoRead.abortCode = &t->abortCode;
        t->request.result = kPending;
        t->claim = orukiv::SdoClaimChannel(stack_, &t->request);
        transfers_.push_back(std::move(t));
        return *transfers_.back();
    }

    // The data lives in an allocation of exactly `data.size()` bytes, so a
    // read beyond it is caught by the address sanitizer.
    Transfer& Write(const std::vector<uint8_t>& data, uint16_t index = kIndex, uint8_t sub = kSub) {
        auto t = std::make_unique<Transfer>();
        t->storage = data;
        t->capacity = static_cast<uint32_t>(data.size());
        t->request.type = REQ_SDO_WRITE;
        t->request.node = kNode;
        t->request.payload.sdoWrite.index = index;
        t->request.payload.sdoWrite.subIndex = sub;
        t->request.payload.sdoWrite.abortCode = &t->abortCode;
        t->request.payload.sdoWrite.data = t->storage.data();
        t->request.payload.sdoWrite.size = static_cast<uint32_t>(data.size());
        t->request.result = kPending;
        t->claim = orukiv::SdoClaimChannel(stack_, &t->request);
        transfers_.push_back(std::move(t));
        return *transfers_.back();
    }

    // One upload tick and one download tick, as at the end of a worker loop.
    void Tick() {
        const std::size_t before = bus_.SentCount();
        orukiv::SdoTickUploads(stack_);
        orukiv::SdoTickDownloads(stack_);
        const auto all = bus_.SentFrames();
        for (std::size_t i = before; i < all.size(); ++i) sends_.push_back({clock_.now, all[i]});
    }
    void TickAt(uint32_t t) {
        clock_.now = t;
        Tick();
    }
    // Ticks every `step` ms up to and including `until`.
    void RunTo(uint32_t until, uint32_t step = 1) {
        while (clock_.now != until) {
            clock_.now += std::min(step, until - clock_.now);
            Tick();
        }
    }
    // A received frame, from its own allocation so that reading past the
    // record is caught by the address sanitizer.
    void Offer(const KIV_CanFrame& f) {
        auto copy = std::make_unique<KIV_CanFrame>(f);
        orukiv::SdoOfferFrame(stack_, copy.get());
    }

    std::vector<SentAt> TakeSends() {
        auto out = std::move(sends_);
        sends_.clear();
        return out;
    }
    std::vector<KIV_CanFrame> TakeFrames() {
        std::vector<KIV_CanFrame> out;
        for (const auto& s : TakeSends()) out.push_back(s.frame);
        return out;
    }

    // Completes a segmented write whose server acknowledges at once; segments
    // go out 100 ms apart. Returns every frame the client sent.
    std::vector<KIV_CanFrame> RunSegmentedWrite(Transfer& t) {
        Tick();
        Offer(Resp({0x60, 0x45, 0x23, 0x07}));
        uint8_t toggle = 0;
        for (int guard = 0; guard < 100 && !t.Done(); ++guard) {
            TickAt(clock_.now + 100);
            if (!sends_.empty() && sends_.back().at == clock_.now &&
                (sends_.back().frame.data[0] & 0xE0) == 0) {
                Offer(Resp({static_cast<uint8_t>(0x20 | (toggle << 4))}));
                toggle ^= 1;
            }
        }
        return TakeFrames();
    }

    FakeBus bus_;
    FakeClock clock_;
    CoStack* stack_ = nullptr;
    std::vector<std::unique_ptr<Transfer>> transfers_;
    std::vector<SentAt> sends_;
    sdotest::LogCapture log_;
};

// ---------------------------------------------------------------------------
// Frames sent, by state and direction

TEST_F(SdoChannels, ExpeditedWriteSendsCommandDataAndZeroPadding) {
    struct Case {
        std::vector<uint8_t> data;
        KIV_CanFrame frame;
    };
    const Case cases[] = {
        {{0x11}, Req({0x2F, 0x45, 0x23, 0x07, 0x11, 0x00, 0x00, 0x00})},
        {{0x11, 0x22}, Req({0x2B, 0x45, 0x23, 0x07, 0x11, 0x22, 0x00, 0x00})},
        {{0x11, 0x22, 0x33}, Req({0x27, 0x45, 0x23, 0x07, 0x11, 0x22, 0x33, 0x00})},
        {{0x11, 0x22, 0x33, 0x44}, Req({0x23, 0x45, 0x23, 0x07, 0x11, 0x22, 0x33, 0x44})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data.size());
        Transfer& t = Write(c.data);
        ASSERT_EQ(t.claim, KIV_OK);
        Tick();
        EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{c.frame});
        Offer(Resp({0x60, 0x45, 0x23, 0x07}));
        Tick();
        Tick();
        EXPECT_EQ(t.Result(), KIV_OK);
        EXPECT_TRUE(TakeFrames().empty());
        EXPECT_TRUE(log_.Has(
            "INFO", "sdo fast write size:" + std::to_string(c.data.size()) + " byte success"));
        EXPECT_EQ(log_.Count("DEBUG", "sdo fast write send can ..."), 1);
        log_.Clear();
    }
}

TEST_F(SdoChannels, ExpeditedReadSendsInitiateUpload) {
    Read(4);
    Tick();
    EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{kInitUpload});
    // Frames go to 0x600 + node id for any node id, unchecked.
    CoRequest r{};
    uint8_t buf[2];
    uint32_t n = 0;
    r.type = REQ_SDO_READ;
    r.node = 0xFF;
    r.payload.sdoRead = {0x1000, 0x00, buf, 2, &n, nullptr};
    r.result = kPending;
    ASSERT_EQ(orukiv::SdoClaimChannel(stack_, &r), KIV_OK);
    Tick();
    EXPECT_EQ(TakeFrames(),
              std::vector<KIV_CanFrame>{sdotest::SdoFrame(0x6FF, {0x40, 0x00, 0x10, 0x00})});
}

TEST_F(SdoChannels, TenByteWriteFollowsTheSegmentScript) {
    const auto data = Pattern(10, 0xB0);
    Transfer& t = Write(data);
    TickAt(1000);
    EXPECT_EQ(TakeFrames(),
              std::vector<KIV_CanFrame>{Req({0x21, 0x45, 0x23, 0x07, 0x0A, 0x00, 0x00, 0x00})});

    Offer(Resp({0x60, 0x45, 0x23, 0x07}));
    TickAt(1005);  // the step sees the answer; the new state starts next tick
    EXPECT_TRUE(TakeFrames().empty());
    TickAt(1010);
    EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{Req(Segment(0x00, Slice(data, 0, 7)))});

    Offer(Resp({0x20}));
    TickAt(1011);  // an answered segment makes the next one due at once
    EXPECT_EQ(TakeFrames(),
              std::vector<KIV_CanFrame>{Req({0x19, 0xB7, 0xB8, 0xB9, 0x00, 0x00, 0x00, 0x00})});

    Offer(Resp({0x30}));
    Tick();  // step: -> SDO_FINISH
    Tick();  // SDO_FINISH
    EXPECT_FALSE(t.Done());
    Tick();  // SDO_FINISH -> SDO_IDLE completes
    EXPECT_EQ(t.Result(), KIV_OK);
    EXPECT_EQ(t.abortCode, kUntouched) << "only a server abort writes the abort code";
    EXPECT_TRUE(TakeFrames().empty()) << "no abort after a good transfer";
    EXPECT_EQ(stack_->sdoDownload[0].busy, 0);
    EXPECT_TRUE(log_.Has("INFO", "sdo seg write size:10 byte, start success"));
    EXPECT_TRUE(log_.Has("INFO", "sdo seg write...<7,10> ack is ok"));
    EXPECT_TRUE(log_.Has("INFO", "sdo seg write...<10,10> ack is ok"));
}

TEST_F(SdoChannels, SegmentHeadersFollowToggleAndEmptyByteCount) {
    struct Case {
        std::size_t size;
        std::vector<uint8_t> headers;  // one per segment
    };
    const Case cases[] = {
        {5, {0x05}},               // toggle 0, two empty bytes, last
        {7, {0x01}},               // a remainder of exactly 7 is a last segment
        {8, {0x00, 0x1D}},         // 1 byte left: six empty
        {14, {0x00, 0x11}},        // 7 + 7
        {20, {0x00, 0x10, 0x03}},  // 7 + 7 + 6
        {22, {0x00, 0x10, 0x00, 0x1D}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const auto data = Pattern(c.size, 0x50);
        Transfer& t = Write(data);
        const auto frames = RunSegmentedWrite(t);
        EXPECT_EQ(t.Result(), KIV_OK);
        std::vector<KIV_CanFrame> expected{
            Req({0x21, 0x45, 0x23, 0x07, static_cast<uint8_t>(c.size), 0, 0, 0})};
        std::size_t offset = 0;
        for (uint8_t h : c.headers) {
            const std::size_t n = std::min<std::size_t>(7, c.size - offset);
            expected.push_back(Req(Segment(h, Slice(data, offset, n))));
            offset += n;
        }
        EXPECT_EQ(frames, expected);
    }
}

TEST_F(SdoChannels, InitiateAnnouncesSizeLittleEndian) {
    const auto data = Pattern(0x0123, 0x00);
    Write(data);
    Tick();
    EXPECT_EQ(TakeFrames(),
              std::vector<KIV_CanFrame>{Req({0x21, 0x45, 0x23, 0x07, 0x23, 0x01, 0x00, 0x00})});
}

TEST_F(SdoChannels, SegmentedReadFollowsTheSegmentScript) {
    const auto obj = Pattern(20);
    Transfer& t = Read(20);
    TickAt(1000);
    EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{kInitUpload});
    Offer(Resp({0x41, 0x45, 0x23, 0x07, 0x14, 0x00, 0x00, 0x00}));
    TickAt(1001);
    TickAt(1002);
    EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{Req({0x60})});
    Offer(Resp(Segment(0x00, Slice(obj, 0, 7))));
    TickAt(1003);  // answered: the next request goes out in the same tick
    EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{Req({0x70})});
    Offer(Resp(Segment(0x10, Slice(obj, 7, 7))));
    TickAt(1004);
    EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{Req({0x60})});
    Offer(Resp(Segment(0x03, Slice(obj, 14, 6))));
    Tick();
    Tick();
    EXPECT_FALSE(t.Done());
    Tick();
    EXPECT_EQ(t.Result(), KIV_OK);
    EXPECT_EQ(t.received, 20u);
    EXPECT_EQ(t.Stored(20), obj);
    EXPECT_TRUE(t.GuardsIntact());
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_TRUE(log_.Has("INFO", "sdo seg read size:20 byte"));
    EXPECT_TRUE(log_.Has("INFO", "sdo seg read...<7,20>"));
    EXPECT_TRUE(log_.Has("INFO", "sdo seg read...<20,20>"));
    EXPECT_TRUE(log_.Has("INFO", "sdo seg read success..."));
}

// ---------------------------------------------------------------------------
// Expedited reads: every answer and its result

TEST_F(SdoChannels, ExpeditedReadStoresAtMostCapacity) {
    struct Case {
        uint32_t capacity;
        std::vector<uint8_t> answer;
        uint32_t stored;
        int announced;
    };
    const Case cases[] = {
        {4, {0x4B, 0x45, 0x23, 0x07, 0x11, 0x22}, 2, 2},
        {2, {0x43, 0x45, 0x23, 0x07, 0x11, 0x22, 0x33, 0x44}, 2, 4},
        {1, {0x4B, 0x45, 0x23, 0x07, 0x11, 0x22}, 1, 2},
        {4, {0x4F, 0x45, 0x23, 0x07, 0x11, 0x22, 0x33, 0x44}, 1, 1},
        {4, {0x47, 0x45, 0x23, 0x07, 0x11, 0x22, 0x33, 0x44}, 3, 3},
        {4, {0x43, 0x45, 0x23, 0x07, 0x11, 0x22, 0x33, 0x44}, 4, 4},
        {0, {0x43, 0x45, 0x23, 0x07, 0x11, 0x22, 0x33, 0x44}, 0, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "capacity " << c.capacity << " command " << int{c.answer[0]});
        Transfer& t = Read(c.capacity);
        Tick();
        Offer(Resp(c.answer));
        Tick();
        EXPECT_FALSE(t.Done()) << "completion comes one tick after the step";
        Tick();
        ASSERT_EQ(t.Result(), KIV_OK);
        EXPECT_EQ(t.received, c.stored);
        EXPECT_EQ(t.Stored(c.stored), Slice(c.answer, 4, c.stored));
        EXPECT_TRUE(t.GuardsIntact());
        EXPECT_TRUE(
            log_.Has("INFO", "sdo fast read size:" + std::to_string(c.announced) + " byte"));
        log_.Clear();
    }
}

TEST_F(SdoChannels, ReadTakesTheProtocolTheServerAnswersWith) {
    // The request is the same whatever the buffer; the server's answer
    // decides. Segmented answers are followed by a 10-byte object.
    const auto obj = Pattern(10);
    struct Case {
        uint32_t capacity;
        std::vector<uint8_t> answer;
        bool segmented;
        std::vector<uint8_t> stored;
    };
    const Case cases[] = {
        {8, {0x4B, 0x45, 0x23, 0x07, 0x11, 0x22}, false, {0x11, 0x22}},
        {64, {0x43, 0x45, 0x23, 0x07, 1, 2, 3, 4}, false, {1, 2, 3, 4}},
        {4, {0x42, 0x45, 0x23, 0x07, 1, 2, 3, 4}, false, {1, 2, 3, 4}},  // no size: 4 bytes
        {8, {0x42, 0x45, 0x23, 0x07, 1, 2, 3, 4}, false, {1, 2, 3, 4}},
        {2, {0x42, 0x45, 0x23, 0x07, 1, 2, 3, 4}, false, {1, 2}},
        {20, {0x41, 0x45, 0x23, 0x07, 10, 0, 0, 0}, true, obj},
        {20, {0x40, 0x45, 0x23, 0x07}, true, obj},  // segmented, size not indicated
        {4, {0x41, 0x45, 0x23, 0x07, 10, 0, 0, 0}, true, Slice(obj, 0, 4)},
        {4, {0x40, 0x45, 0x23, 0x07}, true, Slice(obj, 0, 4)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "capacity " << c.capacity << " command " << int{c.answer[0]});
        Transfer& t = Read(c.capacity);
        Tick();
        EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{kInitUpload});
        Offer(Resp(c.answer));
        Tick();
        if (c.segmented) {
            Tick();
            EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{Req({0x60})});
            Offer(Resp(Segment(0x00, Slice(obj, 0, 7))));
            Tick();
            EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{Req({0x70})});
            Offer(Resp(Segment(0x19, Slice(obj, 7, 3))));
        }
        for (int i = 0; i < 3; ++i) Tick();
        ASSERT_EQ(t.Result(), KIV_OK);
        EXPECT_EQ(t.received, c.stored.size());
        EXPECT_EQ(t.Stored(c.stored.size()), c.stored);
        EXPECT_TRUE(t.GuardsIntact());
        EXPECT_TRUE(TakeFrames().empty()) << "no re-send, no abort";
        EXPECT_EQ(stack_->sdoUpload[0].busy, 0);
    }
}

TEST_F(SdoChannels, EmptyObjectIsReadAsOneEmptySegment) {
    Transfer& t = Read(20);
    Tick();
    Offer(Resp({0x41, 0x45, 0x23, 0x07, 0, 0, 0, 0}));
    Tick();
    Tick();
    EXPECT_EQ(TakeFrames(), (std::vector<KIV_CanFrame>{kInitUpload, Req({0x60})}));
    Offer(Resp({0x0F}));  // last, seven empty bytes
    for (int i = 0; i < 3; ++i) Tick();
    EXPECT_EQ(t.Result(), KIV_OK);
    EXPECT_EQ(t.received, 0u);
    EXPECT_EQ(t.Stored(20), std::vector<uint8_t>(20, kGuard));
}

TEST_F(SdoChannels, ExpeditedWriteAbortedByServerGivesAborted) {
    Transfer& t = Write({0x01, 0x02});
    Tick();
    Offer(Resp({0x41, 0x45, 0x23, 0x07}));  // not an answer to a download: ignored
    Offer(Resp({0x80, 0x45, 0x23, 0x07, 0x00, 0x00, 0x09, 0x06}));
    Tick();
    Tick();
    EXPECT_EQ(t.Result(), KIV_ERR_ABORTED);
    EXPECT_TRUE(log_.Has("ERROR", "sdo fast write size:2 byte fail, rec abort"));
    RunTo(clock_.now + 2000, 50);
    EXPECT_EQ(TakeFrames().size(), 1u) << "the request only: no abort, no re-send";
}

// ---------------------------------------------------------------------------
// Re-send period and time-out

TEST_F(SdoChannels, ExpeditedTransfersResendEvery100MsAndTimeOutWithoutAbort) {
    for (bool upload : {true, false}) {
        SCOPED_TRACE(upload ? "read" : "write");
        clock_.now = 1000;
        Transfer& t = upload ? Read(2) : Write({0x01, 0x02});
        Tick();
        RunTo(1999);
        const auto sends = TakeSends();
        ASSERT_EQ(sends.size(), 10u);
        for (std::size_t i = 0; i < sends.size(); ++i) {
            EXPECT_EQ(sends[i].at, 1000 + 100 * i);
            EXPECT_EQ(sends[i].frame, sends[0].frame);
        }
        EXPECT_FALSE(t.Done());
        TickAt(2000);  // exactly timeoutMs after the first frame
        EXPECT_FALSE(t.Done());
        Tick();
        EXPECT_EQ(t.Result(), KIV_ERR_TIMEOUT);
        RunTo(3000, 50);
        EXPECT_TRUE(TakeFrames().empty()) << "no abort after an expedited time-out";
        EXPECT_TRUE(log_.Has("ERROR", upload ? "sdo fast read timeout...<100,1000>"
                                             : "sdo fast write timeout...<100,1000>"));
        EXPECT_EQ(log_.Count("DEBUG", "sdo fast write send can ..."), upload ? 0 : 10);
        EXPECT_EQ(log_.Count("WARN", "kiv sdo abort frame send..."), 0);
        log_.Clear();
    }
}

TEST_F(SdoChannels, ResendCountsFromTheLastSendNotAFixedGrid) {
    Read(2);
    TickAt(1000);
    TickAt(1099);
    TickAt(1130);
    TickAt(1229);
    TickAt(1230);
    const auto sends = TakeSends();
    ASSERT_EQ(sends.size(), 3u);
    EXPECT_EQ(sends[0].at, 1000u);
    EXPECT_EQ(sends[1].at, 1130u);
    EXPECT_EQ(sends[2].at, 1230u);
}

TEST_F(SdoChannels, TimeoutZeroGivesASingleFrame) {
    stack_->sdoTimeoutMs = 0;
    // Unanswered: fails at the following tick.
    Transfer& lost = Read(2);
    Tick();
    Tick();
    EXPECT_FALSE(lost.Done());
    Tick();
    EXPECT_EQ(lost.Result(), KIV_ERR_TIMEOUT);
    EXPECT_EQ(TakeFrames().size(), 1u);

    // Answered in the receive poll between the two ticks: succeeds.
    Transfer& ok = Read(2);
    Tick();
    Offer(Resp({0x4B, 0x45, 0x23, 0x07, 0x34, 0x12}));
    Tick();
    Tick();
    EXPECT_EQ(ok.Result(), KIV_OK);
    EXPECT_EQ(ok.received, 2u);

    // A segmented write: one initiate frame, then the abort.
    Transfer& seg = Write(Pattern(9));
    for (int i = 0; i < 5; ++i) Tick();
    EXPECT_EQ(seg.Result(), KIV_ERR_TIMEOUT);
    const auto frames = TakeFrames();
    ASSERT_EQ(frames.size(), 3u);  // the answered read, the write's initiate, its abort
    EXPECT_EQ(frames[1], Req({0x21, 0x45, 0x23, 0x07, 0x09}));
    EXPECT_EQ(frames[2], kAbortFrame);
    EXPECT_TRUE(log_.Has("ERROR", "sdo seg write timeout,init fail...<100ms,0ms>"));
}

TEST_F(SdoChannels, ElapsedTimeRule) {
    struct Case {
        uint32_t now, since, elapsed;
    };
    const Case cases[] = {
        {5, 5, 0},
        {105, 5, 100},
        {0, 0xFFFFFFFFu, 0},      // wrapped: difference 1, less one
        {0x54, 0xFFFFFFF0u, 99},  // difference 100, less one
        {0x55, 0xFFFFFFF0u, 100},
        {0xFFFFFFFFu, 0, 0xFFFFFFFFu},
    };
    for (const auto& c : cases)
        EXPECT_EQ(orukiv::SdoElapsed(c.now, c.since), c.elapsed) << c.now << " " << c.since;
}

TEST_F(SdoChannels, ResendAndTimeoutAcrossTheTickWrap) {
    // Re-send: a plain difference of 100 is 99 once the count has wrapped.
    Transfer& a = Read(2);
    TickAt(0xFFFFFFF0u);
    TickAt(0x53);
    TickAt(0x54);
    EXPECT_EQ(TakeSends().size(), 1u);
    TickAt(0x55);
    const auto resent = TakeSends();
    ASSERT_EQ(resent.size(), 1u);
    EXPECT_EQ(resent[0].at, 0x55u);
    Offer(Resp({0x4B, 0x45, 0x23, 0x07, 1, 2}));
    Tick();
    Tick();
    EXPECT_EQ(a.Result(), KIV_OK);

    // Time-out: first frame at 0xFFFFFF00, 1000 ms pass at tick 745.
    Transfer& b = Read(2);
    TickAt(0xFFFFFF00u);
    RunTo(744);
    Tick();
    EXPECT_FALSE(b.Done());
    TickAt(745);
    EXPECT_FALSE(b.Done());
    Tick();
    EXPECT_EQ(b.Result(), KIV_ERR_TIMEOUT);
    const auto sends = TakeSends();
    ASSERT_EQ(sends.size(), 10u);
    EXPECT_EQ(sends[3].at, 45u) << "first re-send after the wrap";
}

TEST_F(SdoChannels, FirstFrameOfEachStateGoesOutAtOnceEvenBelowTick100) {
    // At tick 0 the elapsed-time test alone would hold the frame back.
    clock_.now = 0;
    Transfer& r = Read(2);
    Tick();
    EXPECT_EQ(TakeSends().size(), 1u);
    TickAt(99);
    EXPECT_TRUE(TakeSends().empty());
    TickAt(100);
    EXPECT_EQ(TakeSends().size(), 1u);
    Offer(Resp({0x4B, 0x45, 0x23, 0x07, 1, 2}));
    Tick();
    Tick();
    EXPECT_EQ(r.Result(), KIV_OK);

    // Every state of a segmented write below tick 100: initiate at 10, first
    // segment at 12, abort at once after the time-out.
    stack_->sdoTimeoutMs = 50;
    Transfer& w = Write(Pattern(20));
    TickAt(10);
    Offer(Resp({0x60, 0x45, 0x23, 0x07}));
    TickAt(11);
    TickAt(12);
    const auto s = TakeSends();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[1].at, 12u);
    EXPECT_EQ(s[1].frame.data[0], 0x00);
    TickAt(62);  // time-out of the segment phase
    TickAt(63);  // abort
    EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{kAbortFrame});
    Tick();
    Tick();
    EXPECT_EQ(w.Result(), KIV_ERR_TIMEOUT);

    // And at 0xFFFFFFFF, where the elapsed time since the entry mark is 0.
    Read(2);
    TickAt(0xFFFFFFFFu);
    EXPECT_EQ(TakeSends().size(), 1u);
}

TEST_F(SdoChannels, TimeoutCountsFromTheLastAnsweredFrame) {
    const auto data = Pattern(20);
    Transfer& t = Write(data);
    TickAt(1000);
    Offer(Resp({0x60, 0x45, 0x23, 0x07}));
    TickAt(1001);
    TickAt(1002);  // first segment
    TakeSends();
    TickAt(1900);  // answered late, well within the time-out
    Offer(Resp({0x20}));
    TickAt(1901);  // the second segment at once; from here the server is silent
    RunTo(2900);
    // A re-send of the first segment, then the second, unanswered, every
    // 100 ms from 1901.
    auto sends = TakeSends();
    ASSERT_EQ(sends.size(), 11u);
    for (std::size_t i = 0; i < sends.size(); ++i) {
        EXPECT_EQ(sends[i].at, (i == 0 ? 1900 : 1901 + 100 * (i - 1)));
        if (i > 0) {
            EXPECT_EQ(sends[i].frame, Req(Segment(0x10, Slice(data, 7, 7))));
        }
    }
    EXPECT_FALSE(t.Done());
    TickAt(2901);  // 1000 ms after the last answered frame
    TickAt(2902);
    EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{kAbortFrame});
    Tick();
    Tick();
    EXPECT_EQ(t.Result(), KIV_ERR_TIMEOUT);
    EXPECT_TRUE(log_.Has("ERROR", "sdo seg write timeout,data fail...<7byte,20byte>"));
}

TEST_F(SdoChannels, SegmentedReadTimesOutInDataPhaseWithAbort) {
    stack_->sdoTimeoutMs = 300;
    Transfer& t = Read(20);
    Tick();
    Offer(Resp({0x41, 0x45, 0x23, 0x07, 20, 0, 0, 0}));
    Tick();
    Tick();
    Offer(Resp(Segment(0x00, Pattern(7))));
    RunTo(clock_.now + 400, 10);
    EXPECT_EQ(t.Result(), KIV_ERR_TIMEOUT);
    EXPECT_EQ(t.received, kUntouched);
    const auto frames = TakeFrames();
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames.back(), kAbortFrame);
    EXPECT_EQ(frames[frames.size() - 2], Req({0x70}));
    EXPECT_TRUE(log_.Has("ERROR", "sdo seg read timeout,data fail...<7byte,20byte>"));
}

TEST_F(SdoChannels, FailingOrMissingSendStillRunsTheClock) {
    bus_.FailSendsWith(7);
    Transfer& t = Read(2);
    RunTo(2100, 10);
    EXPECT_EQ(t.Result(), KIV_ERR_TIMEOUT);
    EXPECT_EQ(TakeSends().size(), 10u);
    EXPECT_EQ(log_.Count("ERROR", "oru can obj<0x00000605> send fail..."), 10);

    orukiv::FreeStack(stack_);
    MakeStack(false);
    clock_.now = 5000;
    Transfer& u = Write(Pattern(10));
    RunTo(6100, 10);
    EXPECT_EQ(u.Result(), KIV_ERR_TIMEOUT);
    EXPECT_EQ(bus_.SentCount(), 10u) << "nothing more sent without canSend";
}

// ---------------------------------------------------------------------------
// Server faults during segmented transfers

TEST_F(SdoChannels, ServerAbortEndsTheTransferInEveryState) {
    const KIV_CanFrame serverAbort = Resp({0x80, 0x45, 0x23, 0x07, 0x00, 0x00, 0x02, 0x06});
    struct Case {
        const char* name;
        bool upload;
        uint32_t size;       // read: buffer; write: data
        int segmentsBefore;  // acknowledged segments before the abort; -1: abort the initiate
    };
    const Case cases[] = {
        {"expedited write", false, 2, -1},       {"write initiate", false, 20, -1},
        {"write segment", false, 20, 1},         {"expedited read", true, 4, -1},
        {"read initiate", true, 20, -1},         {"read segment, toggle 1", true, 20, 1},
        {"read segment, toggle 0", true, 30, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Transfer& t = c.upload ? Read(c.size) : Write(Pattern(c.size));
        Tick();
        if (c.segmentsBefore >= 0) {
            Offer(Resp(c.upload ? std::vector<uint8_t>{0x41, 0x45, 0x23, 0x07, 30}
                                : std::vector<uint8_t>{0x60, 0x45, 0x23, 0x07}));
            Tick();
            Tick();
            for (int k = 0; k < c.segmentsBefore; ++k) {
                const auto toggle = static_cast<uint8_t>((k % 2) << 4);
                Offer(Resp(c.upload ? Segment(toggle, Pattern(7))
                                    : std::vector<uint8_t>{static_cast<uint8_t>(0x20 | toggle)}));
                Tick();
            }
        }
        TakeFrames();
        Offer(serverAbort);
        for (int i = 0; i < 3; ++i) Tick();
        EXPECT_EQ(t.Result(), KIV_ERR_ABORTED);
        EXPECT_EQ(t.abortCode, 0x06020000u);
        EXPECT_EQ(t.received, kUntouched);
        EXPECT_TRUE(TakeFrames().empty()) << "the client sends no abort of its own";
        EXPECT_TRUE(
            log_.Has("WARN", std::string("sdo server abort<0x06020000> node 5 obj<0x2345,7> ") +
                                 (c.upload ? "read" : "write") +
                                 ": object does not exist in the object dictionary"));
        log_.Clear();
    }
}

TEST_F(SdoChannels, UploadSegmentAnswersAreChecked) {
    // While a segment is awaited, only a segment answer with the awaited
    // toggle moves the read on: a late initiate answer, download answers and
    // an abort for another object are not data.
    const std::vector<uint8_t> ignored[] = {
        {0x43, 0x45, 0x23, 0x07, 1, 2, 3, 4},  // late answer to an earlier initiate
        {0x41, 0x45, 0x23, 0x07, 20},
        {0x60, 0x45, 0x23, 0x07},
        {0x20, 1, 2, 3, 4, 5, 6, 7},
        {0x30},
        {0x80, 0x46, 0x23, 0x07, 0, 0, 0x02, 0x06},
        {0x10, 9, 9, 9, 9, 9, 9, 9},  // wrong toggle
        {0xE1, 9, 9},
    };
    const auto obj = Pattern(10);
    Transfer& t = Read(20);
    Tick();
    Offer(Resp({0x41, 0x45, 0x23, 0x07, 10}));
    Tick();
    Tick();
    TakeFrames();
    for (const auto& f : ignored) Offer(Resp(f));
    Tick();
    EXPECT_TRUE(TakeFrames().empty()) << "nothing answered: no next request yet";
    EXPECT_EQ(stack_->sdoUpload[0].bytesDone, 0u);
    Offer(Resp(Segment(0x00, Slice(obj, 0, 7))));
    Tick();
    EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{Req({0x70})});
    Offer(Resp(Segment(0x19, Slice(obj, 7, 3))));
    for (int i = 0; i < 3; ++i) Tick();
    EXPECT_EQ(t.Result(), KIV_OK);
    EXPECT_EQ(t.Stored(10), obj);
}

TEST_F(SdoChannels, WrongToggleSegmentIsIgnoredAndTheRequestResent) {
    const auto obj = Pattern(20);
    Transfer& r = Read(20);
    Tick();
    Offer(Resp({0x41, 0x45, 0x23, 0x07, 20}));
    Tick();
    TickAt(2000);
    EXPECT_EQ(TakeFrames().back(), Req({0x60}));
    Offer(Resp(Segment(0x10, Slice(obj, 0, 7))));  // toggle 1 where 0 is due
    TickAt(2099);
    EXPECT_TRUE(TakeFrames().empty());
    TickAt(2100);
    EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{Req({0x60})});
    EXPECT_EQ(r.Stored(7), std::vector<uint8_t>(7, kGuard))
        << "nothing stored from the wrong segment";
    Offer(Resp(Segment(0x00, Slice(obj, 0, 7))));
    TickAt(2200);
    EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{Req({0x70})});
    EXPECT_EQ(r.Stored(7), Slice(obj, 0, 7));
}

TEST_F(SdoChannels, WrongToggleAcknowledgementIsIgnoredAndTheSegmentResent) {
    const auto data = Pattern(20, 0x90);
    Transfer& w = Write(data);
    TickAt(1000);
    Offer(Resp({0x60, 0x45, 0x23, 0x07}));
    Tick();
    TickAt(1001);
    const KIV_CanFrame first = Req(Segment(0x00, Slice(data, 0, 7)));
    EXPECT_EQ(TakeFrames().back(), first);
    Offer(Resp({0x30}));  // wrong toggle
    Offer(Resp({0x21}));  // not exactly 0x20
    TickAt(1100);
    EXPECT_TRUE(TakeFrames().empty());
    TickAt(1101);
    EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{first});
    Offer(Resp({0x20}));
    TickAt(1201);
    EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{Req(Segment(0x10, Slice(data, 7, 7)))});
    EXPECT_FALSE(w.Done());
}

// ---------------------------------------------------------------------------
// Which frames a channel takes

TEST_F(SdoChannels, FramesForOtherNodesOrServicesChangeNothing) {
    const std::vector<uint8_t> readAnswer{0x4B, 0x45, 0x23, 0x07, 0x11, 0x22};
    const std::vector<uint8_t> writeAnswer{0x60, 0x45, 0x23, 0x07};
    for (bool upload : {true, false}) {
        SCOPED_TRACE(upload ? "read" : "write");
        Transfer& t = upload ? Read(2) : Write({0x01, 0x02});
        Tick();
        TakeFrames();
        for (uint32_t id : {0x586u, 0x584u, 0x185u, 0x605u, 0x705u, 0x20000585u}) {
            Offer(sdotest::SdoFrame(id, readAnswer));
            Offer(sdotest::SdoFrame(id, writeAnswer));
        }
        // A read ignores download answers and a write upload answers.
        Offer(Resp(upload ? writeAnswer : readAnswer));
        Offer(Resp({0x4B, 0x46, 0x23, 0x07, 0x11, 0x22}));  // other index
        Offer(Resp({0x4B, 0x45, 0x24, 0x07, 0x11, 0x22}));
        Offer(Resp({0x4B, 0x45, 0x23, 0x08, 0x11, 0x22}));  // other sub-index
        Offer(Resp({0x60, 0x45, 0x23, 0x08}));
        Offer(Resp({0x80, 0x45, 0x23, 0x08, 0, 0, 0x02, 0x06}));
        Tick();
        Tick();
        EXPECT_FALSE(t.Done());
        if (upload) {
            EXPECT_EQ(t.Stored(2), std::vector<uint8_t>(2, kGuard));
        }

        Offer(Resp(upload ? readAnswer : writeAnswer));
        Tick();
        Tick();
        EXPECT_EQ(t.Result(), KIV_OK);
    }
}

TEST_F(SdoChannels, FramesAfterTheExchangeIsOverChangeNothing) {
    // Between the step that ends an exchange and the tick that acts on it,
    // a worker loop polls again: what arrives then must not alter the result.
    stack_->sdoTimeoutMs = 200;
    {
        SCOPED_TRACE("answered expedited read, then an abort");
        Transfer& t = Read(2);
        Tick();
        Offer(Resp({0x4B, 0x45, 0x23, 0x07, 0x11, 0x22}));
        Tick();
        Offer(Resp({0x80, 0x45, 0x23, 0x07, 0, 0, 0x02, 0x06}));
        Offer(Resp({0x4B, 0x45, 0x23, 0x07, 0x33, 0x44}));
        Tick();
        EXPECT_EQ(t.Result(), KIV_OK);
        EXPECT_EQ(t.Stored(2), (std::vector<uint8_t>{0x11, 0x22}));
    }
    struct Late {
        const char* name;
        bool upload;
        uint32_t capacityOrSize;
        std::vector<uint8_t> answer;
    };
    const Late cases[] = {
        {"expedited read", true, 2, {0x4B, 0x45, 0x23, 0x07, 0x11, 0x22}},
        {"expedited write", false, 2, {0x60, 0x45, 0x23, 0x07}},
        {"segmented read initiate", true, 20, {0x41, 0x45, 0x23, 0x07, 20}},
        {"segmented write initiate", false, 20, {0x60, 0x45, 0x23, 0x07}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Transfer& t = c.upload ? Read(c.capacityOrSize) : Write(Pattern(c.capacityOrSize));
        const uint32_t start = clock_.now + 1;
        TickAt(start);
        RunTo(start + 200);  // the time-out step
        Offer(Resp(c.answer));
        for (int i = 0; i < 4; ++i) Tick();
        EXPECT_EQ(t.Result(), KIV_ERR_TIMEOUT);
        EXPECT_EQ(t.received, kUntouched);
        TakeFrames();
    }
}

TEST_F(SdoChannels, AnswerBeforeTheFirstTickIsIgnored) {
    Transfer& r = Read(2);
    Offer(Resp({0x4B, 0x45, 0x23, 0x07, 0x11, 0x22}));  // state still SDO_IDLE
    Tick();
    Tick();
    EXPECT_FALSE(r.Done());
}

TEST_F(SdoChannels, OneAnswerServesTwoReadsOfTheSameObject) {
    Transfer& a = Read(2);
    Transfer& b = Read(2);
    Tick();
    EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>(2, kInitUpload));
    Offer(Resp({0x4B, 0x45, 0x23, 0x07, 0x11, 0x22}));
    Tick();
    Tick();
    EXPECT_EQ(a.Result(), KIV_OK);
    EXPECT_EQ(b.Result(), KIV_OK);
    EXPECT_EQ(a.Stored(2), (std::vector<uint8_t>{0x11, 0x22}));
    EXPECT_EQ(b.Stored(2), (std::vector<uint8_t>{0x11, 0x22}));
}

TEST_F(SdoChannels, SegmentedExchangeHasTheNodeToItself) {
    // An expedited read is out; a segmented write of the node waits for it,
    // and everything claimed after the write waits for the write. Another
    // node is not held up.
    Transfer& first = Read(2, 0x1000, 0);
    Tick();
    EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{Req({0x40, 0x00, 0x10, 0x00})});
    Transfer& write = Write(Pattern(10));
    Transfer& behind = Read(2, 0x1001, 0);  // would overlap the write
    Transfer& other = Read(2, kIndex, kSub, 6);
    TickAt(clock_.now + 500);  // the first read is sent again, the other node's starts
    EXPECT_EQ(TakeFrames(),
              (std::vector<KIV_CanFrame>{Req({0x40, 0x00, 0x10, 0x00}),
                                         sdotest::SdoFrame(0x606, {0x40, 0x45, 0x23, 0x07})}));

    Offer(Resp({0x4B, 0x00, 0x10, 0x00, 1, 2}));
    Tick();
    Tick();  // the read completes, its channel is free
    EXPECT_EQ(first.Result(), KIV_OK);
    Tick();  // the write starts: its time-out only from now
    EXPECT_EQ(TakeFrames(),
              std::vector<KIV_CanFrame>{Req({0x21, 0x45, 0x23, 0x07, 0x0A, 0x00, 0x00, 0x00})});
    const uint32_t writeStart = clock_.now;
    Offer(Resp({0x60, 0x45, 0x23, 0x07}));
    Tick();
    Tick();
    Offer(Resp({0x40, 0x01, 0x10, 0x00, 9, 9, 9, 9}));  // a read answer: not for the write
    Offer(Resp({0x20}));
    Tick();
    Offer(Resp({0x30}));
    for (int i = 0; i < 3; ++i) Tick();
    EXPECT_EQ(write.Result(), KIV_OK);
    EXPECT_EQ(write.abortCode, kUntouched);
    EXPECT_FALSE(behind.Done());
    Tick();
    auto frames = TakeFrames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back(), Req({0x40, 0x01, 0x10, 0x00})) << "the waiting read starts last";
    EXPECT_EQ(stack_->sdoDownload[0].busy, 0);
    EXPECT_LT(clock_.now - writeStart, 100u);
    EXPECT_FALSE(other.Done()) << "the other node never answered";
}

// ---------------------------------------------------------------------------
// Pools, completion, time-out changes

TEST_F(SdoChannels, SixteenChannelsPerKindThenNoResource) {
    std::vector<Transfer*> reads;
    for (int i = 0; i < 16; ++i) {
        reads.push_back(&Read(2));
        EXPECT_EQ(reads.back()->claim, KIV_OK);
    }
    EXPECT_EQ(Read(2).claim, KIV_ERR_NO_RESOURCE);
    // Writes to distinct objects: they may run beside the reads.
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(Write({1}, 0x3000, static_cast<uint8_t>(i)).claim, KIV_OK);
    EXPECT_EQ(Write({1}, 0x3000, 16).claim, KIV_ERR_NO_RESOURCE);
    Tick();
    EXPECT_EQ(TakeFrames().size(), 32u) << "all 32 transfers start in the same tick";

    // The first channel to free up serves the next claim.
    Offer(Resp({0x4B, 0x45, 0x23, 0x07, 1, 2}));
    Tick();
    Tick();
    for (auto* r : reads) EXPECT_EQ(r->Result(), KIV_OK);
    Transfer& again = Read(2, 0x1000, 0);
    EXPECT_EQ(again.claim, KIV_OK);
    EXPECT_EQ(stack_->sdoUpload[0].request, &again.request);
}

TEST_F(SdoChannels, CompletionReleasesTheCallersSemaphoreOnce) {
    Transfer& t = Read(2);
    t.request.done = orukiv::platform::SemaphoreCreate();
    ASSERT_NE(t.request.done, nullptr);
    Tick();
    Offer(Resp({0x4B, 0x45, 0x23, 0x07, 1, 2}));
    Tick();
    EXPECT_EQ(stack_->sdoUpload[0].busy, 1);
    Tick();
    EXPECT_EQ(t.Result(), KIV_OK);
    EXPECT_EQ(stack_->sdoUpload[0].busy, 0);
    auto waiter =
        std::async(std::launch::async, [&] { orukiv::platform::SemaphoreWait(t.request.done); });
    const bool released = waiter.wait_for(5s) == std::future_status::ready;
    if (!released) orukiv::platform::SemaphorePost(t.request.done);
    waiter.wait();
    EXPECT_TRUE(released) << "the channel must release the caller";
    orukiv::platform::SemaphoreClose(t.request.done);
}

TEST_F(SdoChannels, TimeoutChangeAffectsOnlyLaterClaims) {
    stack_->mutex = orukiv::platform::MutexCreate();
    ASSERT_NE(stack_->mutex, nullptr);
    Transfer& before = Read(2);
    EXPECT_NE(KIV_SetSDOTimeout(stack_, 200), 0);
    EXPECT_EQ(stack_->sdoTimeoutMs, 200u);
    Transfer& after = Read(2, 0x1000, 0);
    TickAt(1000);
    RunTo(1201);
    EXPECT_EQ(after.Result(), KIV_ERR_TIMEOUT);
    EXPECT_FALSE(before.Done());
    RunTo(2001);
    EXPECT_EQ(before.Result(), KIV_ERR_TIMEOUT);
    EXPECT_TRUE(log_.Has("ERROR", "sdo fast read timeout...<100,200>"));
    EXPECT_TRUE(log_.Has("ERROR", "sdo fast read timeout...<100,1000>"));
}

// ---------------------------------------------------------------------------
// Segmented uploads whose data disagree with the buffer or the announced size

class SdoUploadOverflow : public SdoChannels {
protected:
    // Runs a segmented read of an object announced as `announced` bytes into a
    // buffer of `capacity`, answering each segment request with the next of
    // `segments` (header + data bytes).
    Transfer& Run(uint32_t capacity, uint32_t announced,
                  const std::vector<std::vector<uint8_t>>& segments) {
        Transfer& t = Read(capacity);
        Tick();
        Offer(Resp({0x41, 0x45, 0x23, 0x07, static_cast<uint8_t>(announced),
                    static_cast<uint8_t>(announced >> 8), 0, 0}));
        Tick();
        for (const auto& s : segments) {
            TickAt(clock_.now + 100);
            Offer(Resp(s));
        }
        for (int i = 0; i < 4; ++i) Tick();  // an abort takes one tick more
        return t;
    }
};

TEST_F(SdoUploadOverflow, ObjectLargerThanBufferIsClippedToCapacity) {
    const auto obj = Pattern(20);
    Transfer& t = Run(5, 20,
                      {Segment(0x00, Slice(obj, 0, 7)), Segment(0x10, Slice(obj, 7, 7)),
                       Segment(0x03, Slice(obj, 14, 6))});
    EXPECT_EQ(t.Result(), KIV_OK);
    EXPECT_EQ(t.received, 5u);
    EXPECT_EQ(t.Stored(5), Slice(obj, 0, 5));
    EXPECT_TRUE(t.GuardsIntact());
    EXPECT_TRUE(log_.Has("INFO", "sdo seg read...<20,20>"));
}

TEST_F(SdoUploadOverflow, SegmentsThatDisagreeWithTheAnnouncedSizeEndTheReadWithAnAbort) {
    struct Case {
        const char* name;
        uint32_t announced;
        std::vector<std::vector<uint8_t>> segments;
        uint32_t total;  // bytes the last segment handled would have made
    };
    const auto obj = Pattern(28);
    const Case cases[] = {
        {"last segment short of the size",
         20,
         {Segment(0x00, Slice(obj, 0, 7)), Segment(0x11, Slice(obj, 7, 7))},
         14},
        {"last segment past the size",
         10,
         {Segment(0x00, Slice(obj, 0, 7)), Segment(0x11, Slice(obj, 7, 7))},
         14},
        {"segments beyond the size",
         8,
         {Segment(0x00, Slice(obj, 0, 7)), Segment(0x10, Slice(obj, 7, 7))},
         14},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Transfer& t = Run(20, c.announced, c.segments);
        EXPECT_EQ(t.Result(), KIV_ERR_PARAM);
        EXPECT_EQ(t.received, kUntouched);
        EXPECT_TRUE(t.GuardsIntact());
        const auto frames = TakeFrames();
        EXPECT_EQ(std::count(frames.begin(), frames.end(), kAbortFrame), 1);
        EXPECT_TRUE(log_.Has("ERROR", "sdo seg read size mismatch...<" + std::to_string(c.total) +
                                          "," + std::to_string(c.announced) + ">"));
        log_.Clear();
    }
}

TEST_F(SdoUploadOverflow, LongObjectsMoveOneSegmentPerTickWithinTheDefaultTimeout) {
    // 1024 bytes in 147 segments, ticks 5 ms apart, answers at once.
    const auto obj = Pattern(1024);
    Transfer& t = Read(1024);
    Tick();
    Offer(Resp({0x41, 0x45, 0x23, 0x07, 0x00, 0x04, 0, 0}));
    TickAt(clock_.now + 5);
    TakeFrames();
    uint32_t offset = 0;
    int ticks = 0;
    for (uint8_t toggle = 0; !t.Done() && ticks < 400; ++ticks) {
        TickAt(clock_.now + 5);
        const auto frames = TakeFrames();
        if (offset < obj.size()) {
            ASSERT_EQ(frames.size(), 1u) << "one segment request per tick";
            ASSERT_EQ(frames[0], Req({static_cast<uint8_t>(0x60 | (toggle << 4))}));
            const uint32_t n = std::min<uint32_t>(7, 1024 - offset);
            const bool last = offset + n == obj.size();
            Offer(
                Resp(Segment(static_cast<uint8_t>((toggle << 4) | (last ? ((7 - n) << 1) | 1 : 0)),
                             Slice(obj, offset, n))));
            offset += n;
            toggle ^= 1;
        }
    }
    EXPECT_EQ(ticks, 147 + 3) << "147 segments, then the usual completion";
    EXPECT_EQ(t.Result(), KIV_OK);
    EXPECT_EQ(t.received, 1024u);
    EXPECT_EQ(t.Stored(1024), obj);
}

TEST_F(SdoChannels, AcknowledgementsWithoutASegmentOutAreIgnored) {
    // A server that confirms segments it never received must not push the
    // transfer past the caller's data.
    const auto data = Pattern(20, 0x70);
    Transfer& t = Write(data);
    Tick();
    Offer(Resp({0x60, 0x45, 0x23, 0x07}));
    Tick();
    Tick();  // segment 0
    Offer(Resp({0x20}));
    Offer(Resp({0x30}));
    Offer(Resp({0x20}));
    Offer(Resp({0x30}));
    TakeFrames();
    TickAt(clock_.now + 100);
    EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{Req(Segment(0x10, Slice(data, 7, 7)))});
    Offer(Resp({0x30}));
    TickAt(clock_.now + 100);
    EXPECT_EQ(TakeFrames(), std::vector<KIV_CanFrame>{Req(Segment(0x03, Slice(data, 14, 6)))});
    Offer(Resp({0x20}));
    for (int i = 0; i < 3; ++i) Tick();
    EXPECT_EQ(t.Result(), KIV_OK);
}

}  // namespace

// In low-latency mode nothing waits for a tick it does not need: the tick
// that takes an answer sends the next phase's frame (or the abort) and
// completes a finished transfer. In the default timing each of these steps
// takes a tick of its own (see the tests above).
TEST_F(SdoChannels, LowLatencyModeMovesOnInTheTickOfTheAnswer) {
    stack_->periodUs.store(1000);
    const auto data = Pattern(10, 0x70);
    struct Exchange {
        std::vector<uint8_t> answer;
        std::vector<uint8_t> next;  // the request sent in the same tick; empty: none
    };
    struct Case {
        const char* name;
        bool read;
        uint32_t size;  // read: capacity; write: bytes of `data`
        std::vector<Exchange> script;
        int32_t result;
    };
    const Case cases[] = {
        {"expedited read", true, 4, {{{0x43, 0x45, 0x23, 0x07, 1, 2, 3, 4}, {}}}, KIV_OK},
        {"expedited write", false, 4, {{{0x60, 0x45, 0x23, 0x07}, {}}}, KIV_OK},
        {"segmented read",
         true,
         10,
         {{{0x41, 0x45, 0x23, 0x07, 10, 0, 0, 0}, {0x60}},
          {Segment(0x00, Slice(data, 0, 7)), {0x70}},
          {Segment(0x19, Slice(data, 7, 3)), {}}},
         KIV_OK},
        {"segmented write",
         false,
         10,
         {{{0x60, 0x45, 0x23, 0x07}, Segment(0x00, Slice(data, 0, 7))},
          {{0x20}, Segment(0x19, Slice(data, 7, 3))},
          {{0x30}, {}}},
         KIV_OK},
        {"server abort",
         true,
         10,
         {{{0x41, 0x45, 0x23, 0x07, 10, 0, 0, 0}, {0x60}},
          {{0x80, 0x45, 0x23, 0x07, 0x00, 0x00, 0x00, 0x08}, {}}},
         KIV_ERR_ABORTED},
        {"client abort",
         true,
         10,
         {{{0x41, 0x45, 0x23, 0x07, 10, 0, 0, 0}, {0x60}},
          {Segment(0x0B, Slice(data, 0, 2)), {0x80, 0x45, 0x23, 0x07, 0x00, 0x00, 0x04, 0x05}}},
         KIV_ERR_PARAM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Transfer& t = c.read ? Read(c.size) : Write(Slice(data, 0, c.size));
        Tick();
        ASSERT_EQ(TakeFrames().size(), 1u) << "the initiate request";
        for (const Exchange& e : c.script) {
            ASSERT_FALSE(t.Done());
            Offer(Resp(e.answer));
            TickAt(clock_.now + 1);
            const auto frames = TakeFrames();
            if (e.next.empty()) {
                EXPECT_TRUE(frames.empty());
            } else {
                ASSERT_EQ(frames.size(), 1u);
                EXPECT_EQ(frames[0], Req(e.next));
            }
        }
        EXPECT_TRUE(t.Done()) << "completed in the tick of the last answer";
        EXPECT_EQ(t.Result(), c.result);
        if (c.read && c.result == KIV_OK) {
            EXPECT_EQ(t.received, c.size);
        }
    }
}

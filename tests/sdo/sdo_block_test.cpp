// SDO block transfer and the re-send and overlap rules, as byte scripts: the
// channels driven by hand against a fake clock, each script a list of server
// frames offered and the client frames that must follow.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fake_bus.h"
#include "frames.h"
#include "sdo/sdo_channel.h"
#include "sdo_test_util.h"
#include "instance/co_stack.h"

using orukiv::test::FakeBus;
using sdotest::Pattern;
using sdotest::Slice;
using Bytes = std::vector<uint8_t>;
using Frames = std::vector<KIV_CanFrame>;

namespace {

constexpr int32_t kPending = -77;
constexpr uint8_t kGuard = 0xA5;

KIV_CanFrame Req(const Bytes& b) {
    return sdotest::SdoFrame(0x605, b);
}
KIV_CanFrame Resp(const Bytes& b) {
    return sdotest::SdoFrame(0x585, b);
}
// A segment frame: header byte, then up to seven data bytes.
KIV_CanFrame Seg(uint32_t id, uint8_t header, const Bytes& payload) {
    KIV_CanFrame f = sdotest::SdoFrame(id, {header});
    for (std::size_t i = 0; i < payload.size() && i < 7; ++i) f.data[1 + i] = payload[i];
    return f;
}
KIV_CanFrame ReqSeg(uint8_t header, const Bytes& payload) {
    return Seg(0x605, header, payload);
}
KIV_CanFrame RespSeg(uint8_t header, const Bytes& payload) {
    return Seg(0x585, header, payload);
}
KIV_CanFrame Abort(uint32_t code) {
    return Req({0x80, 0x45, 0x23, 0x07, static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                static_cast<uint8_t>(code >> 16), static_cast<uint8_t>(code >> 24)});
}

// Reference CRC, bit by bit from the polynomial; checked below against the
// published check value of "123456789".
uint16_t RefCrc(const Bytes& d) {
    uint16_t crc = 0;
    for (uint8_t b : d)
        for (int i = 7; i >= 0; --i) {
            const bool top = ((crc >> 15) ^ (b >> i)) & 1;
            crc = static_cast<uint16_t>((crc << 1) ^ (top ? 0x1021 : 0));
        }
    return crc;
}

const Bytes kNine{'1', '2', '3', '4', '5', '6', '7', '8', '9'};  // CRC 0x31C3
const KIV_CanFrame kSeg1 = RespSeg(0x01, Slice(kNine, 0, 7));
const KIV_CanFrame kSeg2Last = RespSeg(0x82, Slice(kNine, 7, 2));
const KIV_CanFrame kEndNine = Resp({0xD5, 0xC3, 0x31});  // 5 unused bytes, CRC

// A step of a script: frames the server sends, then ticks (1 ms apart, or
// `ms` in all), then exactly the frames the client must have sent.
struct Step {
    Frames offer;
    Frames expect;
    uint32_t ms = 3;
};

struct Transfer {
    CoRequest request{};
    Bytes storage;
    uint32_t received = 0xDEADBEEF;
    uint32_t abortCode = 0xDEADBEEF;
};

class SdoBlock : public ::testing::Test {
protected:
    void SetUp() override {
        bus_.ClearSent();
        KIV_InitParam p = bus_.Param(false);
        stack_ = orukiv::NewStack(&p);
        stack_->tick = [](void* c) { return *static_cast<uint32_t*>(c); };
        stack_->tickContext = &now_;
    }
    void TearDown() override { orukiv::FreeStack(stack_); }

    Transfer& Start(bool upload, const Bytes& data, uint32_t capacity = 0, bool block = true,
                    uint16_t index = 0x2345) {
        auto t = std::make_unique<Transfer>();
        t->request.type = upload ? REQ_SDO_READ : REQ_SDO_WRITE;
        t->request.node = 5;
        t->request.sdoBlock = block ? 1 : 0;
        t->request.result = kPending;
        if (upload) {
            t->storage.assign(capacity + 8, kGuard);
            t->request.payload.sdoRead = {
                index, 7, t->storage.data(), capacity, &t->received, &t->abortCode};
        } else {
            t->storage = data;
            t->request.payload.sdoWrite = {index, 7, t->storage.data(),
                                           static_cast<uint32_t>(data.size()), &t->abortCode};
        }
        EXPECT_EQ(orukiv::SdoClaimChannel(stack_, &t->request), KIV_OK);
        all_.push_back(std::move(t));
        return *all_.back();
    }
    Frames Tick(uint32_t ms = 1) {
        const std::size_t before = bus_.SentCount();
        for (uint32_t i = 0; i < ms; ++i) {
            ++now_;
            orukiv::SdoTickUploads(stack_);
            orukiv::SdoTickDownloads(stack_);
        }
        const auto sent = bus_.SentFrames();
        return Frames(sent.begin() + static_cast<std::ptrdiff_t>(before), sent.end());
    }
    void Offer(const KIV_CanFrame& f) { orukiv::SdoOfferFrame(stack_, &f); }
    void Run(const std::vector<Step>& script) {
        for (std::size_t i = 0; i < script.size(); ++i) {
            for (const auto& f : script[i].offer) Offer(f);
            EXPECT_EQ(Tick(script[i].ms), script[i].expect) << "step " << i;
        }
    }

    FakeBus bus_;
    uint32_t now_ = 1000;
    CoStack* stack_ = nullptr;
    std::vector<std::unique_ptr<Transfer>> all_;
};

const KIV_CanFrame kUpInit = Req({0xA4, 0x45, 0x23, 0x07, 0x7F, 0x04});
const KIV_CanFrame kUpStart = Req({0xA3});
const KIV_CanFrame kNineAnswer = Resp({0xC6, 0x45, 0x23, 0x07, 9, 0, 0, 0});

TEST(SdoBlockCrc, MatchesTheCheckValueAndCoversDataOnly) {
    EXPECT_EQ(RefCrc(kNine), 0x31C3);
    EXPECT_EQ(orukiv::cia301::BlockCrc(0, kNine.data(), 9), 0x31C3);
    const Bytes big = Pattern(1000, 0x11);
    EXPECT_EQ(orukiv::cia301::BlockCrc(0, big.data(), 1000), RefCrc(big));
}

TEST_F(SdoBlock, DownloadScripts) {
    const Bytes d20 = Pattern(20, 0x40);
    const uint16_t c20 = RefCrc(d20);
    const KIV_CanFrame end20 =
        Req({0xC5, static_cast<uint8_t>(c20), static_cast<uint8_t>(c20 >> 8)});
    struct Case {
        const char* name;
        Bytes data;
        std::vector<Step> script;
    };
    const Case cases[] = {
        {"one sub-block",
         kNine,
         {{{}, {Req({0xC6, 0x45, 0x23, 0x07, 9})}},
          {{Resp({0xA4, 0x45, 0x23, 0x07, 127})},
           {ReqSeg(0x01, Slice(kNine, 0, 7)), ReqSeg(0x82, Slice(kNine, 7, 2))}},
          {{Resp({0xA2, 2, 127})}, {Req({0xD5, 0xC3, 0x31})}},
          {{Resp({0xA1})}, {}}}},
        {"restart after the last acknowledged segment, blksize changing",
         d20,
         {{{}, {Req({0xC6, 0x45, 0x23, 0x07, 20})}},
          {{Resp({0xA4, 0x45, 0x23, 0x07, 2})},
           {ReqSeg(0x01, Slice(d20, 0, 7)), ReqSeg(0x02, Slice(d20, 7, 7))}},
          {{Resp({0xA2, 1, 1})}, {ReqSeg(0x01, Slice(d20, 7, 7))}},
          {{Resp({0xA2, 1, 3})}, {ReqSeg(0x81, Slice(d20, 14, 6))}},
          {{Resp({0xA2, 1, 3})}, {end20}},
          {{Resp({0xA1})}, {}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Transfer& t = Start(false, c.data);
        Run(c.script);
        EXPECT_EQ(Tick(5), Frames{});
        EXPECT_EQ(t.request.result, KIV_OK);
        EXPECT_EQ(t.abortCode, 0xDEADBEEFu);
    }
}

TEST_F(SdoBlock, UploadScripts) {
    const Bytes big = Pattern(30, 0x60);  // no CRC from this server: not checked
    struct Case {
        const char* name;
        uint32_t capacity;
        uint8_t blockSize;
        std::vector<Step> script;
        Bytes stored;
    };
    const Case cases[] = {
        {"one sub-block, CRC checked",
         16,
         127,
         {{{}, {kUpInit}},
          {{kNineAnswer}, {kUpStart}},
          {{kSeg1, kSeg2Last}, {Req({0xA2, 2, 127})}},
          {{kEndNine}, {Req({0xA1})}}},
         kNine},
        {"lost segment acknowledged with the last good number",
         16,
         127,
         {{{}, {kUpInit}},
          {{kNineAnswer}, {kUpStart}},
          {{kSeg2Last}, {Req({0xA2, 0, 127})}},
          {{kSeg1, kSeg2Last}, {Req({0xA2, 2, 127})}},
          {{kEndNine}, {Req({0xA1})}}},
         kNine},
        {"client blksize 2, size not indicated, buffer smaller than the object",
         20,
         2,
         {{{}, {Req({0xA0 | 4, 0x45, 0x23, 0x07, 2, 4})}},
          {{Resp({0xC0, 0x45, 0x23, 0x07})}, {kUpStart}},
          {{RespSeg(1, Slice(big, 0, 7)), RespSeg(2, Slice(big, 7, 7))}, {Req({0xA2, 2, 2})}},
          {{RespSeg(1, Slice(big, 14, 7)), RespSeg(2, Slice(big, 21, 7))}, {Req({0xA2, 2, 2})}},
          {{RespSeg(0x81, Slice(big, 28, 2))}, {Req({0xA2, 1, 2})}},
          {{Resp({0xD5})}, {Req({0xA1})}}},
         Slice(big, 0, 20)},
        {"protocol switch: an expedited answer",
         16,
         127,
         {{{}, {kUpInit}}, {{Resp({0x4B, 0x45, 0x23, 0x07, 0x11, 0x22})}, {}}},
         {0x11, 0x22}},
        {"protocol switch: a segmented answer",
         16,
         127,
         {{{}, {kUpInit}},
          {{Resp({0x41, 0x45, 0x23, 0x07, 9})}, {Req({0x60})}},
          {{RespSeg(0x00, Slice(kNine, 0, 7))}, {Req({0x70})}},
          {{RespSeg(0x1B, Slice(kNine, 7, 2))}, {}}},
         kNine},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stack_->sdoSettings.blockSize = c.blockSize;
        Transfer& t = Start(true, {}, c.capacity);
        Run(c.script);
        EXPECT_EQ(Tick(5), Frames{});
        EXPECT_EQ(t.request.result, KIV_OK);
        EXPECT_EQ(t.received, c.stored.size());
        EXPECT_EQ(Slice(t.storage, 0, c.stored.size()), c.stored);
        for (std::size_t i = c.capacity; i < t.storage.size(); ++i)
            ASSERT_EQ(t.storage[i], kGuard) << "written past capacity at " << i;
    }
}

// Every server fault ends the transfer with the documented result and the
// client's abort frame, and never writes past the caller's capacity.
TEST_F(SdoBlock, ServerFaultsEndWithTheClientsAbort) {
    struct Case {
        const char* name;
        bool upload;
        std::vector<Step> script;  // up to the fault
        int32_t result;
        uint32_t clientAbort;  // 0: none sent
    };
    // Upload: initiate, start, both segments acknowledged, then `end`.
    const auto upEnd = [](KIV_CanFrame end) {
        return std::vector<Step>{{{}, {kUpInit}},
                                 {{kNineAnswer}, {kUpStart}},
                                 {{kSeg1, kSeg2Last}, {Req({0xA2, 2, 127})}},
                                 {{end}, {}, 1}};
    };
    const Case cases[] = {
        {"wrong CRC", true, upEnd(Resp({0xD5, 0xC3, 0x30})), KIV_ERR_PARAM, 0x05040004},
        {"end claims 7 unused bytes", true, upEnd(Resp({0xDD})), KIV_ERR_PARAM, 0x06070010},
        {"end claims fewer bytes than indicated", true, upEnd(Resp({0xD9, 0xC3, 0x31})),
         KIV_ERR_PARAM, 0x06070010},
        {"blksize 0 on initiate",
         false,
         {{{}, {Req({0xC6, 0x45, 0x23, 0x07, 9})}}, {{Resp({0xA4, 0x45, 0x23, 0x07, 0})}, {}, 1}},
         KIV_ERR_PARAM,
         0x05040002},
        {"blksize 128 on initiate",
         false,
         {{{}, {Req({0xC6, 0x45, 0x23, 0x07, 9})}}, {{Resp({0xA4, 0x45, 0x23, 0x07, 128})}, {}, 1}},
         KIV_ERR_PARAM,
         0x05040002},
        {"blksize 0 on a later ack",
         false,
         {{{}, {Req({0xC6, 0x45, 0x23, 0x07, 9})}},
          {{Resp({0xA4, 0x45, 0x23, 0x07, 1})}, {ReqSeg(0x01, Slice(kNine, 0, 7))}},
          {{Resp({0xA2, 1, 0})}, {}, 1}},
         KIV_ERR_PARAM,
         0x05040002},
        {"ack of a segment never sent",
         false,
         {{{}, {Req({0xC6, 0x45, 0x23, 0x07, 9})}},
          {{Resp({0xA4, 0x45, 0x23, 0x07, 1})}, {ReqSeg(0x01, Slice(kNine, 0, 7))}},
          {{Resp({0xA2, 2, 1})}, {}, 1}},
         KIV_ERR_PARAM,
         0x05040003},
        {"segment number 0",
         true,
         {{{}, {kUpInit}}, {{kNineAnswer}, {kUpStart}}, {{Resp({0x00, 1, 2})}, {}, 1}},
         KIV_ERR_PARAM,
         0x05040003},
        {"size indicated smaller than the data",
         true,
         {{{}, {kUpInit}},
          {{Resp({0xC6, 0x45, 0x23, 0x07, 5})}, {kUpStart}},
          {{kSeg1, kSeg2Last}, {}, 1}},
         KIV_ERR_PARAM,
         0x06070010},
        {"silent server after the start",
         true,
         {{{}, {kUpInit}}, {{kNineAnswer}, {kUpStart}}, {{}, {}, 900}},
         KIV_ERR_TIMEOUT,
         0x05040000},
        {"server never gets past a gap",
         true,
         {{{}, {kUpInit}},
          {{kNineAnswer}, {kUpStart}},
          {{kSeg2Last}, {Req({0xA2, 0, 127})}, 300},
          {{kSeg2Last}, {Req({0xA2, 0, 127})}, 300},
          {{kSeg2Last}, {Req({0xA2, 0, 127})}, 300}},
         KIV_ERR_TIMEOUT,
         0x05040000},
        {"server acknowledging nothing, ever",
         false,
         {{{}, {Req({0xC6, 0x45, 0x23, 0x07, 9})}},
          {{Resp({0xA4, 0x45, 0x23, 0x07, 1})}, {ReqSeg(0x01, Slice(kNine, 0, 7))}},
          {{Resp({0xA2, 0, 1})}, {ReqSeg(0x01, Slice(kNine, 0, 7))}, 300},
          {{Resp({0xA2, 0, 1})}, {ReqSeg(0x01, Slice(kNine, 0, 7))}, 300},
          {{Resp({0xA2, 0, 1})}, {ReqSeg(0x01, Slice(kNine, 0, 7))}, 300}},
         KIV_ERR_TIMEOUT,
         0x05040000},
        {"silent server after a sub-block",
         false,
         {{{}, {Req({0xC6, 0x45, 0x23, 0x07, 9})}},
          {{Resp({0xA4, 0x45, 0x23, 0x07, 127})},
           {ReqSeg(0x01, Slice(kNine, 0, 7)), ReqSeg(0x82, Slice(kNine, 7, 2))}},
          {{}, {}, 900}},
         KIV_ERR_TIMEOUT,
         0x05040000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Transfer& t = c.upload ? Start(true, {}, 8) : Start(false, kNine);
        Run(c.script);
        const Frames rest = Tick(200);
        EXPECT_EQ(t.request.result, c.result);
        EXPECT_EQ(rest, Frames{Abort(c.clientAbort)});
        EXPECT_EQ(t.abortCode, 0xDEADBEEFu) << "only a server abort is reported as the abort code";
        if (c.upload) {
            for (std::size_t i = 8; i < t.storage.size(); ++i) ASSERT_EQ(t.storage[i], kGuard);
        }
        EXPECT_EQ(Tick(2000), Frames{}) << "nothing after the abort";
    }
}

}  // namespace

namespace {

const KIV_CanFrame kDnInit9 = Req({0xC6, 0x45, 0x23, 0x07, 9});
const KIV_CanFrame kWrite12 = Req({0x2B, 0x45, 0x23, 0x07, 1, 2});
const KIV_CanFrame kWriteAnswer = Resp({0x60, 0x45, 0x23, 0x07});

TEST_F(SdoBlock, RefusedBlockFallsBackToSegmentedInTheSameCall) {
    const KIV_CanFrame refusal = Resp({0x80, 0x45, 0x23, 0x07, 0x01, 0x00, 0x04, 0x05});
    Transfer& w = Start(false, kNine);
    Run({{{}, {kDnInit9}}, {{refusal}, {Req({0x21, 0x45, 0x23, 0x07, 9})}}});
    Transfer& r = Start(true, {}, 16, true, 0x3000);
    Run({{{kWriteAnswer}, {ReqSeg(0x00, Slice(kNine, 0, 7))}}});
    EXPECT_EQ(w.request.result, kPending);
    EXPECT_EQ(Tick(1), Frames{}) << "the read waits: the node is the write's alone";
    Offer(Resp({0x20}));
    Run({{{}, {ReqSeg(0x1B, Slice(kNine, 7, 2))}},
         {{Resp({0x30})}, {Req({0xA4, 0x00, 0x30, 0x07, 0x7F, 0x04})}, 6}});
    EXPECT_EQ(w.request.result, KIV_OK);
    EXPECT_EQ(w.abortCode, 0xDEADBEEFu);
    Run({{{Resp({0x80, 0x00, 0x30, 0x07, 0x01, 0x00, 0x04, 0x05})},
          {Req({0x40, 0x00, 0x30, 0x07})}}});
    EXPECT_EQ(r.request.result, kPending);
}

// Download pacing: frames per pass, a host that refuses a frame, and the
// low-latency mode that sends a sub-block in one pass.
TEST_F(SdoBlock, SubBlocksArePacedToWhatTheHostTakes) {
    const Bytes d = Pattern(35, 0x20);  // five segments
    std::vector<uint8_t> seqs;
    const auto seqsOf = [](const Frames& fs) {
        std::vector<uint8_t> out;
        for (const auto& f : fs) out.push_back(f.data[0]);
        return out;
    };
    stack_->sdoSettings.framesPerPass = 2;
    Transfer& t = Start(false, d);
    Tick(1);
    Offer(Resp({0xA4, 0x45, 0x23, 0x07, 127}));
    Tick(1);
    EXPECT_EQ(seqsOf(Tick(1)), (std::vector<uint8_t>{1, 2}));
    bus_.FailSendsWith(9);
    EXPECT_EQ(Tick(1).size(), 1u) << "one refused frame ends the pass";
    bus_.FailSendsWith(0);
    EXPECT_EQ(seqsOf(Tick(1)), (std::vector<uint8_t>{3, 4}));
    EXPECT_EQ(seqsOf(Tick(1)), (std::vector<uint8_t>{0x85}));
    EXPECT_EQ(stack_->stats.sendFailures.load(), 1u);
    Offer(Resp({0xA2, 5, 127}));
    Tick(2);
    Offer(Resp({0xA1}));
    Tick(4);
    EXPECT_EQ(t.request.result, KIV_OK);

    stack_->periodUs.store(1000);  // low-latency mode: no per-pass limit
    Start(false, d);
    Tick(1);
    Offer(Resp({0xA4, 0x45, 0x23, 0x07, 127}));
    EXPECT_EQ(seqsOf(Tick(1)), (std::vector<uint8_t>{1, 2, 3, 4, 0x85}));
}

// A write whose request was re-sent leaves answers the copies may still
// draw: the next write of that object waits for them, or for the time-out.
TEST_F(SdoBlock, NoWriteIsCompletedByTheAnswerToAnEarlierCopy) {
    struct Case {
        const char* name;
        uint32_t maxResends;
        bool copyAnswered;
        uint32_t waitMs;  // until the next write's first frame
    };
    const Case cases[] = {
        {"copy answered late", orukiv::SDO_RESEND_UNLIMITED, true, 50},
        {"copy never answered", orukiv::SDO_RESEND_UNLIMITED, false, 1000},
        {"no copies sent", 0, false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        stack_->sdoSettings.maxResends = c.maxResends;
        Transfer& first = Start(false, {1, 2}, 0, false);
        EXPECT_EQ(Tick(150).size(), c.maxResends == 0 ? 1u : 2u);
        Offer(kWriteAnswer);
        Tick(3);
        EXPECT_EQ(first.request.result, KIV_OK);
        Start(false, {1, 2}, 0, false);
        uint32_t waited = 1;
        for (; waited < 2000 && Tick(1).empty(); ++waited)
            if (waited == 49 && c.copyAnswered) Offer(kWriteAnswer);
        EXPECT_NEAR(waited, c.waitMs, c.waitMs / 10.0 + 2);
    }
}

TEST_F(SdoBlock, OneTransferPerNodeIsOptIn) {
    for (uint32_t one : {0u, 1u}) {
        SCOPED_TRACE(one);
        stack_->sdoSettings.onePerNode = one;
        Start(true, {}, 4, false, 0x1000);
        Start(true, {}, 4, false, 0x1001);
        EXPECT_EQ(Tick(1).size(), one ? 1u : 2u);
        Tick(1100);
    }
}

TEST_F(SdoBlock, ClientAbortIsRetriedWhileTheHostRefusesIt) {
    Transfer& t = Start(false, kNine);
    Tick(1);
    bus_.FailSendsWith(9);
    Tick(1000);
    EXPECT_EQ(t.request.result, kPending);
    bus_.FailSendsWith(0);
    EXPECT_EQ(Tick(5), Frames{Abort(0x05040000)});
    EXPECT_EQ(t.request.result, KIV_ERR_TIMEOUT);
}

TEST_F(SdoBlock, ProgressIsReportedAsTheTransferAdvances) {
    static std::vector<std::pair<uint32_t, uint32_t>> calls;
    calls.clear();
    stack_->sdoSettings.progress = [](uint8_t, uint16_t, uint8_t, uint32_t done, uint32_t total,
                                      void*) { calls.emplace_back(done, total); };
    stack_->sdoSettings.blockSize = 1;
    Start(true, {}, 16);
    Run({{{}, {Req({0xA4, 0x45, 0x23, 0x07, 1, 4})}},
         {{kNineAnswer}, {kUpStart}},
         {{kSeg1}, {Req({0xA2, 1, 1})}},
         {{RespSeg(0x81, Slice(kNine, 7, 2))}, {Req({0xA2, 1, 1})}},
         {{kEndNine}, {Req({0xA1})}}});
    EXPECT_EQ(calls, (std::vector<std::pair<uint32_t, uint32_t>>{{7, 9}, {9, 9}}));
}

}  // namespace

// ---------------------------------------------------------------------------
// KIV_Cancel: every transfer of the node ends at the next pass, with the
// client's abort frame once its initiate went out.

TEST_F(SdoBlock, CancelEndsTheNodesTransfersWithAnAbortOnceTheInitiateWentOut) {
    struct Case {
        const char* name;
        uint8_t cancelNode;
        std::function<void()> begin;  // the transfers, under way
        Frames atCancel;              // sent in the pass after KIV_Cancel
        std::vector<int32_t> results;
    };
    const KIV_CanFrame cancelAbort = Abort(0x08000000);
    const Case cases[] = {
        {"expedited read",
         5,
         [this] {
             Start(true, {}, 4, false);
             Tick();
         },
         {cancelAbort},
         {KIV_ERR_CANCELLED}},
        {"segmented write between segments",
         0,
         [this] {
             Start(false, kNine, 0, false);
             Tick();
             Offer(Resp({0x60, 0x45, 0x23, 0x07}));
             Tick();
         },
         {cancelAbort},
         {KIV_ERR_CANCELLED}},
        {"block read within a sub-block",
         5,
         [this] {
             Start(true, {}, 16);
             Run({{{}, {kUpInit}}, {{kNineAnswer}, {kUpStart}}});
             Offer(kSeg1);
         },
         {cancelAbort},
         {KIV_ERR_CANCELLED}},
        {"a read waiting behind a segmented write sends nothing",
         5,
         [this] {
             Start(false, kNine, 0, false);
             Start(true, {}, 4, false, 0x1000);
             Tick();
         },
         {cancelAbort},
         {KIV_ERR_CANCELLED, KIV_ERR_CANCELLED}},
        {"another node's cancel changes nothing",
         6,
         [this] {
             Start(true, {}, 4, false);
             Tick();
         },
         {},
         {kPending}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        all_.clear();
        c.begin();
        ASSERT_EQ(KIV_Cancel(stack_, c.cancelNode), KIV_OK);
        EXPECT_EQ(Tick(), c.atCancel);
        ASSERT_EQ(all_.size(), c.results.size());
        for (std::size_t i = 0; i < all_.size(); ++i)
            EXPECT_EQ(all_[i]->request.result, c.results[i]) << "transfer " << i;
    }
    EXPECT_EQ(KIV_Cancel(nullptr, 0), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_Cancel(stack_, 128), KIV_ERR_PARAM);
}

// An abort frame the host refuses at the cancel is sent again at the next
// pass; the call ends once it went out, still cancelled.
TEST_F(SdoBlock, CancelSendsARefusedAbortFrameAgain) {
    Transfer& t = Start(true, {}, 4, false);
    Tick();
    bus_.FailSendsWith(9);
    ASSERT_EQ(KIV_Cancel(stack_, 5), KIV_OK);
    EXPECT_EQ(Tick(), Frames{Abort(0x08000000)}) << "refused by the host";
    EXPECT_EQ(t.request.result, kPending);
    bus_.FailSendsWith(0);
    EXPECT_EQ(Tick(), Frames{Abort(0x08000000)});
    Tick();
    EXPECT_EQ(t.request.result, KIV_ERR_CANCELLED);
}

// With long reads refused, a read whose first answer announces more than
// the buffer holds ends at once: abort 0x06070012, no segment moves, the
// result as for any longer object (0, *received = capacity).
TEST_F(SdoBlock, ReadAnnouncedLongerThanTheBufferIsRefusedAtTheFirstAnswer) {
    struct Case {
        const char* name;
        bool block;
        KIV_CanFrame request;
        KIV_CanFrame answer;
    };
    const Case cases[] = {
        {"segmented", false, Req({0x40, 0x45, 0x23, 0x07}),
         Resp({0x41, 0x45, 0x23, 0x07, 200, 0, 0, 0})},
        {"block", true, kUpInit, kNineAnswer},
        {"block answered segmented", true, kUpInit, Resp({0x41, 0x45, 0x23, 0x07, 9, 0, 0, 0})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stack_->sdoSettings.refuseLong = 1;
        Transfer& t = Start(true, {}, 8, c.block);
        Run({{{}, {c.request}}, {{c.answer}, {Abort(0x06070012)}}});
        EXPECT_EQ(Tick(5), Frames{});
        EXPECT_EQ(t.request.result, KIV_OK);
        EXPECT_EQ(t.received, 8u);
        EXPECT_EQ(t.storage, Bytes(16, kGuard)) << "nothing stored";
    }
}

// ---------------------------------------------------------------------------
// Servers met in the field

// A server built without block transfer refuses the block initiate with
// 0x05040001 but names another object (often 0x0000:00): still a refusal,
// and the same call goes on at once as a normal transfer.
TEST_F(SdoBlock, BlockRefusalNamingAnotherObjectFallsBackAtOnce) {
    const KIV_CanFrame refusals[] = {
        Resp({0x80, 0x00, 0x00, 0x00, 0x01, 0x00, 0x04, 0x05}),
        Resp({0x80, 0x00, 0x10, 0x01, 0x01, 0x00, 0x04, 0x05}),
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(testing::Message() << "abort names " << int{refusal.data[2]});
        Transfer& r = Start(true, {}, 16);
        Run({{{}, {kUpInit}}, {{refusal}, {Req({0x40, 0x45, 0x23, 0x07})}}});
        Run({{{Resp({0x4B, 0x45, 0x23, 0x07, 1, 2})}, {}}});
        EXPECT_EQ(r.request.result, KIV_OK);
        EXPECT_EQ(r.abortCode, 0xDEADBEEFu) << "a refusal is not the server's abort";
        Transfer& w = Start(false, {1, 2});
        Run({{{}, {Req({0xC6, 0x45, 0x23, 0x07, 2})}},
             {{refusal}, {Req({0x2B, 0x45, 0x23, 0x07, 1, 2})}},
             {{Resp({0x60, 0x45, 0x23, 0x07})}, {}}});
        EXPECT_EQ(w.request.result, KIV_OK);
    }
}

// The refused block initiate was answered (by the refusal): it leaves no
// copy, so the next write of the object starts at once.
TEST_F(SdoBlock, WriteAfterABlockRefusalStartsAtOnce) {
    Transfer& first = Start(false, {1, 2});
    Run({{{}, {Req({0xC6, 0x45, 0x23, 0x07, 2})}},
         {{Resp({0x80, 0x45, 0x23, 0x07, 0x01, 0x00, 0x04, 0x05})},
          {Req({0x2B, 0x45, 0x23, 0x07, 1, 2})}},
         {{Resp({0x60, 0x45, 0x23, 0x07})}, {}}});
    EXPECT_EQ(first.request.result, KIV_OK);
    Start(false, {3, 4}, 0, false);
    EXPECT_EQ(Tick(1), Frames{Req({0x2B, 0x45, 0x23, 0x07, 3, 4})});
}

// Late answers to re-sent copies of a segment: an idle server aborts each
// copy (0x05040001). The node's next transfer of the object waits for them
// (or for the SDO time-out) and is never credited with them.
TEST_F(SdoBlock, LateAnswersToResentSegmentsAreNotCreditedToTheNextWrite) {
    const KIV_CanFrame idleAbort = Resp({0x80, 0x45, 0x23, 0x07, 0x01, 0x00, 0x04, 0x05});
    Transfer& first = Start(false, kNine, 0, false);
    Run({{{}, {Req({0x21, 0x45, 0x23, 0x07, 9})}},
         {{Resp({0x60, 0x45, 0x23, 0x07})}, {ReqSeg(0x00, Slice(kNine, 0, 7))}},
         {{Resp({0x20})}, {ReqSeg(0x1B, Slice(kNine, 7, 2))}, 1},
         {{}, {ReqSeg(0x1B, Slice(kNine, 7, 2))}, 100},
         {{}, {ReqSeg(0x1B, Slice(kNine, 7, 2))}, 100},
         {{Resp({0x30})}, {}, 5}});
    EXPECT_EQ(first.request.result, KIV_OK);
    Transfer& second = Start(false, {1, 2}, 0, false);
    Run({{{}, {}, 5},
         {{idleAbort}, {}, 5},
         {{idleAbort}, {Req({0x2B, 0x45, 0x23, 0x07, 1, 2})}},
         {{Resp({0x60, 0x45, 0x23, 0x07})}, {}}});
    EXPECT_EQ(second.request.result, KIV_OK);
    EXPECT_EQ(second.abortCode, 0xDEADBEEFu);
}

// A block client answered with the wrong command specifier aborts at once
// with 0x05040001.
TEST_F(SdoBlock, WrongCommandSpecifierIsAbortedAtOnce) {
    const Bytes d20 = Pattern(20, 0x40);
    struct Case {
        const char* name;
        bool upload;
        std::vector<Step> script;
    };
    const Case cases[] = {
        {"download answer to an upload initiate",
         true,
         {{{}, {kUpInit}}, {{Resp({0x60, 0x45, 0x23, 0x07})}, {Abort(0x05040001)}}}},
        {"upload answer to a download initiate",
         false,
         {{{}, {Req({0xC6, 0x45, 0x23, 0x07, 20})}},
          {{Resp({0xC6, 0x45, 0x23, 0x07, 20})}, {Abort(0x05040001)}}}},
        {"end answer instead of a sub-block acknowledgement",
         false,
         {{{}, {Req({0xC6, 0x45, 0x23, 0x07, 20})}},
          {{Resp({0xA4, 0x45, 0x23, 0x07, 127})},
           {ReqSeg(0x01, Slice(d20, 0, 7)), ReqSeg(0x02, Slice(d20, 7, 7)),
            ReqSeg(0x83, Slice(d20, 14, 6))}},
          {{Resp({0xA1})}, {Abort(0x05040001)}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Transfer& t = Start(c.upload, d20, 32);
        Run(c.script);
        Tick(5);
        EXPECT_EQ(t.request.result, KIV_ERR_PARAM);
    }
}

// The one-transfer-per-node setting is taken when the transfer is claimed:
// a transfer already waiting keeps waiting when it is switched off.
TEST_F(SdoBlock, OneTransferPerNodeIsTakenWhenClaimed) {
    stack_->sdoSettings.onePerNode = 1;
    Transfer& a = Start(true, {}, 4, false, 0x1000);
    Start(true, {}, 4, false, 0x1001);
    EXPECT_EQ(Tick(1).size(), 1u);
    stack_->sdoSettings.onePerNode = 0;
    EXPECT_EQ(Tick(79), Frames{}) << "the waiting read must not start beside the first";
    Offer(Resp({0x4B, 0x00, 0x10, 0x07, 1, 2}));
    EXPECT_EQ(Tick(2), Frames{Req({0x40, 0x01, 0x10, 0x07})});
    EXPECT_EQ(a.request.result, KIV_OK);
}

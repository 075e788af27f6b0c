// KIV_ReadObject / KIV_WriteObject end to end: a real instance with its
// worker, on a virtual bus, against simulated SDO servers. Real time, so the
// checks on durations are loose; the exact timing is covered by the channel
// tests with a fake clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "frames.h"
#include "orukiv/orukiv.h"
#include "orukiv_sim/sim.h"
#include "sdo_test_util.h"

using namespace std::chrono_literals;
using orukiv::sim::SdoFaults;
using orukiv::sim::SimNode;
using sdotest::Pattern;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint8_t kNode = 5;
constexpr uint8_t kSilentNode = 9;  // nobody answers for it
constexpr uint8_t kGuard = 0xA5;

class SdoEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        bus_.SetTrace(true);
        node_.AddU8(0x2000, 1, 0x5A);
        node_.AddU16(0x2000, 2, 0x1234);
        node_.AddU32(0x2000, 3, 0xCAFEF00D);
        node_.AddU16(0x2000, 4, 0xBEEF, orukiv::sim::Access::kRO);
        node_.AddVariableObject(0x3000, 1, Pattern(20), 100);
        node_.AddVariableObject(0x3000, 2, Pattern(70, 0x80), 100);
        KIV_InitParam p = host_.Param();
        handle_ = KIV_Init(&p);
        ASSERT_NE(handle_, nullptr);
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            EXPECT_EQ(KIV_Destroy(handle_), KIV_OK);
        }
    }

    struct ReadResult {
        int32_t rc;
        std::vector<uint8_t> data;  // the whole buffer, guards included
        uint32_t received;
        Clock::duration took;
    };
    ReadResult Read(uint8_t node, uint16_t index, uint8_t sub, uint32_t capacity) {
        ReadResult r;
        r.data.assign(capacity + 8, kGuard);
        r.received = 0xDEADBEEF;
        const auto start = Clock::now();
        r.rc = KIV_ReadObject(handle_, node, index, sub, r.data.data(), capacity, &r.received);
        r.took = Clock::now() - start;
        return r;
    }

    // Frames the library put on the bus.
    std::vector<KIV_CanFrame> HostFrames() {
        std::vector<KIV_CanFrame> out;
        for (const auto& e : bus_.Trace())
            if (e.senderId == host_.endpoint().Id()) out.push_back(e.frame);
        return out;
    }
    static bool IsAbortFrame(const KIV_CanFrame& f, uint8_t node, uint16_t index, uint8_t sub) {
        return f == sdotest::SdoFrame(0x600u + node, {0x80, static_cast<uint8_t>(index),
                                                      static_cast<uint8_t>(index >> 8), sub, 0x00,
                                                      0x00, 0x04, 0x05});
    }
    int CountAborts(uint8_t node, uint16_t index, uint8_t sub) {
        int n = 0;
        for (const auto& f : HostFrames()) n += IsAbortFrame(f, node, index, sub) ? 1 : 0;
        return n;
    }

    orukiv::sim::VirtualBus bus_;
    orukiv::sim::HostEndpoint host_{bus_};
    SimNode node_{bus_, kNode};
    KIV_Handle handle_ = nullptr;
};

std::vector<uint8_t> Head(const std::vector<uint8_t>& v, std::size_t n) {
    return sdotest::Slice(v, 0, n);
}
bool GuardsFrom(const std::vector<uint8_t>& v, std::size_t from) {
    return std::all_of(v.begin() + static_cast<std::ptrdiff_t>(from), v.end(),
                       [](uint8_t b) { return b == kGuard; });
}

TEST_F(SdoEndToEnd, ExpeditedReadsAndWrites) {
    struct Case {
        uint8_t sub;
        uint32_t capacity;
        std::vector<uint8_t> expected;
    };
    const Case cases[] = {
        {1, 1, {0x5A}},
        {2, 2, {0x34, 0x12}},
        {2, 1, {0x34}},  // only the low byte fits
        {3, 4, {0x0D, 0xF0, 0xFE, 0xCA}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "sub " << int{c.sub} << " capacity " << c.capacity);
        const auto r = Read(kNode, 0x2000, c.sub, c.capacity);
        EXPECT_EQ(r.rc, KIV_OK);
        EXPECT_EQ(r.received, c.expected.size());
        EXPECT_EQ(Head(r.data, c.expected.size()), c.expected);
        EXPECT_TRUE(GuardsFrom(r.data, c.capacity));
    }

    const uint8_t value[] = {0x78, 0x56};
    EXPECT_EQ(KIV_WriteObject(handle_, kNode, 0x2000, 2, value, 2), KIV_OK);
    EXPECT_EQ(node_.ValueU32(0x2000, 2), 0x5678u);
    const uint8_t u32[] = {1, 2, 3, 4};
    EXPECT_EQ(KIV_WriteObject(handle_, kNode, 0x2000, 3, u32, 4), KIV_OK);
    EXPECT_EQ(node_.ValueU32(0x2000, 3), 0x04030201u);

    // Refusals of the server end the transfer with its abort code.
    uint8_t buf[4];
    uint32_t n = 0, code = 0;
    EXPECT_EQ(KIV_ReadObjectEx(handle_, kNode, 0x2FFF, 0, buf, 4, &n, &code), KIV_ERR_ABORTED);
    EXPECT_EQ(code, 0x06020000u);
    EXPECT_EQ(KIV_WriteObjectEx(handle_, kNode, 0x2000, 4, value, 2, &code), KIV_ERR_ABORTED);
    EXPECT_EQ(code, 0x06010002u);
    EXPECT_EQ(KIV_WriteObjectEx(handle_, kNode, 0x2000, 3, u32, 4, &code), KIV_OK);
    EXPECT_EQ(code, 0u);
    // A 20-byte object read into a 4-byte buffer: the server answers 0x41,
    // the read goes on segmented and keeps what fits.
    const auto r4 = Read(kNode, 0x3000, 1, 4);
    EXPECT_EQ(r4.rc, KIV_OK);
    EXPECT_EQ(r4.received, 4u);
    EXPECT_EQ(Head(r4.data, 4), Pattern(4));
    EXPECT_TRUE(GuardsFrom(r4.data, 4));
    // And a 2-byte object into a large buffer: the expedited answer is taken.
    const auto r64 = Read(kNode, 0x2000, 2, 64);
    EXPECT_EQ(r64.rc, KIV_OK);
    EXPECT_EQ(r64.received, 2u);
    EXPECT_EQ(CountAborts(kNode, 0x3000, 1) + CountAborts(kNode, 0x2000, 2), 0);
}

TEST_F(SdoEndToEnd, SegmentedReadAndWriteOf20Bytes) {
    const auto r20 = Read(kNode, 0x3000, 1, 20);
    EXPECT_EQ(r20.rc, KIV_OK);
    EXPECT_EQ(r20.received, 20u);
    EXPECT_EQ(Head(r20.data, 20), Pattern(20));
    EXPECT_TRUE(GuardsFrom(r20.data, 20));

    const auto w20 = Pattern(20, 0x10);
    EXPECT_EQ(KIV_WriteObject(handle_, kNode, 0x3000, 1, w20.data(), 20), KIV_OK);
    EXPECT_EQ(node_.Value(0x3000, 1), w20);
    EXPECT_EQ(CountAborts(kNode, 0x3000, 1), 0);
}

TEST_F(SdoEndToEnd, SegmentedReadAndWriteOf1024BytesWithTheDefaultTimeout) {
    // The time-out bounds the server's silence, not the object's size.
    node_.AddVariableObject(0x3000, 5, Pattern(1024, 0x80), 1024);
    const auto r = Read(kNode, 0x3000, 5, 1100);
    EXPECT_EQ(r.rc, KIV_OK);
    EXPECT_EQ(r.received, 1024u);
    EXPECT_EQ(Head(r.data, 1024), Pattern(1024, 0x80));
    EXPECT_TRUE(GuardsFrom(r.data, 1100));

    const auto w = Pattern(1024, 0x40);
    EXPECT_EQ(KIV_WriteObject(handle_, kNode, 0x3000, 5, w.data(), 1024), KIV_OK);
    EXPECT_EQ(node_.Value(0x3000, 5), w);
    EXPECT_EQ(CountAborts(kNode, 0x3000, 5), 0);
}

TEST_F(SdoEndToEnd, InvalidPointersAndEmptyWritesAreRefusedWithoutTraffic) {
    uint8_t buf[4];
    uint32_t n = 0;
    EXPECT_EQ(KIV_ReadObject(handle_, kNode, 0x2000, 2, nullptr, 4, &n), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_ReadObject(handle_, kNode, 0x2000, 2, buf, 4, nullptr), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_WriteObject(handle_, kNode, 0x2000, 2, nullptr, 2), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_WriteObject(handle_, kNode, 0x2000, 2, buf, 0), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_ReadObject(nullptr, kNode, 0x2000, 2, buf, 4, &n), KIV_ERR_PARAM);
    EXPECT_EQ(n, 0u);
    std::this_thread::sleep_for(50ms);  // a queued request would be on the bus by now
    EXPECT_TRUE(HostFrames().empty());
    EXPECT_EQ(node_.RequestsSeen(), 0u);
}

TEST_F(SdoEndToEnd, SeventeenthConcurrentReadGetsNoResourceAtOnce) {
    constexpr int kReaders = 17;
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::future<ReadResult>> calls;
    for (int i = 0; i < kReaders; ++i) {
        calls.push_back(std::async(std::launch::async, [&, i] {
            ready.fetch_add(1);
            while (!go.load()) std::this_thread::yield();
            return Read(kSilentNode, 0x2000, static_cast<uint8_t>(i), 4);
        }));
    }
    while (ready.load() < kReaders) std::this_thread::yield();
    const auto start = Clock::now();
    go.store(true);
    std::vector<ReadResult> results;
    for (auto& c : calls) results.push_back(c.get());
    const auto all = Clock::now() - start;

    int timeouts = 0, refused = 0;
    for (const auto& r : results) {
        if (r.rc == KIV_ERR_TIMEOUT) {
            ++timeouts;
            EXPECT_GE(r.took, 900ms);
        } else if (r.rc == KIV_ERR_NO_RESOURCE) {
            ++refused;
            EXPECT_LT(r.took, 700ms) << "refused at once, not after a time-out";
        }
    }
    EXPECT_EQ(timeouts, 16);
    EXPECT_EQ(refused, 1);
    // Sixteen in parallel: the whole batch takes about one time-out.
    EXPECT_LT(all, 1900ms);
    // Each transfer's first request went out; none of them is segmented.
    std::vector<int> firstFrames(kReaders, 0);
    for (const auto& f : HostFrames()) {
        ASSERT_EQ(f.id, 0x600u + kSilentNode);
        ASSERT_EQ(f.data[0], 0x40);
        firstFrames[f.data[3]] = 1;
    }
    EXPECT_EQ(std::count(firstFrames.begin(), firstFrames.end(), 1), 16);
}

TEST_F(SdoEndToEnd, TimeoutChangeLeavesAWaitingReadAlone) {
    KIV_SetSDOTimeout(handle_, 600);
    auto longRead = std::async(std::launch::async, [&] { return Read(kSilentNode, 0x2000, 1, 4); });
    ASSERT_TRUE(bus_.WaitForTrace(1, 2s)) << "the first read never reached the bus";
    EXPECT_NE(KIV_SetSDOTimeout(handle_, 200), 0);
    const auto shortRead = Read(kSilentNode, 0x2000, 2, 4);
    const auto first = longRead.get();
    EXPECT_EQ(first.rc, KIV_ERR_TIMEOUT);
    EXPECT_EQ(shortRead.rc, KIV_ERR_TIMEOUT);
    EXPECT_GE(first.took, 500ms) << "the waiting read must keep its 600 ms";
    EXPECT_GE(shortRead.took, 150ms);
    EXPECT_LT(shortRead.took, 500ms) << "a read started after the change uses 200 ms";
}

// ---------------------------------------------------------------------------
// Servers that misbehave

TEST_F(SdoEndToEnd, DroppedAnswersAreRecoveredByResending) {
    KIV_SetSDOTimeout(handle_, 2500);
    SdoFaults f;
    f.seed = 7;
    f.dropShare = 0.3;
    f.repeatOnSameToggle = true;  // a repeated segment request is served again
    node_.SetFaults(f);

    const auto small = Read(kNode, 0x2000, 3, 4);
    EXPECT_EQ(small.rc, KIV_OK);
    EXPECT_EQ(Head(small.data, 4), (std::vector<uint8_t>{0x0D, 0xF0, 0xFE, 0xCA}));
    const auto seg = Read(kNode, 0x3000, 1, 20);
    EXPECT_EQ(seg.rc, KIV_OK);
    EXPECT_EQ(Head(seg.data, 20), Pattern(20));
    const auto w = Pattern(20, 0x61);
    EXPECT_EQ(KIV_WriteObject(handle_, kNode, 0x3000, 1, w.data(), 20), KIV_OK);
    EXPECT_EQ(node_.Value(0x3000, 1), w);
    EXPECT_GT(node_.RequestsSeen(), node_.AnswersSent())
        << "no answer was dropped: the seed tests nothing";
}

TEST_F(SdoEndToEnd, WrongToggleAnswersAreOutwaited) {
    KIV_SetSDOTimeout(handle_, 2500);
    SdoFaults f;
    f.wrongToggleAnswers = 1;
    node_.SetFaults(f);
    const auto seg = Read(kNode, 0x3000, 1, 20);
    EXPECT_EQ(seg.rc, KIV_OK);
    EXPECT_EQ(seg.received, 20u);
    EXPECT_EQ(Head(seg.data, 20), Pattern(20));

    node_.SetFaults(f);
    const auto w = Pattern(20, 0x22);
    EXPECT_EQ(KIV_WriteObject(handle_, kNode, 0x3000, 1, w.data(), 20), KIV_OK);
    EXPECT_EQ(node_.Value(0x3000, 1), w);

    // The library repeated the first segment request (0x60) and the first
    // segment (header 0x00) after the wrong-toggle answers.
    int uploadRequests = 0, firstSegments = 0;
    for (const auto& fr : HostFrames()) {
        uploadRequests += fr.data[0] == 0x60 ? 1 : 0;
        firstSegments += fr.data[0] == 0x00 && fr.data[1] == 0x22 ? 1 : 0;
    }
    EXPECT_EQ(uploadRequests, 3) << "two for segment 1 (one repeat), one for segment 3";
    EXPECT_EQ(firstSegments, 2);
}

TEST_F(SdoEndToEnd, ServerAbortsEndTransfersWithTheirCodeAndNoAbortOfOurs) {
    SdoFaults f;
    f.abortAfterSegments = 1;
    f.midTransferAbortCode = 0x08000022;
    node_.SetFaults(f);
    std::vector<uint8_t> buf(20);
    uint32_t n = 0xDEADBEEF, code = 0;
    EXPECT_EQ(KIV_ReadObjectEx(handle_, kNode, 0x3000, 1, buf.data(), 20, &n, &code),
              KIV_ERR_ABORTED);
    EXPECT_EQ(code, 0x08000022u);
    EXPECT_EQ(n, 0xDEADBEEFu);

    node_.SetFaults(f);
    const auto w = Pattern(20);
    EXPECT_EQ(KIV_WriteObjectEx(handle_, kNode, 0x3000, 2, w.data(), 20, &code), KIV_ERR_ABORTED);
    EXPECT_EQ(code, 0x08000022u);

    // A write the server refuses at the initiate.
    node_.SetFaults(SdoFaults{});
    EXPECT_EQ(KIV_WriteObjectEx(handle_, kNode, 0x2000, 4, w.data(), 6, &code), KIV_ERR_ABORTED);
    EXPECT_EQ(code, 0x06010002u);
    EXPECT_EQ(CountAborts(kNode, 0x3000, 1) + CountAborts(kNode, 0x3000, 2) +
                  CountAborts(kNode, 0x2000, 4),
              0);
    EXPECT_STREQ(KIV_SdoAbortText(0x06010002u), "attempt to write a read only object");
    EXPECT_STREQ(KIV_SdoAbortText(0x12345678u), "unknown abort code");
}

TEST_F(SdoEndToEnd, UploadsThatDisagreeWithTheirSizeFailAndAreAborted) {
    // Into a buffer smaller than the object: clipped.
    const auto small = Read(kNode, 0x3000, 1, 5);
    EXPECT_EQ(small.rc, KIV_OK);
    EXPECT_EQ(small.received, 5u);
    EXPECT_EQ(Head(small.data, 5), Pattern(5));
    EXPECT_TRUE(GuardsFrom(small.data, 5));

    // A server announcing 16 or 8 of its 20 bytes.
    SdoFaults f;
    for (uint32_t announced : {16u, 8u}) {
        SCOPED_TRACE(announced);
        f.announcedUploadSize = announced;
        node_.SetFaults(f);
        const auto r = Read(kNode, 0x3000, 1, 20);
        EXPECT_EQ(r.rc, KIV_ERR_PARAM);
        EXPECT_EQ(r.received, 0xDEADBEEFu);
        EXPECT_TRUE(GuardsFrom(r.data, 20));
    }
    EXPECT_EQ(CountAborts(kNode, 0x3000, 1), 2);

    // An expedited answer without size carries four bytes.
    f = SdoFaults{};
    f.expeditedUploadCommand = 0x42;
    node_.SetFaults(f);
    const auto r2 = Read(kNode, 0x2000, 2, 2);
    EXPECT_EQ(r2.rc, KIV_OK);
    EXPECT_EQ(r2.received, 2u);
}

TEST(SdoSharedNodes, ThreadsSharingNodesNeverGetAnotherTransfersData) {
    // Eight threads mix segmented and expedited reads and writes on the two
    // nodes of one instance, against strict servers.
    orukiv::sim::VirtualBus bus;
    orukiv::sim::HostEndpoint host{bus};
    SimNode a{bus, 5}, b{bus, 6};
    for (SimNode* n : {&a, &b}) {
        const auto base = static_cast<uint8_t>(n->NodeId() * 0x10);
        n->AddObject(0x3000, 1, Pattern(20, base), orukiv::sim::Access::kRO);
        n->AddU16(0x2000, 2, static_cast<uint16_t>(0x1200 + n->NodeId()));
        n->AddVariableObject(0x3000, 3, Pattern(20, 0), 20);
    }
    KIV_InitParam p = host.Param();
    KIV_Handle h = KIV_Init(&p);
    ASSERT_NE(h, nullptr);
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            const auto written = Pattern(20, static_cast<uint8_t>(0x40 + t));
            for (int i = 0; i < 12; ++i) {
                const uint8_t node = (i + t) % 2 == 0 ? 5 : 6;
                std::vector<uint8_t> buf(64, kGuard);
                uint32_t n = 0;
                int32_t rc = KIV_OK;
                switch ((i + t) % 3) {
                    case 0:
                        rc = KIV_ReadObject(h, node, 0x3000, 1, buf.data(), 64, &n);
                        if (rc == KIV_OK &&
                            (n != 20 || sdotest::Slice(buf, 0, 20) != Pattern(20, node * 0x10)))
                            ++wrong;
                        break;
                    case 1:
                        rc = KIV_ReadObject(h, node, 0x2000, 2, buf.data(), 64, &n);
                        if (rc == KIV_OK && (n != 2 || buf[0] != 0x00 + node || buf[1] != 0x12))
                            ++wrong;
                        break;
                    default:
                        rc = KIV_WriteObject(h, node, 0x3000, 3, written.data(), 20);
                        break;
                }
                if (rc != KIV_OK) ++failed;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(failed.load(), 0);
    for (SimNode* n : {&a, &b}) {
        for (const auto& w : n->Writes()) EXPECT_EQ(w.abortCode, 0u);
        const auto v = n->Value(0x3000, 3);
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->size(), 20u);
        EXPECT_EQ(*v, Pattern(20, (*v)[0])) << "one thread's whole pattern";
    }
    EXPECT_EQ(KIV_Destroy(h), KIV_OK);
}

}  // namespace

namespace {

// KIV_Cancel from the progress callback, on the worker: the read under way
// ends with KIV_ERR_CANCELLED and its abort frame on the bus; the next read
// of the same object runs normally.
TEST_F(SdoEndToEnd, CancelFromTheProgressCallbackEndsTheReadAndLaterCallsRun) {
    static KIV_Handle handle = nullptr;
    handle = handle_;
    ASSERT_EQ(KIV_SetTransferProgress(
                  handle_,
                  [](uint8_t node, uint16_t, uint8_t, uint32_t, uint32_t, void*) {
                      (void)KIV_Cancel(handle, node);
                  },
                  nullptr),
              KIV_OK);
    const auto cancelled = Read(kNode, 0x3000, 2, 100);
    EXPECT_EQ(cancelled.rc, KIV_ERR_CANCELLED);
    const auto abort = sdotest::SdoFrame(0x600u + kNode, {0x80, 0x00, 0x30, 2, 0, 0, 0, 0x08});
    const auto sent = HostFrames();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), abort), 1);
    ASSERT_EQ(KIV_SetTransferProgress(handle_, nullptr, nullptr), KIV_OK);
    const auto again = Read(kNode, 0x3000, 2, 100);
    EXPECT_EQ(again.rc, KIV_OK);
    EXPECT_EQ(Head(again.data, 70), Pattern(70, 0x80));
}

TEST_F(SdoEndToEnd, LongReadsRefusedAtTheFirstAnswerWhenAsked) {
    ASSERT_EQ(KIV_SetSdoRefuseLongReads(nullptr, 1), KIV_ERR_PARAM);
    ASSERT_EQ(KIV_SetSdoRefuseLongReads(handle_, 1), KIV_OK);
    const auto r = Read(kNode, 0x3000, 2, 10);
    EXPECT_EQ(r.rc, KIV_OK);
    EXPECT_EQ(r.received, 10u);
    const auto sent = HostFrames();
    ASSERT_EQ(sent.size(), 2u) << "initiate and abort, no segment request";
    EXPECT_EQ(sent[1],
              sdotest::SdoFrame(0x600u + kNode, {0x80, 0x00, 0x30, 2, 0x12, 0, 0x07, 0x06}));
}

}  // namespace

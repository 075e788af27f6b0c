// The strict block-transfer server as byte scripts: request frames in,
// answer frames out, grouped by service and by fault knob.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "orukiv_sim/sim.h"

using namespace orukiv::sim;

namespace {

using Bytes = std::vector<uint8_t>;

// A dictionary of variable objects up to 64 bytes; 0x2001:0 is read-only.
class Objects : public SdoObjects {
public:
    std::map<uint16_t, Bytes> values;

    uint32_t ReadForUpload(uint16_t index, uint8_t, Bytes& value) override {
        if (!values.count(index)) return abort_code::kNoObject;
        value = values[index];
        return 0;
    }
    uint32_t CheckDownload(uint16_t index, uint8_t, std::optional<uint32_t> size,
                           const Bytes&) override {
        if (!values.count(index)) return abort_code::kNoObject;
        if (index == 0x2001) return abort_code::kReadOnly;
        return size && *size > 64 ? abort_code::kLengthTooHigh : 0;
    }
    uint32_t CommitDownload(uint16_t index, uint8_t, const Bytes& data) override {
        values[index] = data;
        return 0;
    }
};

struct Step {
    const char* what;
    Bytes in;
    std::vector<Bytes> out;  // each padded to 8 bytes
};

Bytes Data(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(0x10 + i);
    return b;
}

// Segment `seq` (with 0x80 when last) carrying data bytes [from, from + 7).
Bytes Seg(uint8_t head, const Bytes& data, std::size_t from) {
    Bytes b{head};
    for (std::size_t i = from; i < from + 7; ++i) b.push_back(i < data.size() ? data[i] : 0);
    return b;
}

Bytes Abort(uint16_t index, uint32_t code) {
    return {0x80,
            static_cast<uint8_t>(index),
            static_cast<uint8_t>(index >> 8),
            0,
            static_cast<uint8_t>(code),
            static_cast<uint8_t>(code >> 8),
            static_cast<uint8_t>(code >> 16),
            static_cast<uint8_t>(code >> 24)};
}

Bytes Padded(Bytes b, std::size_t n) {
    b.resize(n, 0);
    return b;
}

Bytes EndWithCrc(uint8_t command, const Bytes& data) {
    const uint16_t crc = BlockCrc(data.data(), data.size());
    return {command, static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)};
}

void Play(SdoBlockServer& server, const std::vector<Step>& steps) {
    for (const Step& s : steps) {
        Bytes in = s.in;
        in.resize(8, 0);
        std::vector<KIV_CanFrame> frames;
        server.Serve(in.data(), frames);
        std::vector<Bytes> got;
        for (const KIV_CanFrame& f : frames) {
            EXPECT_EQ(f.id, 0x585u) << s.what;
            got.emplace_back(f.data, f.data + 8);
        }
        std::vector<Bytes> want = s.out;
        for (Bytes& b : want) b.resize(8, 0);
        EXPECT_EQ(got, want) << s.what;
    }
}

class BlockServer : public ::testing::Test {
protected:
    BlockServer() {
        objects.values[0x2000] = {};
        objects.values[0x2001] = {1, 2, 3};
    }
    Objects objects;
    SdoBlockServer server{5, objects};
};

const Bytes k17 = Data(17);  // three segments: 7, 7, 3

TEST_F(BlockServer, DownloadWithBlockSizesThatChangeBetweenSubBlocks) {
    server.SetSettings({.blockSizes = {2, 1}});
    Play(
        server,
        {
            {"initiate, CRC, size 17", {0xC6, 0x00, 0x20, 0x00, 17}, {{0xA4, 0x00, 0x20, 0x00, 2}}},
            {"segment 1", Seg(0x01, k17, 0), {}},
            {"segment 2 ends the sub-block", Seg(0x02, k17, 7), {{0xA2, 2, 1}}},
            {"last segment, sub-block of 1", Seg(0x81, k17, 14), {{0xA2, 1, 1}}},
            {"end: 4 unused bytes", EndWithCrc(0xC1 | (4 << 2), k17), {{0xA1}}},
        });
    EXPECT_EQ(objects.values[0x2000], k17);
    EXPECT_FALSE(server.Active());
}

TEST_F(BlockServer, DownloadSequenceErrorIsAcknowledgedWithTheLastGoodNumber) {
    server.SetSettings({.blockSizes = {3}, .dropSegment = 2});
    Play(server, {
                     {"initiate", {0xC6, 0x00, 0x20, 0x00, 17}, {{0xA4, 0x00, 0x20, 0x00, 3}}},
                     {"1", Seg(0x01, k17, 0), {}},
                     {"2 is lost", Seg(0x02, k17, 7), {}},
                     {"3 out of order: ack 1", Seg(0x83, k17, 14), {{0xA2, 1, 3}}},
                     {"again from 2, numbered 1", Seg(0x01, k17, 7), {}},
                     {"then the last", Seg(0x82, k17, 14), {{0xA2, 2, 3}}},
                     {"end", EndWithCrc(0xC1 | (4 << 2), k17), {{0xA1}}},
                 });
    EXPECT_EQ(objects.values[0x2000], k17);
}

TEST_F(BlockServer, DownloadEndChecks) {
    const Bytes k8 = Data(8);
    const std::vector<Step> twoSegments = {
        {"initiate", {0xC6, 0x00, 0x20, 0x00, 8}, {{0xA4, 0x00, 0x20, 0x00, 127}}},
        {"1", Seg(0x01, k8, 0), {}},
        {"2, last", Seg(0x82, k8, 7), {{0xA2, 2, 127}}},
    };
    const struct {
        const char* what;
        BlockServerSettings settings;
        Bytes end;
        Bytes answer;
    } cases[] = {
        {"good", {}, EndWithCrc(0xC1 | (6 << 2), k8), {0xA1}},
        {"CRC over the padding too",
         {},
         EndWithCrc(0xC1 | (6 << 2), Padded(k8, 14)),
         Abort(0x2000, 0x05040004)},
        {"corrupted CRC knob",
         {.corruptCrc = true},
         EndWithCrc(0xC1 | (6 << 2), k8),
         Abort(0x2000, 0x05040004)},
        {"unused count off by one: 7 bytes, 8 indicated",
         {},
         EndWithCrc(0xC1 | (7 << 2), k8),
         Abort(0x2000, 0x05040001)},
        {"5 unused: 9 bytes, 8 indicated",
         {},
         EndWithCrc(0xC1 | (5 << 2), Data(9)),
         Abort(0x2000, 0x06070010)},
        {"a segment in place of the end", {}, Seg(0x03, k8, 0), Abort(0x2000, 0x05040001)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        server.SetSettings(c.settings);
        objects.values[0x2000] = {};
        Play(server, twoSegments);
        Play(server, {{"end", c.end, {c.answer}}});
        EXPECT_EQ(objects.values[0x2000], c.answer[0] == 0xA1 ? k8 : Bytes{});
        EXPECT_FALSE(server.Active());
    }
}

TEST_F(BlockServer, UploadSubBlocksAcknowledgementsAndEnd) {
    objects.values[0x2000] = k17;
    Play(
        server,
        {
            {"initiate, blksize 2", {0xA4, 0x00, 0x20, 0x00, 2, 0}, {{0xC6, 0x00, 0x20, 0x00, 17}}},
            {"start", {0xA3}, {Seg(0x01, k17, 0), Seg(0x02, k17, 7)}},
            {"only 1 came: again from the second",
             {0xA2, 1, 2},
             {Seg(0x01, k17, 7), Seg(0x82, k17, 14)}},
            {"both", {0xA2, 2, 5}, {EndWithCrc(0xC1 | (4 << 2), k17)}},
            {"client's end answer", {0xA1}, {}},
        });
    EXPECT_FALSE(server.Active());
}

TEST_F(BlockServer, UploadKnobsAndRefusals) {
    objects.values[0x2000] = k17;
    const Bytes initiate = {0xA4, 0x00, 0x20, 0x00, 127, 0};
    const Bytes answer = {0xC6, 0x00, 0x20, 0x00, 17};
    const struct {
        const char* what;
        BlockServerSettings settings;
        std::vector<Step> steps;
    } cases[] = {
        {"a dropped segment",
         {.dropSegment = 2},
         {{"initiate", initiate, {answer}},
          {"start: 2 is lost", {0xA3}, {Seg(0x01, k17, 0), Seg(0x83, k17, 14)}},
          {"ack 1: again", {0xA2, 1, 127}, {Seg(0x01, k17, 7), Seg(0x82, k17, 14)}}}},
        {"abort mid-block",
         {.abortAfterSegments = 1, .midBlockAbortCode = 0x08000020},
         {{"initiate", initiate, {answer}},
          {"start", {0xA3}, {Seg(0x01, k17, 0), Abort(0x2000, 0x08000020)}}}},
        {"corrupted CRC",
         {.corruptCrc = true},
         {{"initiate", initiate, {answer}},
          {"start", {0xA3}, {Seg(0x01, k17, 0), Seg(0x02, k17, 7), Seg(0x83, k17, 14)}},
          {"ack",
           {0xA2, 3, 127},
           {{0xD1, static_cast<uint8_t>((BlockCrc(k17.data(), 17) ^ 0x5A5A) & 0xFF),
             static_cast<uint8_t>((BlockCrc(k17.data(), 17) ^ 0x5A5A) >> 8)}}}}},
        {"refused", {.refuse = true}, {{"initiate", initiate, {Abort(0x2000, 0x05040001)}}}},
        {"client blksize 128",
         {},
         {{"initiate", {0xA4, 0x00, 0x20, 0x00, 128}, {Abort(0x2000, 0x05040002)}}}},
        {"ack beyond the segments sent",
         {},
         {{"initiate", {0xA4, 0x00, 0x20, 0x00, 2}, {{0xC6, 0x00, 0x20, 0x00, 17}}},
          {"start", {0xA3}, {Seg(0x01, k17, 0), Seg(0x02, k17, 7)}},
          {"ack 3 of 2", {0xA2, 3, 2}, {Abort(0x2000, 0x05040003)}}}},
        {"blksize 0 in an ack",
         {},
         {{"initiate", initiate, {answer}},
          {"start", {0xA3}, {Seg(0x01, k17, 0), Seg(0x02, k17, 7), Seg(0x83, k17, 14)}},
          {"ack", {0xA2, 3, 0}, {Abort(0x2000, 0x05040002)}}}},
        {"client abort: no answer",
         {},
         {{"initiate", initiate, {answer}}, {"abort", Abort(0x2000, 0x05040000), {}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        server.SetSettings(c.settings);
        Play(server, c.steps);
        server.Reset();
    }
}

TEST_F(BlockServer, SmallObjectAtTheThresholdGoesToTheNormalProtocol) {
    objects.values[0x2000] = k17;
    std::vector<KIV_CanFrame> out;
    const uint8_t atThreshold[8] = {0xA4, 0x00, 0x20, 0x00, 127, 17};
    EXPECT_EQ(server.Serve(atThreshold, out), SdoBlockServer::Outcome::kNormalUpload);
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(server.Active());
}

}  // namespace

// Configuration download end to end: a DCF and its concise DCF applied to a
// simulated I/O module whose PDO records keep the CiA 301 rules, refusals
// reported with their entry, malformed concise DCFs refused unsent.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "orukiv/orukiv_od.h"
#include "orukiv_sim/sim.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Key = std::pair<uint16_t, uint8_t>;
using orukiv::sim::Access;
constexpr uint8_t kNode = 10;

struct OdPtr {
    KIV_Od* od;
    ~OdPtr() { KIV_OdFree(od); }
};

KIV_Od* LoadDcf(uint8_t nodeId) {
    KIV_OdError error{};
    KIV_Od* od = KIV_OdLoadFile((std::string(ORUKIV_OD_FILES) + "/io_configure.dcf").c_str(),
                                nodeId, &error);
    EXPECT_NE(od, nullptr) << error.line << ": " << error.message;
    return od;
}

// A strict simulated I/O module with the manufacturer objects of the DCF,
// and a library instance in low-latency mode.
class Configure : public ::testing::Test {
protected:
    void SetUp() override {
        io_.AddU16(0x2000, 0, 0);
        io_.AddU16(0x2001, 0, 0);
        io_.AddU32(0x2002, 0, 0);
        io_.AddVariableObject(0x2003, 0, {'-'}, 64);
        io_.AddObject(0x2004, 0, {0, 0, 0, 0});
        KIV_InitParam p = host_.Param();
        handle_ = KIV_Init(&p);
        ASSERT_NE(handle_, nullptr);
        ASSERT_EQ(KIV_SetWorkerTiming(handle_, 200, KIV_TIMING_WAKE_ON_REQUEST), KIV_OK);
    }
    void TearDown() override { EXPECT_EQ(KIV_Destroy(handle_), KIV_OK); }

    std::vector<Key> WrittenKeys() const {
        std::vector<Key> keys;
        for (const auto& w : io_.Writes()) keys.emplace_back(w.index, w.subIndex);
        return keys;
    }
    // The node's value of every entry of od with a ParameterValue.
    std::map<Key, Bytes> NodeValues(const KIV_Od* od) const {
        std::map<Key, Bytes> values;
        for (uint32_t i = 0; i < KIV_OdCount(od); ++i) {
            KIV_OdEntry e;
            KIV_OdEntryAt(od, i, &e);
            if ((e.flags & KIV_OD_HAS_VALUE) != 0)
                values[{e.index, e.subIndex}] = *io_.Value(e.index, e.subIndex);
        }
        return values;
    }

    orukiv::sim::VirtualBus bus_;
    orukiv::sim::HostEndpoint host_{bus_};
    orukiv::sim::SimIoNode io_{bus_, kNode};
    KIV_Handle handle_ = nullptr;
};

// The CiA 301 order: each PDO made invalid, its mapping count 0, entries,
// count, the other parameters, its COB-ID last.
const std::vector<Key> kProcedure = {
    {0x1017, 0},  // 0x1008 is const: skipped
    {0x1400, 1}, {0x1600, 0}, {0x1600, 1}, {0x1600, 2}, {0x1600, 0}, {0x1400, 2}, {0x1400, 1},
    {0x1800, 1}, {0x1A00, 0}, {0x1A00, 1}, {0x1A00, 2}, {0x1A00, 0}, {0x1800, 2}, {0x1800, 1},
    {0x2000, 0}, {0x2001, 0}, {0x2002, 0}, {0x2003, 0}, {0x2004, 0},
};

TEST_F(Configure, DcfIsAppliedByTheCiA301ProcedureAndReadsBack) {
    OdPtr dcf{LoadDcf(kNode)};
    ASSERT_NE(dcf.od, nullptr);
    KIV_ConfigReport report{};
    ASSERT_EQ(KIV_ConfigureNode(handle_, kNode, dcf.od, &report), KIV_OK);
    EXPECT_EQ(WrittenKeys(), kProcedure);
    EXPECT_EQ(report.steps, kProcedure.size());
    EXPECT_EQ(report.written, kProcedure.size());
    EXPECT_EQ(report.failed, 0u);
    EXPECT_EQ(report.skipped, 2u);  // 0x1008 (const), 0x1600:3 (past the count)

    // Every written entry reads back as the DCF says, through SDO.
    for (uint32_t i = 0; i < KIV_OdCount(dcf.od); ++i) {
        KIV_OdEntry e;
        KIV_OdEntryAt(dcf.od, i, &e);
        if ((e.flags & KIV_OD_HAS_VALUE) == 0 || e.access == KIV_OD_ACCESS_CONST ||
            (e.index == 0x1600 && e.subIndex == 3))
            continue;
        uint8_t buffer[64];
        uint32_t received = 0;
        ASSERT_EQ(
            KIV_ReadObject(handle_, kNode, e.index, e.subIndex, buffer, sizeof buffer, &received),
            KIV_OK);
        EXPECT_EQ(Bytes(buffer, buffer + received), Bytes(e.value, e.value + e.valueSize))
            << std::hex << e.index << " sub " << int(e.subIndex);
    }
    EXPECT_EQ(io_.ValueU32(0x1800, 1), 0x280u + kNode);  // valid, on the new COB-ID
    EXPECT_EQ(io_.ValueU32(0x1400, 1), 0x300u + kNode);
}

TEST_F(Configure, ConciseDcfGivesTheSameDictionary) {
    OdPtr dcf{LoadDcf(kNode)};
    ASSERT_NE(dcf.od, nullptr);
    uint32_t size = 0;
    ASSERT_EQ(KIV_OdToConciseDcf(dcf.od, nullptr, 0, &size), KIV_ERR_PARAM);  // asks for the size
    Bytes concise(size);
    ASSERT_EQ(KIV_OdToConciseDcf(dcf.od, concise.data(), size, &size), KIV_OK);
    ASSERT_EQ(concise.size(), size);
    EXPECT_EQ(concise[0] | concise[1] << 8, static_cast<int>(kProcedure.size()));

    KIV_ConfigReport report{};
    ASSERT_EQ(KIV_WriteConciseDcf(handle_, kNode, concise.data(), size, &report), KIV_OK);
    EXPECT_EQ(WrittenKeys(), kProcedure);
    EXPECT_EQ(report.written, kProcedure.size());
    const std::map<Key, Bytes> viaConcise = NodeValues(dcf.od);

    // The same DCF applied directly to a second, fresh node.
    orukiv::sim::SimIoNode other(bus_, kNode + 1);
    other.AddU16(0x2000, 0, 0);
    other.AddU16(0x2001, 0, 0);
    other.AddU32(0x2002, 0, 0);
    other.AddVariableObject(0x2003, 0, {'-'}, 64);
    other.AddObject(0x2004, 0, {0, 0, 0, 0});
    OdPtr dcfOther{LoadDcf(kNode + 1)};
    ASSERT_EQ(KIV_ConfigureNode(handle_, kNode + 1, dcfOther.od, nullptr), KIV_OK);
    for (const auto& [key, value] : viaConcise) {
        Bytes expected = *other.Value(key.first, key.second);
        if (key == Key{0x1400, 1} || key == Key{0x1800, 1})
            expected[0] = value[0];  // the node id part
        EXPECT_EQ(value, expected) << std::hex << key.first << " sub " << int(key.second);
    }
}

TEST_F(Configure, RefusalIsReportedWithItsEntryAndAbortCode) {
    // 0x2001 becomes read-only on the node: its write is aborted.
    io_.RemoveObject(0x2001, 0);
    io_.AddU16(0x2001, 0, 0, Access::kRO);
    OdPtr dcf{LoadDcf(kNode)};
    ASSERT_NE(dcf.od, nullptr);
    const std::size_t failing = 16;  // 0x2001 in kProcedure

    struct Row {
        uint32_t flags;
        uint32_t written;
        std::size_t attempted;
    } rows[] = {
        {0, static_cast<uint32_t>(failing), failing + 1},
        {KIV_CONFIG_CONTINUE, static_cast<uint32_t>(kProcedure.size() - 1), kProcedure.size()}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.flags);
        io_.ClearWrites();
        KIV_ConfigReport report{};
        report.flags = row.flags;
        EXPECT_EQ(KIV_ConfigureNode(handle_, kNode, dcf.od, &report), KIV_ERR_ABORTED);
        EXPECT_EQ(report.flags, row.flags);
        EXPECT_EQ(report.failed, 1u);
        EXPECT_EQ(report.written, row.written);
        EXPECT_EQ(report.failedIndex, 0x2001);
        EXPECT_EQ(report.failedSubIndex, 0);
        EXPECT_EQ(report.failedResult, KIV_ERR_ABORTED);
        EXPECT_EQ(report.abortCode, orukiv::sim::abort_code::kReadOnly);
        EXPECT_EQ(io_.Writes().size(), row.attempted);
    }
}

TEST_F(Configure, NothingIsSentForMalformedConciseDcfsOrUnresolvedNodeIds) {
    const Bytes rows[] = {
        {},                                                         // no count
        {1, 0, 0},                                                  // short count
        {1, 0, 0, 0},                                               // an entry missing
        {1, 0, 0, 0, 0x17, 0x10, 0, 2, 0, 0, 0, 0xFA},              // data past the end
        {1, 0, 0, 0, 0x17, 0x10, 0, 0, 0, 0, 0},                    // size 0
        {1, 0, 0, 0, 0x17, 0x10, 0, 1, 0, 0, 0, 0xFA, 0x00},        // a byte after the last entry
        {0xFF, 0xFF, 0xFF, 0xFF, 0x17, 0x10, 0, 1, 0, 0, 0, 0xFA},  // count past the end
    };
    for (const Bytes& row : rows) {
        KIV_ConfigReport report{};
        EXPECT_EQ(KIV_WriteConciseDcf(handle_, kNode, row.data(), static_cast<uint32_t>(row.size()),
                                      &report),
                  KIV_ERR_PARAM);
        EXPECT_EQ(report.written + report.steps, 0u);
    }
    // A DCF read without a node id: its $NODEID COB-IDs cannot be written.
    OdPtr unresolved{LoadDcf(0)};
    KIV_ConfigReport report{};
    EXPECT_EQ(KIV_ConfigureNode(handle_, kNode, unresolved.od, &report), KIV_ERR_PARAM);
    EXPECT_EQ(report.failedIndex, 0x1400);
    EXPECT_EQ(report.failedSubIndex, 1);
    uint32_t size = 0;
    EXPECT_EQ(KIV_OdToConciseDcf(unresolved.od, nullptr, 0, &size), KIV_ERR_PARAM);
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(io_.Writes().empty());

    const Bytes one = {1, 0, 0, 0, 0x17, 0x10, 0, 2, 0, 0, 0, 0xFA, 0x00};  // well formed
    EXPECT_EQ(
        KIV_WriteConciseDcf(handle_, kNode, one.data(), static_cast<uint32_t>(one.size()), nullptr),
        KIV_OK);
    EXPECT_EQ(io_.ValueU32(0x1017, 0), 250u);
}

}  // namespace

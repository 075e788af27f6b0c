// The simulated nodes and their EDS files (sim/eds/) agree: every entry a
// file lists answers an SDO read with the size its type implies and its
// default value, writable entries are not read-only on the node, read-only
// ones refuse writes, and the node has no object the file leaves out.
#include "orukiv_sim/sim_eds.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "orukiv/orukiv_od.h"
#include "orukiv_sim/sim.h"

using orukiv::sim::SimEdsOf;
using orukiv::sim::SimNetwork;
using orukiv::sim::SimNode;

namespace {

using OdPtr = std::unique_ptr<KIV_Od, void (*)(KIV_Od*)>;

class SimEds : public ::testing::TestWithParam<uint8_t> {
protected:
    void SetUp() override {
        KIV_InitParam p = host_.Param();
        handle_ = KIV_Init(&p);
        ASSERT_NE(handle_, nullptr);
        // The nodes answer inline: woken per request, each transfer is quick.
        ASSERT_EQ(KIV_SetWorkerTiming(handle_, 1000,
                                      KIV_TIMING_WAKE_ON_REQUEST | KIV_TIMING_DRAIN_RECEIVE),
                  KIV_OK);
    }
    void TearDown() override {
        if (handle_) KIV_Destroy(handle_);
    }
    SimNode& Node() {
        return GetParam() == SimNetwork::kDriveNode ? static_cast<SimNode&>(net_.Drive())
                                                    : static_cast<SimNode&>(net_.Io());
    }
    OdPtr Load() {
        const std::string path =
            std::string(ORUKIV_SIM_EDS_DIR "/") + SimEdsOf(GetParam()).fileName;
        KIV_OdError error{};
        OdPtr od(KIV_OdLoadFile(path.c_str(), GetParam(), &error), KIV_OdFree);
        EXPECT_NE(od, nullptr) << path << ":" << error.line << ": " << error.message;
        return od;
    }

    SimNetwork net_;  // not started: the nodes keep their power-on values
    orukiv::sim::HostEndpoint host_{net_.Bus()};
    KIV_Handle handle_ = nullptr;
};

TEST_P(SimEds, EveryEntryAnswersWithItsTypeSizeAndDefault) {
    const OdPtr od = Load();
    ASSERT_NE(od, nullptr);
    const uint32_t count = KIV_OdCount(od.get());
    ASSERT_GT(count, 100u);
    for (uint32_t i = 0; i < count; ++i) {
        KIV_OdEntry e{};
        ASSERT_EQ(KIV_OdEntryAt(od.get(), i, &e), 0);
        SCOPED_TRACE(::testing::Message()
                     << std::hex << "0x" << e.index << ":" << +e.subIndex << " " << e.name);
        ASSERT_NE(e.access, KIV_OD_ACCESS_NONE);
        ASSERT_EQ(e.flags & KIV_OD_AS_DOMAIN, 0u) << "a type the file should name";
        // An empty DOMAIN (a program store) has no value to state.
        if (e.dataType != KIV_OD_DOMAIN) {
            ASSERT_NE(e.flags & KIV_OD_HAS_DEFAULT, 0u) << "every entry states its power-on value";
        }
        std::vector<uint8_t> data(256);
        uint32_t got = 0, abortCode = 0;
        ASSERT_EQ(KIV_ReadObjectEx(handle_, GetParam(), e.index, e.subIndex, data.data(),
                                   static_cast<uint32_t>(data.size()), &got, &abortCode),
                  KIV_OK)
            << "abort 0x" << abortCode;
        data.resize(got);
        // The default is held in the type's encoding: its size is the
        // type's (a string's is its length).
        EXPECT_EQ(data, std::vector<uint8_t>(e.defaultValue, e.defaultValue + e.defaultSize));

        // The access the file states is the node's: writing the value back
        // is refused as read-only exactly when the file says so. (A valid
        // PDO's mapping refuses writes for another reason.)
        const int32_t r = KIV_WriteObjectEx(handle_, GetParam(), e.index, e.subIndex, data.data(),
                                            got, &abortCode);
        const bool readOnly = e.access == KIV_OD_ACCESS_RO || e.access == KIV_OD_ACCESS_CONST;
        EXPECT_EQ(r == KIV_ERR_ABORTED && abortCode == orukiv::sim::abort_code::kReadOnly, readOnly)
            << "result " << r << " abort 0x" << abortCode;
    }
}

TEST_P(SimEds, TheNodeHasNoObjectTheFileLeavesOut) {
    const OdPtr od = Load();
    ASSERT_NE(od, nullptr);
    int objects = 0;
    for (uint32_t index = 0x1000; index <= 0x6FFF; ++index) {
        for (uint32_t sub = 0; sub <= 8; ++sub) {
            if (!Node().Value(static_cast<uint16_t>(index), static_cast<uint8_t>(sub))) continue;
            ++objects;
            KIV_OdEntry e{};
            EXPECT_EQ(
                KIV_OdFind(od.get(), static_cast<uint16_t>(index), static_cast<uint8_t>(sub), &e),
                0)
                << std::hex << "0x" << index << ":" << sub << " is not in the EDS";
        }
    }
    EXPECT_EQ(static_cast<uint32_t>(objects), KIV_OdCount(od.get()));
}

INSTANTIATE_TEST_SUITE_P(Nodes, SimEds,
                         ::testing::Values(SimNetwork::kDriveNode, SimNetwork::kIoNode));

}  // namespace

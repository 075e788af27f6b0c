// Every export given a null handle, through the shipped shared library: 1
// (KIV_SetSDOTimeout: 0), at once, with every other argument valid. The
// table is checked against the list of exports declared in orukiv.h, so a
// new export without a row here fails the build's tests.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <sstream>
#include <string>

#include "orukiv/orukiv.h"

#ifndef ORUKIV_HEADER_EXPORTS
#error "ORUKIV_HEADER_EXPORTS must list the exports declared in orukiv.h"
#endif

namespace {

struct NullHandleCase {
    const char* name;
    std::function<int32_t()> call;
    int32_t expected;
};

uint8_t g_buffer[16] = {1, 2, 3, 4};
uint32_t g_count = 0;
uint32_t g_abort = 7;
uint16_t g_u16 = 0;
int16_t g_i16 = 0;
int32_t g_i32 = 0;
KIV_NodeStatus g_status{};
KIV_Stats g_stats{};
KIV_CyclicStats g_cyclicStats{};
uint32_t g_ids[4] = {};
const KIV_BootParam g_boot{};
KIV_BootReport g_bootReport{};
const KIV_PdoMapEntry g_map[1] = {KIV_MakePdoMapEntry(0x6041, 0, 16)};
const KIV_CanFrame g_frame = {0x181, {0}, 0, 0, 1, {0}, {7}};

std::vector<NullHandleCase> Cases() {
    return {
        {"KIV_Destroy", [] { return KIV_Destroy(nullptr); }, KIV_ERR_PARAM},
        {"KIV_InputFrame", [] { return KIV_InputFrame(nullptr, &g_frame); }, KIV_ERR_PARAM},
        {"KIV_NMT_SendCommand", [] { return KIV_NMT_SendCommand(nullptr, 1, 1); }, KIV_ERR_PARAM},
        {"KIV_NMT_SendHeartbeat", [] { return KIV_NMT_SendHeartbeat(nullptr, 1, 5); },
         KIV_ERR_PARAM},
        {"KIV_SendNodeGuardRequest", [] { return KIV_SendNodeGuardRequest(nullptr, 1); },
         KIV_ERR_PARAM},
        {"KIV_SendSYNC", [] { return KIV_SendSYNC(nullptr); }, KIV_ERR_PARAM},
        {"KIV_SendEMCY", [] { return KIV_SendEMCY(nullptr, 1, 0x1000, 1, g_buffer); },
         KIV_ERR_PARAM},
        {"KIV_SendPDO", [] { return KIV_SendPDO(nullptr, 0x201, g_buffer, 2); }, KIV_ERR_PARAM},
        {"KIV_SendRemotePDO", [] { return KIV_SendRemotePDO(nullptr, 0x181); }, KIV_ERR_PARAM},
        {"KIV_SendTimestamp", [] { return KIV_SendTimestamp(nullptr, 2024, 1, 1, 12, 0, 0, 500); },
         KIV_ERR_PARAM},
        {"KIV_ReadObject",
         [] { return KIV_ReadObject(nullptr, 1, 0x1000, 0, g_buffer, 4, &g_count); },
         KIV_ERR_PARAM},
        {"KIV_WriteObject", [] { return KIV_WriteObject(nullptr, 1, 0x2000, 0, g_buffer, 4); },
         KIV_ERR_PARAM},
        {"KIV_ReadObjectEx",
         [] { return KIV_ReadObjectEx(nullptr, 1, 0x1000, 0, g_buffer, 4, &g_count, &g_abort); },
         KIV_ERR_PARAM},
        {"KIV_WriteObjectEx",
         [] { return KIV_WriteObjectEx(nullptr, 1, 0x2000, 0, g_buffer, 4, &g_abort); },
         KIV_ERR_PARAM},
        {"KIV_SetSDOTimeout", [] { return KIV_SetSDOTimeout(nullptr, 500); }, 0},
        {"KIV_ReadObjectBlock",
         [] { return KIV_ReadObjectBlock(nullptr, 1, 0x1000, 0, g_buffer, 4, &g_count, &g_abort); },
         KIV_ERR_PARAM},
        {"KIV_WriteObjectBlock",
         [] { return KIV_WriteObjectBlock(nullptr, 1, 0x2000, 0, g_buffer, 4, &g_abort); },
         KIV_ERR_PARAM},
        {"KIV_SetSdoRetry", [] { return KIV_SetSdoRetry(nullptr, 100, 0); }, KIV_ERR_PARAM},
        {"KIV_SetSdoOneTransferPerNode", [] { return KIV_SetSdoOneTransferPerNode(nullptr, 1); },
         KIV_ERR_PARAM},
        {"KIV_SetBlockTransfer", [] { return KIV_SetBlockTransfer(nullptr, 127, 4, 127); },
         KIV_ERR_PARAM},
        {"KIV_SetTransferProgress",
         [] { return KIV_SetTransferProgress(nullptr, nullptr, nullptr); }, KIV_ERR_PARAM},
        {"KIV_SetSdoRefuseLongReads", [] { return KIV_SetSdoRefuseLongReads(nullptr, 1); },
         KIV_ERR_PARAM},
        {"KIV_Cancel", [] { return KIV_Cancel(nullptr, 0); }, KIV_ERR_PARAM},
        {"KIV_SetWorkerTiming",
         [] { return KIV_SetWorkerTiming(nullptr, 1000, KIV_TIMING_WAKE_ON_REQUEST); },
         KIV_ERR_PARAM},
        {"KIV_Notify", [] { return KIV_Notify(nullptr); }, KIV_ERR_PARAM},
        {"KIV_StartCyclic", [] { return KIV_StartCyclic(nullptr, 1000, 0, nullptr, nullptr); },
         KIV_ERR_PARAM},
        {"KIV_StopCyclic", [] { return KIV_StopCyclic(nullptr); }, KIV_ERR_PARAM},
        {"KIV_GetCyclicStats", [] { return KIV_GetCyclicStats(nullptr, &g_cyclicStats); },
         KIV_ERR_PARAM},
        {"KIV_NMT_SetHeartbeatPeriod", [] { return KIV_NMT_SetHeartbeatPeriod(nullptr, 1, 100); },
         KIV_ERR_PARAM},
        {"KIV_ConfigTPDO", [] { return KIV_ConfigTPDO(nullptr, 1, 1, g_map, 1); }, KIV_ERR_PARAM},
        {"KIV_ConfigPDO",
         [] { return KIV_ConfigPDO(nullptr, 1, 1, 1, 0x181, 254, g_map, 1, nullptr); },
         KIV_ERR_PARAM},
        {"KIV_SuperviseNode", [] { return KIV_SuperviseNode(nullptr, 1, 1000); }, KIV_ERR_PARAM},
        {"KIV_GuardNode", [] { return KIV_GuardNode(nullptr, 1, 100, 3); }, KIV_ERR_PARAM},
        {"KIV_GetNodeState", [] { return KIV_GetNodeState(nullptr, 1, &g_status); }, KIV_ERR_PARAM},
        {"KIV_GetStats", [] { return KIV_GetStats(nullptr, &g_stats); }, KIV_ERR_PARAM},
        {"KIV_402_SetControlWord", [] { return KIV_402_SetControlWord(nullptr, 1, 0x000F); },
         KIV_ERR_PARAM},
        {"KIV_402_GetStatusWord", [] { return KIV_402_GetStatusWord(nullptr, 1, &g_u16); },
         KIV_ERR_PARAM},
        {"KIV_402_SetOpMode", [] { return KIV_402_SetOpMode(nullptr, 1, 1); }, KIV_ERR_PARAM},
        {"KIV_402_GetOpMode", [] { return KIV_402_GetOpMode(nullptr, 1, &g_i32); }, KIV_ERR_PARAM},
        {"KIV_402_SetTargetPos", [] { return KIV_402_SetTargetPos(nullptr, 1, 1000); },
         KIV_ERR_PARAM},
        {"KIV_402_GetActualPos", [] { return KIV_402_GetActualPos(nullptr, 1, &g_i32); },
         KIV_ERR_PARAM},
        {"KIV_402_SetTargetVel", [] { return KIV_402_SetTargetVel(nullptr, 1, 1000); },
         KIV_ERR_PARAM},
        {"KIV_402_GetActualVel", [] { return KIV_402_GetActualVel(nullptr, 1, &g_i32); },
         KIV_ERR_PARAM},
        {"KIV_402_SetTargetTorque", [] { return KIV_402_SetTargetTorque(nullptr, 1, 100); },
         KIV_ERR_PARAM},
        {"KIV_402_GetActualTorque", [] { return KIV_402_GetActualTorque(nullptr, 1, &g_i16); },
         KIV_ERR_PARAM},
        {"KIV_402_SetHomingMode", [] { return KIV_402_SetHomingMode(nullptr, 1, 35); },
         KIV_ERR_PARAM},
        {"KIV_402_FaultReset", [] { return KIV_402_FaultReset(nullptr, 1); }, KIV_ERR_PARAM},
        {"KIV_402_PowerOn", [] { return KIV_402_PowerOn(nullptr, 1); }, KIV_ERR_PARAM},
        {"KIV_LSS_SwitchGlobal", [] { return KIV_LSS_SwitchGlobal(nullptr, 1); }, KIV_ERR_PARAM},
        {"KIV_LSS_SwitchSelective", [] { return KIV_LSS_SwitchSelective(nullptr, 1, 2, 3, 4); },
         KIV_ERR_PARAM},
        {"KIV_LSS_ConfigureNodeId", [] { return KIV_LSS_ConfigureNodeId(nullptr, 5, g_buffer); },
         KIV_ERR_PARAM},
        {"KIV_LSS_ConfigureBitTiming",
         [] { return KIV_LSS_ConfigureBitTiming(nullptr, 0, 4, g_buffer); }, KIV_ERR_PARAM},
        {"KIV_LSS_ActivateBitTiming", [] { return KIV_LSS_ActivateBitTiming(nullptr, 100); },
         KIV_ERR_PARAM},
        {"KIV_LSS_StoreConfiguration", [] { return KIV_LSS_StoreConfiguration(nullptr, g_buffer); },
         KIV_ERR_PARAM},
        {"KIV_LSS_InquireIdentity", [] { return KIV_LSS_InquireIdentity(nullptr, g_ids); },
         KIV_ERR_PARAM},
        {"KIV_LSS_InquireNodeId", [] { return KIV_LSS_InquireNodeId(nullptr, g_buffer); },
         KIV_ERR_PARAM},
        {"KIV_LSS_IdentifyNonConfigured", [] { return KIV_LSS_IdentifyNonConfigured(nullptr, 10); },
         KIV_ERR_PARAM},
        {"KIV_LSS_Fastscan", [] { return KIV_LSS_Fastscan(nullptr, 0, g_ids); }, KIV_ERR_PARAM},
        {"KIV_LSS_SetTimeout", [] { return KIV_LSS_SetTimeout(nullptr, 100); }, KIV_ERR_PARAM},
        {"KIV_BootNode", [] { return KIV_BootNode(nullptr, 1, &g_boot, &g_bootReport); },
         KIV_ERR_PARAM},
    };
}

std::set<std::string> HeaderExports() {
    std::set<std::string> names;
    std::stringstream in(ORUKIV_HEADER_EXPORTS);
    std::string name;
    while (std::getline(in, name, ','))
        if (!name.empty()) names.insert(name);
    return names;
}

}  // namespace

TEST(NullHandle, EveryExportRefusesANullHandle) {
    for (const auto& c : Cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), c.expected);
    }
    // Outputs are left alone.
    EXPECT_EQ(g_count, 0u);
    EXPECT_EQ(g_abort, 0u);  // no transfer: no abort
    EXPECT_EQ(g_u16, 0u);
    EXPECT_EQ(g_i16, 0);
    EXPECT_EQ(g_i32, 0);
    EXPECT_EQ(g_status.sinceLastMs, 0u);
    EXPECT_EQ(g_stats.framesReceived, 0u);
}

TEST(NullHandle, TableCoversEveryExportOfTheHeader) {
    std::set<std::string> covered{"KIV_Init", "KIV_SdoAbortText",
                                  "KIV_GetVersion"};  // take no handle
    for (const auto& c : Cases()) EXPECT_TRUE(covered.insert(c.name).second) << c.name;
    const std::set<std::string> declared = HeaderExports();
    ASSERT_GT(declared.size(), 2u) << "no export found in the header";
    EXPECT_EQ(covered, declared);
}

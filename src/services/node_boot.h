// Boot-up of a node (CiA 302-2): KIV_BootNode runs on the caller's thread,
// made of the exports (SDO reads, NMT, supervision); the worker only counts
// boot-up messages and sends the KIV_EVENT_BOOT event at the end.
#pragma once

#include <cstdint>

#include "orukiv/orukiv.h"

struct CoStack;
struct CoRequest;

namespace orukiv {

// Worker: counts a boot-up message (0x700 + node, data 0) in bootUps
// (services/boot_service.cpp).
void CountBootUp(CoStack* stack, const KIV_CanFrame* frame);
// Worker: sends the KIV_EVENT_BOOT event of a REQ_BOOT_EVENT request.
void EmitBootEvent(CoStack* stack, const CoRequest* request);
// Worker: a boot-up of a node not on the running network boot's list: a
// KIV_EVENT_BOOT event with status 'A'.
void ReportUnlistedBootUp(CoStack* stack, uint8_t node);

// The configuration step: writes param.dcf, or else the concise DCF, to the
// node. Its result; on failure report.index/subIndex name the entry that
// failed and report.abortCode holds the node's abort code.
int32_t BootConfigure(KIV_Handle handle, uint8_t node, const KIV_BootParam& param,
                      KIV_BootReport& report);

// The KIV_BootNode procedure on the caller's thread, ending with the
// KIV_EVENT_BOOT event; its result. It ends with KIV_ERR_CANCELLED once
// KIV_Cancel for the node (or every node) changed cancelMark (CancelMark of
// the node when the boot was asked for).
int32_t BootOneNode(KIV_Handle handle, uint8_t node, const KIV_BootParam& param,
                    KIV_BootReport& report, uint32_t cancelMark);
// False for a param KIV_BootNode refuses (configure without a configuration).
bool BootParamValid(const KIV_BootParam& param);

}  // namespace orukiv

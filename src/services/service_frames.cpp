// Service frames sent on the host's behalf: NMT, heartbeat, node guarding,
// SYNC, EMCY, PDO, remote PDO and TIME. The exports queue a request; the
// worker encodes the frame here and sends it through SendFrame.
#include <cstring>

#include "instance/co_stack.h"
#include "orukiv_common/byte_order.h"
#include "services/time_of_day.h"
#include "stack/cia301.h"
#include "stack/service.h"

using namespace orukiv;

namespace {
using cia301::kCobEmcyBase;
using cia301::kCobNmt;
using cia301::kCobNodeControlBase;
using cia301::kCobSync;
using cia301::kCobTime;

int32_t Submit(KIV_Handle handle, CoRequest& r, const char* exportName) {
    return SubmitRequest(handle, &r, exportName);
}

CoRequest MakeRequest(CoRequestType type, uint8_t node = 0) {
    CoRequest r;
    std::memset(&r, 0, sizeof r);
    r.type = type;
    r.node = node;
    return r;
}
}  // namespace

namespace orukiv {

// Encodes the frame of a service-frame request.
namespace {

void BuildServiceFrame(const CoRequest* request, KIV_CanFrame* f) {
    std::memset(f, 0, sizeof *f);
    const CoPayload& p = request->payload;
    switch (request->type) {
        case REQ_NMT_COMMAND:
            f->id = kCobNmt;
            f->dlc = 2;
            f->data[0] = static_cast<uint8_t>(p.nmt.command);
            f->data[1] = request->node;
            break;
        case REQ_HEARTBEAT:
            f->id = kCobNodeControlBase + request->node;
            f->dlc = 1;
            f->data[0] = static_cast<uint8_t>(p.heartbeat.state);
            break;
        case REQ_NODE_GUARD:
            f->id = kCobNodeControlBase + request->node;
            f->rtr = 1;
            break;
        case REQ_SYNC:
            f->id = kCobSync;
            break;
        case REQ_EMCY:
            f->id = kCobEmcyBase + request->node;
            f->dlc = 8;
            StoreLe16(f->data, p.emcy.errorCode);
            f->data[2] = p.emcy.errorRegister;
            std::memcpy(&f->data[3], p.emcy.manufacturer, 5);
            break;
        case REQ_PDO:
            f->id = p.pdo.cobId;
            f->dlc = p.pdo.length;
            std::memcpy(f->data, p.pdo.data, p.pdo.length <= 8 ? p.pdo.length : 8);
            break;
        case REQ_PDO_RTR:
            f->id = p.pdoRtr.cobId;
            f->rtr = 1;
            break;
        case REQ_TIMESTAMP: {
            const auto& t = p.timestamp;
            TimeOfDay tod =
                EncodeTimeOfDay(t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond);
            f->id = kCobTime;
            f->dlc = 8;
            StoreLe32(f->data, tod.msAfterMidnight);
            StoreLe16(f->data + 4, tod.days);
            break;
        }
        default:
            break;
    }
}

constexpr int32_t kRequestTypes[] = {REQ_NMT_COMMAND, REQ_PDO,       REQ_PDO_RTR,    REQ_SYNC,
                                     REQ_EMCY,        REQ_TIMESTAMP, REQ_NODE_GUARD, REQ_HEARTBEAT};

bool Dispatch(StackCore* stack, CoRequest* request) {
    KIV_CanFrame frame;
    BuildServiceFrame(request, &frame);
    request->result = SendFrame(stack, &frame);
    return false;
}

}  // namespace

extern const Service kFrameService = {
    "service frames",
    kRequestTypes,
    std::size(kRequestTypes),
    Dispatch,
    0,
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace orukiv

extern "C" {

int32_t KIV_InputFrame(KIV_Handle handle, const KIV_CanFrame* frame) {
    if (handle == nullptr || frame == nullptr) return KIV_ERR_PARAM;
    CoRequest r = MakeRequest(REQ_INPUT_FRAME);
    std::memcpy(&r.payload.frame, frame, sizeof *frame);
    return Submit(handle, r, __func__);
}

int32_t KIV_NMT_SendCommand(KIV_Handle handle, uint8_t node, int32_t command) {
    // Node 0 addresses every node.
    if (handle == nullptr || node > cia301::kMaxNodeId) return KIV_ERR_PARAM;
    CoRequest r = MakeRequest(REQ_NMT_COMMAND, node);
    r.payload.nmt.command = command;
    return Submit(handle, r, __func__);
}

int32_t KIV_NMT_SendHeartbeat(KIV_Handle handle, uint8_t node, int32_t state) {
    if (handle == nullptr || !cia301::IsNodeId(node)) return KIV_ERR_PARAM;
    CoRequest r = MakeRequest(REQ_HEARTBEAT, node);
    r.payload.heartbeat.state = state;
    return Submit(handle, r, __func__);
}

int32_t KIV_SendNodeGuardRequest(KIV_Handle handle, uint8_t node) {
    if (handle == nullptr || !cia301::IsNodeId(node)) return KIV_ERR_PARAM;
    CoRequest r = MakeRequest(REQ_NODE_GUARD, node);
    return Submit(handle, r, __func__);
}

int32_t KIV_SendSYNC(KIV_Handle handle) {
    if (handle == nullptr) return KIV_ERR_PARAM;
    CoRequest r = MakeRequest(REQ_SYNC);
    return Submit(handle, r, __func__);
}

int32_t KIV_SendEMCY(KIV_Handle handle, uint8_t node, uint16_t errorCode, uint8_t errorRegister,
                     const uint8_t* manufacturerData) {
    if (handle == nullptr || !cia301::IsNodeId(node)) return KIV_ERR_PARAM;
    CoRequest r = MakeRequest(REQ_EMCY, node);
    r.payload.emcy.errorCode = errorCode;
    r.payload.emcy.errorRegister = errorRegister;
    if (manufacturerData != nullptr) std::memcpy(r.payload.emcy.manufacturer, manufacturerData, 5);
    return Submit(handle, r, __func__);
}

int32_t KIV_SendPDO(KIV_Handle handle, uint32_t cobId, const uint8_t* data, uint8_t length) {
    if (handle == nullptr || data == nullptr || length == 0 || length > 8) return KIV_ERR_PARAM;
    CoRequest r = MakeRequest(REQ_PDO);
    r.payload.pdo.cobId = cobId;
    r.payload.pdo.data = data;
    r.payload.pdo.length = length;
    return Submit(handle, r, __func__);
}

int32_t KIV_SendRemotePDO(KIV_Handle handle, uint32_t cobId) {
    if (handle == nullptr) return KIV_ERR_PARAM;
    CoRequest r = MakeRequest(REQ_PDO_RTR);
    r.payload.pdoRtr.cobId = cobId;
    return Submit(handle, r, __func__);
}

int32_t KIV_SendTimestamp(KIV_Handle handle, uint16_t year, uint8_t month, uint8_t day,
                          uint8_t hour, uint8_t minute, uint8_t second, uint32_t millisecond) {
    if (handle == nullptr) return KIV_ERR_PARAM;
    CoRequest r = MakeRequest(REQ_TIMESTAMP);
    auto& t = r.payload.timestamp;
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    t.millisecond = millisecond;
    return Submit(handle, r, __func__);
}

}  // extern "C"

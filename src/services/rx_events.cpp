// Received classic frames: counted, offered to the SDO channels, decoded by
// CANopen service into one KIV_Event for the host, then handed to node
// supervision.
#include "services/rx_events.h"

#include <cstring>

#include "services/time_of_day.h"
#include "stack/cia301.h"
#include "stack/co_stack.h"

namespace orukiv {

namespace {

uint32_t NmtCommandOf(uint8_t b) {
    switch (b) {
        case KIV_NMT_CMD_START:
        case KIV_NMT_CMD_STOP:
        case KIV_NMT_CMD_PRE_OPERATIONAL:
        case KIV_NMT_CMD_RESET_NODE:
        case KIV_NMT_CMD_RESET_COMM:
            return b;
        default:
            return KIV_NMT_CMD_UNKNOWN;
    }
}

uint32_t NmtStateOf(uint8_t b) {
    const uint8_t s = b & 0x7F;  // bit 7 is the node-guarding toggle
    switch (s) {
        case KIV_NMT_STATE_BOOTUP:
        case KIV_NMT_STATE_STOPPED:
        case KIV_NMT_STATE_OPERATIONAL:
        case KIV_NMT_STATE_PRE_OPERATIONAL:
            return s;
        default:
            return KIV_NMT_STATE_UNKNOWN;
    }
}

// Expedited-with-size command bytes carry 4 - ((cmd >> 2) & 3) data bytes.
void DecodeSdo(const KIV_CanFrame* f, bool fromServer, KIV_Event* ev) {
    auto& b = ev->body.sdo;
    const uint8_t cmd = f->data[0];
    b.index = static_cast<uint16_t>(f->data[1] | f->data[2] << 8);
    b.subIndex = f->data[3];
    uint8_t length = 0;
    if (cmd == cia301::kSdoAbort) {
        b.sdoKind = KIV_SDO_ABORT;
    } else if (fromServer) {
        if ((cmd & cia301::kSdoExpeditedSizedMask) == cia301::kSdoExpeditedUpload) {
            b.sdoKind = KIV_SDO_READ_RESPONSE;
            length = cia301::ExpeditedSize(cmd);
        } else if (cmd == cia301::kSdoDownloadAnswer) {
            b.sdoKind = KIV_SDO_WRITE_RESPONSE;
        } else {
            b.sdoKind = KIV_SDO_OTHER;
        }
    } else {
        if ((cmd & cia301::kSdoExpeditedSizedMask) == cia301::kSdoExpeditedDownload) {
            b.sdoKind = KIV_SDO_WRITE_REQUEST;
            length = cia301::ExpeditedSize(cmd);
        } else if (cmd == cia301::kSdoUploadRequest) {
            b.sdoKind = KIV_SDO_READ_REQUEST;
        } else {
            b.sdoKind = KIV_SDO_OTHER;
        }
    }
    b.sdoLength = length;
    std::memcpy(b.sdoData, &f->data[4], length);
}

}  // namespace

void DecodeEvent(const KIV_CanFrame* f, KIV_Event* ev) {
    std::memset(ev, 0, sizeof *ev);
    ev->node = static_cast<uint8_t>(f->id & 0xFF);
    if (f->id >= cia301::kCobStandardLimit) return;  // KIV_EVENT_NONE
    const uint32_t id = f->id;
    switch (id >> 7) {
        case 0:
            ev->type = KIV_EVENT_NMT;
            ev->body.nmt.command = NmtCommandOf(f->data[0]);
            break;
        case 1:
            if (id == cia301::kCobSync) {
                ev->type = KIV_EVENT_SYNC;
            } else {
                ev->type = KIV_EVENT_EMCY;
                ev->node = static_cast<uint8_t>(id - cia301::kCobEmcyBase);
                ev->body.emcy.errorCode = static_cast<uint16_t>(f->data[0] | f->data[1] << 8);
                ev->body.emcy.errorRegister = f->data[2];
                std::memcpy(ev->body.emcy.manufacturerData, &f->data[3], 5);
            }
            break;
        case 2:
            if (id == cia301::kCobTime) {
                ev->type = KIV_EVENT_TIME;
                CalendarTime t = DecodeTimeOfDay(f->data);
                auto& b = ev->body.time;
                b.year = t.year;
                b.month = t.month;
                b.day = t.day;
                b.hour = t.hour;
                b.minute = t.minute;
                b.second = t.second;
                b.millisecond = t.millisecond;
            }
            break;
        case 3:
        case 4:
        case 5:
        case 6:
        case 7:
        case 8:
        case 9:
        case 10: {
            ev->type = KIV_EVENT_FRAME;
            auto& b = ev->body.frame;
            b.cobId = id;
            if (!f->rtr) {
                // A dlc above 8 is reported as 8: never copy past the data.
                const uint8_t n = f->dlc <= 8 ? f->dlc : 8;
                b.frameLength = n;
                std::memcpy(b.frameData, f->data, n);
            }
            break;
        }
        case 11:
            ev->type = KIV_EVENT_SDO;
            DecodeSdo(f, true, ev);
            break;
        case 12:
            ev->type = KIV_EVENT_SDO;
            DecodeSdo(f, false, ev);
            break;
        case 14:
            if (f->rtr) {
                ev->type = KIV_EVENT_NODE_GUARD;
            } else {
                ev->type = KIV_EVENT_HEARTBEAT;
                ev->body.heartbeat.state = NmtStateOf(f->data[0]);
            }
            break;
        default:  // 13 and 15
            break;
    }
}

void CountBootUp(CoStack* stack, const KIV_CanFrame* frame) {
    const uint32_t id = frame->id;
    if (frame->rtr || frame->dlc == 0 || id <= cia301::kCobNodeControlBase ||
        id > cia301::kCobNodeControlBase + cia301::kMaxNodeId)
        return;
    const uint32_t node = id - cia301::kCobNodeControlBase;
    stack->heard[node].fetch_add(1, std::memory_order_release);
    if (frame->data[0] != KIV_NMT_STATE_BOOTUP) return;
    stack->bootUps[node].fetch_add(1, std::memory_order_release);
    if (stack->netBootActive.load(std::memory_order_acquire) != 0 &&
        stack->netBootListed[node].load(std::memory_order_acquire) == 0)
        ReportUnlistedBootUp(stack, static_cast<uint8_t>(node));
}

void ProcessRxFrame(CoStack* stack, const KIV_CanFrame* frame) {
    Count(stack->stats.framesReceived);
    SdoOfferFrame(stack, frame);
    LssOfferFrame(stack, frame);
    CountBootUp(stack, frame);
    if (!HostReachable(stack)) return;
    if (stack->onEvent != nullptr) {
        KIV_Event ev;
        DecodeEvent(frame, &ev);
        stack->onEvent(&ev, stack->userData);
    }
    // Node-state events follow the frame's own event.
    if (stack->supervision.active != 0) SupervisionOnFrame(stack, frame);
}

}  // namespace orukiv

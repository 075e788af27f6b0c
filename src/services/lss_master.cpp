// LSS master (CiA 305): KIV_LSS_ exports and the worker's services. Every
// service is one request; the worker sends its frames on 0x7E5 and takes
// the answers on 0x7E4 whose command specifier is the one awaited (any
// other answer is ignored, so a wrong answer ends as a time-out).
#include "services/lss_master.h"

#include <cstring>

#include "log/log.h"
#include "orukiv_common/byte_order.h"
#include "stack/cancel.h"
#include "stack/cia301.h"
#include "instance/co_stack.h"

namespace orukiv {

namespace {

namespace lss = cia301::lss;

// expectCs values of their own: no answer is awaited (a pause), and any
// frame on the awaited identifier is the answer.
constexpr uint8_t kNoAnswer = 0xFF;
constexpr uint8_t kAnyAnswer = 0xFE;

KIV_CanFrame LssFrame(uint8_t cs) {
    KIV_CanFrame f;
    std::memset(&f, 0, sizeof f);
    f.id = cia301::kCobLssMaster;
    f.dlc = 8;
    f.data[0] = cs;
    return f;
}

// Ends the service in progress: the caller is released and the next
// waiting service may start.
void Complete(CoStack* s, int32_t result) {
    LssMaster& m = s->lss;
    CoRequest* r = m.active;
    m.active = nullptr;
    m.expectCs = 0;
    m.expectId = 0;
    m.settleMs = 0;
    r->result = result;
    if (r->done != nullptr) platform::SemaphorePost(r->done);
}

// Sends a frame whose answer `expect` is awaited for waitMs; a failed send
// ends the service with the send's result.
void Send(CoStack* s, const KIV_CanFrame& f, uint8_t expect, uint32_t waitMs) {
    LssMaster& m = s->lss;
    const int32_t rc = SendFrame(s, &f);
    if (rc != KIV_OK) {
        Complete(s, rc);
        return;
    }
    m.expectCs = expect;
    m.answers = 0;
    m.waitMs = waitMs;
    m.sentTick = StackTick(s);
}

// The fastscan's wait at each query: the step, doubled once a part is
// scanned again.
uint32_t StepWait(CoStack* s) {
    const LssMaster& m = s->lss;
    const uint32_t wait = m.active->payload.lss.waitMs;
    return m.retried ? 2 * wait : wait;
}

// A confirmed service of one frame: sends it, then ends with the answer.
void OneExchange(CoStack* s, const KIV_CanFrame& f, bool answered, uint32_t timeoutMs) {
    LssMaster& m = s->lss;
    const bool inquiry = f.data[0] == lss::kInquireNodeId;
    if (m.step++ == 0) {
        m.settleMs = inquiry ? kInquirySettleMs : 0;
        Send(s, f, f.data[0], timeoutMs);
        return;
    }
    if (!answered) {
        Complete(s, KIV_ERR_TIMEOUT);
        return;
    }
    if (inquiry && m.answers > 1) {
        Complete(s, KIV_ERR_AMBIGUOUS);
        return;
    }
    auto& p = m.active->payload.lss;
    *p.out8 = m.answer[1];
    // Configure and store answer an error code: 0 is success. The node-ID
    // inquiry answers the node-ID itself.
    const bool refused = f.data[0] != lss::kInquireNodeId && m.answer[1] != 0;
    Complete(s, refused ? KIV_ERR_ABORTED : KIV_OK);
}

// Fastscan steps (m.step): 0 start, 1 the reset query in flight, 2 a bit
// query in flight, 3 the confirmation of a whole part in flight, 4 the
// pause before a confirmation.
void FastscanQuery(CoStack* s, uint8_t bitChecked, uint8_t next, uint8_t step) {
    LssMaster& m = s->lss;
    KIV_CanFrame f = LssFrame(lss::kFastscan);
    StoreLe32(&f.data[1], m.value[m.sub]);
    f.data[5] = bitChecked;
    f.data[6] = m.sub;
    f.data[7] = next;
    m.step = step;
    m.fullWait = m.careful || m.retried || bitChecked == lss::kFastscanReset;
    // A confirmation answered later than its wait would leave the slave on
    // the next part while the part is scanned again: it waits twice as long.
    Send(s, f, lss::kIdentifySlave, step == 3 ? 2 * StepWait(s) : StepWait(s));
}

void BeginPart(CoStack* s) {
    LssMaster& m = s->lss;
    m.hinting = false;
    m.value[m.sub] = 0;
    m.bit = 31;
    FastscanQuery(s, m.bit, m.sub, 2);
}

// A confirmation goes out only when no answer to an earlier query can come
// any more: twice the step after the last answered query went out.
void PauseThenConfirm(CoStack* s) {
    LssMaster& m = s->lss;
    const uint32_t quiet = 2 * StepWait(s);
    const uint32_t since = StackTick(s) - m.answeredTick;
    if (since >= quiet) {
        FastscanQuery(s, 0, static_cast<uint8_t>((m.sub + 1) & 3), 3);
        return;
    }
    m.step = 4;
    m.expectCs = kNoAnswer;  // nothing is awaited: the wait is the pause
    m.answers = 0;
    m.waitMs = quiet - since;
    m.sentTick = StackTick(s);
    m.fullWait = true;
}

// A part whose value the previous scan found is tried first (vendor,
// product and revision are often shared by the slaves of a machine); the
// others are scanned bit by bit.
void StartPart(CoStack* s) {
    LssMaster& m = s->lss;
    bool hint = m.lastValid && m.sub < 3;
    for (uint8_t k = 0; hint && k < m.sub; ++k) hint = m.value[k] == m.last[k];
    if (!hint) {
        BeginPart(s);
        return;
    }
    m.hinting = true;
    m.value[m.sub] = m.last[m.sub];
    PauseThenConfirm(s);
}

// Each query asks the slaves whose identity part matches the bits found so
// far, with the bit being checked 0, to answer; no answer within the step
// means every remaining slave has that bit 1. Answers carry nothing that
// names their query, so an answer is only ever taken for the query whose
// step it arrives in:
// - the reset query waits its whole step; more than one answer frame (the
//   slaves answer at different moments) makes the scan careful: every
//   query then waits its whole step before the next goes out;
// - otherwise (one slave, or slaves answering together as one frame) a
//   query moves on at its first answer, and each part is confirmed by a
//   query sent only when no earlier answer can still come, so a part
//   misread through a late answer is never confirmed.
// A part that no slave confirms is scanned once more, waiting twice as long
// and the whole wait each time; when that fails too the result is
// KIV_ERR_TIMEOUT. After the serial number the slave found is in
// configuration state.
void Fastscan(CoStack* s, bool answered) {
    LssMaster& m = s->lss;
    auto& p = m.active->payload.lss;
    if (answered) m.answeredTick = m.sentTick;
    switch (m.step) {
        case 0:
            std::memset(m.value, 0, sizeof m.value);
            m.sub = 0;
            m.retried = false;
            m.careful = false;
            m.hinting = false;
            FastscanQuery(s, lss::kFastscanReset, 0, 1);
            return;
        case 1:
            if (!answered) {
                Complete(s, KIV_ERR_TIMEOUT);  // no unconfigured slave
                return;
            }
            if (p.out8 != nullptr) *p.out8 = 1;  // someone answered the reset
            m.careful = m.answers > 1;
            StartPart(s);
            return;
        case 2:
            if (!answered) m.value[m.sub] |= 1u << m.bit;
            if (m.bit == 0) {
                PauseThenConfirm(s);
            } else {
                --m.bit;
                FastscanQuery(s, m.bit, m.sub, 2);
            }
            return;
        case 4:
            FastscanQuery(s, 0, static_cast<uint8_t>((m.sub + 1) & 3), 3);
            return;
        default:
            if (answered) {
                if (m.sub == 3) {
                    std::memcpy(p.out32, m.value, sizeof m.value);
                    std::memcpy(m.last, m.value, sizeof m.value);
                    m.lastValid = true;
                    Complete(s, KIV_OK);
                    return;
                }
                ++m.sub;
                StartPart(s);
                return;
            }
            if (m.hinting) {  // no slave has the previous scan's value
                BeginPart(s);
                return;
            }
            if (m.retried) {
                Log().Error("kiv lss fastscan: part %d not confirmed", m.sub);
                Complete(s, KIV_ERR_TIMEOUT);
                return;
            }
            m.retried = true;
            BeginPart(s);
            return;
    }
}

// Internal probe: an SDO upload request of 0x1000 to the node; any answer
// from its SDO server means the node-ID is in use.
void Probe(CoStack* s, bool answered) {
    LssMaster& m = s->lss;
    auto& p = m.active->payload.lss;
    if (m.step++ == 0) {
        KIV_CanFrame f;
        std::memset(&f, 0, sizeof f);
        f.id = cia301::kCobSdoRxBase + p.a;
        f.dlc = 8;
        f.data[0] = 0x40;
        f.data[1] = 0x00;
        f.data[2] = 0x10;
        m.expectId = cia301::kCobSdoTxBase + p.a;
        Send(s, f, kAnyAnswer, p.waitMs);
        return;
    }
    *p.out8 = answered ? 1 : 0;
    Complete(s, KIV_OK);
}

// Moves the service in progress on: its first step, or the step after the
// awaited answer came (answered) or its wait ran out.
void Run(CoStack* s, bool answered) {
    LssMaster& m = s->lss;
    auto& p = m.active->payload.lss;
    const uint32_t timeoutMs = s->lssTimeoutMs.load(std::memory_order_relaxed);
    switch (p.service) {
        case LSS_SWITCH_GLOBAL: {
            KIV_CanFrame f = LssFrame(lss::kSwitchGlobal);
            f.data[1] = p.a;
            Complete(s, SendFrame(s, &f));
            return;
        }
        case LSS_ACTIVATE_BIT_TIMING: {
            KIV_CanFrame f = LssFrame(lss::kActivateBitTiming);
            f.data[1] = static_cast<uint8_t>(p.delayMs & 0xFF);
            f.data[2] = static_cast<uint8_t>(p.delayMs >> 8);
            Complete(s, SendFrame(s, &f));
            return;
        }
        case LSS_SWITCH_SELECTIVE:
            if (m.step++ == 0) {
                for (uint8_t i = 0; i < 4; ++i) {
                    KIV_CanFrame f =
                        LssFrame(static_cast<uint8_t>(lss::kSwitchSelectiveVendor + i));
                    StoreLe32(&f.data[1], p.values[i]);
                    if (i == 3) {
                        Send(s, f, lss::kSwitchSelectiveAnswer, timeoutMs);
                    } else if (const int32_t rc = SendFrame(s, &f); rc != KIV_OK) {
                        Complete(s, rc);
                        return;
                    }
                }
                return;
            }
            Complete(s, answered ? KIV_OK : KIV_ERR_TIMEOUT);
            return;
        case LSS_CONFIGURE_NODE_ID: {
            KIV_CanFrame f = LssFrame(lss::kConfigureNodeId);
            f.data[1] = p.a;
            OneExchange(s, f, answered, timeoutMs);
            return;
        }
        case LSS_CONFIGURE_BIT_TIMING: {
            KIV_CanFrame f = LssFrame(lss::kConfigureBitTiming);
            f.data[1] = p.a;
            f.data[2] = p.b;
            OneExchange(s, f, answered, timeoutMs);
            return;
        }
        case LSS_STORE:
            OneExchange(s, LssFrame(lss::kStoreConfiguration), answered, timeoutMs);
            return;
        case LSS_INQUIRE_NODE_ID:
            OneExchange(s, LssFrame(lss::kInquireNodeId), answered, timeoutMs);
            return;
        case LSS_INQUIRE_IDENTITY:
            // Vendor, product, revision, serial: one exchange each.
            m.settleMs = kInquirySettleMs;
            if (m.step > 0) {
                if (!answered) {
                    Complete(s, KIV_ERR_TIMEOUT);
                    return;
                }
                if (m.answers > 1) {  // several slaves in configuration state
                    Complete(s, KIV_ERR_AMBIGUOUS);
                    return;
                }
                m.value[m.step - 1] = LoadLe32(&m.answer[1]);
            }
            if (m.step == 4) {
                std::memcpy(p.out32, m.value, sizeof m.value);
                Complete(s, KIV_OK);
                return;
            }
            {
                const auto cs = static_cast<uint8_t>(lss::kInquireVendor + m.step++);
                Send(s, LssFrame(cs), cs, timeoutMs);
            }
            return;
        case LSS_IDENTIFY_NON_CONFIGURED:
            if (m.step++ == 0) {
                Send(s, LssFrame(lss::kIdentifyNonConfigured), lss::kNonConfiguredAnswer,
                     p.waitMs != 0 ? p.waitMs : timeoutMs);
                return;
            }
            Complete(s, answered ? KIV_OK : KIV_ERR_TIMEOUT);
            return;
        case LSS_FASTSCAN:
            Fastscan(s, answered);
            return;
        case LSS_PROBE_NODE:
            Probe(s, answered);
            return;
        default:
            Complete(s, KIV_ERR_PARAM);
            return;
    }
}

// Starts waiting services while none is in progress (a service without an
// answer to wait for ends at once).
void StartWaiting(CoStack* s) {
    LssMaster& m = s->lss;
    while (m.active == nullptr && m.waitHead != nullptr) {
        CoRequest* r = m.waitHead;
        m.waitHead = r->payload.lss.next;
        if (m.waitHead == nullptr) m.waitTail = nullptr;
        m.active = r;
        m.step = 0;
        m.fullWait = false;
        m.expectCs = 0;
        m.expectId = 0;
        m.settleMs = 0;
        Run(s, false);
    }
}

}  // namespace

bool LssDispatch(CoStack* stack, CoRequest* request) {
    LssMaster& m = stack->lss;
    request->payload.lss.next = nullptr;
    if (m.waitTail != nullptr)
        m.waitTail->payload.lss.next = request;
    else
        m.waitHead = request;
    m.waitTail = request;
    StartWaiting(stack);
    return true;
}

void LssOfferFrame(CoStack* stack, const KIV_CanFrame* frame) {
    LssMaster& m = stack->lss;
    if (m.active == nullptr || m.expectCs == 0 || m.expectCs == kNoAnswer || frame->rtr != 0 ||
        frame->id != (m.expectId != 0 ? m.expectId : cia301::kCobLssSlave) ||
        (m.expectCs != kAnyAnswer && frame->data[0] != m.expectCs))
        return;
    if (m.answers == 0) {
        std::memcpy(m.answer, frame->data, sizeof m.answer);
        m.firstTick = StackTick(stack);
    }
    if (m.answers < 255) ++m.answers;
}

// Ends the services that KIV_Cancel (for every node: LSS services address
// none) reached: the one in progress and those waiting.
static void CancelReached(CoStack* stack) {
    LssMaster& m = stack->lss;
    if (m.active != nullptr && CancelledSince(stack, 0, m.active->cancelMark))
        Complete(stack, KIV_ERR_CANCELLED);
    CoRequest* keptHead = nullptr;
    CoRequest* keptTail = nullptr;
    for (CoRequest* r = m.waitHead; r != nullptr;) {
        CoRequest* next = r->payload.lss.next;
        if (CancelledSince(stack, 0, r->cancelMark)) {
            r->result = KIV_ERR_CANCELLED;
            if (r->done != nullptr) platform::SemaphorePost(r->done);
        } else {
            r->payload.lss.next = nullptr;
            if (keptTail != nullptr)
                keptTail->payload.lss.next = r;
            else
                keptHead = r;
            keptTail = r;
        }
        r = next;
    }
    m.waitHead = keptHead;
    m.waitTail = keptTail;
}

void LssDue(CoStack* stack) {
    LssMaster& m = stack->lss;
    if (m.active != nullptr || m.waitHead != nullptr) {
        CancelReached(stack);
        StartWaiting(stack);
    }
    if (m.active == nullptr || m.expectCs == 0) return;
    const uint32_t now = StackTick(stack);
    const bool timeUp = now - m.sentTick >= m.waitMs;
    // An inquiry waits for other answers at least settleMs after the first,
    // and as long again as the first took, within its time-out.
    const bool settled =
        m.settleMs == 0 || timeUp ||
        (now - m.firstTick >= m.settleMs && now - m.firstTick >= m.firstTick - m.sentTick);
    if (m.answers > 0 && ((!m.fullWait && settled) || timeUp)) {
        m.expectCs = 0;
        Run(stack, true);
    } else if (timeUp) {
        m.expectCs = 0;
        Run(stack, false);
    }
    StartWaiting(stack);
}

void LssReleaseAll(CoStack* stack, int32_t result) {
    LssMaster& m = stack->lss;
    if (m.active != nullptr) Complete(stack, result);
    while (m.waitHead != nullptr) {
        CoRequest* r = m.waitHead;
        m.waitHead = r->payload.lss.next;
        r->result = result;
        if (r->done != nullptr) platform::SemaphorePost(r->done);
    }
    m.waitTail = nullptr;
}

}  // namespace orukiv

using namespace orukiv;

namespace {

CoRequest LssRequest(KIV_Handle handle, LssService service) {
    CoRequest r;
    std::memset(&r, 0, sizeof r);
    r.type = REQ_LSS;
    r.payload.lss.service = service;
    // LSS services address no single node: only KIV_Cancel(h, 0) ends them.
    if (handle != nullptr) r.cancelMark = CancelMark(handle, 0);
    return r;
}

int32_t Submit(KIV_Handle handle, CoRequest& r, const char* exportName) {
    return SubmitRequest(handle, &r, exportName);
}

// Node-IDs an LSS slave may be given: 1..127, and 255 (unconfigured).
bool LssNodeIdValid(uint8_t id) {
    return cia301::IsNodeId(id) || id == cia301::lss::kUnconfiguredNodeId;
}

}  // namespace

extern "C" {

int32_t KIV_LSS_SwitchGlobal(KIV_Handle handle, uint8_t mode) {
    if (handle == nullptr || mode > 1) return KIV_ERR_PARAM;
    CoRequest r = LssRequest(handle, LSS_SWITCH_GLOBAL);
    r.payload.lss.a = mode;
    return Submit(handle, r, __func__);
}

int32_t KIV_LSS_SwitchSelective(KIV_Handle handle, uint32_t vendor, uint32_t product,
                                uint32_t revision, uint32_t serial) {
    if (handle == nullptr) return KIV_ERR_PARAM;
    CoRequest r = LssRequest(handle, LSS_SWITCH_SELECTIVE);
    const uint32_t v[4] = {vendor, product, revision, serial};
    std::memcpy(r.payload.lss.values, v, sizeof v);
    return Submit(handle, r, __func__);
}

int32_t KIV_LSS_ConfigureNodeId(KIV_Handle handle, uint8_t nodeId, uint8_t* errorCode) {
    if (handle == nullptr || errorCode == nullptr || !LssNodeIdValid(nodeId)) return KIV_ERR_PARAM;
    CoRequest r = LssRequest(handle, LSS_CONFIGURE_NODE_ID);
    r.payload.lss.a = nodeId;
    r.payload.lss.out8 = errorCode;
    return Submit(handle, r, __func__);
}

int32_t KIV_LSS_ConfigureBitTiming(KIV_Handle handle, uint8_t table, uint8_t index,
                                   uint8_t* errorCode) {
    if (handle == nullptr || errorCode == nullptr) return KIV_ERR_PARAM;
    CoRequest r = LssRequest(handle, LSS_CONFIGURE_BIT_TIMING);
    r.payload.lss.a = table;
    r.payload.lss.b = index;
    r.payload.lss.out8 = errorCode;
    return Submit(handle, r, __func__);
}

int32_t KIV_LSS_ActivateBitTiming(KIV_Handle handle, uint16_t delayMs) {
    if (handle == nullptr) return KIV_ERR_PARAM;
    CoRequest r = LssRequest(handle, LSS_ACTIVATE_BIT_TIMING);
    r.payload.lss.delayMs = delayMs;
    return Submit(handle, r, __func__);
}

int32_t KIV_LSS_StoreConfiguration(KIV_Handle handle, uint8_t* errorCode) {
    if (handle == nullptr || errorCode == nullptr) return KIV_ERR_PARAM;
    CoRequest r = LssRequest(handle, LSS_STORE);
    r.payload.lss.out8 = errorCode;
    return Submit(handle, r, __func__);
}

int32_t KIV_LSS_InquireIdentity(KIV_Handle handle, uint32_t identity[4]) {
    if (handle == nullptr || identity == nullptr) return KIV_ERR_PARAM;
    CoRequest r = LssRequest(handle, LSS_INQUIRE_IDENTITY);
    r.payload.lss.out32 = identity;
    return Submit(handle, r, __func__);
}

int32_t KIV_LSS_InquireNodeId(KIV_Handle handle, uint8_t* nodeId) {
    if (handle == nullptr || nodeId == nullptr) return KIV_ERR_PARAM;
    CoRequest r = LssRequest(handle, LSS_INQUIRE_NODE_ID);
    r.payload.lss.out8 = nodeId;
    return Submit(handle, r, __func__);
}

int32_t KIV_LSS_IdentifyNonConfigured(KIV_Handle handle, uint32_t timeoutMs) {
    if (handle == nullptr) return KIV_ERR_PARAM;
    CoRequest r = LssRequest(handle, LSS_IDENTIFY_NON_CONFIGURED);
    r.payload.lss.waitMs = timeoutMs;
    return Submit(handle, r, __func__);
}

int32_t KIV_LSS_Fastscan(KIV_Handle handle, uint32_t timeoutMs, uint32_t found[4]) {
    if (handle == nullptr || found == nullptr || timeoutMs > 0x7FFFFFFFu) return KIV_ERR_PARAM;
    CoRequest r = LssRequest(handle, LSS_FASTSCAN);
    r.payload.lss.waitMs = timeoutMs != 0 ? timeoutMs : kFastscanDefaultStepMs;
    r.payload.lss.out32 = found;
    return Submit(handle, r, __func__);
}

int32_t KIV_LSS_SetTimeout(KIV_Handle handle, uint32_t timeoutMs) {
    if (handle == nullptr || timeoutMs == 0 || timeoutMs > 0x7FFFFFFFu) return KIV_ERR_PARAM;
    handle->lssTimeoutMs.store(timeoutMs, std::memory_order_relaxed);
    return KIV_OK;
}

}  // extern "C"

namespace orukiv {

int32_t LssFastscan(KIV_Handle handle, uint32_t stepMs, uint32_t found[4], uint8_t* resetAnswered,
                    uint32_t cancelMark) {
    CoRequest r = LssRequest(handle, LSS_FASTSCAN);
    r.cancelMark = cancelMark;
    r.payload.lss.waitMs = stepMs != 0 ? stepMs : kFastscanDefaultStepMs;
    r.payload.lss.out32 = found;
    r.payload.lss.out8 = resetAnswered;
    return Submit(handle, r, "KIV_LSS_ConfigureAll");
}

int32_t LssProbeNode(KIV_Handle handle, uint8_t node, uint32_t waitMs, uint8_t* inUse,
                     uint32_t cancelMark) {
    CoRequest r = LssRequest(handle, LSS_PROBE_NODE);
    r.cancelMark = cancelMark;
    r.payload.lss.a = node;
    r.payload.lss.waitMs = waitMs;
    r.payload.lss.out8 = inUse;
    return Submit(handle, r, "KIV_LSS_ConfigureAll");
}

}  // namespace orukiv

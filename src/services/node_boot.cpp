// KIV_BootNode: the CiA 302-2 boot of one node, step by step, with the
// error status letter of the step that failed.
#include "services/node_boot.h"

#include <cstring>

#include "log/log.h"
#include "orukiv_common/byte_order.h"
#include "stack/cancel.h"
#include "stack/cia301.h"
#include "instance/co_stack.h"

namespace orukiv {

namespace {

constexpr uint32_t kDefaultBootTimeMs = 5000;
constexpr uint32_t kRetryMs = 100;
constexpr uint32_t kPollMs = 1;
constexpr uint8_t kDefaultLifeTimeFactor = 3;
constexpr uint16_t kDeviceType = cia301::kObjDeviceType;
constexpr uint16_t kIdentity = cia301::kObjIdentity;

// CiA 302-2 error status letters.
constexpr uint8_t kNotListed = 'A';
constexpr uint8_t kNoAnswer = 'B';
constexpr uint8_t kDeviceTypeDiffers = 'C';
constexpr uint8_t kNoHeartbeat = 'E';
constexpr uint8_t kNoGuarding = 'F';
constexpr uint8_t kConfigurationFailed = 'J';
constexpr uint8_t kWasOperational = 'L';
// 0x1018:1..4: vendor, product, revision, serial.
constexpr uint8_t kIdentityDiffers[4] = {'D', 'M', 'N', 'O'};

class Boot {
public:
    Boot(KIV_Handle h, uint8_t node, const KIV_BootParam& p, KIV_BootReport& r, uint32_t mark)
        : h_(h), node_(node), p_(p), r_(r), start_(StackTick(h)), mark_(mark) {
        std::memset(&r_, 0, sizeof r_);
        r_.nmtState = KIV_NMT_STATE_UNKNOWN;
        bootTimeMs_ = p.bootTimeMs != 0 ? p.bootTimeMs : kDefaultBootTimeMs;
    }

    int32_t Run() {
        const bool keep = KnownOperational();
        if (keep) r_.nmtState = KIV_NMT_STATE_OPERATIONAL;
        if (!CheckDeviceType() || !CheckIdentity()) return Finish();
        if (!keep) {
            if ((p_.flags & KIV_BOOT_RESET_COMM) != 0 && !ResetCommunication()) return Finish();
            if ((p_.flags & KIV_BOOT_CONFIGURE) != 0 && !Configure()) return Finish();
        }
        if (!Supervise()) return Finish();
        if (Cancelled()) {
            Fail(0, KIV_ERR_CANCELLED);
            return Finish();
        }
        if ((p_.flags & KIV_BOOT_START) != 0 && !keep) {
            r_.step = KIV_BOOT_STEP_START;
            const int32_t rc = KIV_NMT_SendCommand(h_, node_, KIV_NMT_CMD_START);
            if (rc != KIV_OK) return Fail(0, rc);
            r_.nmtState = KIV_NMT_STATE_OPERATIONAL;
        }
        r_.step = KIV_BOOT_STEP_DONE;
        r_.status = keep ? kWasOperational : 0;
        return Finish();
    }

private:
    uint32_t Elapsed() const { return StackTick(h_) - start_; }

    // A cancelled boot has no status letter: KIV_ERR_CANCELLED says it all.
    bool Fail(uint8_t letter, int32_t result) {
        if (Cancelled()) result = KIV_ERR_CANCELLED;
        r_.status = result == KIV_ERR_CANCELLED ? 0 : letter;
        r_.result = result;
        return false;
    }

    bool Cancelled() const { return CancelledSince(h_, node_, mark_); }

    int32_t Finish() {
        r_.elapsedMs = Elapsed();
        if (r_.status != 0 && r_.status != kWasOperational)
            Log().Warn("kiv boot of node %d: status %c, step %d, result %d, abort 0x%08x", node_,
                       r_.status, r_.step, r_.result, r_.abortCode);
        return r_.result;
    }

    bool KnownOperational() const {
        if ((p_.flags & KIV_BOOT_KEEP_OPERATIONAL) == 0) return false;
        KIV_NodeStatus s;
        return KIV_GetNodeState(h_, node_, &s) == KIV_OK && s.alive != 0 &&
               s.state == KIV_NMT_STATE_OPERATIONAL;
    }

    // Reads a value of up to 4 bytes, zero-extended.
    int32_t Read(uint16_t index, uint8_t sub, uint32_t& value) {
        uint8_t buf[4] = {};
        uint32_t got = 0;
        r_.index = index;
        r_.subIndex = sub;
        r_.abortCode = 0;
        if (Cancelled()) return KIV_ERR_CANCELLED;
        const int32_t rc =
            KIV_ReadObjectEx(h_, node_, index, sub, buf, sizeof buf, &got, &r_.abortCode);
        value = LoadLe32(buf);
        return rc;
    }

    bool Compare(uint8_t letter, uint32_t expected, uint32_t actual) {
        if (expected == 0 || expected == actual) return true;
        r_.expected = expected;
        r_.actual = actual;
        return Fail(letter, KIV_ERR_MISMATCH);
    }

    bool CheckDeviceType() {
        r_.step = KIV_BOOT_STEP_DEVICE_TYPE;
        const bool mandatory = (p_.flags & KIV_BOOT_MANDATORY) != 0;
        uint32_t value = 0;
        for (;;) {
            const uint32_t askedAt = Elapsed();
            const int32_t rc = Read(kDeviceType, 0, value);
            if (rc == KIV_OK) break;
            // Only silence is waited out: a node that refuses is there.
            if (!mandatory || rc != KIV_ERR_TIMEOUT || Elapsed() >= bootTimeMs_ || Cancelled())
                return Fail(kNoAnswer, rc);
            const uint32_t spent = Elapsed() - askedAt;
            if (spent < kRetryMs) platform::SleepMs(kRetryMs - spent);
        }
        return Compare(kDeviceTypeDiffers, p_.deviceType, value);
    }

    bool CheckIdentity() {
        r_.step = KIV_BOOT_STEP_IDENTITY;
        const uint32_t expected[4] = {p_.vendorId, p_.productCode, p_.revision, p_.serial};
        for (uint8_t k = 0; k < 4; ++k) {
            if (expected[k] == 0) continue;
            uint32_t value = 0;
            const int32_t rc = Read(kIdentity, static_cast<uint8_t>(k + 1), value);
            if (rc != KIV_OK) return Fail(kIdentityDiffers[k], rc);
            if (!Compare(kIdentityDiffers[k], expected[k], value)) return false;
        }
        r_.index = 0;
        r_.subIndex = 0;
        return true;
    }

    // Waits until pred() holds or waitMs passed; true when it held.
    template <typename Pred>
    bool WaitFor(uint32_t waitMs, Pred pred) const {
        const uint32_t from = StackTick(h_);
        for (;;) {
            if (pred()) return true;
            if (StackTick(h_) - from >= waitMs || Cancelled()) return pred();
            platform::SleepMs(kPollMs);
        }
    }

    bool ResetCommunication() {
        r_.step = KIV_BOOT_STEP_RESET;
        r_.index = 0;
        std::atomic<uint32_t>& bootUps = h_->bootUps[node_];
        const uint32_t before = bootUps.load(std::memory_order_acquire);
        const int32_t rc = KIV_NMT_SendCommand(h_, node_, KIV_NMT_CMD_RESET_COMM);
        if (rc != KIV_OK) return Fail(kNoAnswer, rc);
        r_.nmtState = KIV_NMT_STATE_UNKNOWN;
        if (!WaitFor(bootTimeMs_,
                     [&] { return bootUps.load(std::memory_order_acquire) != before; }))
            return Fail(kNoAnswer, KIV_ERR_TIMEOUT);
        r_.nmtState = KIV_NMT_STATE_PRE_OPERATIONAL;
        return true;
    }

    bool Configure() {
        r_.step = KIV_BOOT_STEP_CONFIGURE;
        r_.index = 0;
        r_.subIndex = 0;
        r_.abortCode = 0;
        const int32_t rc = BootConfigure(h_, node_, p_, r_);
        if (rc != KIV_OK) return Fail(kConfigurationFailed, rc);
        r_.index = 0;
        r_.subIndex = 0;
        return true;
    }

    bool Supervise() {
        r_.step = KIV_BOOT_STEP_SUPERVISE;
        const bool guard = p_.guardTimeMs != 0;
        if (!guard && p_.heartbeatMs == 0) return true;
        const uint8_t factor = p_.lifeTimeFactor != 0 ? p_.lifeTimeFactor : kDefaultLifeTimeFactor;
        const uint8_t letter = guard ? kNoGuarding : kNoHeartbeat;
        const int32_t rc = guard ? KIV_GuardNode(h_, node_, p_.guardTimeMs, factor)
                                 : KIV_SuperviseNode(h_, node_, p_.heartbeatMs);
        if (rc != KIV_OK) return Fail(letter, rc);
        // The node must show itself within one life time.
        const uint32_t lifeMs = guard ? p_.guardTimeMs * factor : p_.heartbeatMs;
        KIV_NodeStatus s{};
        if (!WaitFor(lifeMs,
                     [&] { return KIV_GetNodeState(h_, node_, &s) == KIV_OK && s.alive != 0; }))
            return Fail(letter, KIV_ERR_TIMEOUT);
        if (s.state != KIV_NMT_STATE_BOOTUP) r_.nmtState = s.state;
        return true;
    }

    KIV_Handle h_;
    uint8_t node_;
    const KIV_BootParam& p_;
    KIV_BootReport& r_;
    uint32_t start_;
    uint32_t bootTimeMs_;
    uint32_t mark_;  // the node's cancel mark when the boot was asked for
};

}  // namespace

void ReportUnlistedBootUp(CoStack* stack, uint8_t node) {
    if (stack->onEvent == nullptr || !HostReachable(stack)) return;
    KIV_Event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = KIV_EVENT_BOOT;
    ev.node = node;
    ev.body.boot.status = kNotListed;
    ev.body.boot.nmtState = KIV_NMT_STATE_PRE_OPERATIONAL;
    stack->onEvent(&ev, stack->userData);
}

int32_t BootOneNode(KIV_Handle handle, uint8_t node, const KIV_BootParam& param,
                    KIV_BootReport& report, uint32_t cancelMark) {
    KIV_BootReport r;
    const int32_t result = Boot(handle, node, param, r, cancelMark).Run();
    report = r;

    CoRequest ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = REQ_BOOT_EVENT;
    ev.node = node;
    ev.payload.boot.status = r.status;
    ev.payload.boot.nmtState = r.nmtState;
    ev.payload.boot.result = r.result;
    ev.payload.boot.abortCode = r.abortCode;
    (void)SubmitRequest(handle, &ev, "KIV_BootNode");
    return result;
}

bool BootParamValid(const KIV_BootParam& param) {
    return (param.flags & KIV_BOOT_CONFIGURE) == 0 || param.dcf != nullptr ||
           (param.conciseDcf != nullptr && param.conciseDcfSize != 0);
}

void EmitBootEvent(CoStack* stack, const CoRequest* request) {
    if (stack->onEvent == nullptr || !HostReachable(stack)) return;
    KIV_Event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = KIV_EVENT_BOOT;
    ev.node = request->node;
    const auto& b = request->payload.boot;
    ev.body.boot.status = b.status;
    ev.body.boot.nmtState = b.nmtState;
    ev.body.boot.result = b.result;
    ev.body.boot.abortCode = b.abortCode;
    stack->onEvent(&ev, stack->userData);
}

}  // namespace orukiv

using namespace orukiv;

extern "C" int32_t KIV_BootNode(KIV_Handle handle, uint8_t node, const KIV_BootParam* param,
                                KIV_BootReport* report) {
    if (handle == nullptr || param == nullptr || report == nullptr || !cia301::IsNodeId(node))
        return KIV_ERR_PARAM;
    if (!BootParamValid(*param)) return KIV_ERR_PARAM;
    if (OnOwnWorker(handle)) {
        Log().Error("kiv KIV_BootNode called in a callback of its own instance: refused");
        return KIV_ERR_PARAM;
    }
    return BootOneNode(handle, node, *param, *report, CancelMark(handle, node));
}

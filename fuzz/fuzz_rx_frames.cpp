// Arbitrary received frames against SDO transfers in progress.
//
// Input: a 6-byte header, then 12-byte frame records.
//   header: [0] node of the reads, [1] node of the writes, [2] capacity of
//           the expedited read (0..4), [3] capacity of the segmented read
//           (5..36), [4] sizes of the writes (1..4 and 5..68), [5] bits
//           0-5 SDO time-out in 20 ms steps, bit 6 no onEvent, bit 7 clock
//           starting just before its 32-bit wrap.
//   record: [0] bits 0-1 id: the read node's response id, the write node's,
//               a raw 16-bit id from [1..2], or a 32-bit id from [1..2];
//               bit 2 remote; bit 3 tick the channels after the frame;
//               bits 4-7 clock advance before that tick, in 37 ms steps
//           [1..2] id bits, or, with the two response ids, shaping bits:
//               [1] bit 0 puts the reads' object into data 1..3, bit 1 the
//               writes' object; [2] bit 0 replaces data 0 by a protocol
//               command byte chosen by its value (as a server would send)
//           [3] dlc as received (any value); [4..11] data.
// The frames go through ProcessRxFrame on an instance with 3 reads and 2
// writes busy; finished transfers are claimed again. Checked: no access out
// of bounds (ASan, buffers of exact size), no byte around a read buffer
// changes, a write's source stays as it was, a read never reports more than
// its capacity, a completed request carries a defined result, and every
// frame yields one event that keeps the layout rules.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "event_layout.h"
#include "orukiv/QUserLog.h"
#include "platform/platform.h"
#include "services/rx_events.h"
#include "instance/co_stack.h"

namespace {

constexpr std::size_t kGuard = 16;
constexpr uint8_t kGuardByte = 0xA5;
constexpr int32_t kPending = -12345;

void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_rx_frames: %s\n", what);
    std::abort();
}

// A read destination with guard bytes on both sides, in one heap block.
struct ReadBuffer {
    std::unique_ptr<uint8_t[]> block;
    uint32_t capacity = 0;
    uint8_t* data() { return block.get() + kGuard; }
    void Reset(uint32_t cap) {
        capacity = cap;
        block.reset(new uint8_t[kGuard + cap + kGuard]);
        std::memset(block.get(), kGuardByte, kGuard + cap + kGuard);
    }
    void CheckGuards() const {
        for (std::size_t i = 0; i < kGuard; ++i) {
            if (block[i] != kGuardByte) Fail("byte before a read buffer changed");
            if (block[kGuard + capacity + i] != kGuardByte)
                Fail("byte after a read buffer changed");
        }
    }
};

struct Transfer {
    CoRequest request;
    ReadBuffer read;                    // reads
    std::unique_ptr<uint8_t[]> source;  // writes: exactly `size` bytes
    uint32_t size = 0;
    uint8_t node = 0;
    uint32_t received = 0;
    bool upload = true;
    bool claimed = false;
};

uint32_t now = 0;
uint32_t FakeTick(void*) {
    return now;
}

int32_t CheckSent(const KIV_CanFrame* f, void*) {
    if (f->dlc > 8) Fail("sent frame with dlc above 8");
    if (f->id < 0x600 || f->id > 0x6FF) Fail("sent frame outside the SDO request ids");
    return 0;
}

const KIV_CanFrame* current = nullptr;
int eventsForCurrent = 0;

void CheckEvent(const KIV_Event* e, void*) {
    ++eventsForCurrent;
    const KIV_CanFrame& f = *current;
    if (e->type != orukiv::test::ExpectedEventType(f.id, f.rtr != 0)) Fail("event type");
    const uint8_t node = e->type == KIV_EVENT_EMCY ? static_cast<uint8_t>((f.id & 0xFF) - 0x80)
                                                   : static_cast<uint8_t>(f.id & 0xFF);
    if (e->node != node) Fail("event node");
    const auto* raw = reinterpret_cast<const uint8_t*>(e);
    if (raw[5] | raw[6] | raw[7]) Fail("event head reserved bytes");
    for (std::size_t i = orukiv::test::DefinedEventEnd(e->type); i < sizeof *e; ++i)
        if (raw[i] != 0) Fail("event byte outside its type's fields");
    if (e->type == KIV_EVENT_SDO) {
        if (e->body.sdo.sdoLength > 4) Fail("sdoLength above 4");
        for (unsigned i = e->body.sdo.sdoLength; i < 8; ++i)
            if (e->body.sdo.sdoData[i] != 0) Fail("sdoData beyond sdoLength");
    }
    if (e->type == KIV_EVENT_FRAME) {
        const uint8_t n = f.rtr ? 0 : (f.dlc > 8 ? 8 : f.dlc);
        if (e->body.frame.frameLength != n) Fail("frameLength");
        if (std::memcmp(e->body.frame.frameData, f.data, n) != 0) Fail("frameData");
        for (unsigned i = n; i < 8; ++i)
            if (e->body.frame.frameData[i] != 0) Fail("frameData beyond frameLength");
    }
    if (e->type == KIV_EVENT_TIME) {
        const auto& t = e->body.time;
        if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 ||
            t.minute > 59 || t.second > 59 || t.millisecond > 999 || t.reserved != 0)
            Fail("time fields out of range");
    }
}

constexpr uint16_t kReadIndex = 0x2000;
constexpr uint8_t kReadSub = 1;
constexpr uint16_t kWriteIndex = 0x2001;
constexpr uint8_t kWriteSub = 2;

// Steers a response frame towards the transfers' states: without this the
// fuzzer would first have to guess a command byte and a 3-byte object.
void Shape(const uint8_t* r, KIV_CanFrame& f) {
    static const uint8_t kServerCommands[] = {
        0x41, 0x43, 0x47, 0x4B, 0x4F, 0x42, 0x40, 0x60, 0x80,  // initiate answers, abort
        0x00, 0x10, 0x01, 0x11, 0x03, 0x13, 0x0D, 0x1D, 0x0F,  // upload segments
        0x20, 0x30, 0x21, 0x31,                                // download segment answers
    };
    if ((r[2] & 1) != 0) f.data[0] = kServerCommands[f.data[0] % sizeof kServerCommands];
    if ((r[1] & 1) != 0) {
        f.data[1] = kReadIndex & 0xFF;
        f.data[2] = kReadIndex >> 8;
        f.data[3] = kReadSub;
    } else if ((r[1] & 2) != 0) {
        f.data[1] = kWriteIndex & 0xFF;
        f.data[2] = kWriteIndex >> 8;
        f.data[3] = kWriteSub;
    }
}

void Claim(CoStack* stack, Transfer& t) {
    std::memset(&t.request, 0, sizeof t.request);
    t.request.result = kPending;
    t.request.node = t.node;
    t.received = 0;
    if (t.upload) {
        t.read.Reset(t.read.capacity);
        t.request.type = REQ_SDO_READ;
        t.request.payload.sdoRead.index = kReadIndex;
        t.request.payload.sdoRead.subIndex = kReadSub;
        t.request.payload.sdoRead.buffer = t.read.data();
        t.request.payload.sdoRead.capacity = t.read.capacity;
        t.request.payload.sdoRead.received = &t.received;
    } else {
        t.request.type = REQ_SDO_WRITE;
        t.request.payload.sdoWrite.index = kWriteIndex;
        t.request.payload.sdoWrite.subIndex = kWriteSub;
        t.request.payload.sdoWrite.data = t.source.get();
        t.request.payload.sdoWrite.size = t.size;
    }
    t.claimed = orukiv::SdoClaimChannel(stack, &t.request) == KIV_OK;
    if (!t.claimed) Fail("no free channel for a transfer");
}

bool InChannel(const CoStack* stack, const Transfer& t) {
    const orukiv::SdoChannel* pool = t.upload ? stack->sdoUpload : stack->sdoDownload;
    for (int i = 0; i < orukiv::SDO_CHANNELS; ++i)
        if (pool[i].busy && pool[i].request == &t.request) return true;
    return false;
}

// After a tick: transfers that left their channel must have completed with
// a defined result and respected their buffer; they are then claimed again.
void Collect(CoStack* stack, Transfer* transfers, std::size_t count, int& reclaims) {
    for (std::size_t i = 0; i < count; ++i) {
        Transfer& t = transfers[i];
        if (t.upload) t.read.CheckGuards();
        for (uint32_t k = 0; !t.upload && k < t.size; ++k)
            if (t.source[k] != static_cast<uint8_t>(k)) Fail("a write changed its source data");
        if (!t.claimed || InChannel(stack, t)) continue;
        const int32_t r = t.request.result;
        if (r != KIV_OK && r != KIV_ERR_PARAM && r != KIV_ERR_TIMEOUT && r != KIV_ERR_ABORTED)
            Fail("transfer left its channel without a defined result");
        if (t.upload && t.received > t.read.capacity) Fail("received more than the capacity");
        t.claimed = false;
        if (reclaims-- > 0) Claim(stack, t);
    }
}

void Tick(CoStack* stack, Transfer* transfers, std::size_t count, int& reclaims) {
    orukiv::SdoTickUploads(stack);
    orukiv::SdoTickDownloads(stack);
    Collect(stack, transfers, count, reclaims);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Nothing to see in the log here, and formatting it would dominate.
    QUserLog::GetInstance().SetLogLevel(LOG_FATAL);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in, std::size_t size) {
    if (size < 6) return 0;
    KIV_InitParam p;
    std::memset(&p, 0, sizeof p);
    p.canSend = &CheckSent;
    p.onEvent = (in[5] & 0x40) != 0 ? nullptr : &CheckEvent;
    CoStack* stack = orukiv::NewStack(&p);
    if (stack == nullptr) return 0;
    now = (in[5] & 0x80) != 0 ? 0xFFFFFF00u : 1000u;
    stack->tick = &FakeTick;
    stack->sdoTimeoutMs = 20u * (1u + (in[5] & 0x3F));

    const uint8_t readNode = in[0];
    const uint8_t writeNode = in[1];
    Transfer transfers[5];
    transfers[0].read.capacity = in[2] % 5u;        // expedited, 0..4
    transfers[1].read.capacity = 5u + in[3] % 32u;  // segmented
    transfers[2].read.capacity = 4;                 // expedited, full
    transfers[3].size = 1u + in[4] % 4u;            // expedited write
    transfers[4].size = 5u + in[4] % 64u;           // segmented write
    for (int i = 0; i < 5; ++i) {
        Transfer& t = transfers[i];
        t.upload = i < 3;
        t.node = t.upload ? readNode : writeNode;
        if (!t.upload) {
            t.source.reset(new uint8_t[t.size]);
            for (uint32_t k = 0; k < t.size; ++k) t.source[k] = static_cast<uint8_t>(k);
        }
        Claim(stack, t);
    }

    int reclaims = 8;
    Tick(stack, transfers, 5, reclaims);

    for (std::size_t at = 6; at + 12 <= size; at += 12) {
        const uint8_t* r = in + at;
        KIV_CanFrame f;
        std::memset(&f, 0, sizeof f);
        switch (r[0] & 3) {
            case 0:
                f.id = 0x580u + readNode;
                break;
            case 1:
                f.id = 0x580u + writeNode;
                break;
            case 2:
                f.id = static_cast<uint32_t>(r[1] | r[2] << 8);
                break;
            default:
                f.id = static_cast<uint32_t>(r[1]) << 24 | static_cast<uint32_t>(r[2]) << 16 |
                       static_cast<uint32_t>(r[1]) << 8 | r[2];
                break;
        }
        f.rtr = (r[0] & 4) != 0 ? 1 : 0;
        f.dlc = r[3];
        std::memcpy(f.data, r + 4, 8);
        if ((r[0] & 3) < 2) Shape(r, f);
        const KIV_CanFrame copy = f;

        current = &f;
        eventsForCurrent = 0;
        orukiv::ProcessRxFrame(stack, &f);
        if (std::memcmp(&copy, &f, sizeof f) != 0) Fail("received frame was modified");
        if (eventsForCurrent != (p.onEvent != nullptr ? 1 : 0)) Fail("not one event per frame");

        if ((r[0] & 8) != 0) {
            now += 37u * (r[0] >> 4);
            Tick(stack, transfers, 5, reclaims);
        }
    }
    // Run every transfer out: all must end by time-out at the latest.
    reclaims = 0;
    for (int i = 0; i < 200; ++i) {
        now += 50;
        Tick(stack, transfers, 5, reclaims);
    }
    for (const Transfer& t : transfers)
        if (t.claimed && InChannel(stack, t))
            Fail("transfer still running long after its time-out");
    orukiv::FreeStack(stack);
    return 0;
}

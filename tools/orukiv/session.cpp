// Object access shared by the commands.
#include "session.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <new>

#include "interrupt.h"
#include "orukiv_common/byte_order.h"

namespace orukiv::tool {

uint32_t Access::U32() const {
    return LoadLe32(data);
}

Access Session::Read(uint8_t node, uint16_t index, uint8_t sub) {
    Access a;
    // Room for one byte beyond the limit tells an object that is too long.
    // The buffer is only touched as far as the data goes.
    const uint32_t room = options_.maxSize + 1;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[room]);
    if (!buffer) {
        a.result = KIV_ERR_NO_RESOURCE;
        return a;
    }
    uint32_t got = 0;
    a.result = KIV_ReadObjectEx(h(), node, index, sub, buffer.get(), room, &got, &a.abortCode);
    if (a.ok() && got > options_.maxSize) {
        std::fprintf(stderr, "orukiv: %s is longer than --max-size (%u bytes)\n",
                     ObjectName(node, index, sub).c_str(), options_.maxSize);
        a.result = KIV_ERR_PARAM;
    }
    if (a.ok()) a.data.assign(buffer.get(), buffer.get() + got);
    return a;
}

Access Session::Write(uint8_t node, uint16_t index, uint8_t sub, const std::vector<uint8_t>& data) {
    Access a;
    a.result = KIV_WriteObjectEx(h(), node, index, sub, data.data(),
                                 static_cast<uint32_t>(data.size()), &a.abortCode);
    return a;
}

Access Session::WriteU(uint8_t node, uint16_t index, uint8_t sub, uint32_t value,
                       std::size_t size) {
    return Write(node, index, sub, StoreLe(value, size));
}

CancelOnInterrupt::CancelOnInterrupt(Session& s) : h_(s.h()) {
    watch_ = std::thread([this] {
        while (!stop_.load()) {
            if (Interrupted()) {
                cancelled_.store(true);
                KIV_Cancel(h_, 0);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
}

CancelOnInterrupt::~CancelOnInterrupt() {
    stop_.store(true);
    watch_.join();
}

bool RunSteps(Session& s, uint8_t node, const std::vector<Step>& steps, StepFailure& failed) {
    for (const Step& step : steps) {
        const Access a = s.WriteU(node, step.index, step.sub, step.value, step.size);
        if (!a.ok()) {
            failed = {step.step + " (" + ObjectName(node, step.index, step.sub) + ")", a};
            return false;
        }
    }
    return true;
}

std::string ObjectName(uint8_t node, uint16_t index, uint8_t sub) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "node %u 0x%04X:%02X", node, index, sub);
    return buf;
}

}  // namespace orukiv::tool

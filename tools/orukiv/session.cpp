// Object access shared by the commands.
#include "session.h"

#include <cstdio>

namespace orukiv::tool {

namespace {

constexpr uint32_t kReadBuffer = 4096;

}  // namespace

uint32_t Access::U32() const {
    uint32_t v = 0;
    for (std::size_t i = 0; i < data.size() && i < 4; ++i)
        v |= static_cast<uint32_t>(data[i]) << (8 * i);
    return v;
}

Access Session::Read(uint8_t node, uint16_t index, uint8_t sub) {
    Access a;
    a.data.resize(kReadBuffer);
    uint32_t got = 0;
    a.result =
        KIV_ReadObjectEx(h(), node, index, sub, a.data.data(), kReadBuffer, &got, &a.abortCode);
    a.data.resize(a.ok() ? got : 0);
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
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return Write(node, index, sub, bytes);
}

std::string ObjectName(uint8_t node, uint16_t index, uint8_t sub) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "node %u 0x%04X:%02X", node, index, sub);
    return buf;
}

}  // namespace orukiv::tool

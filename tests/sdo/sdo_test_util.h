// Helpers shared by the SDO tests: frame builders for one node's default SDO
// and a capture of the logger's debugger output.
#pragma once

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "orukiv/orukiv.h"
#include "platform/platform.h"

namespace sdotest {

// An 8-byte SDO frame (dlc 8) with the given id and leading bytes, the rest 0.
inline KIV_CanFrame SdoFrame(uint32_t id, const std::vector<uint8_t>& bytes) {
    KIV_CanFrame f;
    std::memset(&f, 0, sizeof f);
    f.id = id;
    f.dlc = 8;
    for (std::size_t i = 0; i < bytes.size() && i < 8; ++i) f.data[i] = bytes[i];
    return f;
}

// Header byte followed by up to seven data bytes.
inline std::vector<uint8_t> Segment(uint8_t header, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out{header};
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// Object value used in the tests: byte i is `base` + i.
inline std::vector<uint8_t> Pattern(std::size_t n, uint8_t base = 0x30) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(base + i);
    return v;
}

inline std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, std::size_t from, std::size_t n) {
    return std::vector<uint8_t>(v.begin() + static_cast<std::ptrdiff_t>(from),
                                v.begin() + static_cast<std::ptrdiff_t>(from + n));
}

// Collects the logger's lines while alive. The logger calls the hook on the
// thread that logs, so the lines are guarded.
class LogCapture {
public:
    LogCapture() { orukiv::platform::SetDebugCapture(&LogCapture::Hook, this); }
    ~LogCapture() { orukiv::platform::SetDebugCapture(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> g(m_);
        return lines_;
    }
    // Lines of that level whose message is exactly `message`.
    int Count(const char* level, const std::string& message) const {
        const std::string tail = std::string("] [") + level + "] " + message;
        int n = 0;
        for (const auto& line : Lines())
            if (line.size() >= tail.size() &&
                line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
                ++n;
        return n;
    }
    bool Has(const char* level, const std::string& message) const {
        return Count(level, message) > 0;
    }
    void Clear() {
        std::lock_guard<std::mutex> g(m_);
        lines_.clear();
    }

private:
    static void Hook(const char* text, void* context) {
        auto* self = static_cast<LogCapture*>(context);
        std::string s(text);
        if (s == "\n") return;
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        std::lock_guard<std::mutex> g(self->m_);
        self->lines_.push_back(s);
    }

    mutable std::mutex m_;
    std::vector<std::string> lines_;
};

}  // namespace sdotest

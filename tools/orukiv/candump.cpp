// The candump log line and the frame trace.
#include "candump.h"

#include <cinttypes>

namespace orukiv::tool {

std::string CandumpLine(const KIV_CanFrame& frame, std::chrono::system_clock::time_point at,
                        const std::string& interface) {
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
    char buf[80];
    int n = std::snprintf(buf, sizeof buf, "(%" PRId64 ".%06" PRId64 ") ",
                          static_cast<int64_t>(micros / 1000000),
                          static_cast<int64_t>(micros % 1000000));
    std::string line(buf, static_cast<std::size_t>(n));
    line += interface;
    if (frame.id > 0x7FF)
        n = std::snprintf(buf, sizeof buf, " %08" PRIX32 "#", frame.id & 0x1FFFFFFFu);
    else
        n = std::snprintf(buf, sizeof buf, " %03" PRIX32 "#", frame.id);
    line.append(buf, static_cast<std::size_t>(n));
    if (frame.rtr) {
        line += 'R';
        return line;
    }
    const unsigned dlc = frame.dlc > 8 ? 8 : frame.dlc;
    for (unsigned i = 0; i < dlc; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", frame.data[i]);
        line += buf;
    }
    return line;
}

FrameTrace::FrameTrace(std::string interface, std::FILE* console, std::FILE* file)
    : interface_(std::move(interface)), console_(console), file_(file) {}

FrameTrace::~FrameTrace() {
    if (file_) std::fclose(file_);
}

void FrameTrace::Frame(const KIV_CanFrame& frame) {
    const std::string line = CandumpLine(frame, std::chrono::system_clock::now(), interface_);
    std::lock_guard<std::mutex> lock(m_);
    if (console_) {
        std::fprintf(console_, "%s\n", line.c_str());
        if (console_ != stdout) std::fflush(console_);
    }
    if (file_) {
        std::fprintf(file_, "%s\n", line.c_str());
        std::fflush(file_);
    }
}

}  // namespace orukiv::tool

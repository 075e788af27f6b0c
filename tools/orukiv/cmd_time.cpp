// `orukiv time`: a TIME stamp of the local time now.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>

#include "command.h"
#include "report.h"

namespace orukiv::tool {

int32_t SendTimeNow(Session& s, std::string& stamp) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &t);
#else
    localtime_r(&t, &local);
#endif
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03u", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<unsigned>(ms));
    stamp = text;
    return KIV_SendTimestamp(
        s.h(), static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint8_t>(local.tm_mon + 1),
        static_cast<uint8_t>(local.tm_mday), static_cast<uint8_t>(local.tm_hour),
        static_cast<uint8_t>(local.tm_min), static_cast<uint8_t>(local.tm_sec), ms);
}

static int CmdTime(Session& s) {
    std::string stamp;
    const int32_t r = SendTimeNow(s, stamp);
    return PrintResult(s, "TIME stamp sent: " + stamp, "TIME stamp " + stamp, r,
                       Json().Str("time", stamp));
}

Command TimeCommand() {
    return {"time", "send a TIME stamp of now",
            [](CLI::App&) -> Handler { return [](Session& s) { return CmdTime(s); }; }};
}

}  // namespace orukiv::tool

// The logger's configuration-file reader on arbitrary file contents.
//
// Every input is written to a scratch file and loaded with LoadConfig. No
// input may crash it or read out of bounds. When the input is made of lines
// short enough to be read whole (below 1000 bytes) without NUL bytes, the
// level it sets is compared with an independent reading of the file: the
// first "LogLevel = value" in section [LogConfig] (';' starts a comment,
// blanks around names and values ignored), 2 when there is none; a message
// must produce a line exactly when the level is at most the message's.
//
// The reader creates the configured log directory: directory creation is
// refused for the whole process, so that no input creates anything on disk,
// and file output is switched off before anything is logged.
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "log/log_internal.h"
#include "orukiv/QUserLog.h"
#include "platform/platform.h"

// Replaces the C library's mkdir for this program.
extern "C" int mkdir(const char*, mode_t) noexcept {
    errno = EACCES;
    return -1;
}

namespace {

void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_log_config: %s\n", what);
    std::abort();
}

std::string_view Trim(std::string_view s, std::string_view leading, std::string_view trailing) {
    while (!s.empty() && leading.find(s.front()) != std::string_view::npos) s.remove_prefix(1);
    while (!s.empty() && trailing.find(s.back()) != std::string_view::npos) s.remove_suffix(1);
    return s;
}

// The value of key in section, read the way an ini file is meant to be.
bool Lookup(std::string_view text, std::string_view section, std::string_view key,
            std::string* value) {
    bool inSection = false;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        line = line.substr(0, line.find(';'));
        line = Trim(line, " \t", " \t\r\n");
        if (line.empty() || line.front() == '\r') continue;
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            const std::string_view name = line.substr(1, line.size() - 2);
            inSection = name.size() < 256 && name == section;
            continue;
        }
        if (!inSection) continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view name = Trim(line.substr(0, eq), "", " \t");
        if (name.size() >= 256 || name != key) continue;
        *value = std::string(Trim(line.substr(eq + 1), " \t", ""));
        return true;
    }
    return false;
}

bool ReadWhole(const uint8_t* data, std::size_t size) {
    std::size_t lineLength = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) return false;
        lineLength = data[i] == '\n' ? 0 : lineLength + 1;
        if (lineLength >= 1000) return false;
    }
    return true;
}

// A fixed clock: the system's local time costs more than the rest of a run.
bool FixedClock(std::tm* out) {
    *out = std::tm{};
    out->tm_year = 124;
    out->tm_mday = 1;
    return true;
}

int g_lines = 0;
void CountLines(const char* text, void*) {
    if (text[0] == '[') ++g_lines;
}

std::string ScratchFile() {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir != nullptr ? dir : "/tmp") + "/fuzz_log_config_XXXXXX";
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) Fail("no scratch file");
    close(fd);
    return name.data();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const std::string file = ScratchFile();
    orukiv::logtest::SetLocalTimeSource(FixedClock);
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (f == nullptr) Fail("cannot write the scratch file");
    if (size != 0 && std::fwrite(data, 1, size, f) != size) Fail("short write");
    std::fclose(f);

    QUserLog& log = QUserLog::GetInstance();
    log.LoadConfig(file.c_str());
    log.EnableFileOutput(false);
    if (!ReadWhole(data, size)) return 0;

    std::string value;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const int level = Lookup(text, "LogConfig", "LogLevel", &value) ? std::atoi(value.c_str()) : 2;
    orukiv::platform::SetDebugCapture(CountLines, nullptr);
    void (QUserLog::*const methods[6])(const char*, ...) = {&QUserLog::Trace, &QUserLog::Debug,
                                                            &QUserLog::Info,  &QUserLog::Warn,
                                                            &QUserLog::Error, &QUserLog::Fatal};
    for (int m = 0; m < 6; ++m) {
        g_lines = 0;
        (log.*methods[m])("probe");
        if (g_lines != (level <= m ? 1 : 0)) Fail("level differs from the file's LogLevel");
    }
    orukiv::platform::SetDebugCapture(nullptr, nullptr);
    return 0;
}

// The logger's configuration file ("QUserLog.ini") and log directory.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/log_internal.h"
#include "orukiv/QUserLog.h"
#include "platform/platform.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsSeparator(char c) {
#if defined(_WIN32)
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

constexpr std::size_t kNameBuffer = 256;

// Copies [begin, begin+len) into a 256-character buffer; false when it does
// not fit, so that an over-long name never matches.
bool CopyName(char (&out)[kNameBuffer], const char* begin, std::size_t len) {
    if (len >= kNameBuffer) return false;
    std::memcpy(out, begin, len);
    out[len] = '\0';
    return true;
}

}  // namespace

bool QUserLog::ReadConfigValue(const char* file, const char* section, const char* key,
                               std::string& result, const char* defaultValue) {
    std::FILE* f = std::fopen(file, "r");
    if (f == nullptr) {
        result = defaultValue;
        return false;
    }
    bool inSection = false;
    char line[1024];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (char* semi = std::strchr(line, ';')) *semi = '\0';
        char* p = line;
        while (IsBlank(*p)) ++p;
        if (*p == '\0' || *p == '\r' || *p == '\n') continue;
        std::size_t len = std::strlen(p);
        while (len > 0 && (IsBlank(p[len - 1]) || p[len - 1] == '\r' || p[len - 1] == '\n')) --len;
        p[len] = '\0';

        if (p[0] == '[' && p[len - 1] == ']' && len >= 2) {
            char name[kNameBuffer];
            inSection = CopyName(name, p + 1, len - 2) && std::strcmp(name, section) == 0;
            continue;
        }
        if (!inSection) continue;
        char* eq = std::strchr(p, '=');
        if (eq == nullptr) continue;
        std::size_t keyLen = static_cast<std::size_t>(eq - p);
        while (keyLen > 0 && IsBlank(p[keyLen - 1])) --keyLen;
        char name[kNameBuffer];
        if (!CopyName(name, p, keyLen) || std::strcmp(name, key) != 0) continue;
        const char* value = eq + 1;
        while (IsBlank(*value)) ++value;
        result = value;
        std::fclose(f);
        return true;
    }
    std::fclose(f);
    result = defaultValue;
    return false;
}

bool QUserLog::ReadConfigValue(const char* file, const char* section, const char* key, int& result,
                               int defaultValue) {
    std::string text;
    if (ReadConfigValue(file, section, key, text, "")) {
        result = std::atoi(text.c_str());
        return true;
    }
    result = defaultValue;
    return false;
}

void QUserLog::LoadConfig(const char* configPath) {
    orukiv::logdetail::CallGuard call;
    if (!call.ok()) return;
    orukiv::logdetail::ScopedLock g(m_lock);
    if (configPath != nullptr && PathExists(configPath)) {
        int level = 0;
        ReadConfigValue(configPath, "LogConfig", "LogLevel", level, 2);
        SetLogLevel(static_cast<LogLevel>(level));
        std::string path;
        const std::string current = m_logPath;
        ReadConfigValue(configPath, "LogConfig", "LogPath", path, current.c_str());
        SetLogPath(path.c_str());
        int fileOutput = 0;
        ReadConfigValue(configPath, "LogConfig", "FileOutput", fileOutput, 1);
        m_fileOutput = fileOutput != 0;
    } else {
        m_fileOutput = false;
    }
}

void QUserLog::SetLogPath(const char* path) {
    orukiv::logdetail::CallGuard call;
    if (!call.ok()) return;
    orukiv::logdetail::ScopedLock g(m_lock);
    if (path == nullptr || path[0] == '\0') return;
    m_logPath = path;
    const char sep = orukiv::platform::PathSeparator();
    if (m_logPath.back() != sep) m_logPath.push_back(sep);
    (void)EnsureLogDirectory(m_logPath.c_str());
}

bool QUserLog::EnsureLogDirectory(const char* path) {
    if (path == nullptr || path[0] == '\0') return false;
    std::string dir = path;
    if (dir.back() == orukiv::platform::PathSeparator()) dir.pop_back();
    if (dir.empty()) return false;
    // A separator in the first position is the root, not the end of a level.
    for (std::size_t p = 1; p < dir.size(); ++p) {
        if (!IsSeparator(dir[p])) continue;
        const std::string prefix = dir.substr(0, p);
        if (PathExists(prefix.c_str())) continue;
        if (!orukiv::platform::CreateDir(prefix.c_str())) return false;
    }
    if (PathExists(dir.c_str())) return true;
    return orukiv::platform::CreateDir(dir.c_str());
}

bool QUserLog::PathExists(const char* path) {
    return path != nullptr && path[0] != '\0' && orukiv::platform::PathExists(path);
}

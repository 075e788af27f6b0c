#include "log_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "log/log_internal.h"
#include "platform/platform.h"

namespace orukiv::test {

ScratchDir::ScratchDir() {
    static std::atomic<unsigned> serial{0};
    std::random_device rd;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::ostringstream name;
        name << "orukiv_log_" << std::hex << rd() << '_' << stamp << '_' << serial++;
        fs::path candidate = fs::temp_directory_path() / name.str();
        if (fs::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a scratch folder");
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

DebugCapture::DebugCapture(bool keepTexts) : keep_(keepTexts) {
    platform::SetDebugCapture(&DebugCapture::On, this);
}

DebugCapture::~DebugCapture() {
    platform::SetDebugCapture(nullptr, nullptr);
}

void DebugCapture::On(const char* text, void* self) {
    auto* c = static_cast<DebugCapture*>(self);
    if (c == nullptr) return;
    std::lock_guard<std::mutex> g(c->mutex_);
    ++c->count_;
    if (c->keep_) c->texts_.emplace_back(text);
}

std::vector<std::string> DebugCapture::Texts() const {
    std::lock_guard<std::mutex> g(mutex_);
    return texts_;
}

std::vector<std::string> DebugCapture::Lines() const {
    std::vector<std::string> texts = Texts();
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < texts.size(); i += 2) {
        if (i + 1 >= texts.size() || texts[i + 1] != "\n" || texts[i] == "\n") {
            ADD_FAILURE() << "debugger output #" << i << " is not a line followed by \"\\n\": \""
                          << texts[i] << "\"";
            return lines;
        }
        lines.push_back(texts[i]);
    }
    return lines;
}

std::size_t DebugCapture::Count() const {
    std::lock_guard<std::mutex> g(mutex_);
    return count_;
}

void DebugCapture::Clear() {
    std::lock_guard<std::mutex> g(mutex_);
    texts_.clear();
    count_ = 0;
}

namespace {
std::mutex g_clockMutex;
std::tm g_clock{};

bool FakeClock(std::tm* out) {
    std::lock_guard<std::mutex> g(g_clockMutex);
    *out = g_clock;
    return true;
}
}  // namespace

void SetFakeClock(int year, int month, int day, int hour, int minute, int second) {
    {
        std::lock_guard<std::mutex> g(g_clockMutex);
        g_clock = std::tm{};
        g_clock.tm_year = year - 1900;
        g_clock.tm_mon = month - 1;
        g_clock.tm_mday = day;
        g_clock.tm_hour = hour;
        g_clock.tm_min = minute;
        g_clock.tm_sec = second;
        g_clock.tm_isdst = -1;
    }
    logtest::SetLocalTimeSource(&FakeClock);
}

void RestoreClock() {
    logtest::SetLocalTimeSource(nullptr);
}

const char* NativeLineEnd() {
#if defined(_WIN32)
    return "\r\n";
#else
    return "\n";
#endif
}

char NativeSeparator() {
    return static_cast<char>(fs::path::preferred_separator);
}

std::vector<std::string> ReadLogLines(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot open " << file.string();
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string end = NativeLineEnd();
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t lf = bytes.find('\n', pos);
        if (lf == std::string::npos) {
            ADD_FAILURE() << file.string() << ": last line has no line ending: \""
                          << bytes.substr(pos) << "\"";
            break;
        }
        std::string line = bytes.substr(pos, lf + 1 - pos);
        pos = lf + 1;
        if (line.size() < end.size() ||
            line.compare(line.size() - end.size(), end.size(), end) != 0) {
            ADD_FAILURE() << file.string()
                          << ": line does not end with the platform's line ending: \"" << line
                          << "\"";
        } else {
            line.resize(line.size() - end.size());
        }
        if (line.find('\r') != std::string::npos) {
            ADD_FAILURE() << file.string() << ": stray CR in \"" << line << "\"";
        }
        lines.push_back(line);
    }
    return lines;
}

namespace {
bool IsLogFileName(const fs::path& p) {
    const std::string name = p.filename().string();
    return name.rfind("OruLog_", 0) == 0 && p.extension() == ".log";
}
}  // namespace

std::vector<fs::path> LogFilesIn(const fs::path& dir) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        if (e.is_regular_file() && IsLogFileName(e.path())) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<fs::path> LogFilesBelow(const fs::path& dir) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(dir, ec)) {
        if (e.is_regular_file() && IsLogFileName(e.path())) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

void WriteBytes(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << "cannot write " << file.string();
}

std::string ExecutableDir() {
    char exe[1024] = {0};
    if (platform::ExecutablePath(exe, sizeof exe) == 0) return "./";
    std::string path = exe;
    const std::size_t cut = path.rfind(platform::PathSeparator());
    return cut == std::string::npos ? std::string("./") : path.substr(0, cut + 1);
}

int ObservedLevel(DebugCapture& capture) {
    QUserLog& log = QUserLog::GetInstance();
    capture.Clear();
    log.Trace("observe level");
    log.Debug("observe level");
    log.Info("observe level");
    log.Warn("observe level");
    log.Error("observe level");
    log.Fatal("observe level");
    static const char* const names[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
    const std::vector<std::string> lines = capture.Lines();
    if (lines.empty()) return 6;
    const std::string first = LevelOf(lines.front());
    for (int i = 0; i < 6; ++i) {
        if (first == names[i]) {
            // Everything from that level up, and nothing else.
            EXPECT_EQ(lines.size(), static_cast<std::size_t>(6 - i));
            return i;
        }
    }
    ADD_FAILURE() << "unexpected line " << lines.front();
    return -1;
}

std::string LevelOf(const std::string& line) {
    // "[YYYY-MM-DD HH:MM:SS] [NAME] text"
    if (line.size() < 25 || line[0] != '[' || line[20] != ']' || line[21] != ' ' ||
        line[22] != '[') {
        return "";
    }
    const std::size_t close = line.find("] ", 23);
    if (close == std::string::npos) return "";
    return line.substr(23, close - 23);
}

void ResetLogger(const fs::path& dump) {
    QUserLog& log = QUserLog::GetInstance();
    log.EnableFileOutput(false);
    std::error_code ec;
    fs::create_directories(dump, ec);
    log.SetLogPath(dump.string().c_str());
    log.FlushCache();
    log.SetLogPath(ExecutableDir().c_str());
    log.SetLogLevel(LOG_TRACE);
    RestoreClock();
}

}  // namespace orukiv::test

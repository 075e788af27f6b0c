// Helpers shared by the logger tests: scratch folders, debugger-output
// capture, a substitutable local clock and log-file reading.
#pragma once

#include <cstddef>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "orukiv/QUserLog.h"

namespace orukiv::test {

namespace fs = std::filesystem;

// A fresh folder under the platform's temporary directory, removed with
// everything in it at the end of the scope.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const fs::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    // path()/name as a native string.
    std::string sub(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

// Records every text the logger hands to the debugger output while it
// lives. With keepTexts false it only counts them (for runs of many lines).
class DebugCapture {
public:
    explicit DebugCapture(bool keepTexts = true);
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    std::vector<std::string> Texts() const;
    // The lines, each of which must have been followed directly by a
    // separate "\n" text; a text out of that pattern fails the test.
    std::vector<std::string> Lines() const;
    std::size_t Count() const;
    void Clear();

private:
    static void On(const char* text, void* self);
    mutable std::mutex mutex_;
    bool keep_;
    std::vector<std::string> texts_;
    std::size_t count_ = 0;
};

// Local time seen by the logger from now on (until RestoreClock).
void SetFakeClock(int year, int month, int day, int hour, int minute, int second);
void RestoreClock();

// The line ending the logger's text-mode files carry on this platform.
const char* NativeLineEnd();
char NativeSeparator();

// Lines of a log file. Every line must end with the platform's line ending
// (LF on POSIX, CR LF on Windows); a line that does not fails the test.
std::vector<std::string> ReadLogLines(const fs::path& file);
// Every "OruLog_*.log" file directly in dir, sorted by name.
std::vector<fs::path> LogFilesIn(const fs::path& dir);
// Every "OruLog_*.log" file anywhere below dir, sorted.
std::vector<fs::path> LogFilesBelow(const fs::path& dir);
// Writes bytes exactly as given (no line-ending translation).
void WriteBytes(const fs::path& file, const std::string& bytes);

// The folder of the running test executable, with a trailing separator:
// the logger's start-up log directory.
std::string ExecutableDir();

// The level of the first of Trace..Fatal that produces a line (0..5), or 6
// when none does. Uses the capture, which it clears first.
int ObservedLevel(DebugCapture& capture);

// The level name inside "[time] [NAME] text", or "" when the line does not
// have that form.
std::string LevelOf(const std::string& line);

// Puts the logger back into the state it starts in for the test executable:
// level TRACE, file output off, an empty cache (leftover lines are written
// into dump), the executable's folder as log directory, the real clock.
void ResetLogger(const fs::path& dump);

}  // namespace orukiv::test

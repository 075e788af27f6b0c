// The logger: level threshold, line format, debugger output, the file cache
// (batches of 100, flushes, failures, its bound), long messages, threads and
// the day change; and its re-entrant lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "log_test_util.h"
#include "orukiv/QUserLog.h"

namespace orukiv::test {
namespace {

constexpr const char* kNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};

void LogAt(int level, const char* text) {
    QUserLog& log = QUserLog::GetInstance();
    switch (level) {
        case 0:
            log.Trace("%s", text);
            break;
        case 1:
            log.Debug("%s", text);
            break;
        case 2:
            log.Info("%s", text);
            break;
        case 3:
            log.Warn("%s", text);
            break;
        case 4:
            log.Error("%s", text);
            break;
        default:
            log.Fatal("%s", text);
            break;
    }
}

std::string Stamp(const char* time, const char* level, const std::string& text) {
    return std::string("[") + time + "] [" + level + "] " + text;
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetFakeClock(2026, 12, 6, 12, 57, 8);
        log_.SetLogLevel(LOG_TRACE);
        log_.EnableFileOutput(false);
        log_.SetLogPath(dir_.str().c_str());
    }
    void TearDown() override { ResetLogger(dir_.path() / "leftover"); }

    fs::path DayFile(const char* date) const {
        return dir_.path() / (std::string("OruLog_") + date + ".log");
    }

    QUserLog& log_ = QUserLog::GetInstance();
    ScratchDir dir_;
    DebugCapture capture_;
};

// ---- Level threshold ------------------------------------------------------

TEST_F(LoggerTest, ThresholdDecidesWhichMethodsProduceLines) {
    struct Case {
        int level;
        int lowestAccepted;  // 6: nothing
    };
    const Case cases[] = {{0, 0}, {1, 1},   {2, 2},       {3, 3},  {4, 4},      {5, 5},
                          {6, 6}, {100, 6}, {INT_MAX, 6}, {-1, 0}, {INT_MIN, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.level));
        log_.SetLogLevel(static_cast<LogLevel>(c.level));
        capture_.Clear();
        for (int m = 0; m < 6; ++m) LogAt(m, "threshold probe");
        std::vector<std::string> expected;
        for (int m = c.lowestAccepted; m < 6; ++m) {
            expected.push_back(Stamp("2026-12-06 12:57:08", kNames[m], "threshold probe"));
        }
        EXPECT_EQ(capture_.Lines(), expected);
    }
}

TEST_F(LoggerTest, RejectedMessagesNeverReachTheFile) {
    log_.EnableFileOutput(true);
    log_.SetLogLevel(LOG_ERROR);
    for (int m = 0; m < 6; ++m) LogAt(m, "kept or not");
    log_.FlushCache();
    const std::vector<std::string> expected = {
        Stamp("2026-12-06 12:57:08", "ERROR", "kept or not"),
        Stamp("2026-12-06 12:57:08", "FATAL", "kept or not")};
    EXPECT_EQ(ReadLogLines(DayFile("2026-12-06")), expected);
}

// ---- Line format and debugger output --------------------------------------

TEST_F(LoggerTest, EachLineIsTimeLevelAndTextFollowedBySeparateNewline) {
    struct Case {
        int level;
        const char* name;
        std::size_t prefix;
    };
    const Case cases[] = {{0, "TRACE", 30}, {1, "DEBUG", 30}, {2, "INFO", 29},
                          {3, "WARN", 29},  {4, "ERROR", 30}, {5, "FATAL", 30}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        capture_.Clear();
        LogAt(c.level, "kiv sdo abort frame send...");
        const std::string line =
            std::string("[2026-12-06 12:57:08] [") + c.name + "] kiv sdo abort frame send...";
        EXPECT_EQ(capture_.Texts(), (std::vector<std::string>{line, "\n"}));
        EXPECT_EQ(line.size() - std::string("kiv sdo abort frame send...").size(), c.prefix);
    }
}

TEST_F(LoggerTest, MessageIsFormattedPrintfStyle) {
    log_.Warn("sdo seg read...<%d,%d> %s %05.1f %c%%", 7, 100, "node", 2.5, 'x');
    EXPECT_EQ(capture_.Lines(),
              (std::vector<std::string>{
                  Stamp("2026-12-06 12:57:08", "WARN", "sdo seg read...<7,100> node 002.5 x%")}));
}

TEST_F(LoggerTest, RealClockGivesLocalDateAndTime) {
    RestoreClock();
    std::time_t before = std::time(nullptr);
    log_.Info("clock");
    std::time_t after = std::time(nullptr);
    const std::vector<std::string> lines = capture_.Lines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string& line = lines[0];
    ASSERT_EQ(line.size(), 29u + 5u);
    const std::string time = line.substr(1, 19);
    for (std::size_t i = 0; i < time.size(); ++i) {
        const bool digit = time[i] >= '0' && time[i] <= '9';
        const char sep = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : 0;
        if (sep != 0) {
            EXPECT_EQ(time[i], sep) << time;
        } else {
            EXPECT_TRUE(digit) << time;
        }
    }
    // The text lies between the local times taken before and after the call.
    auto text = [](std::time_t t) {
        char buf[32];
        std::tm tm{};
#if defined(_WIN32)
        localtime_s(&tm, &t);
#else
        localtime_r(&t, &tm);
#endif
        std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
        return std::string(buf);
    };
    EXPECT_LE(text(before), time);
    EXPECT_GE(text(after), time);
}

// ---- The file cache ---------------------------------------------------------

TEST_F(LoggerTest, HundredthLineWritesTheWholeBatchInOrder) {
    log_.EnableFileOutput(true);
    std::vector<std::string> expected;
    for (int i = 1; i <= 99; ++i) {
        log_.Info("batch line %03d", i);
        char text[32];
        std::snprintf(text, sizeof text, "batch line %03d", i);
        expected.push_back(Stamp("2026-12-06 12:57:08", "INFO", text));
    }
    EXPECT_TRUE(LogFilesBelow(dir_.path()).empty()) << "99 lines must stay cached";

    log_.Info("batch line %03d", 100);
    expected.push_back(Stamp("2026-12-06 12:57:08", "INFO", "batch line 100"));
    EXPECT_EQ(LogFilesBelow(dir_.path()), std::vector<fs::path>{DayFile("2026-12-06")});
    EXPECT_EQ(ReadLogLines(DayFile("2026-12-06")), expected);

    // The cache is empty: a flush adds nothing, and the file is appended to.
    log_.FlushCache();
    EXPECT_EQ(ReadLogLines(DayFile("2026-12-06")).size(), 100u);
    log_.Fatal("after the batch");
    log_.FlushCache();
    expected.push_back(Stamp("2026-12-06 12:57:08", "FATAL", "after the batch"));
    EXPECT_EQ(ReadLogLines(DayFile("2026-12-06")), expected);
}

TEST_F(LoggerTest, FlushOfEmptyCacheCreatesNoFile) {
    log_.EnableFileOutput(true);
    log_.FlushCache();
    log_.EnableFileOutput(false);
    log_.Info("not cached while file output is off");
    log_.FlushCache();
    EXPECT_TRUE(LogFilesBelow(dir_.path()).empty());
    EXPECT_EQ(capture_.Lines().size(), 1u) << "the debugger output still gets the line";
}

TEST_F(LoggerTest, SwitchingFileOutputOffKeepsCachedLinesForTheNextFlush) {
    log_.EnableFileOutput(true);
    log_.Info("cached %d", 1);
    log_.Warn("cached %d", 2);
    log_.EnableFileOutput(false);
    EXPECT_TRUE(LogFilesBelow(dir_.path()).empty()) << "switching off does not flush";
    log_.Error("not cached");
    log_.FlushCache();
    EXPECT_EQ(ReadLogLines(DayFile("2026-12-06")),
              (std::vector<std::string>{Stamp("2026-12-06 12:57:08", "INFO", "cached 1"),
                                        Stamp("2026-12-06 12:57:08", "WARN", "cached 2")}));
}

TEST_F(LoggerTest, MissingDirectoryKeepsLinesUntilAFlushCanOpenTheFile) {
    const fs::path gone = dir_.path() / "gone";
    log_.SetLogPath(gone.string().c_str());
    ASSERT_TRUE(fs::is_directory(gone));
    fs::remove(gone);
    log_.EnableFileOutput(true);
    std::vector<std::string> expected;
    for (int i = 0; i < 150; ++i) {
        log_.Debug("kept %d", i);
        expected.push_back(Stamp("2026-12-06 12:57:08", "DEBUG", "kept " + std::to_string(i)));
    }
    log_.FlushCache();
    EXPECT_FALSE(fs::exists(gone)) << "a flush never creates the log directory";
    EXPECT_TRUE(LogFilesBelow(dir_.path()).empty());

    fs::create_directory(gone);
    // With 100 or more lines cached, every new line tries the flush again.
    log_.Debug("kept %d", 150);
    expected.push_back(Stamp("2026-12-06 12:57:08", "DEBUG", "kept 150"));
    EXPECT_EQ(ReadLogLines(gone / "OruLog_2026-12-06.log"), expected);
}

TEST_F(LoggerTest, CacheKeepsTheNewestTenThousandLinesAndReportsTheDropped) {
    DebugCapture quiet(false);  // replaces the fixture's capture: counts only
    const fs::path gone = dir_.path() / "gone";
    const fs::path file = gone / "OruLog_2026-12-06.log";
    log_.SetLogPath(gone.string().c_str());
    fs::remove(gone);
    log_.EnableFileOutput(true);

    // Up to the bound nothing is dropped.
    for (int i = 0; i < 10000; ++i) log_.Trace("line %d", i);
    fs::create_directory(gone);
    log_.FlushCache();
    {
        const std::vector<std::string> lines = ReadLogLines(file);
        ASSERT_EQ(lines.size(), 10000u);
        EXPECT_EQ(lines.front(), Stamp("2026-12-06 12:57:08", "TRACE", "line 0"));
        EXPECT_EQ(lines.back(), Stamp("2026-12-06 12:57:08", "TRACE", "line 9999"));
    }

    // Past it, the oldest lines go, and the next good flush says how many.
    fs::remove(file);
    fs::remove(gone);
    for (int i = 0; i < 10037; ++i) log_.Trace("line %d", i);
    EXPECT_EQ(quiet.Count(), 2u * (10000 + 10037)) << "every line still reaches the debugger";
    fs::create_directory(gone);
    log_.FlushCache();
    {
        const std::vector<std::string> lines = ReadLogLines(file);
        ASSERT_EQ(lines.size(), 10001u);
        EXPECT_EQ(LevelOf(lines[0]), "WARN");
        EXPECT_NE(lines[0].find(" 37 lines dropped"), std::string::npos) << lines[0];
        EXPECT_EQ(lines[1], Stamp("2026-12-06 12:57:08", "TRACE", "line 37"));
        EXPECT_EQ(lines.back(), Stamp("2026-12-06 12:57:08", "TRACE", "line 10036"));
        for (std::size_t i = 1; i < lines.size(); ++i) {
            ASSERT_EQ(lines[i],
                      Stamp("2026-12-06 12:57:08", "TRACE", "line " + std::to_string(i + 36)));
        }
    }

    // The note is written once.
    log_.Trace("one more");
    log_.FlushCache();
    const std::vector<std::string> lines = ReadLogLines(file);
    ASSERT_EQ(lines.size(), 10002u);
    EXPECT_EQ(lines.back(), Stamp("2026-12-06 12:57:08", "TRACE", "one more"));
}

// ---- Long messages ------------------------------------------------------------

TEST_F(LoggerTest, OverlongLinesAreCutToTheLineBuffer) {
    log_.EnableFileOutput(true);
    struct Case {
        int level;
        std::size_t messageLength;
        std::size_t lineLength;
    };
    // INFO and WARN have a 29-character prefix, the others 30; a line holds
    // at most 4095 characters.
    const Case cases[] = {{2, 4066, 4095}, {2, 4067, 4095}, {4, 4065, 4095}, {4, 4066, 4095},
                          {3, 5000, 4095}, {5, 5000, 4095}, {2, 4000, 4029}};
    std::vector<std::string> expected;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.level) + "/" + std::to_string(c.messageLength));
        capture_.Clear();
        const std::string message(c.messageLength, 'x');
        LogAt(c.level, message.c_str());
        const std::vector<std::string> lines = capture_.Lines();
        ASSERT_EQ(lines.size(), 1u);
        const std::string whole = Stamp("2026-12-06 12:57:08", kNames[c.level], message);
        EXPECT_EQ(lines[0], whole.substr(0, c.lineLength));
        expected.push_back(lines[0]);
    }
    log_.FlushCache();
    EXPECT_EQ(ReadLogLines(DayFile("2026-12-06")), expected);
}

// ---- Threads ----------------------------------------------------------------

TEST_F(LoggerTest, TwoThreadsProduceWholeLinesOnly) {
    log_.EnableFileOutput(true);
    constexpr int kLines = 400;
    auto body = [this](char tag) {
        const std::string filler(120, tag);
        for (int i = 0; i < kLines; ++i)
            log_.Info("thread %c line %04d %s", tag, i, filler.c_str());
    };
    std::thread a(body, 'a');
    std::thread b(body, 'b');
    a.join();
    b.join();
    log_.FlushCache();

    auto check = [](const std::vector<std::string>& lines, const char* where) {
        SCOPED_TRACE(where);
        ASSERT_EQ(lines.size(), 2u * kLines);
        int next[2] = {0, 0};
        for (const std::string& line : lines) {
            ASSERT_GT(line.size(), 29u + 17u) << line;
            const char tag = line[29 + 7];
            ASSERT_TRUE(tag == 'a' || tag == 'b') << line;
            char text[32];
            std::snprintf(text, sizeof text, "thread %c line %04d ", tag, next[tag - 'a']);
            ASSERT_EQ(line, Stamp("2026-12-06 12:57:08", "INFO", text + std::string(120, tag)));
            ++next[tag - 'a'];
        }
    };
    check(ReadLogLines(DayFile("2026-12-06")), "file");
    check(capture_.Lines(), "debugger output");
}

// ---- Day change -------------------------------------------------------------

TEST_F(LoggerTest, LinesCachedBeforeMidnightGoToTheNewDaysFile) {
    log_.EnableFileOutput(true);
    SetFakeClock(2026, 12, 31, 23, 59, 58);
    log_.Info("before midnight %d", 1);
    log_.Error("before midnight %d", 2);
    SetFakeClock(2027, 1, 1, 0, 0, 1);
    log_.Info("after midnight");
    log_.FlushCache();
    EXPECT_EQ(LogFilesBelow(dir_.path()), std::vector<fs::path>{DayFile("2027-01-01")});
    EXPECT_EQ(ReadLogLines(DayFile("2027-01-01")),
              (std::vector<std::string>{Stamp("2026-12-31 23:59:58", "INFO", "before midnight 1"),
                                        Stamp("2026-12-31 23:59:58", "ERROR", "before midnight 2"),
                                        Stamp("2027-01-01 00:00:01", "INFO", "after midnight")}));
}

// ---- QMutex -------------------------------------------------------------------

// Waits (generously) for flag to become true.
bool WaitFor(const std::atomic<bool>& flag) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!flag.load()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(QMutexTest, HolderMayLockAgainAndMustUnlockAsOften) {
    QMutex m;
    m.Lock();
    m.Lock();  // would deadlock if the lock were not re-entrant
    std::atomic<bool> started{false};
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        started = true;
        m.Lock();
        acquired = true;
        m.Unlock();
    });
    ASSERT_TRUE(WaitFor(started));
    m.Unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(acquired.load()) << "one Unlock must not release a lock taken twice";
    m.Unlock();
    EXPECT_TRUE(WaitFor(acquired));
    other.join();
}

TEST(QMutexTest, AssignmentLeavesEachObjectWithItsOwnLock) {
    QMutex held;
    QMutex target;
    held.Lock();
    target = held;  // copies no lock state
    std::atomic<bool> gotTarget{false};
    std::thread other([&] {
        target.Lock();  // blocks forever if the held state had been copied
        gotTarget = true;
        target.Unlock();
    });
    const bool ok = WaitFor(gotTarget);
    held.Unlock();
    if (!ok) {
        other.detach();
        FAIL() << "the assigned lock is not free";
    }
    other.join();
    // The assigned object still works as a lock of its own.
    target.Lock();
    target.Lock();
    target.Unlock();
    target.Unlock();
    held.Lock();
    held.Unlock();
}

}  // namespace
}  // namespace orukiv::test

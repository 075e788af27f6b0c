// The logger's configuration: QUserLog.ini read through LoadConfig at run
// time, the log directory (SetLogPath), and the file read at start-up from
// beside the executable.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "log_test_util.h"
#include "orukiv/QUserLog.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

namespace orukiv::test {
namespace {

const char* const kMarker = "config marker";

std::string Stamped(const char* level, const std::string& text) {
    return std::string("[2026-12-06 12:57:08] [") + level + "] " + text;
}

// Replaces {dir} with the scratch folder and {sep} with the native separator.
std::string Expand(std::string text, const ScratchDir& dir) {
    const std::string sep(1, NativeSeparator());
    for (std::size_t p; (p = text.find("{dir}")) != std::string::npos;)
        text.replace(p, 5, dir.str());
    for (std::size_t p; (p = text.find("{sep}")) != std::string::npos;) text.replace(p, 5, sep);
    return text;
}

// Where the marker line logged after LoadConfig ends up.
enum class Out {
    None,            // file output off: no log file anywhere
    Base,            // the directory from before, re-created by LoadConfig
    BaseNotCreated,  // the directory from before, left missing
    Sub,             // the configured directory below the scratch folder
};

struct ConfigCase {
    const char* name;
    std::string content;
    int level;  // observed afterwards: 0..5, 6 when nothing is produced
    Out out;
    const char* sub = "";
};

// Before each LoadConfig: level ERROR, file output on, the log directory
// "base" (set, then removed so that re-creation shows).
class LogConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetFakeClock(2026, 12, 6, 12, 57, 8);
        base_ = dir_.path() / "base";
        log_.SetLogPath(base_.string().c_str());
        ASSERT_TRUE(fs::is_directory(base_));
        fs::remove(base_);
        log_.SetLogLevel(LOG_ERROR);
        log_.EnableFileOutput(true);
    }
    void TearDown() override { ResetLogger(dir_.path() / "leftover"); }

    fs::path DayFileIn(const fs::path& folder) const { return folder / "OruLog_2026-12-06.log"; }

    // Logs the marker at any level, flushes and checks where it went.
    void ExpectOutput(Out out, const char* sub = "") {
        if (out == Out::None) {
            // A file would show here if file output were still on.
            std::error_code ec;
            fs::create_directory(base_, ec);
        }
        log_.SetLogLevel(LOG_TRACE);
        log_.Info("%s", kMarker);
        log_.FlushCache();
        std::vector<fs::path> expected;
        switch (out) {
            case Out::None:
                break;
            case Out::Base:
                expected.push_back(DayFileIn(base_));
                break;
            case Out::BaseNotCreated:
                EXPECT_TRUE(LogFilesBelow(dir_.path()).empty());
                EXPECT_FALSE(fs::exists(base_)) << "the directory must not have been created";
                fs::create_directory(base_);
                log_.FlushCache();
                expected.push_back(DayFileIn(base_));
                break;
            case Out::Sub:
                expected.push_back(DayFileIn(dir_.path() / sub));
                break;
        }
        EXPECT_EQ(LogFilesBelow(dir_.path()), expected);
        if (!expected.empty() && fs::exists(expected[0])) {
            const std::vector<std::string> lines = ReadLogLines(expected[0]);
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines.back(), Stamped("INFO", kMarker));
        }
    }

    QUserLog& log_ = QUserLog::GetInstance();
    ScratchDir dir_;
    DebugCapture capture_;
    fs::path base_;
};

// Names the case in failure messages.
void PrintTo(const ConfigCase& c, std::ostream* os) {
    *os << c.name;
}

class ConfigFileTest : public LogConfigTest, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigFileTest, LoadConfigSetsLevelDirectoryAndFileOutput) {
    const ConfigCase& c = GetParam();
    const fs::path ini = dir_.path() / "QUserLog.ini";
    WriteBytes(ini, Expand(c.content, dir_));
    log_.LoadConfig(ini.string().c_str());
    EXPECT_EQ(ObservedLevel(capture_), c.level);
    ExpectOutput(c.out, c.sub);
}

std::string Long(std::size_t n, char c) {
    return std::string(n, c);
}

const ConfigCase kCases[] = {
    {"EmptyFile", "", 2, Out::Base},
    {"OnlyCommentsAndBlankLines", "; nothing here\n\n   \n\t\n  ; indented comment\n", 2,
     Out::Base},
    {"NoLogConfigSection", "[Other]\nLogLevel=5\nFileOutput=0\nLogPath={dir}{sep}other\n", 2,
     Out::Base},
    {"SectionWithoutKeys", "[LogConfig]\n", 2, Out::Base},
    {"AllThreeKeys", "[LogConfig]\nLogLevel=3\nLogPath={dir}{sep}logs\nFileOutput=1\n", 3, Out::Sub,
     "logs"},
    {"FileOutputZero", "[LogConfig]\nLogLevel=1\nFileOutput=0\n", 1, Out::None},
    {"LevelWordIsZero", "[LogConfig]\nLogLevel=INFO\n", 0, Out::Base},
    {"EmptyLevelIsZero", "[LogConfig]\nLogLevel=\n", 0, Out::Base},
    {"QuotedLevelKeepsQuotes", "[LogConfig]\nLogLevel=\"3\"\n", 0, Out::Base},
    {"LevelIsNotRangeTested", "[LogConfig]\nLogLevel=9\n", 6, Out::Base},
    {"NegativeLevel", "[LogConfig]\nLogLevel=-7\n", 0, Out::Base},
    {"SignedLevel", "[LogConfig]\nLogLevel=+4\n", 4, Out::Base},
    {"LowerCaseKeys", "[LogConfig]\nloglevel=5\nfileoutput=0\nlogpath={dir}{sep}lower\n", 2,
     Out::Base},
    {"LowerCaseSection", "[logconfig]\nLogLevel=5\nFileOutput=0\n", 2, Out::Base},
    {"BlanksInsideBrackets", "[ LogConfig ]\nLogLevel=5\n", 2, Out::Base},
    {"CommentAfterValue", "[LogConfig]\nLogLevel = 3   ; warnings and above\n", 3, Out::Base},
    {"CommentInsidePath", "[LogConfig]\nLogPath = {dir}{sep}logs;old\n", 2, Out::Sub, "logs"},
    {"CommentedOutEntry", "[LogConfig]\n; LogLevel=5\n  ;FileOutput=0\n", 2, Out::Base},
    {"ValueHoldingEquals", "[LogConfig]\nLogLevel = 3 = 4\n", 3, Out::Base},
    {"BlanksAndTabs", " \t[LogConfig]\t \n\t LogLevel \t=\t 5 \t\n", 5, Out::Base},
    {"LineWithoutEquals", "[LogConfig]\nLogLevel 5\n", 2, Out::Base},
    {"TwoSectionsFirstMatchWins",
     "[LogConfig]\nLogLevel=4\n[Other]\nFileOutput=1\n[LogConfig]\nLogLevel=1\nFileOutput=0\n", 4,
     Out::None},
    {"EntryBeforeAnySection", "LogLevel=5\nFileOutput=0\n[LogConfig]\n", 2, Out::Base},
    {"FileOutputWordIsOff", "[LogConfig]\nFileOutput=yes\n", 2, Out::None},
    {"FileOutputNegativeIsOn", "[LogConfig]\nFileOutput = -1\nLogLevel=1\n", 1, Out::Base},
    {"FileOutputHexIsOff", "[LogConfig]\nFileOutput=0x1\n", 2, Out::None},
    {"EmptyLogPathChangesNothing", "[LogConfig]\nLogPath =\nLogLevel=1\n", 1, Out::BaseNotCreated},
    {"CrLfLines", "[LogConfig]\r\nLogLevel = 3\r\nLogPath = {dir}{sep}crlf\r\nFileOutput = 1\r\n",
     3, Out::Sub, "crlf"},
    {"CrLfEmptyLines", "\r\n[LogConfig]\r\n\r\n  \r\nLogLevel=4\r\n", 4, Out::Base},
    // Lines are read in pieces of at most 1023 characters, each a line of
    // its own.
    {"SecondPieceIsALine", "[LogConfig]\n" + Long(1023, 'x') + "LogLevel=5\n", 5, Out::Base},
    {"PieceBoundarySplitsTheKey", "[LogConfig]\n" + Long(1022, 'x') + "LogLevel=5\n", 2, Out::Base},
    {"CommentEndsWithItsPiece", "[LogConfig]\n;" + Long(1022, 'c') + "FileOutput=0\n", 2,
     Out::None},
    {"ValueEndsWithItsPiece", "[LogConfig]\nLogLevel=" + Long(1014, ' ') + "3\n", 0, Out::Base},
    // Names of more than 255 characters never match.
    {"OverlongSectionName", "[LogConfig]\n[" + Long(300, 'S') + "]\nLogLevel=5\n", 2, Out::Base},
    {"OverlongKey", "[LogConfig]\n" + Long(300, 'K') + "=5\nLogLevel=3\n", 3, Out::Base},
    {"LongestSectionName", "[" + Long(255, 'S') + "]\nLogLevel=5\n[LogConfig]\nLogLevel=4\n", 4,
     Out::Base},
};

INSTANTIATE_TEST_SUITE_P(Cases, ConfigFileTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ConfigCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(LogConfigTest, MissingFileSwitchesFileOutputOffAndKeepsTheLevel) {
    log_.LoadConfig((dir_.path() / "absent.ini").string().c_str());
    EXPECT_EQ(ObservedLevel(capture_), 4);
    ExpectOutput(Out::None);

    log_.SetLogLevel(LOG_WARN);
    log_.EnableFileOutput(true);
    log_.LoadConfig("");
    EXPECT_EQ(ObservedLevel(capture_), 3);
    ExpectOutput(Out::None);
}

TEST_F(LogConfigTest, FileThatCannotBeReadGivesEveryDefault) {
    // Exists, but cannot be read as a file (on Linux it even opens, and the
    // first read fails).
    const fs::path ini = dir_.path() / "QUserLog.ini";
    fs::create_directory(ini);
    WriteBytes(ini / "inside.txt", "[LogConfig]\nLogLevel=5\nFileOutput=0\n");
    log_.LoadConfig(ini.string().c_str());
    EXPECT_EQ(ObservedLevel(capture_), 2);
    ExpectOutput(Out::Base);
}

// Restores the current directory at the end of a scope.
class CurrentDirGuard {
public:
    explicit CurrentDirGuard(const fs::path& to) : saved_(fs::current_path()) {
        fs::current_path(to);
    }
    ~CurrentDirGuard() { fs::current_path(saved_); }
    CurrentDirGuard(const CurrentDirGuard&) = delete;
    CurrentDirGuard& operator=(const CurrentDirGuard&) = delete;

private:
    fs::path saved_;
};

TEST_F(LogConfigTest, RelativePathsAreTakenFromTheCurrentDirectory) {
    const std::string sep(1, NativeSeparator());
    WriteBytes(dir_.path() / "rel.ini", "[LogConfig]\nLogLevel=3\nLogPath = rel" + sep + "logs\n");
    {
        CurrentDirGuard cwd(dir_.path());
        log_.LoadConfig("rel.ini");
        EXPECT_TRUE(fs::is_directory(dir_.path() / "rel" / "logs"));
        log_.Warn("%s", kMarker);
        log_.FlushCache();
    }
    const fs::path file = DayFileIn(dir_.path() / "rel" / "logs");
    EXPECT_EQ(LogFilesBelow(dir_.path()), std::vector<fs::path>{file});
    EXPECT_EQ(ReadLogLines(file), std::vector<std::string>{Stamped("WARN", kMarker)});
}

TEST_F(LogConfigTest, SetLogPathCreatesEveryMissingLevel) {
    const std::string sep(1, NativeSeparator());
    struct Case {
        std::string path;  // below the scratch folder
        std::string folder;
    };
    const Case cases[] = {
        {"a" + sep + "b" + sep + "c", "a" + sep + "b" + sep + "c"},
        {"d" + sep + "e" + sep, "d" + sep + "e"},  // trailing separator
        {"f" + sep + sep + "g", "f" + sep + "g"},  // repeated separator
        {"h" + sep + "i" + sep + "j" + sep + "k", "h" + sep + "i" + sep + "j" + sep + "k"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const fs::path folder = dir_.path() / c.folder;
        log_.SetLogPath((dir_.str() + sep + c.path).c_str());
        EXPECT_TRUE(fs::is_directory(folder));
        log_.Fatal("%s", kMarker);
        log_.FlushCache();
        EXPECT_EQ(LogFilesIn(folder), std::vector<fs::path>{DayFileIn(folder)});
    }
}

TEST_F(LogConfigTest, DirectoryStaysSetWhenALevelCannotBeCreated) {
    const fs::path blocker = dir_.path() / "blocker";
    WriteBytes(blocker, "a file where a directory should be");
    const fs::path target = blocker / "x" / "y";
    log_.SetLogPath(target.string().c_str());
    log_.Error("while blocked %d", 1);
    log_.Error("while blocked %d", 2);
    log_.FlushCache();
    EXPECT_TRUE(LogFilesBelow(dir_.path()).empty());

    fs::remove(blocker);
    fs::create_directories(target);
    log_.FlushCache();
    EXPECT_EQ(ReadLogLines(DayFileIn(target)),
              (std::vector<std::string>{Stamped("ERROR", "while blocked 1"),
                                        Stamped("ERROR", "while blocked 2")}));
}

TEST_F(LogConfigTest, EmptySetLogPathChangesNothing) {
    const fs::path one = dir_.path() / "one";
    log_.SetLogPath(one.string().c_str());
    log_.SetLogPath("");
    log_.Error("%s", kMarker);
    log_.FlushCache();
    EXPECT_EQ(LogFilesBelow(dir_.path()), std::vector<fs::path>{DayFileIn(one)});
}

// ---- The configuration read at start-up ---------------------------------------

#if defined(_WIN32)
const char* const kProbeName = "log_config_probe.exe";
#else
const char* const kProbeName = "log_config_probe";
#endif

// Runs a program with one argument; its exit code, or -1.
int RunProgram(const fs::path& program, const std::string& arg) {
#if defined(_WIN32)
    // cmd.exe strips the first and the last quote of the line.
    const std::string command = "\"\"" + program.string() + "\" " + arg + "\"";
    return std::system(command.c_str());
#else
    const std::string command = "'" + program.string() + "' " + arg;
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

// The probe logs "probe trace" .. "probe fatal" and returns without any
// flush of its own, so lines reach the file only when the logger is
// destroyed at exit.
class StartupConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path source = fs::path(ExecutableDir()) / kProbeName;
        ASSERT_TRUE(fs::exists(source)) << source.string();
        app_ = scratch_.path() / "app";
        fs::create_directory(app_);
        probe_ = app_ / kProbeName;
        fs::copy_file(source, probe_);
    }

    // Every line of every log file in folder (one per day: a run may span
    // midnight), checked for form, reduced to "LEVEL text".
    std::vector<std::string> Logged(const fs::path& folder) {
        std::vector<std::string> out;
        for (const fs::path& file : LogFilesIn(folder)) {
            for (const std::string& line : ReadLogLines(file)) {
                const std::string level = LevelOf(line);
                EXPECT_FALSE(level.empty()) << line;
                out.push_back(level + line.substr(line.find("] ", 23) + 1));
            }
        }
        return out;
    }

    ScratchDir scratch_;
    fs::path app_;
    fs::path probe_;
};

TEST_F(StartupConfigTest, FileBesideTheExecutableConfiguresTheLogger) {
    WriteBytes(app_ / "QUserLog.ini",
               Expand("[LogConfig]\nFileOutput=1\nLogPath={dir}{sep}logs\nLogLevel=3\n", scratch_));
    ASSERT_EQ(RunProgram(probe_, "all"), 0);
    EXPECT_EQ(
        Logged(scratch_.path() / "logs"),
        (std::vector<std::string>{"WARN probe warn", "ERROR probe error", "FATAL probe fatal"}));
    EXPECT_EQ(LogFilesBelow(scratch_.path()).size(), LogFilesIn(scratch_.path() / "logs").size());
}

TEST_F(StartupConfigTest, WithoutTheFileNothingIsWritten) {
    ASSERT_EQ(RunProgram(probe_, "all"), 0);
    EXPECT_TRUE(LogFilesBelow(scratch_.path()).empty());
}

TEST_F(StartupConfigTest, EmptyFileLogsInfoAndAboveBesideTheExecutable) {
    WriteBytes(app_ / "QUserLog.ini", "");
    ASSERT_EQ(RunProgram(probe_, "all"), 0);
    EXPECT_EQ(Logged(app_), (std::vector<std::string>{"INFO probe info", "WARN probe warn",
                                                      "ERROR probe error", "FATAL probe fatal"}));
}

TEST_F(StartupConfigTest, LinesCachedBeforeFileOutputWentOffAreWrittenAtExit) {
    WriteBytes(app_ / "QUserLog.ini",
               Expand("[LogConfig]\nLogLevel=0\nLogPath={dir}{sep}off\n", scratch_));
    ASSERT_EQ(RunProgram(probe_, "off"), 0);
    EXPECT_EQ(Logged(scratch_.path() / "off"),
              (std::vector<std::string>{"TRACE probe trace", "DEBUG probe debug", "INFO probe info",
                                        "WARN probe warn", "ERROR probe error"}));
}

}  // namespace
}  // namespace orukiv::test

// The shipped shared library (liborukiv.so / orukiv.dll) seen the way a host
// sees it: public headers only, every call crossing the library boundary.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "fake_bus.h"
#include "frames.h"
#include "orukiv/QUserLog.h"
#include "orukiv/orukiv.h"

using namespace std::chrono_literals;
using orukiv::test::FakeBus;
using orukiv::test::Frame;

namespace {

class SharedLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        param_ = bus_.Param();
        handle_ = KIV_Init(&param_);
        ASSERT_NE(handle_, nullptr);
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            EXPECT_EQ(KIV_Destroy(handle_), KIV_OK);
        }
    }

    FakeBus bus_;
    KIV_InitParam param_{};
    KIV_Handle handle_ = nullptr;
};

TEST_F(SharedLibrary, SyncGoesOutThroughTheHostCallback) {
    ASSERT_EQ(KIV_SendSYNC(handle_), KIV_OK);
    const auto sent = bus_.SentFrames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], Frame(0x080, {}));
}

TEST_F(SharedLibrary, SendFailureCodeComesBackUnchanged) {
    bus_.FailSendsWith(0x1234);
    EXPECT_EQ(KIV_SendSYNC(handle_), 0x1234);
}

TEST_F(SharedLibrary, PolledFrameArrivesAsEvent) {
    bus_.Inject(Frame(0x705, {0x85}));  // heartbeat, operational, toggle bit set
    ASSERT_TRUE(bus_.WaitForEvents(1, 5s));
    const KIV_Event ev = bus_.Events().at(0);
    EXPECT_EQ(ev.type, static_cast<uint32_t>(KIV_EVENT_HEARTBEAT));
    EXPECT_EQ(ev.node, 5);
    EXPECT_EQ(ev.body.heartbeat.state, static_cast<uint32_t>(KIV_NMT_STATE_OPERATIONAL));
}

TEST(SharedLibraryHandles, NullHandles) {
    EXPECT_EQ(KIV_Init(nullptr), nullptr);
    EXPECT_EQ(KIV_Destroy(nullptr), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_SendSYNC(nullptr), KIV_ERR_PARAM);
}

// The host reaches the library's logger through the exported class.
class SharedLogger : public ::testing::Test {
protected:
    void SetUp() override {
        namespace fs = std::filesystem;
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        root_ = fs::temp_directory_path() / ("orukiv-api-" + std::to_string(stamp));
        dir_ = root_ / "logs";  // two missing levels: the logger makes both
    }
    void TearDown() override {
        QUserLog& log = QUserLog::GetInstance();
        log.EnableFileOutput(false);
        log.SetLogLevel(LOG_TRACE);
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    // Everything the day's log files in dir_ hold.
    std::string LogText() const {
        std::string all;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("OruLog_", 0) != 0) continue;
            std::ifstream in(entry.path());
            std::stringstream text;
            text << in.rdbuf();
            all += text.str();
        }
        return all;
    }

    std::filesystem::path root_;
    std::filesystem::path dir_;
};

TEST_F(SharedLogger, OneInstanceFiltersByLevelAndFlushesToFile) {
    QUserLog& log = QUserLog::GetInstance();
    EXPECT_EQ(&log, &QUserLog::GetInstance());

    log.SetLogPath(dir_.string().c_str());
    ASSERT_TRUE(std::filesystem::is_directory(dir_));
    log.EnableFileOutput(true);

    log.SetLogLevel(LOG_ERROR);
    log.Warn("filtered warning %d", 1);
    log.SetLogLevel(LOG_WARN);
    log.Info("filtered info %d", 2);
    log.Warn("host warning %d", 3);
    log.FlushCache();

    const std::string text = LogText();
    EXPECT_NE(text.find("] [WARN] host warning 3\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("filtered"), std::string::npos) << text;
}

}  // namespace

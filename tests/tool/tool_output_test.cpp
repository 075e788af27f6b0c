// The tool's output and safety: values and JSON as printed, the event log's
// bound, and a move that is interrupted halting the drive.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "bus.h"
#include "interrupt.h"
#include "master.h"
#include "orukiv_sim/sim.h"
#include "procedures.h"
#include "report.h"
#include "values.h"

using namespace orukiv::tool;

namespace {

TEST(ToolOutput, ValuesPrintWholeAndSigned) {
    struct Case {
        const char* type;  // null: by size
        std::string bytes;
        const char* shown;
    };
    const Case cases[] = {
        {"str", std::string("ab\0c", 4), "\"ab\\0c\""},
        {"str", std::string("x\0\0", 3), "\"x\\0\\0\""},
        {nullptr, std::string("name\0\0\0", 7), "\"name\\0\\0\\0\""},
        {"str", "a\\\n", "\"a\\\\\\x0A\""},
        {"i32", std::string("\x18\xFC\xFF\xFF", 4), "-1000 (0xFFFFFC18)"},
        {"i16", std::string("\xFF\x7F", 2), "32767 (0x7FFF)"},
        {"i8", std::string("\x80", 1), "-128 (0x80)"},
        {"u8", std::string("\x01\x02", 2), "01 02 (2 bytes, not a u8)"},
    };
    for (const Case& c : cases) {
        const auto* data = reinterpret_cast<const uint8_t*>(c.bytes.data());
        EXPECT_EQ(FormatValue(c.type ? FindValueType(c.type) : nullptr, data, c.bytes.size()),
                  c.shown)
            << c.shown;
    }
}

TEST(ToolOutput, NumbersThatDoNotFitAreNoText) {
    struct Case {
        const char* text;
        bool numeric;
    };
    const Case cases[] = {{"0x100000000", true}, {"1.5", true}, {"-3", true},
                          {".5", true},          {"+7", true},  {"abc", false},
                          {"-x", false},         {"", false},   {"x12", false}};
    for (const Case& c : cases) EXPECT_EQ(LooksNumeric(c.text), c.numeric) << c.text;
}

TEST(ToolOutput, JsonStringsEscapeWhatJsonForbids) {
    EXPECT_EQ(JsonString(std::string("a\"b\\c\0\n", 7)), "\"a\\\"b\\\\c\\u0000\\u000a\"");
    EXPECT_EQ(Json().Bool("ok", false).Str("k", "v").Int("n", -1).Object(),
              "{\"ok\":false,\"k\":\"v\",\"n\":-1}");
}

// A long run at a busy bus's rate keeps no more than the bound, and waiting
// still finds the newest events by their numbers.
TEST(ToolOutput, EventLogStaysFlat) {
    EventLog log;
    constexpr std::size_t kEvents = 200000;
    for (std::size_t i = 0; i < kEvents; ++i) {
        KIV_Event e{};
        e.type = KIV_EVENT_SYNC;
        e.node = static_cast<uint8_t>(i % 128);
        log.Add(e);
        ASSERT_LE(log.Kept(), EventLog::kKept);
    }
    EXPECT_EQ(log.Size(), kEvents);
    EXPECT_EQ(log.Since(0).size(), EventLog::kKept);
    EXPECT_EQ(log.Since(kEvents - 1).front().node, (kEvents - 1) % 128);
    const long found = log.WaitFor([](const KIV_Event& e) { return e.node == 5; }, 0,
                                   std::chrono::milliseconds(0));
    EXPECT_GE(found, static_cast<long>(kEvents - EventLog::kKept));
}

// Interrupted while the simulated drive moves, the move stops the drive:
// with the halt bit, or with a quick stop when the drive ignores the halt.
TEST(ToolMove, InterruptStopsTheDrive) {
    struct Case {
        bool haltIgnored;
        const char* stop;
        uint16_t controlword;  // the last one written
    };
    const Case cases[] = {{false, "halted", 0x010F}, {true, "quick stop", 0x000B}};
    for (const Case& c : cases) {
        auto bus = OpenSimBus();
        orukiv::sim::SimDrive& drive = bus->Simulation()->Drive();
        drive.SetHaltIgnored(c.haltIgnored);
        Master master(*bus, nullptr);
        ASSERT_TRUE(master.Start());
        Options options;
        Session s(options, master);
        std::string report;
        ASSERT_TRUE(PowerOn(s, 5, report)) << report;
        ClearInterrupt();
        const MoveOutcome out = Move(s, 5, 3000000, [](int32_t pos) {
            if (pos > 0) RequestInterrupt();
        });
        ClearInterrupt();
        EXPECT_FALSE(out.reached);
        EXPECT_EQ(out.stop, c.stop) << out.report;
        EXPECT_EQ(drive.ValueU32(0x6040, 0), c.controlword);
        // Standing: the position does not change any more.
        const uint32_t stood = drive.ValueU32(0x6064, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(drive.ValueU32(0x6064, 0), stood);
        EXPECT_LT(static_cast<int32_t>(stood), 3000000);
    }
}

}  // namespace

// Expected KIV_Event records built from zero, and whole-record comparison:
// a test states the fields a type defines and every other byte must be zero.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "orukiv/orukiv.h"

namespace orukiv::test {

inline KIV_Event Head(uint32_t type, uint8_t node) {
    KIV_Event e;
    std::memset(&e, 0, sizeof e);
    e.type = type;
    e.node = node;
    return e;
}

inline KIV_Event NoneEvent(uint8_t node) {
    return Head(KIV_EVENT_NONE, node);
}
inline KIV_Event SyncEvent() {
    return Head(KIV_EVENT_SYNC, 0x80);
}
inline KIV_Event GuardEvent(uint8_t node) {
    return Head(KIV_EVENT_NODE_GUARD, node);
}

inline KIV_Event NmtEvent(uint8_t node, uint32_t command) {
    KIV_Event e = Head(KIV_EVENT_NMT, node);
    e.body.nmt.command = command;
    return e;
}

inline KIV_Event HeartbeatEvent(uint8_t node, uint32_t state) {
    KIV_Event e = Head(KIV_EVENT_HEARTBEAT, node);
    e.body.heartbeat.state = state;
    return e;
}

inline KIV_Event EmcyEvent(uint8_t node, uint16_t code, uint8_t reg,
                           std::initializer_list<uint8_t> manufacturer) {
    KIV_Event e = Head(KIV_EVENT_EMCY, node);
    e.body.emcy.errorCode = code;
    e.body.emcy.errorRegister = reg;
    int i = 0;
    for (uint8_t b : manufacturer) e.body.emcy.manufacturerData[i++] = b;
    return e;
}

inline KIV_Event TimeEvent(uint16_t year, uint8_t month, uint8_t day, uint8_t hour, uint8_t minute,
                           uint8_t second, uint32_t millisecond) {
    KIV_Event e = Head(KIV_EVENT_TIME, 0);
    e.body.time.year = year;
    e.body.time.month = month;
    e.body.time.day = day;
    e.body.time.hour = hour;
    e.body.time.minute = minute;
    e.body.time.second = second;
    e.body.time.millisecond = millisecond;
    return e;
}

inline KIV_Event SdoEvent(uint8_t node, uint32_t kind, uint16_t index, uint8_t subIndex,
                          std::initializer_list<uint8_t> data = {}) {
    KIV_Event e = Head(KIV_EVENT_SDO, node);
    e.body.sdo.sdoKind = kind;
    e.body.sdo.index = index;
    e.body.sdo.subIndex = subIndex;
    uint8_t n = 0;
    for (uint8_t b : data) e.body.sdo.sdoData[n++] = b;
    e.body.sdo.sdoLength = n;
    return e;
}

inline KIV_Event FrameEvent(uint32_t cobId, std::initializer_list<uint8_t> data = {}) {
    KIV_Event e = Head(KIV_EVENT_FRAME, static_cast<uint8_t>(cobId & 0xFF));
    e.body.frame.cobId = cobId;
    uint8_t n = 0;
    for (uint8_t b : data) e.body.frame.frameData[n++] = b;
    e.body.frame.frameLength = n;
    return e;
}

// All 88 bytes in hex, 16 to a line, with the offset of each line.
inline std::string DumpEvent(const KIV_Event& e) {
    const auto* raw = reinterpret_cast<const unsigned char*>(&e);
    std::string s;
    char buf[8];
    for (std::size_t i = 0; i < sizeof e; ++i) {
        if (i % 16 == 0) {
            std::snprintf(buf, sizeof buf, "\n  %02zu:", i);
            s += buf;
        }
        std::snprintf(buf, sizeof buf, " %02X", raw[i]);
        s += buf;
    }
    return s;
}

// Whole-record comparison; on a mismatch names the first differing offset.
inline ::testing::AssertionResult SameEvent(const KIV_Event& actual, const KIV_Event& expected) {
    if (std::memcmp(&actual, &expected, sizeof actual) == 0) return ::testing::AssertionSuccess();
    const auto* a = reinterpret_cast<const unsigned char*>(&actual);
    const auto* b = reinterpret_cast<const unsigned char*>(&expected);
    std::size_t at = 0;
    while (a[at] == b[at]) ++at;
    return ::testing::AssertionFailure()
           << "events differ first at byte " << at << "\nactual:" << DumpEvent(actual)
           << "\nexpected:" << DumpEvent(expected);
}

}  // namespace orukiv::test

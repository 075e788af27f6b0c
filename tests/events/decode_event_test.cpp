// Classification of received frames into events, one frame at a time: each
// case gives the received frame and the whole 88-byte event it must yield.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "event_layout.h"
#include "event_records.h"
#include "frames.h"
#include "services/rx_events.h"

namespace {

using namespace orukiv::test;

KIV_CanFrame Data(uint32_t id, std::initializer_list<uint8_t> bytes) {
    return Frame(id, bytes);
}

// A remote frame whose data buffer still holds bytes: decoders that ignore
// rtr must read them, those that honour it must not.
KIV_CanFrame Remote(uint32_t id, std::initializer_list<uint8_t> bytes, uint8_t rtr = 1) {
    KIV_CanFrame f = Frame(id, bytes);
    f.rtr = rtr;
    return f;
}

KIV_CanFrame WithDlc(KIV_CanFrame f, uint8_t dlc) {
    f.dlc = dlc;
    return f;
}

// Non-zero reserved bytes, which a receiver must ignore.
KIV_CanFrame Dirty(KIV_CanFrame f) {
    std::memset(f.reserved0, 0xFF, sizeof f.reserved0);
    f.reserved1 = 0xFF;
    std::memset(f.reserved2, 0xFF, sizeof f.reserved2);
    return f;
}

struct Case {
    const char* name;
    KIV_CanFrame frame;
    KIV_Event expected;
};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class Decode : public ::testing::TestWithParam<Case> {};

TEST_P(Decode, GivesTheWholeEvent) {
    const Case& c = GetParam();
    KIV_Event ev;
    std::memset(&ev, 0xCD, sizeof ev);  // every byte must be written
    orukiv::DecodeEvent(&c.frame, &ev);
    EXPECT_TRUE(SameEvent(ev, c.expected)) << "frame " << c.frame;
}

const uint8_t kEight[] = {1, 2, 3, 4, 5, 6, 7, 8};
KIV_CanFrame Eight(uint32_t id) {
    KIV_CanFrame f = Frame(id, {});
    std::memcpy(f.data, kEight, 8);
    f.dlc = 8;
    return f;
}

// ---- Every boundary of every id range --------------------------------------

INSTANTIATE_TEST_SUITE_P(
    IdRanges, Decode,
    ::testing::Values(
        Case{"Id000_Nmt", Data(0x000, {0x01, 0x05}), NmtEvent(0x00, KIV_NMT_CMD_START)},
        Case{"Id07F_Nmt", Eight(0x07F), NmtEvent(0x7F, KIV_NMT_CMD_START)},
        Case{"Id080_Sync", Eight(0x080), SyncEvent()},
        Case{"Id081_Emcy", Eight(0x081), EmcyEvent(0x01, 0x0201, 0x03, {4, 5, 6, 7, 8})},
        Case{"Id0FF_Emcy", Eight(0x0FF), EmcyEvent(0x7F, 0x0201, 0x03, {4, 5, 6, 7, 8})},
        Case{"Id100_Time", Data(0x100, {0xF4, 0x2F, 0x93, 0x02, 0x12, 0x39, 0xAA, 0xBB}),
             TimeEvent(2024, 1, 1, 12, 0, 0, 500)},
        Case{"Id101_None", Eight(0x101), NoneEvent(0x01)},
        Case{"Id17F_None", Eight(0x17F), NoneEvent(0x7F)},
        Case{"Id180_Frame", Eight(0x180), FrameEvent(0x180, {1, 2, 3, 4, 5, 6, 7, 8})},
        Case{"Id57F_Frame", Eight(0x57F), FrameEvent(0x57F, {1, 2, 3, 4, 5, 6, 7, 8})},
        Case{"Id580_Sdo", Data(0x580, {0x4B, 0x41, 0x60, 0x00, 0x37, 0x02, 0xAA, 0xBB}),
             SdoEvent(0x80, KIV_SDO_READ_RESPONSE, 0x6041, 0, {0x37, 0x02})},
        Case{"Id5FF_Sdo", Data(0x5FF, {0x4B, 0x41, 0x60, 0x00, 0x37, 0x02, 0xAA, 0xBB}),
             SdoEvent(0xFF, KIV_SDO_READ_RESPONSE, 0x6041, 0, {0x37, 0x02})},
        Case{"Id600_Sdo", Data(0x600, {0x4B, 0x41, 0x60, 0x00, 0x37, 0x02, 0xAA, 0xBB}),
             SdoEvent(0x00, KIV_SDO_OTHER, 0x6041, 0)},
        Case{"Id67F_Sdo", Data(0x67F, {0x2B, 0x40, 0x60, 0x00, 0x0F, 0x00, 0xAA, 0xBB}),
             SdoEvent(0x7F, KIV_SDO_WRITE_REQUEST, 0x6040, 0, {0x0F, 0x00})},
        Case{"Id680_None", Eight(0x680), NoneEvent(0x80)},
        Case{"Id6A0_None", Eight(0x6A0), NoneEvent(0xA0)},
        Case{"Id6FF_None", Eight(0x6FF), NoneEvent(0xFF)},
        Case{"Id700_Heartbeat", Data(0x700, {0x7F}), HeartbeatEvent(0x00, 127)},
        Case{"Id77F_Heartbeat", Data(0x77F, {0x05}), HeartbeatEvent(0x7F, 5)},
        Case{"Id780_None", Eight(0x780), NoneEvent(0x80)},
        Case{"Id7E5_None", Data(0x7E5, {0x05}), NoneEvent(0xE5)},
        Case{"Id7FF_None", Eight(0x7FF), NoneEvent(0xFF)},
        Case{"Id800_None", Eight(0x800), NoneEvent(0x00)},
        Case{"Id880_None", Eight(0x880), NoneEvent(0x80)},
        Case{"Id29Bit1F334_None", Eight(0x1F334), NoneEvent(0x34)},
        // Low 11 bits that would classify, in a 29-bit id: still unclassified.
        Case{"Id29BitLowBitsTime_None", Eight(0x10000100), NoneEvent(0x00)},
        Case{"Id29BitLowBitsSdo_None", Eight(0x10000605), NoneEvent(0x05)},
        Case{"Id29BitLowBitsEmcy_None", Eight(0x1FFFF085), NoneEvent(0x85)},
        Case{"IdAllOnes_None", Eight(0xFFFFFFFF), NoneEvent(0xFF)}),
    CaseName);

// ---- NMT, SYNC, EMCY, TIME --------------------------------------------------

INSTANTIATE_TEST_SUITE_P(
    Nmt, Decode,
    ::testing::Values(
        Case{"StartNode5", Data(0x000, {0x01, 0x05}), NmtEvent(0, KIV_NMT_CMD_START)},
        Case{"Stop", Data(0x000, {0x02, 0x05}), NmtEvent(0, KIV_NMT_CMD_STOP)},
        Case{"PreOperational", Data(0x000, {0x80, 0x00}), NmtEvent(0, 0x80)},
        Case{"ResetNode", Data(0x000, {0x81, 0x00}), NmtEvent(0, 0x81)},
        Case{"ResetComm", Data(0x000, {0x82, 0x7F}), NmtEvent(0, 0x82)},
        Case{"Unknown05", Data(0x000, {0x05, 0x05}), NmtEvent(0, KIV_NMT_CMD_UNKNOWN)},
        Case{"Unknown00", Data(0x000, {0x00, 0x05}), NmtEvent(0, KIV_NMT_CMD_UNKNOWN)},
        Case{"Unknown03", Data(0x000, {0x03}), NmtEvent(0, KIV_NMT_CMD_UNKNOWN)},
        Case{"Unknown7F", Data(0x000, {0x7F}), NmtEvent(0, KIV_NMT_CMD_UNKNOWN)},
        Case{"Unknown83", Data(0x000, {0x83}), NmtEvent(0, KIV_NMT_CMD_UNKNOWN)},
        Case{"UnknownFF", Data(0x000, {0xFF}), NmtEvent(0, KIV_NMT_CMD_UNKNOWN)},
        Case{"OnId005", Data(0x005, {0x01, 0x00}), NmtEvent(5, KIV_NMT_CMD_START)},
        // dlc does not limit what the decoder reads.
        Case{"DlcZeroStillReadsByte0", WithDlc(Data(0x000, {0x81, 0x03}), 0), NmtEvent(0, 0x81)},
        Case{"RemoteFrameDecodedFromData", Remote(0x000, {0x01, 0x05}), NmtEvent(0, 1)},
        Case{"ReservedBytesIgnored", Dirty(Data(0x000, {0x02, 0x01})), NmtEvent(0, 2)}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    SyncEmcyTime, Decode,
    ::testing::Values(
        Case{"SyncNoData", Data(0x080, {}), SyncEvent()},
        Case{"SyncWithCounterByte", Data(0x080, {0x11}), SyncEvent()},
        Case{"SyncRemote", Remote(0x080, {0x11, 0x22}), SyncEvent()},
        Case{"Emcy085", Data(0x085, {0x30, 0x81, 0x11, 0x01, 0x02, 0x03, 0x04, 0x05}),
             EmcyEvent(5, 0x8130, 0x11, {1, 2, 3, 4, 5})},
        Case{"EmcyDlcZeroStillReadsBytes",
             WithDlc(Data(0x085, {0x30, 0x81, 0x11, 0x01, 0x02, 0x03, 0x04, 0x05}), 0),
             EmcyEvent(5, 0x8130, 0x11, {1, 2, 3, 4, 5})},
        Case{"EmcyRemoteDecodedFromData",
             Remote(0x0A0, {0x00, 0xFF, 0x80, 0xFE, 0xFD, 0xFC, 0xFB, 0xFA}),
             EmcyEvent(0x20, 0xFF00, 0x80, {0xFE, 0xFD, 0xFC, 0xFB, 0xFA})},
        Case{"TimeExample", Data(0x100, {0xF4, 0x2F, 0x93, 0x02, 0x12, 0x39}),
             TimeEvent(2024, 1, 1, 12, 0, 0, 500)},
        Case{"TimeReservedBitsAndBytes6To7Ignored",
             Data(0x100, {0xF4, 0x2F, 0x93, 0xF2, 0x12, 0x39, 0xFF, 0xFF}),
             TimeEvent(2024, 1, 1, 12, 0, 0, 500)},
        Case{"TimeLeapDay", Data(0x100, {0xFF, 0x5B, 0x26, 0x05, 0x4D, 0x39}),
             TimeEvent(2024, 2, 29, 23, 59, 59, 999)},
        Case{"TimeZero", Data(0x100, {0, 0, 0, 0, 0, 0}), TimeEvent(1984, 1, 1, 0, 0, 0, 0)},
        Case{"TimeMsFieldMaximum", Data(0x100, {0xFF, 0xFF, 0xFF, 0x0F, 0x00, 0x00}),
             TimeEvent(1984, 1, 4, 2, 33, 55, 455)},
        Case{"TimeDlcZeroRemote", WithDlc(Remote(0x100, {0xF4, 0x2F, 0x93, 0x02, 0x12, 0x39}), 0),
             TimeEvent(2024, 1, 1, 12, 0, 0, 500)}),
    CaseName);

// ---- PDO range: raw frames --------------------------------------------------

KIV_CanFrame PartlyFilled(uint32_t id, uint8_t dlc) {
    KIV_CanFrame f = Data(id, {0xAA, 0xBB, 0xCC, 0x11, 0x22, 0x33, 0x44, 0x55});
    f.dlc = dlc;  // the bytes beyond dlc hold stale data
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    PdoRange, Decode,
    ::testing::Values(
        Case{"Dlc3CopiesThreeBytes", PartlyFilled(0x181, 3), FrameEvent(0x181, {0xAA, 0xBB, 0xCC})},
        Case{"Dlc0CopiesNothing", PartlyFilled(0x201, 0), FrameEvent(0x201)},
        Case{"Dlc1", PartlyFilled(0x381, 1), FrameEvent(0x381, {0xAA})},
        Case{"Dlc8", PartlyFilled(0x4FF, 8),
             FrameEvent(0x4FF, {0xAA, 0xBB, 0xCC, 0x11, 0x22, 0x33, 0x44, 0x55})},
        // A dlc above 8 is reported as 8 bytes: nothing past the data is read.
        Case{"Dlc9ClampedTo8", PartlyFilled(0x181, 9),
             FrameEvent(0x181, {0xAA, 0xBB, 0xCC, 0x11, 0x22, 0x33, 0x44, 0x55})},
        Case{"Dlc15ClampedTo8", PartlyFilled(0x281, 15),
             FrameEvent(0x281, {0xAA, 0xBB, 0xCC, 0x11, 0x22, 0x33, 0x44, 0x55})},
        Case{"Dlc255ClampedTo8", PartlyFilled(0x57F, 255),
             FrameEvent(0x57F, {0xAA, 0xBB, 0xCC, 0x11, 0x22, 0x33, 0x44, 0x55})},
        Case{"RemoteHasNoData", Remote(0x201, {0xAA, 0xBB, 0xCC, 0xDD}), FrameEvent(0x201)},
        Case{"RemoteDlc255HasNoData", WithDlc(Remote(0x181, {0xAA}), 255), FrameEvent(0x181)},
        Case{"AnyNonZeroRtrIsRemote", Remote(0x301, {0xAA, 0xBB}, 0x80), FrameEvent(0x301)},
        Case{"ReservedBytesIgnored", Dirty(Data(0x182, {0x01, 0x02})), FrameEvent(0x182, {1, 2})}),
    CaseName);

// ---- SDO, both directions ---------------------------------------------------

// Command byte, then index 0x1A01, sub-index 2, data 37 02 AA BB.
KIV_CanFrame SdoFrame(uint32_t id, uint8_t command) {
    return Data(id, {command, 0x01, 0x1A, 0x02, 0x37, 0x02, 0xAA, 0xBB});
}
constexpr uint16_t kIdx = 0x1A01;
constexpr uint8_t kSub = 2;

INSTANTIATE_TEST_SUITE_P(
    SdoFromServer, Decode,
    ::testing::Values(
        Case{"Example", Data(0x585, {0x4B, 0x41, 0x60, 0x00, 0x37, 0x02, 0x00, 0x00}),
             SdoEvent(0x85, KIV_SDO_READ_RESPONSE, 0x6041, 0, {0x37, 0x02})},
        Case{"Read1Byte4F", SdoFrame(0x585, 0x4F),
             SdoEvent(0x85, KIV_SDO_READ_RESPONSE, kIdx, kSub, {0x37})},
        Case{"Read2Bytes4B", SdoFrame(0x585, 0x4B),
             SdoEvent(0x85, KIV_SDO_READ_RESPONSE, kIdx, kSub, {0x37, 0x02})},
        Case{"Read3Bytes47", SdoFrame(0x585, 0x47),
             SdoEvent(0x85, KIV_SDO_READ_RESPONSE, kIdx, kSub, {0x37, 0x02, 0xAA})},
        Case{"Read4Bytes43", SdoFrame(0x585, 0x43),
             SdoEvent(0x85, KIV_SDO_READ_RESPONSE, kIdx, kSub, {0x37, 0x02, 0xAA, 0xBB})},
        Case{"WriteResponse60", SdoFrame(0x585, 0x60),
             SdoEvent(0x85, KIV_SDO_WRITE_RESPONSE, kIdx, kSub)},
        Case{"Abort80KeepsIndexNotCode",
             Data(0x585, {0x80, 0x01, 0x1A, 0x02, 0x00, 0x00, 0x04, 0x05}),
             SdoEvent(0x85, KIV_SDO_ABORT, kIdx, kSub)},
        Case{"NoSize42IsOther", SdoFrame(0x585, 0x42), SdoEvent(0x85, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"SegInit41IsOther", SdoFrame(0x585, 0x41), SdoEvent(0x85, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"ClientRead40IsOther", SdoFrame(0x585, 0x40),
             SdoEvent(0x85, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"ClientWrite23IsOther", SdoFrame(0x585, 0x23),
             SdoEvent(0x85, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"ClientWrite2BIsOther", SdoFrame(0x585, 0x2B),
             SdoEvent(0x85, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"Segment00IsOther", SdoFrame(0x585, 0x00), SdoEvent(0x85, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"Segment1DIsOther", SdoFrame(0x585, 0x1D), SdoEvent(0x85, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"SegAck20IsOther", SdoFrame(0x585, 0x20), SdoEvent(0x85, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"Cmd4CIsOther", SdoFrame(0x585, 0x4C), SdoEvent(0x85, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"Cmd61IsOther", SdoFrame(0x585, 0x61), SdoEvent(0x85, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"Cmd81IsOther", SdoFrame(0x585, 0x81), SdoEvent(0x85, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"CmdC3IsOther", SdoFrame(0x585, 0xC3), SdoEvent(0x85, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"CmdFFIsOther", SdoFrame(0x585, 0xFF), SdoEvent(0x85, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"DlcZeroStillDecoded", WithDlc(SdoFrame(0x585, 0x43), 0),
             SdoEvent(0x85, KIV_SDO_READ_RESPONSE, kIdx, kSub, {0x37, 0x02, 0xAA, 0xBB})},
        Case{"RemoteDecodedFromData", Remote(0x585, {0x4F, 0x01, 0x1A, 0x02, 0x37}),
             SdoEvent(0x85, KIV_SDO_READ_RESPONSE, kIdx, kSub, {0x37})}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    SdoFromClient, Decode,
    ::testing::Values(
        Case{"ReadRequest40", Data(0x605, {0x40, 0x41, 0x60, 0x00, 0xEE, 0xEE, 0xEE, 0xEE}),
             SdoEvent(0x05, KIV_SDO_READ_REQUEST, 0x6041, 0)},
        Case{"Write1Byte2F", SdoFrame(0x605, 0x2F),
             SdoEvent(0x05, KIV_SDO_WRITE_REQUEST, kIdx, kSub, {0x37})},
        Case{"Write2Bytes2B", SdoFrame(0x605, 0x2B),
             SdoEvent(0x05, KIV_SDO_WRITE_REQUEST, kIdx, kSub, {0x37, 0x02})},
        Case{"Write3Bytes27", SdoFrame(0x605, 0x27),
             SdoEvent(0x05, KIV_SDO_WRITE_REQUEST, kIdx, kSub, {0x37, 0x02, 0xAA})},
        Case{"Write4Bytes23", SdoFrame(0x605, 0x23),
             SdoEvent(0x05, KIV_SDO_WRITE_REQUEST, kIdx, kSub, {0x37, 0x02, 0xAA, 0xBB})},
        Case{"Abort80", SdoFrame(0x605, 0x80), SdoEvent(0x05, KIV_SDO_ABORT, kIdx, kSub)},
        Case{"NoSize22IsOther", SdoFrame(0x605, 0x22), SdoEvent(0x05, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"SegInit21IsOther", SdoFrame(0x605, 0x21), SdoEvent(0x05, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"ServerRead43IsOther", SdoFrame(0x605, 0x43),
             SdoEvent(0x05, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"ServerRead4FIsOther", SdoFrame(0x605, 0x4F),
             SdoEvent(0x05, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"ServerWrite60IsOther", SdoFrame(0x605, 0x60),
             SdoEvent(0x05, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"UploadSeg70IsOther", SdoFrame(0x605, 0x70),
             SdoEvent(0x05, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"Cmd00IsOther", SdoFrame(0x605, 0x00), SdoEvent(0x05, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"Cmd2CIsOther", SdoFrame(0x605, 0x2C), SdoEvent(0x05, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"CmdAFIsOther", SdoFrame(0x605, 0xAF), SdoEvent(0x05, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"CmdFFIsOther", SdoFrame(0x605, 0xFF), SdoEvent(0x05, KIV_SDO_OTHER, kIdx, kSub)},
        Case{"RemoteDecodedFromData", Remote(0x67F, {0x23, 0x01, 0x1A, 0x02, 1, 2, 3, 4}),
             SdoEvent(0x7F, KIV_SDO_WRITE_REQUEST, kIdx, kSub, {1, 2, 3, 4})}),
    CaseName);

// ---- Heartbeat and node guarding --------------------------------------------

INSTANTIATE_TEST_SUITE_P(
    HeartbeatAndGuarding, Decode,
    ::testing::Values(Case{"ToggleBitCleared85", Data(0x705, {0x85}), HeartbeatEvent(5, 5)},
                      Case{"Operational05", Data(0x705, {0x05}), HeartbeatEvent(5, 5)},
                      Case{"BootUp00", Data(0x705, {0x00}), HeartbeatEvent(5, 0)},
                      Case{"BootUpWithToggle80", Data(0x705, {0x80}), HeartbeatEvent(5, 0)},
                      Case{"Stopped04", Data(0x705, {0x04}), HeartbeatEvent(5, 4)},
                      Case{"Stopped84", Data(0x705, {0x84}), HeartbeatEvent(5, 4)},
                      Case{"PreOperational7F", Data(0x705, {0x7F}), HeartbeatEvent(5, 127)},
                      Case{"PreOperationalFF", Data(0x705, {0xFF}), HeartbeatEvent(5, 127)},
                      Case{"Unknown03", Data(0x705, {0x03}), HeartbeatEvent(5, 255)},
                      Case{"Unknown06", Data(0x705, {0x06}), HeartbeatEvent(5, 255)},
                      Case{"Unknown7E", Data(0x705, {0x7E}), HeartbeatEvent(5, 255)},
                      Case{"Unknown83", Data(0x705, {0x83}), HeartbeatEvent(5, 255)},
                      Case{"DlcZeroStillReadsByte0", WithDlc(Data(0x705, {0x05}), 0),
                           HeartbeatEvent(5, 5)},
                      Case{"GuardRequest", Remote(0x705, {}), GuardEvent(5)},
                      Case{"GuardRequestWithBytesIsHeadOnly",
                           WithDlc(Remote(0x705, {0x05, 0x7F}), 1), GuardEvent(5)},
                      Case{"GuardRequest700", Remote(0x700, {}), GuardEvent(0x00)},
                      Case{"GuardRequest77F", Remote(0x77F, {}), GuardEvent(0x7F)},
                      Case{"RemoteAbove77FIsNone", Remote(0x780, {}), NoneEvent(0x80)},
                      Case{"Remote7E5IsNone", Remote(0x7E5, {0x05}), NoneEvent(0xE5)},
                      Case{"Remote6A0IsNone", Remote(0x6A0, {0x05}), NoneEvent(0xA0)},
                      Case{"Remote101IsNone", Remote(0x101, {0x05}), NoneEvent(0x01)}),
    CaseName);

// ---- Every 11-bit id: the layout rules hold whatever the frame ---------------

TEST(DecodeSweep, EveryIdHasItsTypeNodeAndZeroedUndefinedBytes) {
    std::mt19937 rng(7);
    int failures = 0;
    std::vector<uint32_t> ids;
    for (uint32_t id = 0; id < 0x800; ++id) ids.push_back(id);
    for (uint32_t id : {0x800u, 0xFFFu, 0x1000u, 0x1F334u, 0x1FFFFFFFu, 0x80000085u})
        ids.push_back(id);
    for (uint32_t id : ids) {
        for (int remote = 0; remote < 2; ++remote) {
            KIV_CanFrame f = Frame(id, {});
            for (auto& b : f.data) b = static_cast<uint8_t>(rng() | 0x01);  // never zero
            f.dlc = static_cast<uint8_t>(rng() % 16);
            f.rtr = static_cast<uint8_t>(remote);
            KIV_Event ev;
            std::memset(&ev, 0xCD, sizeof ev);
            orukiv::DecodeEvent(&f, &ev);

            const auto* raw = reinterpret_cast<const unsigned char*>(&ev);
            const uint32_t want = orukiv::test::ExpectedEventType(id, remote != 0);
            const uint8_t wantNode =
                static_cast<uint8_t>(want == KIV_EVENT_EMCY ? (id & 0xFF) - 0x80 : id & 0xFF);
            bool ok =
                ev.type == want && ev.node == wantNode && raw[5] == 0 && raw[6] == 0 && raw[7] == 0;
            for (std::size_t i = orukiv::test::DefinedEventEnd(ev.type); i < sizeof ev; ++i)
                ok = ok && raw[i] == 0;
            if (ev.type == KIV_EVENT_TIME) ok = ok && ev.body.time.reserved == 0;
            if (ev.type == KIV_EVENT_SDO) {
                ok = ok && ev.body.sdo.sdoLength <= 4;
                for (std::size_t i = ev.body.sdo.sdoLength; i < 8; ++i)
                    ok = ok && ev.body.sdo.sdoData[i] == 0;
            }
            if (ev.type == KIV_EVENT_FRAME) {
                const uint8_t n = remote ? 0 : (f.dlc > 8 ? 8 : f.dlc);
                ok = ok && ev.body.frame.frameLength == n &&
                     std::memcmp(ev.body.frame.frameData, f.data, n) == 0;
                for (std::size_t i = n; i < 8; ++i) ok = ok && ev.body.frame.frameData[i] == 0;
            }
            if (!ok && ++failures <= 10)
                ADD_FAILURE() << "frame " << f << "\nevent:" << DumpEvent(ev);
        }
    }
    EXPECT_EQ(failures, 0);
}

}  // namespace

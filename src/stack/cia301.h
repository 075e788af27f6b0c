// CiA 301 protocol numbers used across the library: the predefined
// connection set's COB-ID bases, the node-ID range and the SDO command
// specifiers. Every service takes its numbers from here; none repeats them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orukiv::cia301 {

// ---- Node IDs --------------------------------------------------------------
constexpr uint8_t kMinNodeId = 1;
constexpr uint8_t kMaxNodeId = 127;
constexpr bool IsNodeId(unsigned id) {
    return id >= kMinNodeId && id <= kMaxNodeId;
}

// ---- COB-IDs of the predefined connection set (11-bit) ---------------------
constexpr uint32_t kCobNmt = 0x000;
constexpr uint32_t kCobSync = 0x080;
constexpr uint32_t kCobEmcyBase = 0x080;  // + node ID
constexpr uint32_t kCobTime = 0x100;
constexpr uint32_t kCobTpdo1Base = 0x180;        // + node ID; TPDO n at + (n - 1) * 0x100
constexpr uint32_t kCobRpdo1Base = 0x200;        // + node ID; RPDO n at + (n - 1) * 0x100
constexpr uint32_t kCobSdoTxBase = 0x580;        // server to client, + node ID
constexpr uint32_t kCobSdoRxBase = 0x600;        // client to server, + node ID
constexpr uint32_t kCobNodeControlBase = 0x700;  // heartbeat, boot-up, guarding, + node ID
constexpr uint32_t kCobLssSlave = 0x7E4;         // LSS slave to master
constexpr uint32_t kCobLssMaster = 0x7E5;        // LSS master to slaves
constexpr uint32_t kCobStandardLimit = 0x800;    // first identifier past 11 bits

// ---- SYNC counter ----------------------------------------------------------
// Synchronous counter overflow value: 0 (SYNC without data) or 2..240; the
// counter byte runs 1..overflow.
constexpr uint8_t kSyncCounterOverflowMin = 2;
constexpr uint8_t kSyncCounterOverflowMax = 240;

// The function code (bits 10..7) of an 11-bit identifier.
constexpr uint32_t FunctionCode(uint32_t cobId) {
    return cobId >> 7;
}

// ---- Communication objects written by the master ---------------------------
constexpr uint16_t kObjHeartbeatProducer = 0x1017;  // u16, ms
constexpr uint16_t kObjTpdoComm1 = 0x1800;          // TPDO n at + (n - 1)
constexpr uint16_t kObjTpdoMap1 = 0x1A00;           // TPDO n at + (n - 1)
constexpr uint8_t kSubPdoCobId = 1;
constexpr uint8_t kMaxTpdo = 4;                   // the TPDOs of the predefined connection set
constexpr uint32_t kPdoCobInvalid = 0x80000000u;  // COB-ID bit 31: the PDO does not exist

// ---- SDO command byte ------------------------------------------------------
// Bits 7..5 of byte 0: the client's (ccs) and the server's (scs) command
// specifier.
constexpr uint8_t CommandSpecifier(uint8_t cmd) {
    return static_cast<uint8_t>(cmd >> 5);
}
constexpr uint8_t kCcsDownloadSegment = 0;
constexpr uint8_t kCcsInitiateDownload = 1;
constexpr uint8_t kCcsInitiateUpload = 2;
constexpr uint8_t kCcsUploadSegment = 3;
constexpr uint8_t kCcsAbort = 4;
constexpr uint8_t kCcsBlockUpload = 5;
constexpr uint8_t kCcsBlockDownload = 6;
constexpr uint8_t kScsUploadSegment = 0;
constexpr uint8_t kScsDownloadSegment = 1;
constexpr uint8_t kScsInitiateUpload = 2;
constexpr uint8_t kScsInitiateDownload = 3;
constexpr uint8_t kScsAbort = 4;
constexpr uint8_t kScsBlockDownload = 5;
constexpr uint8_t kScsBlockUpload = 6;

constexpr uint8_t kSdoAbort = 0x80;           // abort transfer (whole byte 0)
constexpr uint8_t kSdoUploadRequest = 0x40;   // initiate upload request
constexpr uint8_t kSdoDownloadAnswer = 0x60;  // initiate download response
// Initiate expedited transfer with size indicated: n unused bytes in bits 3..2.
constexpr uint8_t kSdoExpeditedSizedMask = 0xF3;
constexpr uint8_t kSdoExpeditedDownload = 0x23;  // | (4 - size) << 2
constexpr uint8_t kSdoExpeditedUpload = 0x43;    // | (4 - size) << 2
constexpr uint8_t ExpeditedSize(uint8_t cmd) {
    return static_cast<uint8_t>(4 - ((cmd >> 2) & 3));
}
// Initiate byte flags: e (expedited) and s (size indicated).
constexpr uint8_t kSdoFlagExpedited = 0x02;
constexpr uint8_t kSdoFlagSized = 0x01;
constexpr uint8_t kSdoSegmentedDownload = 0x21;  // initiate, size indicated
// Segment byte: t (toggle, bit 4), n (empty bytes, bits 3..1), c (last, bit 0).
constexpr uint8_t kSdoToggle = 0x10;
constexpr uint8_t kSdoLastSegment = 0x01;
constexpr uint8_t kSdoSegmentUploadRequest = 0x60;   // | toggle
constexpr uint8_t kSdoSegmentDownloadAnswer = 0x20;  // | toggle
constexpr uint32_t kSdoSegmentBytes = 7;
constexpr uint32_t kSdoExpeditedMax = 4;

// ---- SDO block transfer ----------------------------------------------------
// Client bytes: ccs in bits 7..5, cc (CRC supported) bit 2, s (size) bit 1,
// cs / subcommand in bits 1..0. Segments: c (last) bit 7, seqno bits 6..0.
constexpr uint8_t kBlockCrcFlag = 0x04;
constexpr uint8_t kBlockSizeFlag = 0x02;
constexpr uint8_t kBlockDownloadInitiate = 0xC0;  // | crc | size
constexpr uint8_t kBlockDownloadEnd = 0xC1;       // | unused << 2 (client)
constexpr uint8_t kBlockDownloadAnswer = 0xA0;    // | crc (server, initiate)
constexpr uint8_t kBlockUploadInitiate = 0xA0;    // | crc (client)
constexpr uint8_t kBlockUploadEndAnswer = 0xA1;   // client, after the end
constexpr uint8_t kBlockUploadStart = 0xA3;
constexpr uint8_t kBlockAck = 0xA2;                // either side: ackseq, blksize
constexpr uint8_t kBlockDownloadEndAnswer = 0xA1;  // server
constexpr uint8_t kBlockUploadAnswer = 0xC0;       // | crc | size (server)
constexpr uint8_t kBlockUploadEnd = 0xC1;          // | unused << 2 (server)
constexpr uint8_t kBlockSubcommandMask = 0x03;
constexpr uint8_t kBlockEndMask = 0xE3;
constexpr uint8_t kBlockLastSegment = 0x80;
constexpr uint8_t kBlockSeqMask = 0x7F;
constexpr uint8_t kBlockMinSize = 1;
constexpr uint8_t kBlockMaxSize = 127;
// End frames: bytes that hold no data in the last segment, bits 4..2.
constexpr uint8_t BlockEndUnused(uint8_t cmd) {
    return static_cast<uint8_t>((cmd >> 2) & 7);
}

// CRC-16 of block transfers: polynomial 0x1021, initial value 0, no
// reflection, no final XOR; over the data bytes only.
constexpr uint16_t kBlockCrcPolynomial = 0x1021;
constexpr uint16_t BlockCrc(uint16_t crc, const uint8_t* data, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        crc = static_cast<uint16_t>(crc ^ (static_cast<uint16_t>(data[i]) << 8));
        for (int b = 0; b < 8; ++b)
            crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ kBlockCrcPolynomial
                                                            : crc << 1);
    }
    return crc;
}

// ---- SDO abort codes the client sends --------------------------------------
constexpr uint32_t kAbortTimeout = 0x05040000u;    // SDO protocol timed out
constexpr uint32_t kAbortCommand = 0x05040001u;    // command specifier unknown
constexpr uint32_t kAbortBlockSize = 0x05040002u;  // invalid block size
constexpr uint32_t kAbortSequence = 0x05040003u;   // invalid sequence number
constexpr uint32_t kAbortCrc = 0x05040004u;        // CRC error
constexpr uint32_t kAbortLength = 0x06070010u;     // length does not match

// ---- Communication objects ------------------------------------------------
constexpr uint16_t kObjDeviceType = 0x1000;
constexpr uint16_t kObjIdentity = 0x1018;  // sub 1..4: vendor, product, revision, serial

// ---- LSS (CiA 305) ------------------------------------------------------------
// Byte 0 of every LSS frame is its command specifier; master frames go out on
// kCobLssMaster, slave answers come on kCobLssSlave.
namespace lss {
constexpr uint8_t kSwitchGlobal = 0x04;           // byte 1: 0 waiting, 1 configuration
constexpr uint8_t kSwitchSelectiveVendor = 0x40;  // bytes 1..4 each
constexpr uint8_t kSwitchSelectiveProduct = 0x41;
constexpr uint8_t kSwitchSelectiveRevision = 0x42;
constexpr uint8_t kSwitchSelectiveSerial = 0x43;
constexpr uint8_t kSwitchSelectiveAnswer = 0x44;
constexpr uint8_t kConfigureNodeId = 0x11;     // answer: same, error code, specific
constexpr uint8_t kConfigureBitTiming = 0x13;  // table selector, table index
constexpr uint8_t kActivateBitTiming = 0x15;   // switch delay (ms, u16)
constexpr uint8_t kStoreConfiguration = 0x17;
constexpr uint8_t kIdentifySlave = 0x4F;  // answer to fastscan (and range)
constexpr uint8_t kIdentifyNonConfigured = 0x4C;
constexpr uint8_t kNonConfiguredAnswer = 0x50;
constexpr uint8_t kFastscan = 0x51;       // id (u32), bit checked, LSS sub, LSS next
constexpr uint8_t kInquireVendor = 0x5A;  // ..0x5D: product, revision, serial
constexpr uint8_t kInquireNodeId = 0x5E;
constexpr uint8_t kFastscanReset = 0x80;  // "bit checked" of the first query
constexpr uint8_t kUnconfiguredNodeId = 0xFF;
}  // namespace lss

// ---- PDO communication and mapping records --------------------------------
constexpr uint16_t kRpdoCommunicationBase = 0x1400;  // RPDO n (0..511) at + n
constexpr uint16_t kRpdoMappingBase = 0x1600;
constexpr uint16_t kTpdoCommunicationBase = 0x1800;  // TPDO n (0..511) at + n
constexpr uint16_t kTpdoMappingBase = 0x1A00;
constexpr uint16_t kPdoRecordsEnd = 0x1C00;
constexpr uint16_t kPdoMappingOffset = 0x200;  // mapping record - communication record
constexpr uint16_t kPdoPerKind = 512;
constexpr std::size_t kPdoSlots = 2 * kPdoPerKind;  // RPDOs, then TPDOs
constexpr uint32_t kPdoCobIdInvalid = 0x80000000u;  // COB-ID bit 31: the PDO does not exist
constexpr uint8_t kPdoCobIdSub = 1;                 // sub-index of the COB-ID
constexpr uint8_t kPdoMapCountSub = 0;              // sub-index of the mapping count
constexpr uint8_t kPdoTransmissionTypeSub = 2;      // sub-index of the transmission type
constexpr uint8_t kPdoMaxMapEntries = 64;           // sub-indices 1..64 of a mapping record

constexpr bool IsPdoRecord(uint16_t index) {
    return index >= kRpdoCommunicationBase && index < kPdoRecordsEnd;
}
// The communication record of the PDO that record index belongs to.
constexpr uint16_t PdoCommunicationIndex(uint16_t index) {
    const uint16_t base =
        index < kTpdoCommunicationBase ? kRpdoCommunicationBase : kTpdoCommunicationBase;
    return static_cast<uint16_t>(base + (index - base) % kPdoMappingOffset);
}
// 0..511 for RPDOs, 512..1023 for TPDOs, from a communication record.
constexpr std::size_t PdoSlot(uint16_t commIndex) {
    return commIndex < kTpdoCommunicationBase ? commIndex - kRpdoCommunicationBase
                                              : kPdoPerKind + (commIndex - kTpdoCommunicationBase);
}

}  // namespace orukiv::cia301

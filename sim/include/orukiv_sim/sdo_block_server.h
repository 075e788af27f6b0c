// The simulated nodes' strict SDO block-transfer server (CiA 301). A server
// takes request frames and returns answer frames: SimNode feeds both through
// SdoObjects, tests can script them byte by byte.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "orukiv/orukiv.h"
#include "orukiv_sim/sdo_objects.h"

namespace orukiv::sim {

// Behaviour and fault knobs of a block server. All faults off by default.
struct BlockServerSettings {
    // A server without block transfer: every block initiate is aborted with
    // 0x05040001 (command specifier not valid).
    bool refuse = false;
    // The server's blksize for downloads: entry i for sub-block i (entry 0
    // in the initiate answer), the last entry for all later ones. Values
    // outside 1..127 are sent as they are, to test clients with them.
    std::vector<uint8_t> blockSizes{127};
    // The segment with this number, counted over the whole transfer from 1,
    // is lost once: an upload does not send it, a download does not take
    // it (a re-sent copy is served). 0: none.
    uint32_t dropSegment = 0;
    // Upload: the end frame carries a wrong CRC. Download: the client's CRC
    // is taken as wrong (abort 0x05040004).
    bool corruptCrc = false;
    // The transfer is aborted with midBlockAbortCode in place of segment
    // number N + 1 (counted as dropSegment); 0: never.
    uint32_t abortAfterSegments = 0;
    uint32_t midBlockAbortCode = 0x08000000;
    // Every answer leaves this long after the request that caused it (the
    // node applies it; a sub-block's segments then follow back to back).
    std::chrono::microseconds latency{0};
};

// SDO block download and upload with CRC (polynomial 0x1021, initial value
// 0, over the data only), checked sequence numbers and one transfer at a
// time. A download's segments are taken while their sequence numbers run
// 1, 2, ...; after a gap the rest of the sub-block is ignored and the
// acknowledgement carries the last good number, from which the client
// starts again. The client's blksize of an upload is checked (1..127, else
// abort 0x05040002) on the initiate and on every acknowledgement, as is the
// acknowledged number (abort 0x05040003 beyond the segments sent). A
// protocol-switch threshold at or above the object's size hands the upload
// to the normal protocol. Unexpected frames are aborted with 0x05040001;
// the client's abort ends the transfer without an answer.
class SdoBlockServer {
public:
    enum class Outcome {
        kNotMine,       // not a block-transfer frame, and none in progress
        kServed,        // taken; answers (if any) appended
        kNormalUpload,  // upload below the switch threshold: serve it normally
    };

    SdoBlockServer(uint8_t nodeId, SdoObjects& objects);
    // The node took another node-ID (LSS).
    void SetNodeId(uint8_t nodeId) { nodeId_ = nodeId; }

    void SetSettings(const BlockServerSettings& settings) { settings_ = settings; }
    const BlockServerSettings& Settings() const { return settings_; }

    // True while a block transfer is in progress: every request is its.
    bool Active() const { return phase_ != Phase::kIdle; }
    // Takes one request's 8 data bytes; answers go to `out`.
    Outcome Serve(const uint8_t* request, std::vector<KIV_CanFrame>& out);
    // Ends the transfer in progress without an answer.
    void Reset();

private:
    enum class Phase {
        kIdle,
        kDownloadSegments,  // sub-blocks of a download arrive
        kDownloadEnd,       // the last segment was acknowledged
        kUploadInitiated,   // waiting for the client's start
        kUploadSegments,    // a sub-block was sent, waiting for its ack
        kUploadEnd,         // the end frame was sent
    };

    Outcome Initiate(const uint8_t* d, std::vector<KIV_CanFrame>& out);
    void DownloadSegment(const uint8_t* d, std::vector<KIV_CanFrame>& out);
    void DownloadEnd(const uint8_t* d, std::vector<KIV_CanFrame>& out);
    void UploadAck(const uint8_t* d, std::vector<KIV_CanFrame>& out);
    void SendSubBlock(std::vector<KIV_CanFrame>& out);
    uint8_t BlockSize(std::size_t subBlock) const;
    KIV_CanFrame Frame(uint8_t command) const;
    void Abort(uint32_t code, std::vector<KIV_CanFrame>& out);

    uint8_t nodeId_;
    SdoObjects& objects_;
    BlockServerSettings settings_;

    Phase phase_ = Phase::kIdle;
    uint16_t index_ = 0;
    uint8_t sub_ = 0;
    bool crc_ = false;  // the client supports CRC (and so does this server)
    std::vector<uint8_t> data_;
    std::optional<uint32_t> size_;  // download: the size the client indicated
    uint32_t segments_ = 0;         // segments sent or received so far
    bool dropped_ = false;          // the dropSegment knob has fired
    // Download: the next sequence number, the last good one, sub-blocks done.
    uint8_t expected_ = 1;
    uint8_t lastGood_ = 0;
    std::size_t subBlocks_ = 0;
    bool complete_ = false;  // the segment marked last was taken
    // Upload: bytes acknowledged, the client's blksize, segments in flight.
    std::size_t acked_ = 0;
    uint8_t clientBlockSize_ = 0;
    uint8_t inFlight_ = 0;
};

}  // namespace orukiv::sim

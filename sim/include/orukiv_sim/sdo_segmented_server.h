// The simulated nodes' expedited and segmented SDO server (CiA 301).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "orukiv/orukiv.h"
#include "orukiv_sim/sdo_faults.h"
#include "orukiv_sim/sdo_objects.h"

namespace orukiv::sim {

// The expedited and segmented SDO server of a simulated node (CiA 301),
// beside SdoBlockServer: request frames in, answer frames out (before the
// node applies SdoFaults' drop, corruption and delay to them), the object
// dictionary reached through SdoObjects. Like a standard device it chooses
// the upload protocol by the object's size (expedited for 1 to 4 bytes),
// serves one transfer at a time (an initiate request during a segmented
// transfer is aborted with kCommandInvalid; the transfer goes on) and
// aborts a segment whose toggle did not alternate with kToggleNotAlternated.
// The protocol knobs of SdoFaults act here.
class SdoSegmentedServer {
public:
    SdoSegmentedServer(uint8_t nodeId, SdoObjects& objects);
    // The node took another node-ID (LSS).
    void SetNodeId(uint8_t nodeId) { nodeId_ = nodeId; }

    void SetFaults(const SdoFaults& faults) { faults_ = faults; }
    // The knobs, with wrongToggleAnswers counted down as it was used.
    const SdoFaults& Faults() const { return faults_; }
    // Ends a transfer that no request has moved on for transferTimeout.
    void ExpireIdle(Clock::time_point now);
    // True while a segmented transfer runs (another initiate is refused).
    bool InTransfer() const;
    // Takes one request's 8 data bytes; answers go to `out`.
    void Serve(const uint8_t* request, std::vector<KIV_CanFrame>& out);
    // Serves an initiate upload (the block server's protocol switch).
    void InitiateUpload(uint16_t index, uint8_t sub, std::vector<KIV_CanFrame>& out);
    // Ends the transfer in progress without an answer.
    void EndTransfer();

private:
    enum class Transfer { kNone, kUpload, kDownload };

    void Emit(const KIV_CanFrame& frame);
    void Abort(uint16_t index, uint8_t sub, uint32_t code);
    void StartUpload(uint16_t index, uint8_t sub);
    bool AcceptSegment(Transfer expected, uint8_t command);
    void UploadSegment(uint8_t command);
    void InitiateDownload(const uint8_t* d, uint16_t index, uint8_t sub);
    void DownloadSegment(const uint8_t* d);
    bool TakeWrongToggle();

    uint8_t nodeId_;
    SdoObjects& objects_;
    SdoFaults faults_;
    std::vector<KIV_CanFrame>* out_ = nullptr;  // during Serve

    // The transfer in progress.
    Transfer transfer_ = Transfer::kNone;
    uint16_t tIndex_ = 0;
    uint8_t tSub_ = 0;
    std::vector<uint8_t> tData_;
    std::size_t tOffset_ = 0;
    uint8_t tToggle_ = 0;
    bool tSizeKnown_ = false;
    uint32_t tSize_ = 0;
    int tSegments_ = 0;
    bool tFinished_ = false;      // last segment served; only a repeat may follow
    Clock::time_point tMoved_{};  // the transfer's start or last segment served
    std::optional<KIV_CanFrame> tLastAnswer_;
};

}  // namespace orukiv::sim

// Low-latency mode: the worker's sleep between passes, ended early by
// KIV_Notify and (with KIV_TIMING_WAKE_ON_REQUEST) by queued requests, and
// skipped after a full receive poll (in every timing). An instance
// that never calls KIV_SetWorkerTiming keeps the plain 5 ms sleep.
#pragma once

struct StackCore;

namespace orukiv {

// Worker, after each pass: in low-latency mode sleeps as the instance's
// timing asks (or not at all) and returns true; in the default timing
// returns false at once and the caller sleeps its plain 5 ms.
bool LowLatencyPause(StackCore* stack);
// True once KIV_SetWorkerTiming has put the instance in low-latency mode.
bool InLowLatencyMode(const StackCore* stack);
// Ends the worker's current or next sleep in low-latency mode (no effect in
// the default timing). Any thread.
void WakeWorker(StackCore* stack);
// Called after a request was queued: wakes the worker when the instance
// asks for it.
void WakeOnRequest(StackCore* stack);
// Releases the timing's resources; the worker must have ended.
void CloseWorkerTiming(StackCore* stack);

}  // namespace orukiv

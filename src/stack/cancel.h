// Cancelling of long work (KIV_Cancel). The instance keeps one generation
// counter for every node and one per node; KIV_Cancel raises one of them,
// from any thread, and wakes the worker.
//
// How a service honours it: when its call is made (on the caller's thread,
// before the request is queued) it takes CancelMark() of the node it works
// with, keeps it in its request, and the worker ends that work with
// KIV_ERR_CANCELLED as soon as CancelledSince() is true, within the pass
// that sees it. A request made after KIV_Cancel took the new mark and runs
// normally. Services that address no single node (LSS) use node 0, whose
// mark only KIV_Cancel(h, 0) changes. Reading the marks takes no lock.
#pragma once

#include <cstdint>

struct CoStack;

namespace orukiv {

// The cancel mark of `node` (0..127) now.
uint32_t CancelMark(const CoStack* stack, uint8_t node);
// True once KIV_Cancel for `node` (or for every node) was called after
// `mark` was taken.
bool CancelledSince(const CoStack* stack, uint8_t node, uint32_t mark);

}  // namespace orukiv

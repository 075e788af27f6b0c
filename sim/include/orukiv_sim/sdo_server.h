// The simulated nodes' SDO servers, each declared in its own header: the
// expedited and segmented server (sdo_segmented_server.h, with the fault
// knobs of sdo_faults.h) and the block-transfer server (sdo_block_server.h),
// both reaching a node's dictionary through SdoObjects (sdo_objects.h).
#pragma once

#include "orukiv_sim/sdo_block_server.h"
#include "orukiv_sim/sdo_faults.h"
#include "orukiv_sim/sdo_objects.h"
#include "orukiv_sim/sdo_segmented_server.h"

/*
 * orukiv: a CANopen master library.
 *
 * This is the one header a host includes. It includes the interface of each
 * family of exports:
 *   orukiv_lifecycle.h    result codes, the handle, CAN frames, the host's
 *                         callbacks and received-frame events; KIV_Init,
 *                         KIV_Destroy, KIV_InputFrame, the worker's timing,
 *                         KIV_GetVersion
 *   orukiv_services.h     service frames: NMT, heartbeat, node guarding,
 *                         SYNC, EMCY, PDO, TIME
 *   orukiv_sdo.h          SDO access, block transfer and settings; remote
 *                         configuration (heartbeat period, KIV_ConfigPDO,
 *                         KIV_ConfigTPDO)
 *   orukiv_supervision.h  heartbeat consumer, node guarding, node states,
 *                         statistics
 *   orukiv_lss.h          LSS master and the boot-up of a node
 *   orukiv_cyclic.h       cyclic operation
 *   orukiv_drive.h        CiA 402 drive profile
 * orukiv_od.h (object dictionaries, configuration download) includes this
 * header and is included by hosts that use it.
 *
 * The host owns the CAN hardware. It creates one stack instance per bus with
 * KIV_Init, handing over callbacks that poll and send CAN frames; the
 * instance's worker thread polls those callbacks every 5 ms (or as
 * KIV_SetWorkerTiming sets), runs the requests that the exports queue, and
 * advances SDO transfers.
 *
 * What returns what. Every export returns a result code (KIV_OK, a KIV_ERR_
 * code, or a send callback's own failure code passed through), except
 * KIV_Init (the handle, or null), KIV_GetVersion (the version number),
 * KIV_SdoAbortText (text), and in orukiv_od.h KIV_OdLoadFile and
 * KIV_OdLoadText (the dictionary, or null), KIV_OdFree (nothing) and
 * KIV_OdCount (a count).
 *
 * What queues. The exports that queue hand a request to the worker and
 * block until the worker (or the SDO transfer) has completed it: the service
 * frames, KIV_InputFrame, the SDO reads and writes and everything built on
 * them (KIV_NMT_SetHeartbeatPeriod, KIV_ConfigPDO, KIV_ConfigTPDO, the
 * KIV_402_ calls, KIV_ConfigureNode, KIV_WriteConciseDcf, KIV_BootNode),
 * KIV_SuperviseNode, KIV_GuardNode and the KIV_LSS_ services. These queue
 * nothing: KIV_GetNodeState, KIV_GetStats, KIV_GetCyclicStats,
 * KIV_StartCyclic, KIV_StopCyclic, KIV_SetSDOTimeout, KIV_SetSdoRetry,
 * KIV_SetSdoOneTransferPerNode, KIV_SetSdoRefuseLongReads, KIV_Cancel,
 * KIV_SetBlockTransfer,
 * KIV_SetTransferProgress, KIV_LSS_SetTimeout, KIV_SetWorkerTiming,
 * KIV_Notify, KIV_SdoAbortText, KIV_GetVersion, and the KIV_Od calls of
 * orukiv_od.h other than KIV_ConfigureNode and KIV_WriteConciseDcf.
 *
 * What callbacks may call. All callbacks run on the worker thread. Inside a
 * callback of its own instance an export that queues is refused (see the
 * callback rules in orukiv_lifecycle.h); every export that queues nothing
 * works there, KIV_Destroy stops the instance without waiting, and every
 * export of another instance works as anywhere else.
 *
 * Records crossing this interface have fixed layouts for 64-bit,
 * little-endian processes; each header checks its records' layouts at
 * compile time. The headers are valid C99 and C++.
 */
#ifndef ORUKIV_H
#define ORUKIV_H

#include "orukiv_cyclic.h"
#include "orukiv_drive.h"
#include "orukiv_lifecycle.h"
#include "orukiv_lss.h"
#include "orukiv_sdo.h"
#include "orukiv_services.h"
#include "orukiv_supervision.h"

#endif /* ORUKIV_H */

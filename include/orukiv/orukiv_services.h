/*
 * orukiv: service frames sent on the host's behalf: NMT, heartbeat, node guarding,
 * SYNC, EMCY, PDO, remote PDO and TIME.
 *
 * Part of the interface that orukiv.h includes; include orukiv.h.
 */
#ifndef ORUKIV_SERVICES_H
#define ORUKIV_SERVICES_H

#include "orukiv_lifecycle.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Service frames                                                            */
/* ------------------------------------------------------------------------ */

/* NMT command on id 0x000: data [command low byte, node] (node 0: all;
 * 128 and above refused). */
ORUKIV_C_API int32_t KIV_NMT_SendCommand(KIV_Handle handle, uint8_t node, int32_t command);
/* Heartbeat on 0x700 + node with the state's low byte (0: boot-up). */
ORUKIV_C_API int32_t KIV_NMT_SendHeartbeat(KIV_Handle handle, uint8_t node, int32_t state);
/* Node-guarding remote request on 0x700 + node. */
ORUKIV_C_API int32_t KIV_SendNodeGuardRequest(KIV_Handle handle, uint8_t node);
/* SYNC on 0x080 without a counter byte. */
ORUKIV_C_API int32_t KIV_SendSYNC(KIV_Handle handle);
/* EMCY on 0x080 + node; manufacturerData points to 5 bytes, or is null for
 * five zero bytes. */
ORUKIV_C_API int32_t KIV_SendEMCY(KIV_Handle handle, uint8_t node, uint16_t errorCode,
                                  uint8_t errorRegister, const uint8_t* manufacturerData);
/* PDO of 1..8 bytes on cobId, always as a classic frame. KIV_ERR_PARAM for
 * null data or a length of 0 or above 8. */
ORUKIV_C_API int32_t KIV_SendPDO(KIV_Handle handle, uint32_t cobId, const uint8_t* data,
                                 uint8_t length);
/* Remote PDO request (rtr 1, dlc 0) on cobId. */
ORUKIV_C_API int32_t KIV_SendRemotePDO(KIV_Handle handle, uint32_t cobId);
/* TIME stamp on 0x100 (dlc 8): TIME_OF_DAY of the given local calendar time,
 * valid from 1984-01-01 to 2120-02-07 06:28:15.999. Day, hour, minute and
 * second carry beyond their range; the millisecond is added unchanged. A
 * month outside 1..12 is wrapped into it: month 13 counts as January, 0 as
 * December (no year change). */
ORUKIV_C_API int32_t KIV_SendTimestamp(KIV_Handle handle, uint16_t year, uint8_t month, uint8_t day,
                                       uint8_t hour, uint8_t minute, uint8_t second,
                                       uint32_t millisecond);

#ifdef __cplusplus
}
#endif

#endif /* ORUKIV_SERVICES_H */

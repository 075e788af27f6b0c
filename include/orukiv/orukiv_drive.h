/*
 * orukiv: CiA 402 drive profile: expedited SDO access to the drive objects and
 * the power-on sequence.
 *
 * Part of the interface that orukiv.h includes; include orukiv.h.
 */
#ifndef ORUKIV_DRIVE_H
#define ORUKIV_DRIVE_H

#include "orukiv_lifecycle.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* CiA 402 drive profile (sub-index 0 of each object, expedited SDO)         */
/* ------------------------------------------------------------------------ */

/* Each call is one SDO transfer (PowerOn four) with the node's object, and
 * returns as KIV_WriteObject or KIV_ReadObject. A Get call returns
 * KIV_ERR_PARAM for a null value pointer, and leaves the value as it was
 * unless the read succeeded with the object's full size. */

/* Controlword 0x6040. */
ORUKIV_C_API int32_t KIV_402_SetControlWord(KIV_Handle handle, uint8_t node, uint16_t value);
/* Statusword 0x6041. The getters store the value only when exactly the
 * object's size arrived (2 bytes here); an answer of another length fails
 * with KIV_ERR_PARAM. */
ORUKIV_C_API int32_t KIV_402_GetStatusWord(KIV_Handle handle, uint8_t node, uint16_t* value);
/* Modes of operation 0x6060: the low byte of mode is written. */
ORUKIV_C_API int32_t KIV_402_SetOpMode(KIV_Handle handle, uint8_t node, int32_t mode);
/* Modes of operation display 0x6061 (1 byte: the mode in force),
 * zero-extended. */
ORUKIV_C_API int32_t KIV_402_GetOpMode(KIV_Handle handle, uint8_t node, int32_t* mode);
/* Target position 0x607A. */
ORUKIV_C_API int32_t KIV_402_SetTargetPos(KIV_Handle handle, uint8_t node, int32_t value);
/* Position actual value 0x6064; exactly 4 bytes. */
ORUKIV_C_API int32_t KIV_402_GetActualPos(KIV_Handle handle, uint8_t node, int32_t* value);
/* Target velocity 0x60FF. */
ORUKIV_C_API int32_t KIV_402_SetTargetVel(KIV_Handle handle, uint8_t node, int32_t value);
/* Velocity actual value 0x606C; exactly 4 bytes. */
ORUKIV_C_API int32_t KIV_402_GetActualVel(KIV_Handle handle, uint8_t node, int32_t* value);
/* Target torque 0x6071. */
ORUKIV_C_API int32_t KIV_402_SetTargetTorque(KIV_Handle handle, uint8_t node, int16_t value);
/* Torque actual value 0x6077; exactly 2 bytes. */
ORUKIV_C_API int32_t KIV_402_GetActualTorque(KIV_Handle handle, uint8_t node, int16_t* value);
/* Homing method 0x6098. */
ORUKIV_C_API int32_t KIV_402_SetHomingMode(KIV_Handle handle, uint8_t node, int8_t method);
/* Writes the controlword 0x0080 (fault reset). */
ORUKIV_C_API int32_t KIV_402_FaultReset(KIV_Handle handle, uint8_t node);
/* Writes the controlwords 0x0080, 0x0006, 0x0007, 0x000F, 10 ms apart;
 * returns the first failure, or the last write's result. */
ORUKIV_C_API int32_t KIV_402_PowerOn(KIV_Handle handle, uint8_t node);

#ifdef __cplusplus
}
#endif

#endif /* ORUKIV_DRIVE_H */

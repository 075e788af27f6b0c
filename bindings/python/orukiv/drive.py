"""The CiA 402 drive profile calls, as methods of one drive."""

from __future__ import annotations

import ctypes
from typing import Any

from . import _args as A
from ._core import Core


class Drive:
    """The CiA 402 drive at one node of a master (``master.drive(node)``).
    Each call is one expedited SDO transfer (``power_on`` four) and raises
    as :meth:`Master.write` and :meth:`Master.read` do; a getter whose
    answer has another size than the object's raises :class:`ParamError`."""

    def __init__(self, master: Core, node: int) -> None:
        self.master = master
        self.node = node

    def __repr__(self) -> str:
        return f"Drive(node={self.node})"

    def _set(self, name: str, what: str, value: int) -> None:
        self.master._call(f"{what} of node {self.node}", name, self.node, value)

    def _get(self, name: str, what: str, ctype: Any) -> int:
        value = ctype(0)
        self.master._call(f"{what} of node {self.node}", name, self.node, ctypes.byref(value))
        return int(value.value)

    def set_control_word(self, value: int) -> None:
        """Writes the controlword 0x6040."""
        self._set("KIV_402_SetControlWord", "controlword", A.u16(value, "value"))

    def status_word(self) -> int:
        """Reads the statusword 0x6041."""
        return self._get("KIV_402_GetStatusWord", "statusword", ctypes.c_uint16)

    def set_op_mode(self, mode: int) -> None:
        """Writes the modes of operation 0x6060."""
        self._set("KIV_402_SetOpMode", "modes of operation", A.i8(mode, "mode"))

    def op_mode(self) -> int:
        """Reads the modes of operation display 0x6061 (zero-extended)."""
        return self._get("KIV_402_GetOpMode", "modes of operation display", ctypes.c_int32)

    def set_target_position(self, value: int) -> None:
        """Writes the target position 0x607A."""
        self._set("KIV_402_SetTargetPos", "target position", A.i32(value, "value"))

    def actual_position(self) -> int:
        """Reads the position actual value 0x6064."""
        return self._get("KIV_402_GetActualPos", "position actual value", ctypes.c_int32)

    def set_target_velocity(self, value: int) -> None:
        """Writes the target velocity 0x60FF."""
        self._set("KIV_402_SetTargetVel", "target velocity", A.i32(value, "value"))

    def actual_velocity(self) -> int:
        """Reads the velocity actual value 0x606C."""
        return self._get("KIV_402_GetActualVel", "velocity actual value", ctypes.c_int32)

    def set_target_torque(self, value: int) -> None:
        """Writes the target torque 0x6071."""
        self._set("KIV_402_SetTargetTorque", "target torque", A.i16(value, "value"))

    def actual_torque(self) -> int:
        """Reads the torque actual value 0x6077."""
        return self._get("KIV_402_GetActualTorque", "torque actual value", ctypes.c_int16)

    def set_homing_method(self, method: int) -> None:
        """Writes the homing method 0x6098."""
        self._set("KIV_402_SetHomingMode", "homing method", A.i8(method, "method"))

    def fault_reset(self) -> None:
        """Writes the controlword 0x0080 (fault reset)."""
        self.master._call(f"fault reset of node {self.node}", "KIV_402_FaultReset", self.node)

    def power_on(self) -> None:
        """Writes the controlwords 0x0080, 0x0006, 0x0007, 0x000F, 10 ms apart."""
        self.master._call(f"power-on of node {self.node}", "KIV_402_PowerOn", self.node)

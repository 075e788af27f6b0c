"""LSS master services (CiA 305) and the boot-up of a node (CiA 302-2), as
methods of Master."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Any, Optional, Tuple

from . import _args as A
from . import _library as L
from ._core import Core
from .errors import BootError, Error, LssError, ParamError
from .events import NmtState
from .od import ObjectDictionary

Identity = Tuple[int, int, int, int]  # vendor, product, revision, serial

BOOT_MANDATORY = 0x01
BOOT_RESET_COMM = 0x02
BOOT_CONFIGURE = 0x04
BOOT_START = 0x08
BOOT_KEEP_OPERATIONAL = 0x10


class LssRefusedError(LssError):
    """The LSS slave refused the service; ``error_code`` is its code
    (1: out of range / not supported, 2: storage access error)."""

    result = L.KIV_ERR_ABORTED

    def __init__(self, message: str, error_code: int) -> None:
        super().__init__(message)
        self.error_code = error_code


@dataclass(frozen=True)
class BootReport:
    """How a boot ended: ``status`` the CiA 302-2 letter ('' booted), the
    ``step`` it ended at, the failed object and check."""

    status: str
    step: int
    nmt_state: NmtState
    index: int
    sub: int
    result: int
    abort_code: int
    expected: int
    actual: int
    elapsed_ms: int


class LssMixin(Core):
    """The LSS and boot-up methods of :class:`Master`."""

    def _lss(self, what: str, name: str, *args: Any) -> int:
        return self._run(0, getattr(self._lib, name), *args)

    def _lss_check(self, result: int, what: str) -> None:
        """LSS failures raise LssError (argument faults ParamError)."""
        try:
            self._check(result, what, 0, None, "lss")
        except ParamError:
            raise
        except Error as exc:
            if isinstance(exc, LssError):
                raise
            raise LssError(str(exc), result) from None

    def _lss_confirmed(self, what: str, name: str, *args: Any) -> None:
        code = ctypes.c_uint8(0)
        result = self._lss(what, name, *args, ctypes.byref(code))
        if result == L.KIV_ERR_ABORTED:
            raise LssRefusedError(f"{what}: the slave refused it (error code {code.value})",
                                  code.value)
        self._lss_check(result, what)

    def lss_switch_global(self, mode: int) -> None:
        """Switch state global: 0 waiting, 1 configuration."""
        self._lss_check(self._lss("LSS switch global", "KIV_LSS_SwitchGlobal",
                              A.integer(mode, "mode", 0, 1)), "LSS switch global")

    def lss_switch_selective(self, vendor: int, product: int, revision: int,
                             serial: int) -> None:
        """The slave with this identity enters configuration state."""
        ids = [A.u32(v, n) for v, n in ((vendor, "vendor"), (product, "product"),
                                         (revision, "revision"), (serial, "serial"))]
        self._lss_check(self._lss("LSS switch selective", "KIV_LSS_SwitchSelective", *ids),
                    "LSS switch selective")

    def lss_configure_node_id(self, node_id: int) -> None:
        """Node-ID (1..127, 255: unconfigured) of the slave in configuration state."""
        self._lss_confirmed("LSS configure node-ID", "KIV_LSS_ConfigureNodeId",
                            A.u8(node_id, "node_id"))

    def lss_configure_bit_timing(self, table: int, index: int) -> None:
        """Bit timing of the slave in configuration state (table 0: the CiA table)."""
        self._lss_confirmed("LSS configure bit timing", "KIV_LSS_ConfigureBitTiming",
                            A.u8(table, "table"), A.u8(index, "index"))

    def lss_activate_bit_timing(self, delay_ms: int) -> None:
        """Slaves switch to the configured bit timing after ``delay_ms``."""
        self._lss_check(self._lss("LSS activate bit timing", "KIV_LSS_ActivateBitTiming",
                              A.u16(delay_ms, "delay_ms")), "LSS activate bit timing")

    def lss_store_configuration(self) -> None:
        """The slave keeps its node-ID and bit timing across a power cycle."""
        self._lss_confirmed("LSS store configuration", "KIV_LSS_StoreConfiguration")

    def lss_inquire_identity(self) -> Identity:
        """(vendor, product, revision, serial) of the slave in configuration state."""
        ids = (ctypes.c_uint32 * 4)()
        self._lss_check(self._lss("LSS inquire identity", "KIV_LSS_InquireIdentity", ids),
                    "LSS inquire identity")
        return (ids[0], ids[1], ids[2], ids[3])

    def lss_inquire_node_id(self) -> int:
        """Node-ID of the slave in configuration state (255: unconfigured)."""
        node = ctypes.c_uint8(0)
        self._lss_check(self._lss("LSS inquire node-ID", "KIV_LSS_InquireNodeId",
                              ctypes.byref(node)), "LSS inquire node-ID")
        return node.value

    def lss_identify_non_configured(self, timeout_ms: int = 0) -> bool:
        """True as soon as an unconfigured slave answered, False when none did."""
        result = self._lss("LSS identify non-configured", "KIV_LSS_IdentifyNonConfigured",
                           A.u32(timeout_ms, "timeout_ms"))
        if result == L.KIV_ERR_TIMEOUT:
            return False
        self._lss_check(result, "LSS identify non-configured")
        return True

    def lss_fastscan(self, timeout_ms: int = 0) -> Optional[Identity]:
        """The identity of one unconfigured slave, left in configuration
        state; None when no slave is left."""
        found = (ctypes.c_uint32 * 4)()
        result = self._lss("LSS fastscan", "KIV_LSS_Fastscan",
                           A.integer(timeout_ms, "timeout_ms", 0, 0x7FFFFFFF), found)
        if result == L.KIV_ERR_TIMEOUT:
            return None
        self._lss_check(result, "LSS fastscan")
        return (found[0], found[1], found[2], found[3])

    def lss_set_timeout(self, timeout_ms: int) -> None:
        """Wait for the answers of confirmed LSS services (ms)."""
        handle = self._begin(queuing=False)
        try:
            result = self._lib.KIV_LSS_SetTimeout(
                handle, A.integer(timeout_ms, "timeout_ms", 1, 0x7FFFFFFF))
        finally:
            self._end()
        self._lss_check(result, "LSS time-out")

    def boot_node(
        self, node: int, *, flags: int = 0, device_type: int = 0,
        vendor_id: int = 0, product_code: int = 0, revision: int = 0, serial: int = 0,
        boot_time_ms: int = 0, heartbeat_ms: int = 0, guard_time_ms: int = 0,
        life_time_factor: int = 0, dcf: Optional["ObjectDictionary"] = None,
        concise_dcf: Optional[bytes] = None,
    ) -> BootReport:
        """Boots ``node`` as a CiA 302-2 manager does (checks, reset,
        configuration, supervision, start as ``flags`` say: BOOT_MANDATORY,
        BOOT_RESET_COMM, BOOT_CONFIGURE, BOOT_START, BOOT_KEEP_OPERATIONAL;
        expected values of 0 are not checked). Returns the report; a failed
        boot raises BootError with the report as ``.report``."""
        node = A.u8(node, "node")
        p = L.BootParam()
        p.flags = A.integer(flags, "flags", 0, 0x1F)
        for field, value, name in (
            ("deviceType", device_type, "device_type"), ("vendorId", vendor_id, "vendor_id"),
            ("productCode", product_code, "product_code"), ("revision", revision, "revision"),
            ("serial", serial, "serial"), ("bootTimeMs", boot_time_ms, "boot_time_ms"),
            ("heartbeatMs", heartbeat_ms, "heartbeat_ms"),
            ("guardTimeMs", guard_time_ms, "guard_time_ms"),
        ):
            setattr(p, field, A.u32(value, name))
        p.lifeTimeFactor = A.u8(life_time_factor, "life_time_factor")
        keep = None
        if dcf is not None:
            if not isinstance(dcf, ObjectDictionary):
                raise TypeError("dcf must be an orukiv.ObjectDictionary")
            p.dcf = dcf._od()
        elif concise_dcf is not None:
            raw = A.data(concise_dcf, "concise_dcf")
            keep = ctypes.create_string_buffer(raw, len(raw))
            p.conciseDcf, p.conciseDcfSize = ctypes.addressof(keep), len(raw)
        r = L.BootReport()
        result = self._lss(f"boot of node {node}", "KIV_BootNode", node, ctypes.byref(p),
                           ctypes.byref(r))
        del keep
        report = BootReport(
            chr(r.status) if r.status else "", r.step,
            NmtState(r.nmtState) if r.nmtState in NmtState._value2member_map_ else NmtState.UNKNOWN,
            r.index, r.subIndex, r.result, r.abortCode, r.expected, r.actual, r.elapsedMs,
        )
        what = f"boot of node {node} (status {report.status or '-'})"
        try:
            self._check(result, what, report.abort_code)
        except ParamError:
            raise
        except Error as exc:
            raise BootError(str(exc), result, report, report.abort_code) from None
        return report

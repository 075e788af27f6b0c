"""The exceptions: one class per result code of the C interface, all
deriving from :class:`Error`."""

from __future__ import annotations

from typing import Any, Dict, Type

from . import _library as L


Error = L.Error


class ClosedError(Error):
    """The master was closed: no call may be made on it any more."""


class ParamError(Error):
    """KIV_ERR_PARAM: an argument was refused (a node id outside 1..127, a
    call from inside one of the master's own callbacks), or an SDO server's
    segments disagreed with the size it announced."""

    result = L.KIV_ERR_PARAM
    meaning = "argument refused"


class SdoTimeoutError(Error):
    """KIV_ERR_TIMEOUT: the SDO server stayed silent for the SDO time-out."""

    result = L.KIV_ERR_TIMEOUT
    meaning = "no answer within the time-out"


class NoResourceError(Error):
    """KIV_ERR_NO_RESOURCE: too many requests waiting or no free SDO channel;
    back off and retry."""

    result = L.KIV_ERR_NO_RESOURCE
    meaning = "no free request slot or SDO channel"


class SdoAbortedError(Error):
    """KIV_ERR_ABORTED: the SDO server aborted the transfer. ``code`` is the
    abort code and ``text`` its meaning."""

    result = L.KIV_ERR_ABORTED

    def __init__(self, message: str, code: int = 0, text: str = "") -> None:
        super().__init__(message)
        self.code = code
        self.text = text


class NoSendError(Error):
    """KIV_ERR_NO_SEND: the frame could not be sent. When the bus raised in
    ``send``, that exception is this one's ``__cause__``."""

    result = L.KIV_ERR_NO_SEND
    meaning = "the frame could not be sent"


class SendError(Error):
    """Any other code: the send callback's own failure code, passed through."""


class SdoTooLongError(Error):
    """A read's object is longer than the ``max_size`` the caller set (or than
    the read buffer holds). Nothing is returned cut."""


class LssError(Error):
    """An LSS service failed: ``result`` is the library's code (a time-out
    when no slave answered)."""


class BootError(Error):
    """The boot of a node failed; ``report`` says where (a BootReport) and
    ``abort_code`` the SDO abort code when an SDO transfer was aborted."""

    def __init__(self, message: str, result: int, report: Any, abort_code: int = 0) -> None:
        super().__init__(message, result)
        self.report = report
        self.abort_code = abort_code


class CancelledError(Error):
    """The call was cancelled (Master.cancel, or Master.close while it ran)."""

    result = L.KIV_ERR_CANCELLED
    meaning = "cancelled"


class AmbiguousError(Error):
    """KIV_ERR_AMBIGUOUS: several LSS slaves answered an inquiry meant for one."""

    result = L.KIV_ERR_AMBIGUOUS
    meaning = "several LSS slaves answered"


class MismatchError(Error):
    """KIV_ERR_MISMATCH: a boot check read another value than expected."""

    result = L.KIV_ERR_MISMATCH
    meaning = "a check read another value than expected"


RESULT_ERRORS: Dict[int, Type[Error]] = {
    int(getattr(cls, "result")): cls
    for cls in (ParamError, SdoTimeoutError, NoResourceError, SdoAbortedError, NoSendError,
                AmbiguousError, MismatchError)
}


def abort_text(code: int) -> str:
    """The meaning of an SDO abort code in words."""
    raw = L.library().KIV_SdoAbortText(code & 0xFFFFFFFF)
    return str(raw.decode("utf-8", "replace")) if raw else ""


# Meanings of the codes whose sense depends on the service (by family).
_MEANINGS = {
    ("sdo", L.KIV_ERR_PARAM): "argument refused, or the SDO answer disagreed with its size",
    ("sdo", L.KIV_ERR_TIMEOUT): "no complete answer within the SDO time-out",
    ("lss", L.KIV_ERR_TIMEOUT): "no LSS slave answered within the LSS time-out",
}


def raise_for(result: int, what: str, abort_code: int = 0, family: str = "") -> None:
    """Raises the exception of a non-zero result code of call ``what``
    (``family``: "sdo" or "lss" for their meanings of a code)."""
    if result == L.KIV_OK:
        return
    if result == L.KIV_ERR_ABORTED:
        text = abort_text(abort_code)
        raise SdoAbortedError(f"{what}: SDO abort 0x{abort_code:08X} ({text})", abort_code, text)
    if result == CancelledError.result:
        raise CancelledError(f"{what}: cancelled")
    cls = RESULT_ERRORS.get(result)
    if cls is None:
        raise SendError(f"{what}: the send callback failed with code {result}", result)
    meaning = _MEANINGS.get((family, result))
    if meaning is None:
        meaning = "argument refused" if result == L.KIV_ERR_PARAM else cls.meaning
    raise cls(f"{what}: {meaning}")

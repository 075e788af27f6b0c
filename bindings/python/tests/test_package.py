"""Loading the library and checking the records against the header."""

import ctypes
import re

import pytest

import orukiv
from orukiv import _library as L


def test_lookup_order_and_error_names_every_place_tried(tmp_path):
    paths = L.candidates({"ORUKIV_LIBRARY": str(tmp_path / "mine.so")})
    assert paths[0] == str(tmp_path / "mine.so")
    assert paths[1].startswith(str(L.PACKAGE_DIR))
    assert paths[-1] == L.LIBRARY_NAMES[-1]  # the system's search path last
    not_a_library = tmp_path / "liborukiv.so"
    not_a_library.write_text("not a library")
    tried = [str(tmp_path / "missing.so"), str(not_a_library), "liborukiv-nowhere.so"]
    with pytest.raises(orukiv.LibraryNotFoundError) as info:
        L.load(tried)
    message = str(info.value)
    assert "ORUKIV_LIBRARY" in message
    assert all(path in message for path in tried)


def test_a_library_lacking_exports_is_refused():
    libc = ctypes.CDLL(None)
    with pytest.raises(orukiv.LibraryNotFoundError, match="KIV_Init"):
        L.declare(libc, "libc")


class Drifted(ctypes.Structure):
    _fields_ = [("id", ctypes.c_uint32), ("rtr", ctypes.c_uint8), ("dlc", ctypes.c_uint8)]


@pytest.mark.parametrize(
    "layout,complaint",
    [
        (((Drifted, 24, {}),), "Drifted: size 8, expected 24"),
        (((Drifted, 8, {"dlc": 12}),), "Drifted.dlc: offset 5, expected 12"),
        (((L.Event, 88, {"body.sdo.sdoLength": 22}),), "body.sdo.sdoLength: offset 23"),
    ],
)
def test_layout_check_names_what_drifted(layout, complaint):
    with pytest.raises(ImportError, match=complaint.replace(".", r"\.")):
        L.check_layouts(layout)


def test_every_export_of_the_headers_is_declared_and_typed():
    headers = sorted((L.PACKAGE_DIR.parents[2] / "include/orukiv").glob("*.h"))
    header = "\n".join(h.read_text() for h in headers)
    declared = set(re.findall(r"ORUKIV_C_API\s+[\w\s\*]+?\b(KIV_\w+)\s*\(", header))
    assert declared == set(L.EXPORTS), (
        "declare these exports of include/orukiv in EXPORTS of bindings/python/orukiv/_library.py: "
        f"{sorted(declared - set(L.EXPORTS))}; no longer there: {sorted(set(L.EXPORTS) - declared)}"
    )
    lib = L.library()
    for name in L.EXPORTS:
        assert getattr(lib, name).argtypes is not None


def test_library_version_number_and_text_agree():
    number, text = orukiv.library_version()
    major, minor, patch = (int(part) for part in text.split("."))
    assert number == major * 10000 + minor * 100 + patch and number >= 10000

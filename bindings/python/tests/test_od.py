"""Object dictionaries: typed values, loading, and by-name access and
configuration download end to end against the simulated drive."""

import math

import pytest

import orukiv
from conftest import ROOT
from orukiv import DataType as T
from orukiv import od as OD

DRIVE = 5

VALUES = [
    (T.BOOLEAN, True, "01"),
    (T.INTEGER8, -2, "FE"),
    (T.INTEGER24, -0x123456, "AACBED"),
    (T.UNSIGNED16, 0xBEEF, "EFBE"),
    (T.UNSIGNED40, 0x0102030405, "0504030201"),
    (T.INTEGER64, -1, "FFFFFFFFFFFFFFFF"),
    (T.REAL32, 1.5, "0000C03F"),
    (T.REAL64, -0.25, "000000000000D0BF"),
    (T.VISIBLE_STRING, "drive", "6472697665"),
    (T.UNICODE_STRING, "é", "E900"),
    (T.OCTET_STRING, b"\x00\xff", "00FF"),
    (T.TIME_OF_DAY, "1984-01-02 00:00:01.500", "DC0500000100"),
]


@pytest.mark.parametrize("data_type,value,hex_bytes", VALUES)
def test_values_encode_and_decode(data_type, value, hex_bytes):
    raw = bytes.fromhex(hex_bytes)
    assert OD.encode(data_type, value) == raw
    assert OD.decode(data_type, raw) == value


@pytest.mark.parametrize(
    "data_type,value,error",
    [
        (T.UNSIGNED8, 256, ValueError),
        (T.INTEGER16, "40000", ValueError),  # parsed by the library: out of range
        (T.UNSIGNED32, 1.5, TypeError),
        (T.REAL32, True, TypeError),
    ],
)
def test_values_out_of_their_type_are_refused(data_type, value, error):
    with pytest.raises(error):
        OD.encode(data_type, value)


def test_text_values_go_through_the_library():
    assert OD.encode(T.INTEGER16, "0xFFFF") == b"\xff\xff"
    assert OD.format_value(T.REAL32, OD.encode(T.REAL32, "inf")) == "inf"
    assert math.isnan(OD.decode(T.REAL64, OD.parse_value(T.REAL64, "nan")))


DCF = """[DeviceInfo]
ProductName=test
[1017]
ParameterName=Producer heartbeat time
DataType=0x0006
AccessType=rw
DefaultValue=1000
ParameterValue=1000
[1400]
ParameterName=RPDO communication parameter 1
ObjectType=0x9
SubNumber=2
[1400sub0]
ParameterName=Highest sub-index supported
DataType=0x0005
AccessType=ro
DefaultValue=1
[1400sub1]
ParameterName=COB-ID used by RPDO
DataType=0x0007
AccessType=rw
DefaultValue=$NODEID+0x200
[6081]
ParameterName=Profile velocity
DataType=0x0007
AccessType=rw
ParameterValue=4321
"""


def test_load_text_and_look_up():
    with orukiv.ObjectDictionary.from_text(DCF, node_id=5) as od:
        assert len(od) == 4
        cob = od["RPDO communication parameter 1.COB-ID used by RPDO"]
        assert (cob.index, cob.sub, cob.default) == (0x1400, 1, (0x205).to_bytes(4, "little"))
        assert od["cob-id used by rpdo"] == cob == od[0x1400, 1]
        assert od[0x6081].value == (4321).to_bytes(4, "little")
        assert [e.index for e in od] == [0x1017, 0x1400, 0x1400, 0x6081]
        assert "Nothing" not in od
    with pytest.raises(orukiv.ClosedError):
        len(od)


def test_load_errors_name_the_line(tmp_path):
    with pytest.raises(orukiv.OdLoadError) as info:
        orukiv.ObjectDictionary.from_text("[1000]\nParameterName=x\nno equals sign\n")
    assert info.value.line == 3
    with pytest.raises(orukiv.OdLoadError):
        orukiv.ObjectDictionary.from_file(tmp_path / "missing.eds")


def test_typed_read_and_write_by_name(slcan_master):
    with orukiv.ObjectDictionary.from_file(ROOT / "sim/eds/sim_drive.eds", DRIVE) as od:
        assert od.read(slcan_master, "Manufacturer device name") == "orukiv sim servo drive"
        assert od.read(slcan_master, "Identity object.Vendor-ID") == 0x0A1F
        od.write(slcan_master, "Profile velocity", 1234)
        assert od.read(slcan_master, (0x6081, 0)) == 1234


def test_configuration_download_and_its_failure(slcan_master):
    with orukiv.ObjectDictionary.from_text(DCF, node_id=DRIVE) as dcf:
        report = slcan_master.configure_node(DRIVE, dcf)
        assert (report.written, report.failed) == (report.steps, 0) and report.steps >= 2
        assert slcan_master.read_int(DRIVE, 0x6081) == 4321
        concise = dcf.to_concise_dcf()
    assert int.from_bytes(concise[:4], "little") == report.steps
    bad = DCF.replace("[6081]", "[2FFF]")
    with orukiv.ObjectDictionary.from_text(bad, node_id=DRIVE) as dcf:
        with pytest.raises(orukiv.SdoAbortedError) as info:
            dcf.configure(slcan_master)
    assert (info.value.report.failed_index, info.value.report.failed) == (0x2FFF, 1)
    assert slcan_master.write_concise_dcf(DRIVE, concise).written == report.steps

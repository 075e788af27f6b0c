"""End to end: python-can's slcan interface against `orukiv serve-slcan`,
the simulated network (drive at node 5) behind a pseudo-terminal."""

import time

import pytest

import orukiv

DRIVE = 5


def test_reads_identity(slcan_master):
    assert slcan_master.read(DRIVE, 0x1008) == b"orukiv sim servo drive"
    assert slcan_master.read_int(DRIVE, 0x1018, 1) == 0x00000A1F
    assert slcan_master.drive(DRIVE).op_mode() >= 0


@pytest.mark.parametrize("value", [2500, 0x12345678])
def test_write_then_read_back(slcan_master, value):
    slcan_master.write_int(DRIVE, 0x6081, 0, value, 4)
    assert slcan_master.read_int(DRIVE, 0x6081, 0) == value


def test_abort_raised_as_exception(slcan_master):
    with pytest.raises(orukiv.SdoAbortedError) as info:
        slcan_master.read(DRIVE, 0x2FFF, 0)
    assert info.value.code == 0x06020000
    assert slcan_master.stats().last_abort_node == DRIVE


def test_heartbeat_events_and_supervision(slcan_master):
    master = slcan_master
    master.supervise_node(DRIVE, 1500)
    with master.events() as stream:
        beat = stream.wait_for(lambda e: isinstance(e, orukiv.HeartbeatEvent) and e.node == DRIVE, 5)
        assert beat is not None
        deadline = time.monotonic() + 3
        while not master.node_status(DRIVE).alive and time.monotonic() < deadline:
            time.sleep(0.05)
        assert master.node_status(DRIVE).alive
        master.set_heartbeat_period(DRIVE, 0)  # the drive falls silent
        lost = stream.wait_for(
            lambda e: isinstance(e, orukiv.NodeStateEvent) and e.node == DRIVE
            and e.new_state == orukiv.NmtState.UNKNOWN, 6)
    master.set_heartbeat_period(DRIVE, 1000)
    assert lost is not None and lost.cause == orukiv.NodeStateCause.HEARTBEAT_LOST
    assert not master.node_status(DRIVE).alive


def test_tpdo_mapping_sync_pdo_and_power_on(slcan_master):
    master, drive = slcan_master, slcan_master.drive(DRIVE)
    master.config_tpdo(DRIVE, 1, [(0x6041, 0, 16), (0x6064, 0, 32)])
    assert [master.read_int(DRIVE, 0x1A00, sub) for sub in (0, 1, 2)] == [2, 0x60410010, 0x60640020]
    drive.power_on()
    master.nmt(orukiv.NmtCommand.START, DRIVE)
    with master.events() as stream:
        master.sync()
        pdo = stream.wait_for(lambda e: isinstance(e, orukiv.PdoEvent) and e.cob_id == 0x185, 3)
    assert pdo is not None and len(pdo.data) == 6
    state = 0x6F  # the statusword bits of the drive state: operation enabled after power_on
    assert int.from_bytes(pdo.data[:2], "little") & state == drive.status_word() & state == 0x27


def test_block_transfer_with_progress(slcan_master):
    master, moved = slcan_master, []
    master.set_progress_callback(lambda *args: moved.append(args))
    program = bytes(range(256)) * 3
    master.write_block(DRIVE, 0x1F50, 1, program)
    assert master.read_block(DRIVE, 0x1F50, 1) == program
    assert master.read(DRIVE, 0x1F50, 1) == program
    master.set_progress_callback(None)
    assert (DRIVE, 0x1F50, 1, len(program), len(program)) in moved
    assert master.read_block(DRIVE, 0x1008) == b"orukiv sim servo drive"


def test_lss_selective_switch_and_inquiries(slcan_master):
    identity = (0x0A1F, 0x0402, 0x00010000, 0x12345678)
    slcan_master.lss_switch_selective(*identity)
    try:
        assert slcan_master.lss_inquire_node_id() == DRIVE
        assert slcan_master.lss_inquire_identity() == identity
    finally:
        slcan_master.lss_switch_global(0)


def test_boot_node_reports_and_raises_with_the_report(slcan_master):
    master = slcan_master
    with master.events() as stream:
        report = master.boot_node(DRIVE, device_type=0x00020192, vendor_id=0x0A1F)
        booted = stream.wait_for(lambda e: isinstance(e, orukiv.BootEvent), 3)
    assert (report.status, report.result, booted.status, booted.node) == ("", 0, "", DRIVE)
    with pytest.raises(orukiv.Error) as info:
        master.boot_node(DRIVE, vendor_id=0x1234)
    failed = info.value.report
    assert (failed.status, failed.expected, failed.actual) == ("D", 0x1234, 0x0A1F)

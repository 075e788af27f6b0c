"""Fixtures: the library and tool of the native build, a master on python-can's
virtual bus with a scripted peer."""

import itertools
import os
import subprocess
import threading
from pathlib import Path

import can
import pytest

ROOT = Path(__file__).resolve().parents[3]
os.environ.setdefault("ORUKIV_LIBRARY", str(ROOT / "build/native/lib/liborukiv.so"))

import orukiv  # noqa: E402  (after ORUKIV_LIBRARY is set)

_channels = itertools.count()


def frame(cob_id, hex_data="", rtr=False):
    """A frame as (id, data, rtr), as the peer sees and sends them."""
    return (cob_id, bytes.fromhex(hex_data), rtr)


class Peer:
    """The other end of the virtual bus: records every frame the master
    sends and answers as its script says. A script step is (expected frame,
    [reply frames]); steps are taken in order, a frame that is not the next
    step's is recorded in ``unexpected``."""

    def __init__(self, bus):
        self.bus = bus
        self.script = []
        self.seen = []
        self.unexpected = []
        self.extended = []  # (id, data) of extended frames, kept apart
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            msg = self.bus.recv(0.02)
            if msg is None:
                continue
            if msg.is_extended_id:
                self.extended.append((msg.arbitration_id, bytes(msg.data)))
                continue
            got = frame(msg.arbitration_id, bytes(msg.data).hex(), msg.is_remote_frame)
            self.seen.append(got)
            if self.script and self.script[0][0] == got:
                for reply in self.script.pop(0)[1]:
                    self.send(*reply)
            elif self.script:
                self.unexpected.append(got)

    def send(self, cob_id, data=b"", rtr=False):
        self.bus.send(
            can.Message(arbitration_id=cob_id, data=data, is_extended_id=False,
                        is_remote_frame=rtr, dlc=len(data))
        )

    def stop(self):
        self._stop.set()
        self._thread.join()


@pytest.fixture
def virtual():
    """(master, peer) on a fresh virtual channel."""
    channel = f"orukiv-test-{os.getpid()}-{next(_channels)}"
    bus = can.Bus(interface="virtual", channel=channel)
    peer_bus = can.Bus(interface="virtual", channel=channel)
    peer = Peer(peer_bus)
    master = orukiv.Master(bus, sdo_timeout=0.3)
    yield master, peer
    master.close()
    peer.stop()
    bus.shutdown()
    peer_bus.shutdown()


@pytest.fixture(scope="session")
def slcan_master():
    """A master on python-can's slcan interface, against `orukiv serve-slcan`
    (the simulated network: the drive at node 5, an I/O module at node 10)."""
    tool = os.environ.get("ORUKIV_TOOL", str(ROOT / "build/native/bin/orukiv"))
    if not os.path.exists(tool):
        if "ORUKIV_TOOL" in os.environ:  # scripts/test names it: it must be there
            pytest.fail(f"no orukiv tool at {tool}")
        pytest.skip(f"no orukiv tool at {tool} (set ORUKIV_TOOL)")
    server = subprocess.Popen([tool, "serve-slcan", "120"], stdout=subprocess.PIPE, text=True)
    try:
        pty = server.stdout.readline().strip()
        assert pty.startswith("/dev/"), f"serve-slcan printed {pty!r}"
        bus = can.Bus(interface="slcan", channel=pty, bitrate=250000, sleep_after_open=0)
        master = orukiv.Master(bus, sdo_timeout=2.0)
        yield master
        master.close()
        bus.shutdown()
    finally:
        server.terminate()
        server.wait(10)

#!/usr/bin/env python3
"""SDO calls through the Python package against a plain Python SDO client,
on one python-can virtual bus, in the same run.

A small SDO server runs on a second virtual bus of the same channel, in a
thread of its own. The master and the plain client (a python-can Listener
that puts answers on a queue, bus.send, wait on the queue: what a Python
CANopen stack does per call) share one Notifier on the master's bus, as a
master beside another stack would. For 5 rounds, in rotating order, each
side makes expedited reads and writes and 1 KiB segmented reads back to
back; then the CPU per 1,000 reads (the process's CPU time less the
server thread's) and the CPU of an open idle master are measured.

    ORUKIV_LIBRARY=build/native/lib/liborukiv.so \\
        /usr/bin/python3 bindings/python/bench/bench_sdo.py [--reads N] [--json FILE]
"""

import argparse
import json
import os
import queue
import statistics
import struct
import sys
import threading
import time
from pathlib import Path

import can

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import orukiv  # noqa: E402

NODE = 5
OBJECTS = {(0x1000, 0): struct.pack("<I", 0x00020192), (0x2000, 0): bytes(range(256)) * 4}


class SdoServer:
    """Answers expedited and segmented uploads of OBJECTS and expedited
    downloads for NODE; ``cpu`` is its thread's CPU time so far."""

    def __init__(self, bus):
        self.bus = bus
        self.pending = b""
        self.cpu = 0.0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def reply(self, data):
        self.bus.send(can.Message(arbitration_id=0x580 + NODE, data=data, is_extended_id=False))

    def run(self):
        while not self.stop.is_set():
            msg = self.bus.recv(0.05)
            self.cpu = time.thread_time()
            if msg is None or msg.arbitration_id != 0x600 + NODE:
                continue
            cmd = msg.data[0]
            head = bytes(msg.data[1:4])
            if cmd == 0x40:
                index, sub = struct.unpack_from("<HB", msg.data, 1)
                value = OBJECTS.get((index, sub))
                if value is None:
                    self.reply(b"\x80" + head + struct.pack("<I", 0x06020000))
                elif len(value) <= 4:
                    c = 0x43 | ((4 - len(value)) << 2)
                    self.reply(bytes([c]) + head + value.ljust(4, b"\0"))
                else:
                    self.pending = value
                    self.reply(b"\x41" + head + struct.pack("<I", len(value)))
            elif cmd & 0xE3 == 0x23:  # expedited download, size indicated
                self.reply(b"\x60" + head + bytes(4))
            elif cmd & 0xE0 == 0x60 and self.pending:
                chunk, self.pending = self.pending[:7], self.pending[7:]
                c = (cmd & 0x10) | ((7 - len(chunk)) << 1) | (0 if self.pending else 1)
                self.reply(bytes([c]) + chunk.ljust(7, b"\0"))
            self.cpu = time.thread_time()


class PlainClient(can.Listener):
    """A plain Python SDO client: answers of NODE go on a queue while a
    request waits, bus.send, wait on the queue."""

    def __init__(self, bus, timeout=1.0):
        self.bus, self.timeout = bus, timeout
        self.answers = queue.Queue()
        self.waiting = False

    def on_message_received(self, msg):
        if self.waiting and msg.arbitration_id == 0x580 + NODE:
            self.answers.put(bytes(msg.data))

    def _exchange(self, data):
        while not self.answers.empty():  # late answers to earlier requests (of either side)
            self.answers.get_nowait()
        self.bus.send(can.Message(arbitration_id=0x600 + NODE, data=data, is_extended_id=False))
        while True:
            answer = self.answers.get(timeout=self.timeout)
            initiate = data[0] & 0xE0 != 0x60
            if not initiate or answer[1:4] == data[1:4]:  # an initiate answer names its object
                break
        if answer[0] == 0x80:
            raise RuntimeError("abort 0x%08X" % struct.unpack_from("<I", answer, 4))
        return answer

    def read(self, node, index, sub=0):
        self.waiting = True
        try:
            answer = self._exchange(struct.pack("<BHB4x", 0x40, index, sub))
            cmd = answer[0]
            if cmd & 0x02:  # expedited
                return answer[4:8 - ((cmd >> 2) & 3 if cmd & 0x01 else 0)]
            data, toggle = bytearray(), 0
            while True:
                answer = self._exchange(bytes([0x60 | toggle]) + bytes(7))
                data += answer[1:8 - ((answer[0] >> 1) & 7)]
                toggle ^= 0x10
                if answer[0] & 0x01:
                    return bytes(data)
        finally:
            self.waiting = False

    def write(self, node, index, sub, value):
        self.waiting = True
        try:
            cmd = 0x23 | ((4 - len(value)) << 2)
            self._exchange(struct.pack("<BHB", cmd, index, sub) + value.ljust(4, b"\0"))
        finally:
            self.waiting = False


def timed(call, count):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return times


def cpu_per_1000(side, server):
    """CPU seconds per 1,000 expedited reads, the server thread's left out."""
    cpu, served = time.process_time(), server.cpu
    for _ in range(1000):
        side.read(NODE, 0x1000)
    return (time.process_time() - cpu) - (server.cpu - served)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reads", type=int, default=1000,
                        help="expedited reads and writes per round (segmented: a tenth)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--idle", type=float, default=10.0, help="seconds of idle measurement")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()

    channel = f"orukiv-bench-{os.getpid()}"
    figures = ("expedited read", "expedited write", "segmented read, 1 KiB", "CPU per 1,000 reads")
    samples = {(side, f): [] for side in ("orukiv", "plain") for f in figures}
    with can.Bus(interface="virtual", channel=channel) as bus, \
            can.Bus(interface="virtual", channel=channel) as server_bus:
        server = SdoServer(server_bus)
        notifier = can.Notifier(bus, [], timeout=0.1)
        master = orukiv.Master(bus, notifier=notifier)
        plain = PlainClient(bus)
        notifier.add_listener(plain)
        sides = {"orukiv": master, "plain": plain}
        value, big = OBJECTS[(0x1000, 0)], OBJECTS[(0x2000, 0)]
        for side in sides.values():  # warm-up
            for _ in range(50):
                assert side.read(NODE, 0x1000) == value
        for round_ in range(args.rounds):
            order = ["orukiv", "plain"] if round_ % 2 == 0 else ["plain", "orukiv"]
            for name in order:
                side = sides[name]
                samples[(name, "expedited read")] += timed(
                    lambda: side.read(NODE, 0x1000), args.reads)
                samples[(name, "expedited write")] += timed(
                    lambda: side.write(NODE, 0x2001, 0, b"\x01\x02\x03\x04"), args.reads)
                samples[(name, "segmented read, 1 KiB")] += timed(
                    lambda: side.read(NODE, 0x2000), max(args.reads // 10, 10))
                samples[(name, "CPU per 1,000 reads")].append(cpu_per_1000(side, server))
                got = side.read(NODE, 0x2000)
                assert got == big, (name, len(got), got[:16], got[-16:])
        notifier.remove_listener(plain)
        # Idle: the process's CPU with the master open, less the same time
        # with the bus, the server and the notifier alone.
        cpu = time.process_time()
        time.sleep(args.idle)
        with_master = time.process_time() - cpu
        master.close()
        cpu = time.process_time()
        time.sleep(args.idle)
        without = time.process_time() - cpu
        notifier.stop()
        server.stop.set()
        server.thread.join()

    results = {}
    print("| median | orukiv | plain Python client | ratio |")
    print("| --- | --- | --- | --- |")
    for figure in figures:
        ours = statistics.median(samples[("orukiv", figure)])
        theirs = statistics.median(samples[("plain", figure)])
        results[figure] = {"orukiv": ours, "plain": theirs, "ratio": ours / theirs}
        if figure.startswith("CPU"):
            cells = f"{ours:.3f} s | {theirs:.3f} s"
        elif ours > 5e-3:
            cells = f"{ours * 1e3:.1f} ms | {theirs * 1e3:.1f} ms"
        else:
            cells = f"{ours * 1e6:.0f} µs | {theirs * 1e6:.0f} µs"
        print(f"| {figure} | {cells} | {ours / theirs:.2f} |")
    idle = max(with_master - without, 0.0) / args.idle * 100
    results["idle CPU of an open master (% of a core)"] = idle
    print(f"| idle CPU of an open master | {idle:.2f} % of a core | | |")
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()

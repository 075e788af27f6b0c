#!/usr/bin/env python3
"""SDO read latency through the Python package on python-can's virtual bus.

A small SDO server runs on a second virtual bus of the same channel, in a
thread of its own; the master reads from it back to back from one thread.
Prints the median and the 99th percentile of an expedited read (4 bytes)
and of a segmented read of 1 KiB in the low-latency mode, and of an
expedited read in the default timing, all measured in this one run.

    ORUKIV_LIBRARY=build/native/lib/liborukiv.so \\
        /usr/bin/python3 bindings/python/bench/bench_sdo.py [--reads N] [--json FILE]
"""

import argparse
import json
import os
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
    """Answers expedited and segmented uploads of OBJECTS for NODE."""

    def __init__(self, bus):
        self.bus = bus
        self.pending = b""
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def reply(self, data):
        self.bus.send(can.Message(arbitration_id=0x580 + NODE, data=data, is_extended_id=False))

    def run(self):
        while not self.stop.is_set():
            msg = self.bus.recv(0.05)
            if msg is None or msg.arbitration_id != 0x600 + NODE:
                continue
            cmd = msg.data[0]
            if cmd == 0x40:
                index, sub = struct.unpack_from("<HB", msg.data, 1)
                value = OBJECTS.get((index, sub))
                head = bytes(msg.data[1:4])
                if value is None:
                    self.reply(b"\x80" + head + struct.pack("<I", 0x06020000))
                elif len(value) <= 4:
                    c = 0x43 | ((4 - len(value)) << 2)
                    self.reply(bytes([c]) + head + value.ljust(4, b"\0"))
                else:
                    self.pending = value
                    self.reply(b"\x41" + head + struct.pack("<I", len(value)))
            elif cmd & 0xE0 == 0x60:
                chunk, self.pending = self.pending[:7], self.pending[7:]
                c = (cmd & 0x10) | ((7 - len(chunk)) << 1) | (0 if self.pending else 1)
                self.reply(bytes([c]) + chunk.ljust(7, b"\0"))


def measure(master, index, reads, expected):
    times = []
    for _ in range(reads):
        start = time.perf_counter()
        value = master.read(NODE, index)
        times.append(time.perf_counter() - start)
        assert value == expected
    times.sort()
    return {
        "median_us": statistics.median(times) * 1e6,
        "p99_us": times[min(len(times) - 1, int(len(times) * 0.99))] * 1e6,
        "reads": reads,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reads", type=int, default=2000, help="expedited reads (segmented: a tenth)")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()

    channel = f"orukiv-bench-{os.getpid()}"
    with can.Bus(interface="virtual", channel=channel) as bus, \
            can.Bus(interface="virtual", channel=channel) as server_bus:
        server = SdoServer(server_bus)
        with orukiv.Master(bus, low_latency=True) as master:
            for _ in range(50):  # warm-up
                master.read(NODE, 0x1000)
            results = {
                "expedited read (4 bytes)": measure(master, 0x1000, args.reads, OBJECTS[(0x1000, 0)]),
                "segmented read (1 KiB)": measure(
                    master, 0x2000, max(args.reads // 10, 20), OBJECTS[(0x2000, 0)]),
            }
        with orukiv.Master(bus, low_latency=False) as master:
            results["expedited read (4 bytes), default timing"] = measure(
                master, 0x1000, max(args.reads // 40, 20), OBJECTS[(0x1000, 0)])
        server.stop.set()
        server.thread.join()

    target_us = 300.0
    print("| figure | median | p99 | reads |")
    print("| --- | --- | --- | --- |")
    for name, r in results.items():
        print(f"| {name} | {r['median_us']:,.0f} µs | {r['p99_us']:,.0f} µs | {r['reads']} |")
    exp = results["expedited read (4 bytes)"]["median_us"]
    print(f"\nexpedited read median / target {target_us:.0f} µs: {exp / target_us:.2f} "
          f"({'met' if exp < target_us else 'not met'})")
    seg = results["segmented read (1 KiB)"]["median_us"]
    print(f"segmented 1 KiB read: {1024 / (seg / 1e6):,.0f} bytes/s, "
          f"{seg / exp:.1f} times an expedited read")
    default = results["expedited read (4 bytes), default timing"]["median_us"]
    print(f"expedited read, low latency / default timing (5 ms passes): {exp / default:.4f}")
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()

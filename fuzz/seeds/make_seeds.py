#!/usr/bin/env python3
"""Writes the seed inputs of the fuzzers (see the input layouts at the top of
fuzz_rx_frames.cpp and fuzz_time_of_day.cpp). Run from this directory."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# rx_frames header: read node 5, write node 6, capacities 2 and 12, write
# sizes 3 and 15, time-out 640 ms, events on, clock at 1000.
HEADER = bytes([5, 6, 2, 7, 10, 0x1F])
READ_RSP, WRITE_RSP, RAW = 0, 1, 2
TICK = 0x08


def rec(mode, data, tick=True, advance=3, remote=False, b1=0, b2=0, dlc=8):
    ctrl = mode | (4 if remote else 0) | (TICK if tick else 0) | (advance << 4)
    data = bytes(data) + bytes(8 - len(data))
    return bytes([ctrl, b1, b2, dlc]) + data


def raw(id11, data, **kw):
    return rec(RAW, data, b1=id11 & 0xFF, b2=id11 >> 8, **kw)


def filler(n):
    return b"".join(raw(0x7FF, [], dlc=0) for _ in range(n))


READ_OBJ = [0x00, 0x20, 0x01]
WRITE_OBJ = [0x01, 0x20, 0x02]

rx = {
    "expedited_read": HEADER + filler(1) + rec(READ_RSP, [0x4B] + READ_OBJ + [0x37, 0x02]) + filler(3),
    "segmented_read": HEADER + filler(1)
    + rec(READ_RSP, [0x41] + READ_OBJ + [20, 0, 0, 0]) + filler(2)
    + rec(READ_RSP, [0x00, 1, 2, 3, 4, 5, 6, 7]) + filler(1)
    + rec(READ_RSP, [0x10, 8, 9, 10, 11, 12, 13, 14]) + filler(1)
    + rec(READ_RSP, [0x03, 15, 16, 17, 18, 19, 20]) + filler(3),
    "expedited_write": HEADER + filler(1) + rec(WRITE_RSP, [0x60] + WRITE_OBJ) + filler(3),
    # The expedited write of the same object takes the first 0x60 as well.
    "segmented_write": HEADER + filler(1)
    + rec(WRITE_RSP, [0x60] + WRITE_OBJ) + filler(2)
    + rec(WRITE_RSP, [0x20]) + filler(1)
    + rec(WRITE_RSP, [0x30]) + filler(1)
    + rec(WRITE_RSP, [0x20]) + filler(3),
    "aborts": HEADER + filler(1) + rec(READ_RSP, [0x80] + READ_OBJ + [0, 0, 4, 5])
    + rec(WRITE_RSP, [0x80] + WRITE_OBJ + [0, 0, 4, 5]) + filler(3),
    "services": HEADER
    + raw(0x000, [0x01, 0x05], tick=False) + raw(0x080, [], dlc=0, tick=False)
    + raw(0x085, [0x30, 0x81, 0x11, 1, 2, 3, 4, 5], tick=False)
    + raw(0x100, [0xF4, 0x2F, 0x93, 0x02, 0x12, 0x39], tick=False)
    + raw(0x181, [0xAA, 0xBB, 0xCC], dlc=255, tick=False)
    + raw(0x201, [1, 2], remote=True, tick=False)
    + raw(0x705, [0x85], dlc=1, tick=False) + raw(0x705, [], remote=True, dlc=0)
    + rec(3, [1, 2, 3], b1=0x1F, b2=0x34, tick=False),
}

time_of_day = {
    "noon_2024": bytes([0xF4, 0x2F, 0x93, 0x02, 0x12, 0x39])
    + struct.pack("<HBBBBBI", 2024, 1, 1, 12, 0, 0, 500),
    "leap_day": bytes([0xFF, 0x5B, 0x26, 0x05, 0x4D, 0x39])
    + struct.pack("<HBBBBBI", 2024, 2, 29, 23, 59, 59, 999),
    "last_second": bytes([0x18, 0x74, 0x63, 0x01, 0x2E, 0xC2])
    + struct.pack("<HBBBBBI", 2120, 2, 7, 6, 28, 15, 0),
    "all_ones": bytes([0xFF] * 6) + struct.pack("<HBBBBBI", 1983, 13, 0, 24, 60, 60, 0xFFFFFFFF),
}

log_config = {
    "typical": b"[LogConfig]\nLogLevel=3\nLogPath=./logs\nFileOutput=0\n",
    "blanks_comments_crlf": b"; the logger\r\n  [Other]\r\nLogLevel=0\r\n[LogConfig] \r\n"
    b"\tLogLevel \t=\t 5 ; errors\r\nFileOutput = 0\r\n",
    "repeated_and_negative": b"[LogConfig]\nLogLevel=-7\nLogLevel=4\n[LogConfig]\nLogLevel=1\n",
    "no_section": b"LogLevel=0\nFileOutput=0\n[]\n[LogConfig\n=\n",
    "long_names": b"[" + b"L" * 300 + b"]\n[LogConfig]\n" + b"K" * 300 + b"=1\nLogLevel=9\n",
}

for folder, seeds in (("rx_frames", rx), ("time_of_day", time_of_day), ("log_config", log_config)):
    os.makedirs(os.path.join(HERE, folder), exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(HERE, folder, name + ".bin"), "wb") as f:
            f.write(data)

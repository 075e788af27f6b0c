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

# instance: 4-byte header, 12-byte records [operation, arguments...].
NEVER_ABORT = 7 << 2


def op(code, *args):
    args = bytes(args)
    return bytes([code]) + args + bytes(11 - len(args))


DRIVE, NODE, ABSENT = 0, 1, 2  # node selectors
READ, WRITE, NMT, HB, EMCY, PDO, SYNC_TIME, INPUT, ROGUE, DRIVE_CALL, CONFIG = range(11)
TIMEOUT, FAIL_SENDS, BAD_POLL, WAIT = 11, 12, 13, 14

instance = {
    "reads_writes": bytes([0, 0, NEVER_ABORT, 0x18])
    + b"".join(op(READ, NODE, o, 79) for o in range(8))
    + op(WRITE, NODE, 3, 19, 0x40) + op(READ, NODE, 3, 79, 1)
    + op(WRITE, NODE, 0, 0, 0x55, 1) + op(READ, NODE, 0, 1)
    + op(READ, NODE, 4, 10) + op(READ, NODE, 2, 2),
    "server_faults": bytes([0x12 | 0x40, 1, 1 | (2 << 2), 0x19])
    + op(READ, NODE, 4, 79) + op(WRITE, NODE, 3, 39, 7) + op(READ, NODE, 3, 40)
    + op(WAIT, 10, 50) + op(READ, NODE, 4, 79, 1) + op(WRITE, NODE, 3, 12, 9, 1),
    "services": bytes([0, 0, NEVER_ABORT, 0x08])
    + op(NMT, 0, 1) + op(NMT, 128, 2) + op(HB, 5, 5) + op(HB, 0, 5) + op(HB, 200, 0, 1)
    + op(EMCY, 7, 0x30, 0x81, 0x11, 1, 1, 2, 3, 4, 5) + op(EMCY, 128, 0, 0, 0, 0)
    + op(PDO, 0x81, 1, 0, 0, 1, 2, 3, 4, 3) + op(PDO, 0x81, 1, 0, 0, 0, 0, 0, 0, 9)
    + op(PDO, 0x81, 1, 0, 0, 0, 0, 0, 0, 0x80) + op(SYNC_TIME, 1)
    + op(SYNC_TIME, 0, 0xE8, 0x07, 2, 29, 23, 59, 59) + op(FAIL_SENDS, 2) + op(SYNC_TIME, 1)
    + op(HB, 3, 5) + op(BAD_POLL, 0xF0) + op(WAIT, 2, 5) + op(BAD_POLL, 50) + op(WAIT, 2, 5),
    "drive_and_config": bytes([0, 0, NEVER_ABORT, 0x1A | 1])
    + op(DRIVE_CALL, 12, DRIVE) + op(DRIVE_CALL, 1, DRIVE) + op(DRIVE_CALL, 5, DRIVE)
    + op(DRIVE_CALL, 6, DRIVE, 0x10, 0, 0, 0) + op(DRIVE_CALL, 7, DRIVE)
    + op(DRIVE_CALL, 9, DRIVE) + op(DRIVE_CALL, 3, DRIVE) + op(DRIVE_CALL, 1, 3)
    + op(CONFIG, NODE, 1, 0x64, 0) + op(CONFIG, NODE, 0, 1, 0, 1, 2, 1, 3)
    + op(CONFIG, DRIVE, 0, 2, 0, 1, 2, 3, 2) + op(TIMEOUT, 3) + op(READ, ABSENT, 0, 4),
    "foreign_frames": bytes([0, 0, NEVER_ABORT, 0x10])
    + op(ROGUE, 0x06, 0x06, 8, 0x40, 0x04, 0x20, 0) + op(READ, NODE, 4, 79)
    + op(INPUT, 0x86, 0x05, 8, 0x4B, 0x01, 0x20, 0, 1, 2) + op(INPUT, 0x81, 0x01, 3, 1, 2, 3)
    + op(ROGUE, 0x05, 0x07, 1, 0x05) + op(ROGUE, 0x81, 0x81, 0) + op(WAIT, 3, 5),
}

for folder, seeds in (("rx_frames", rx), ("time_of_day", time_of_day), ("log_config", log_config),
                      ("instance", instance)):
    os.makedirs(os.path.join(HERE, folder), exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(HERE, folder, name + ".bin"), "wb") as f:
            f.write(data)

#!/usr/bin/env python3
"""Scans a CANopen network and prints each node's identity.

Reads the device type 0x1000 of every node id (16 at a time), then the
device name 0x1008 and the identity object 0x1018 of each node that answered.

    scan.py --interface slcan --channel /dev/ttyACM0 --bitrate 250000
    scan.py --interface socketcan --channel can0
    orukiv serve-slcan &   # prints a pseudo-terminal, e.g. /dev/pts/3
    scan.py --interface slcan --channel /dev/pts/3 --bitrate 250000
"""

import argparse
import sys
from concurrent.futures import ThreadPoolExecutor

import can

import orukiv

IDENTITY = ("vendor id", "product code", "revision", "serial number")


def probe(master, node):
    try:
        return node, master.read_int(node, 0x1000)
    except orukiv.SdoTimeoutError:
        return node, None
    except orukiv.SdoAbortedError:
        return node, 0  # present, but without a readable device type


def optional(read):
    try:
        return read()
    except orukiv.SdoAbortedError:
        return None


def describe(master, node, device_type):
    name = optional(lambda: master.read(node, 0x1008).decode("utf-8", "replace"))
    print(f"node {node}: device type 0x{device_type:08X}" + (f', "{name}"' if name else ""))
    for sub, what in enumerate(IDENTITY, start=1):
        value = optional(lambda: master.read_int(node, 0x1018, sub))
        if value is not None:
            print(f"    {what:14} 0x{value:08X}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-i", "--interface", required=True, help="python-can interface")
    parser.add_argument("-c", "--channel", required=True, help="python-can channel")
    parser.add_argument("-b", "--bitrate", type=int, help="bit rate, where the interface sets it")
    parser.add_argument("--timeout", type=float, default=0.3, help="SDO time-out (s)")
    args = parser.parse_args()

    config = {"interface": args.interface, "channel": args.channel}
    if args.bitrate:
        config["bitrate"] = args.bitrate
    with can.Bus(**config) as bus, orukiv.Master(bus, sdo_timeout=args.timeout) as master:
        with ThreadPoolExecutor(max_workers=16) as pool:  # 16 reads in flight at most
            found = [(n, t) for n, t in pool.map(lambda n: probe(master, n), range(1, 128))
                     if t is not None]
        for node, device_type in found:
            describe(master, node, device_type)
        print(f"{len(found)} node(s) found")
    return 0 if found else 1


if __name__ == "__main__":
    sys.exit(main())

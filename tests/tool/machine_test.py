#!/usr/bin/env python3
"""The tool at a machine, end to end on the simulated network: one table
per behaviour, chosen by its name.
    machine_test.py ORUKIV DATA_DIR WORK_DIR BEHAVIOUR"""
import json
import os
import re
import subprocess
import sys

TOOL, DATA, WORK, BEHAVIOUR = sys.argv[1:5]
HALT = "605#2B4060000F01"  # controlword 0x010F: halt


def run(args, stdin=None):
    p = subprocess.run([TOOL] + args, input=stdin, capture_output=True, text=True, timeout=90)
    return p.returncode, p.stdout, p.stderr


def objects(out):
    return [json.loads(line) for line in out.splitlines()]  # every line is JSON


def eds_file(name, text):
    path = os.path.join(WORK, name)
    with open(path, "w", encoding="ascii") as f:
        f.write("[1000]\nParameterName=Device type\nDataType=0x0007\nAccessType=ro\n"
                "DefaultValue=0\n\n" + text)
    return path


def in_order(out, *frames):
    """True when frames starting so (node 5's SDO requests) come in this order."""
    sent = re.findall(r"605#([0-9A-F]+)", out)
    at = 0
    for f in frames:
        at = next((i + 1 for i in range(at, len(sent)) if sent[i].startswith(f)), None)
        if at is None:
            return False
    return True


SHELL = ["--json", "shell"]
SERVED = []  # the pseudo-terminal of `serve-slcan` (behaviour "slcan")

# (what, args, stdin, exit status, check on (stdout, stderr))
TABLES = {
    "cyclic": [
        ("no --distance: the drive holds its position",
         ["--json", "cyclic", "5", "--period", "1000", "--seconds", "0.2"], None, 0,
         lambda o, e: objects(o)[-1]["distance"] == 0
         and objects(o)[-1]["position"] == objects(o)[-1]["end"]),
        ("TPDOs moved to 0x195/0x295: their feedback is found", SHELL,
         "write 5 0x1800 1 0x80000185\nwrite 5 0x1800 1 0x195\n"
         "cyclic 5 --period 1000 --seconds 0.2 --distance 1000\n", 0,
         lambda o, e: objects(o)[-1]["tpdos"] > 0 and objects(o)[-1]["position"] ==
         objects(o)[-1]["end"]),
        ("TPDO1 every 240th SYNC: no feedback, the drive halted", ["--trace"] + SHELL,
         "write 5 0x1800 2 240\ncyclic 5 --period 1000 --seconds 2 --distance 1000\n", 1,
         lambda o, e: "no feedback" in objects(o)[-1]["error"] and HALT in e),
        ("the ramp is no shorter than the profile velocity allows",
         ["--json", "cyclic", "5", "--period", "1000", "--seconds", "0.2", "--distance",
          "100000"], None, 0,
         lambda o, e: float(objects(o)[-1]["seconds"]) >= 1.5),
        ("--seconds below 0.1", ["cyclic", "5", "--period", "1000", "--seconds", "0.05"], None,
         2, lambda o, e: "0.05" in e),
        ("--distance not a number", ["cyclic", "5", "--period", "1000", "--distance", "far"],
         None, 2, lambda o, e: "far" in e),
    ],
    "power": [
        # Each transition waits for its state: a statusword read between
        # the controlwords.
        ("transitions checked", ["--trace", "power-on", "5"], None, 0,
         lambda o, e: in_order(o, "2B40600006", "40416000", "2B40600007", "40416000",
                               "2B4060000F", "40416000") and "605#2B40600080" not in o),
        # A following error beyond its time out faults the drive (0x8611):
        # cyclic fails, power-on shows the fault and leaves it, and only
        # --reset-fault clears it.
        ("a fault is shown, reset only when asked", SHELL,
         "write 5 0x6065 0 1\nwrite 5 0x6066 0 1\n"
         "cyclic 5 --period 1000 --seconds 1 --distance 50000\npower-on 5\n"
         "move 5 10 --power-on\npower-on 5 --reset-fault\nread 5 0x603F 0\n", 1,
         lambda o, e: [x["ok"] for x in objects(o)] == [True, True, False, False, False, True,
                                                         True]
         and "0x8611" in objects(o)[3]["report"] and "0x8611" in objects(o)[4]["report"]
         and objects(o)[6]["value"] == 0),
        ("--reset-fault needs --power-on", ["move", "5", "10", "--reset-fault"], None, 2,
         lambda o, e: "--power-on" in e),
    ],
    "names": [
        ("a shared name is refused with its candidates",
         ["--trace", "write", "5", "Transmission type", "254"], None, 2,
         lambda o, e: e.count("Transmission type\n") == 8 and "0x1800:02" in e
         and "605#" not in o),
        ("the full name picks one",
         ["write", "5", "TPDO communication parameter 1.Transmission type", "254"], None, 0,
         lambda o, e: "0x1800:02 <- 254" in o),
        ("INDEX:SUB picks one", ["read", "5", "0x1800:02"], None, 0,
         lambda o, e: "0x1800:02 = 1" in o),
    ],
    "json": [
        ("traces go to standard error", ["--json", "--trace", "read", "5", "0x1000", "0"], None,
         0, lambda o, e: len(objects(o)) == 1 and "605#4000100000" in e),
        ("shell results carry their line", SHELL, "read 5 0x1000 0\n\nbogus 1\nread 5\n", 2,
         lambda o, e: [(x["line"], x["input"], x["ok"]) for x in objects(o)] ==
         [(1, "read 5 0x1000 0", True), (3, "bogus 1", False), (4, "read 5", False)]
         and objects(o)[1]["result"] == "usage"),
        ("a usage error", ["--json", "read", "200", "0x1000", "0"], None, 2,
         lambda o, e: objects(o)[0]["result"] == "usage"),
        ("concise", ["--json", "concise", DATA + "/sim_io.dcf", WORK + "/io.bin", "--node", "10"],
         None, 0, lambda o, e: objects(o)[0]["entries"] > 0),
        ("serve-slcan", ["--json", "serve-slcan", "0.2"], None, 0,
         lambda o, e: objects(o)[0]["device"].startswith("/dev/")),
    ],
    "values": [
        ("a value that starts with '-' after --",
         ["--eds", "5=" + DATA + "/types.eds", "write", "5", "Gain", "--", "-inf"], None, 1,
         lambda o, e: "0x06020000" in e and "-inf" in e),
        ("REAL32 underflow refused unsent",
         ["--trace", "--eds", "5=" + DATA + "/types.eds", "write", "5", "Gain", "1e-50"], None, 1,
         lambda o, e: "underflows REAL32" in e and "605#" not in o),
        ("REAL32 overflow refused unsent",
         ["--trace", "--eds", "5=" + DATA + "/types.eds", "write", "5", "Gain", "1e39"], None, 1,
         lambda o, e: "overflows REAL32" in e and "605#" not in o),
        # Node 5 known by a file without these objects: their standard types.
        ("controlword as UNSIGNED16",
         ["--trace", "--eds", "5=" + DATA + "/types.eds", "write", "5", "0x6040", "0", "6"],
         None, 0, lambda o, e: "605#2B4060000600" in o),
        ("heartbeat time as UNSIGNED16",
         ["--trace", "--eds", "5=" + DATA + "/types.eds", "write", "5", "0x1017", "0", "500"],
         None, 0, lambda o, e: "605#2B171000F401" in o),
        ("mode of operation as INTEGER8",
         ["--trace", "--eds", "5=" + DATA + "/types.eds", "write", "5", "0x6060", "0", "-1"],
         None, 0, lambda o, e: "605#2F606000FF" in o),
    ],
    "usage": [
        ("read without SUB", ["read", "5", "0x1000"], None, 2, lambda o, e: "SUB" in e),
        ("no such name", ["read", "5", "No such object"], None, 2,
         lambda o, e: "No such object" in e),
        ("serve-slcan on a real bus", ["--bus", "slcan:/dev/null", "serve-slcan", "1"], None, 2,
         lambda o, e: "simulated" in e),
        ("--unconfigured on a real bus",
         ["--bus", "slcan:/nonexistent", "--unconfigured", "2", "scan"], None, 2,
         lambda o, e: "--unconfigured" in e),
    ],
    "od": [
        ("a DCF's values", ["od", DATA + "/sim_io.dcf", "--json", "--node", "10"], None, 0,
         lambda o, e: {(x["index"], x["subIndex"]): x.get("value") for x in objects(o)}
         [(0x1017, 0)] == 250),
        ("a default outside its type is the file's text",
         ["od", eds_file("bool.eds", "[2000]\nParameterName=Flag\nDataType=0x0001\n"
                         "AccessType=rw\nDefaultValue=3\n"), "--json"], None, 0,
         lambda o, e: objects(o)[-1]["default"] == "3"),
        ("CompactSubObj above 254 in an ARRAY",
         ["od", eds_file("a255.eds", "[2000]\nParameterName=Table\nObjectType=0x8\n"
                         "DataType=0x0007\nAccessType=rw\nCompactSubObj=255\n")], None, 1,
         lambda o, e: "a255.eds:12:" in e and "254" in e),
        ("CompactSubObj above 254 in a VAR",
         ["od", eds_file("v300.eds", "[2000]\nParameterName=Value\nObjectType=0x7\n"
                         "DataType=0x0007\nAccessType=rw\nCompactSubObj=300\n")], None, 1,
         lambda o, e: "v300.eds:12:" in e),
    ],
    "sim": [
        # Node 5 consumes the heartbeat of node 127 (200 ms) and, once it
        # stops, goes pre-operational with EMCY 0x8130 and 0x1001 bit 4.
        ("a lost master", ["--trace"] + SHELL,
         "nmt start 5\nwrite 5 0x1016 1 0x7F00C8\npdo 0x77F 05\nsync --period 100 --count 15\n"
         "read 5 0x1001 0\nscan\n", 0,
         lambda o, e: "085#3081100100000000" in e and objects(o)[4]["value"] == 0x10
         and any(x.get("node") == 5 and x.get("state") == "pre-operational"
                 for x in objects(o)[5:])),
        ("0x1001 follows the drive's fault", SHELL,
         "read 5 0x1001 0\nwrite 5 0x6065 0 1\nwrite 5 0x6066 0 1\n"
         "cyclic 5 --period 1000 --seconds 1 --distance 50000\nread 5 0x1001 0\n"
         "read 10 0x100C 0\nread 10 0x1029 1\n", 1,
         lambda o, e: objects(o)[0]["value"] == 0 and objects(o)[4]["value"] == 1
         and objects(o)[5]["ok"] and objects(o)[6]["ok"]),
    ],
    # The simulated network behind serve-slcan as --bus and --unconfigured
    # describe it: bit-timed, with LSS slaves to find over the serial line.
    "slcan": [
        ("LSS slaves over slcan", ["--bus", "slcan:{pty}", "--json", "lss", "scan"], None, 0,
         lambda o, e: len(objects(o)) == 2),
        ("objects over slcan", ["--bus", "slcan:{pty}", "read", "5", "0x1001", "0"], None, 0,
         lambda o, e: "= 0 (0x00)" in o),
    ],
}

# Ctrl-C during a transfer: it is cancelled at once (the abort frame, SDO
# abort 0x08000000, on the bus), what was done is said, exit 1, with no
# second Ctrl-C. Segmented, so that the adapter's transmit queue has room for
# the abort frame. (what, args, stdin)
IMAGE = os.path.join(WORK, "image.bin")
CANCELS = [
    ("download", ["--bus", "sim@125000", "--trace", "download", "--segmented", "5", "0x1F50", "1",
                  IMAGE], None),
    ("a download in the shell", ["--bus", "sim@125000", "--trace", "shell"],
     f"download --segmented 5 0x1F50 1 {IMAGE}\nread 5 0x1000 0\n"),
]


def cancel(args, stdin):
    import signal
    import time
    p = subprocess.Popen([TOOL] + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    p.stdin.write(stdin or "")
    p.stdin.close()
    p.stdin = None  # written whole
    time.sleep(1.5)  # under way: 600 KiB take some 60 s at 125 kbit/s
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=10)  # a second Ctrl-C is never needed
    return p.returncode, out, err


failed = False
server = None
if BEHAVIOUR == "cancel":
    with open(IMAGE, "wb") as f:
        f.write(os.urandom(600 * 1024))
    for what, args, stdin in CANCELS:
        got, out, err = cancel(args, stdin)
        ok = (got == 1 and "605#80501F0100000008" in out and "interrupted: download" in err
              and "KIV_ERR_CANCELLED" in err and "605#40001000" not in out)
        print(f"{'ok' if ok else 'FAILED'}: {what}")
        if not ok:
            print(f"  exit status {got}\n  stderr: {err}\n  stdout: {out[-2000:]}")
            failed = True
    sys.exit(1 if failed else 0)
if BEHAVIOUR == "slcan":
    server = subprocess.Popen([TOOL, "--bus", "sim@500000", "--unconfigured", "2", "serve-slcan",
                               "60"], stdout=subprocess.PIPE, text=True)
    SERVED.append(server.stdout.readline().strip())
for what, args, stdin, status, check in TABLES[BEHAVIOUR]:
    got, out, err = run([a.replace("{pty}", SERVED[0]) if SERVED else a for a in args], stdin)
    try:
        ok = got == status and check(out, err)
    except (ValueError, KeyError, IndexError, TypeError) as e:
        ok, err = False, f"{err}\n{type(e).__name__}: {e}"
    print(f"{'ok' if ok else 'FAILED'}: {what}")
    if not ok:
        print(f"  exit status {got}, expected {status}\n  stdout: {out}\n  stderr: {err}")
        failed = True
if server:
    server.terminate()
    server.wait()
sys.exit(1 if failed else 0)

#!/usr/bin/env python3
"""--json output parses line by line and carries its keys; `orukiv shell`
runs a batch over one simulated network.
    json_shell_test.py ORUKIV DATA_DIR"""
import json
import subprocess
import sys

TOOL = sys.argv[1]
DATA = sys.argv[2]


def run(args, stdin=None):
    p = subprocess.run([TOOL, "--json"] + args, input=stdin, capture_output=True, text=True,
                       timeout=60)
    lines = [json.loads(line) for line in p.stdout.splitlines()]  # every line is JSON
    for obj in lines:
        assert isinstance(obj.get("ok"), bool), obj
        if not obj["ok"]:
            assert "result" in obj, obj
    return p.returncode, lines


def check(what, cond, detail):
    if not cond:
        print(f"FAILED: {what}: {detail}")
        sys.exit(1)


CASES = [
    # (what, args, stdin, exit status, check on the objects)
    ("read", ["read", "5", "0x1018", "1"], None, 0,
     lambda o: len(o) == 1 and o[0]["ok"] and o[0]["node"] == 5 and o[0]["index"] == 0x1018
     and o[0]["subIndex"] == 1 and o[0]["size"] == 4 and o[0]["data"] == "1f0a0000"
     and o[0]["value"] == 2591),
    ("signed read", ["read", "5", "0x1018", "1", "--type", "i32"], None, 0,
     lambda o: o[0]["value"] == 2591),
    ("aborted read", ["read", "5", "0x2000", "0"], None, 1,
     lambda o: len(o) == 1 and not o[0]["ok"] and o[0]["result"] == "KIV_ERR_ABORTED"
     and o[0]["abortCode"] == 0x06020000 and o[0]["abortText"]),
    # Typed by the drive's EDS: INTEGER32 signed, by name or by index.
    ("read typed by the EDS", ["shell"],
     "write 5 0x607A 0 -1000\nread 5 \"Target position\"\nread 5 0x607A 0\n", 0,
     lambda o: len(o) == 3 and o[1]["data"] == "18fcffff" and o[1]["value"] == -1000
     and o[2]["value"] == -1000),
    # By index too: only the EDS says 0x1800:02 is UNSIGNED8.
    ("write refused by the EDS type", ["write", "5", "0x1800", "2", "300"], None, 1,
     lambda o: len(o) == 1 and o[0]["result"] == "tool" and o[0]["index"] == 0x1800),
    ("configure", ["configure", "10", DATA + "/sim_io.dcf"], None, 0,
     lambda o: len(o) == 1 and o[0]["ok"] and o[0]["written"] == o[0]["writes"] > 0),
    ("boot mismatch", ["boot", "5", "--expect", "0xA1F:0x402:0x10000:1"], None, 1,
     lambda o: len(o) == 1 and o[0]["status"] == "O" and o[0]["result"] == "KIV_ERR_MISMATCH"
     and o[0]["index"] == 0x1018 and o[0]["subIndex"] == 4 and o[0]["actual"] == 0x12345678),
    ("lss scan", ["--unconfigured", "2", "lss", "scan"], None, 0,
     lambda o: [x["identity"][-2:] for x in o] == ["E0", "E1"]),
    ("lss scan, none", ["lss", "scan", "--step", "5"], None, 1,
     lambda o: len(o) == 1 and o[0]["result"] == "tool"),
    ("monitor event", ["monitor", "1.5"], None, 0,
     lambda o: any(e["type"] == "heartbeat" and e["node"] in (5, 10) and e["state"] for e in o)),
    ("scan", ["scan"], None, 0,
     lambda o: [n["node"] for n in o] == [5, 10] and all(n["answered"] for n in o)
     and o[0]["name"] == "orukiv sim servo drive"),
    # One network for the batch: the stopped node answers no SDO, and the
    # scan lists it by its heartbeat.
    ("shell batch", ["shell"], "nmt stop 5  # node 5 only\n\n# then\nscan\n", 0,
     lambda o: o[0]["command"] == "stop"
     and any(n.get("node") == 5 and n.get("state") == "stopped" and not n["answered"]
             for n in o[1:])),
    ("shell keeps going", ["shell"], "read 5 0x2000 0\nnmt start 5\n", 1,
     lambda o: len(o) == 2 and not o[0]["ok"] and o[1]["ok"]),
    ("shell stops on error", ["shell", "--stop-on-error"], "read 5 0x2000 0\nnmt start 5\n", 1,
     lambda o: len(o) == 1),
]

for what, args, stdin, status, ok in CASES:
    got, objects = run(args, stdin)
    check(what, got == status, f"exit status {got}, expected {status}")
    check(what, ok(objects), objects)
    print(f"ok: {what}")

"""`orukiv od FILE --json`: every line one JSON object with exactly the keys
of an entry and its default as the type says; a file that does not parse
exits 1 with the line on standard error.
    python3 od_json_test.py TOOL DATA_DIR"""
import json
import subprocess
import sys

tool, data = sys.argv[1], sys.argv[2]
KEYS = {"index", "subIndex", "name", "dataType", "access", "pdoMappable", "default"}

# (index, sub): (name, dataType, access, pdoMappable, default without
# --node, default with --node 3)
EXPECTED = {
    (0x2000, 0): ("Enabled", 0x01, "rw", False, True, True),
    (0x2001, 0): ("Offset", 0x02, "rw", True, -5, -5),
    (0x2002, 0): ("Energy counter", 0x15, "ro", True, -9000000000, -9000000000),
    (0x2003, 0): ("Serial 64", 0x1B, "const", False, 2**64 - 1, 2**64 - 1),
    (0x2004, 0): ("Gain", 0x08, "rww", True, 1.5, 1.5),
    (0x2005, 0): ("Bias", 0x11, "rwr", False, -0.25, -0.25),
    (0x2006, 0): ('Label "A" \\ B', 0x09, "rw", False, "on/off", "on/off"),
    (0x2007, 0): ("Key", 0x0A, "wo", False, "0102ab", "0102ab"),
    (0x2008, 0): ("Program", 0x0F, "rw", False, None, None),
    (0x2009, 0): ("Unset", 0x06, "rw", False, None, None),
    (0x200A, 0): ("Temperature in \u00b0C", 0x10, "ro", False, -8388608, -8388608),
    (0x200B, 0): ("COB-ID", 0x07, "rw", False, "$NODEID+0x100", 0x103),
    (0x2010, 0): ("Highest sub-index supported", 0x05, "const", False, 1, 1),
    (0x2010, 1): ("Upper", 0x04, "rw", True, 0x7FFFFFFF, 0x7FFFFFFF),
}

failures = []
for node_args, column in (([], 4), (["--node", "3"], 5)):
    run = subprocess.run([tool, "od", f"{data}/types.eds", "--json", *node_args],
                         capture_output=True, text=True, encoding="utf-8", check=False)
    if run.returncode != 0:
        failures.append(f"exit {run.returncode}: {run.stderr}")
        continue
    seen = set()
    for line in run.stdout.splitlines():
        entry = json.loads(line)
        if set(entry) != KEYS:
            failures.append(f"keys {sorted(entry)}: {line}")
            continue
        key = (entry["index"], entry["subIndex"])
        seen.add(key)
        want = EXPECTED.get(key)
        got = (entry["name"], entry["dataType"], entry["access"], entry["pdoMappable"],
               entry["default"])
        if want is None or got != want[:4] + (want[column],):
            failures.append(f"{node_args} {key}: {got}, expected {want}")
        elif type(entry["default"]) is not type(want[column]):
            failures.append(f"{node_args} {key}: default of JSON type {type(entry['default'])}")
    if seen != set(EXPECTED):
        failures.append(f"{node_args}: entries {sorted(set(EXPECTED) ^ seen)} missing or extra")

run = subprocess.run([tool, "od", f"{data}/broken.eds", "--json"], capture_output=True,
                     text=True, check=False)
if run.returncode != 1 or run.stdout or "broken.eds:6:" not in run.stderr:
    failures.append(f"broken file: exit {run.returncode}, out {run.stdout!r}, err {run.stderr!r}")

for f in failures:
    print(f)
sys.exit(1 if failures else 0)

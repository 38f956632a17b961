#!/usr/bin/env python3
"""The exported C functions of a library are exactly those of its list file, and exactly those
its headers declare: check_symbols.py LIBRARY LIST HEADER... (needs nm, ELF)."""
import re
import subprocess
import sys
from pathlib import Path

lib, listed_file, headers = sys.argv[1], Path(sys.argv[2]), sys.argv[3:]
out = subprocess.run(["nm", "-D", "--defined-only", lib], check=True, capture_output=True,
                     text=True).stdout
exported = {f[2] for f in (l.split() for l in out.splitlines())
            if len(f) == 3 and f[1] == "T" and f[2].startswith("portnet_")}
listed = {l.strip() for l in listed_file.read_text().splitlines()
          if l.strip() and not l.startswith("#")}
declared = set()
for h in headers:
    declared |= set(re.findall(r"PORTNET_API\s+[\w\s\*]+?\b(portnet_\w+)\s*\(", Path(h).read_text()))
bad = False
for name, a, b in (("exported but not listed", exported, listed),
                   ("listed but not exported", listed, exported),
                   ("declared but not listed", declared, listed),
                   ("listed but declared in no header", listed, declared)):
    for s in sorted(a - b):
        print(f"FAIL: {s}: {name}")
        bad = True
print(f"{len(exported)} exported, {len(listed)} listed, {len(declared)} declared")
sys.exit(1 if bad else 0)

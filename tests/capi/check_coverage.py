#!/usr/bin/env python3
"""Fails when a public C++ function a game uses has no C counterpart and is not a deliberate
omission. coverage.txt names the classes to look at (`class NAME HEADER`), then one line per
public method: `Class::Method = portnet_a portnet_b` (its C counterparts, each declared in a C
header) or `Class::Method - why it is left out`. A method of those classes missing from the
file, a line for a method that no longer exists, or a C name no C header declares: failure."""
import re
import sys
from pathlib import Path

root = Path(sys.argv[1])
mapping = Path(sys.argv[2])
c_headers = [root / "include/portnet/portnet_c.h", root / "include/portnet/portnet_secure_c.h"]

declared = set()
for h in c_headers:
    declared |= set(re.findall(r"\b(portnet_\w+)\s*\(", h.read_text()))

METHOD = re.compile(r"^\s*(?:(?:virtual|static|explicit|inline|const)\s+)*"
                    r"(?:[\w:<>]+[\s\*&]+)+(\w+)\s*\(")


def public_methods(text, cls):
    """Names of the public methods of class cls in header text (constructors, destructors and
    operators left out)."""
    start = re.search(r"class\s+(?:PORTNET_API\s+)?" + cls + r"\b[^;{]*\{", text)
    if not start:
        raise SystemExit(f"coverage: class {cls} not found")
    depth, public, names = 1, False, set()
    for line in text[start.end():].splitlines():
        code = line.split("//")[0]
        if depth == 1:
            m = re.match(r"\s*(public|private|protected)\s*:", code)
            if m:
                public = m.group(1) == "public"
            elif public and not re.match(r"\s*(enum|struct|class|using|friend)\b", code):
                f = METHOD.match(code)
                if f and f.group(1) not in (cls, "operator") and "operator" not in code \
                        and "(*" not in code:
                    names.add(f.group(1))
        depth += code.count("{") - code.count("}")
        if depth <= 0:
            break
    return names


classes, entries, problems = {}, {}, []
for n, raw in enumerate(mapping.read_text().splitlines(), 1):
    line = raw.strip()
    if not line or line.startswith("#"):
        continue
    if line.startswith("class "):
        _, cls, header = line.split()
        classes[cls] = root / header
        continue
    m = re.match(r"(\w+)::(\w+)\s*([=-])\s*(.*)$", line)
    if not m:
        problems.append(f"{mapping.name}:{n}: not a mapping: {raw}")
        continue
    cls, meth, kind, rest = m.groups()
    entries[(cls, meth)] = (kind, rest)
    if kind == "=":
        for c in rest.split():
            if c not in declared:
                problems.append(f"{mapping.name}:{n}: {c} is declared in no C header")
    elif not rest:
        problems.append(f"{mapping.name}:{n}: an omission says why")

for cls, header in classes.items():
    names = public_methods(header.read_text(), cls)
    for meth in sorted(names):
        if (cls, meth) not in entries:
            problems.append(f"{cls}::{meth} ({header.name}) has no C counterpart and is not "
                            "listed as left out")
    for (c, meth) in entries:
        if c == cls and meth not in names:
            problems.append(f"{cls}::{meth} is listed but is no public method of {cls}")

mapped = {c for kind, rest in entries.values() if kind == "=" for c in rest.split()}
for c in sorted(declared - mapped):
    print(f"note: {c} stands for no listed C++ function (a C-only call)")
for p in problems:
    print("FAIL:", p)
print(f"{len(entries)} C++ functions checked, {len(mapped)} C functions named")
sys.exit(1 if problems else 0)

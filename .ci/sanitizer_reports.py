"""Reads the AddressSanitizer, LeakSanitizer and UBSan logs of a test run and
fails on every finding, except the interpreter's own leaks listed below.

Usage: python sanitizer_reports.py LOG_DIR
"""

from __future__ import annotations

import re
import sys
from itertools import pairwise
from pathlib import Path

# Leaks inside CPython itself, by the allocation site of the innermost frame
# after malloc. Each is known and has nothing to do with this package's code.
INTERPRETER_LEAKS = {
    "PyModule_ExecDef Objects/moduleobject.c:400": (
        "CPython 3.11 allocates a one-byte state marker each time it executes a "
        "module without per-module state, and PyModule_FromDefAndSpec2 drops the "
        "marker of a module that a create slot hands back again: each re-import "
        "of the single module instance loses one byte inside the interpreter"
    ),
}

REPORT_START = re.compile(r"^(Direct|Indirect) leak of \d+ byte", re.MULTILINE)
FRAME = re.compile(r"^\s*#(\d+) 0x[0-9a-f]+ in (.*)$")


def leak_site(block: str) -> str:
    """The first frame after the allocator itself, as 'function file:line'."""
    for line in block.splitlines():
        match = FRAME.match(line)
        if match and match.group(1) != "0":
            return match.group(2).strip()
    return "?"


def main(log_dir: str) -> int:
    unexpected: list[str] = []
    ignored: dict[str, int] = {}
    logs = sorted(Path(log_dir).glob("*"))
    for log in logs:
        text = log.read_text(errors="replace")
        if "ERROR: LeakSanitizer" not in text:
            unexpected.append(f"{log.name}:\n{text}")  # ASan or UBSan error
            continue
        starts = [match.start() for match in REPORT_START.finditer(text)] + [len(text)]
        for begin, end in pairwise(starts):
            block = text[begin:end].split("SUMMARY:")[0].rstrip()
            site = leak_site(block)
            known = next((key for key in INTERPRETER_LEAKS if site.startswith(key)), None)
            if known:
                ignored[known] = ignored.get(known, 0) + 1
            else:
                unexpected.append(f"{log.name}:\n{block}")
    print(f"sanitizer logs read: {len(logs)}")
    for site, count in ignored.items():
        print(f"interpreter leaks ignored at {site}: {count} ({INTERPRETER_LEAKS[site]})")
    for finding in unexpected:
        print(f"\nFINDING in {finding}")
    print(f"findings: {len(unexpected)}")
    return 1 if unexpected else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

"""The C stack one level of a recursion takes, through the module's functions and through a
C builtin, and the units of the interpreter's recursion guard it counts.

    python benchmarks/recursion_stack.py

Each recursion runs in a thread of a known stack size, in a process of its own, and reports
its depth at every level through a pipe. Run until the stack overflows (the recursion limit
out of reach), the depths on two stack sizes give the bytes per level. Run on a stack too large
to overflow, the depth at which the recursion guard stops it tells what the guard allows: 3.11
counts units against sys.setrecursionlimit, 3.12 and 3.13 count C levels against a fixed limit
as well, and 3.14 compares the stack pointer with the stack's end. Bytes per level times the
levels the guard allows is the stack a recursion may take before RecursionError.
"""

from __future__ import annotations

import os
import subprocess
import sys

MIB = 1 << 20

# Each recursion: its set-up, and the call that starts it; `depth()` reports a level.
RECURSIONS = {
    "C builtin (operator.call)": (
        "import operator\ndef chain():\n    depth()\n    return operator.call(chain)",
        "chain()",
    ),
    "solver lookup, through its path resolution in Python": (
        "vc._resolve_path = lambda *parts: (depth(), vc.veka_call_builtin())",
        "vc.veka_call_builtin()",
    ),
    "solver lookup, through its OS name in Python": (
        "vc._system = lambda: (depth(), vc.veka_call_builtin())",
        "vc.veka_call_builtin()",
    ),
    "path resolution, through the package root in Python": (
        "vc._package_root = lambda: (depth(), vc._resolve_path())",
        "vc._resolve_path()",
    ),
}

CHILD = """
import os, sys, threading
os.environ.pop("VEKA_BIN", None)
import pyveka.veka_call as vc
out = int(sys.argv[1])
level = [0]
def depth():
    level[0] += 1
    os.write(out, level[0].to_bytes(4, "little"))
{setup}
def run():
    sys.setrecursionlimit({limit})
    try:
        {call}
    except RecursionError:
        os.write(out, b"RERR")
threading.stack_size({stack})
thread = threading.Thread(target=run)
thread.start()
thread.join()
"""


def deepest(setup, call, limit, stack):
    """The depth the recursion reached, and how it ended: "RecursionError", "overflow" (a
    signal) or "returned"."""
    read, write = os.pipe()
    code = CHILD.format(setup=setup, call=call, limit=limit, stack=stack)
    child = subprocess.Popen([sys.executable, "-c", code, str(write)], pass_fds=[write])
    os.close(write)
    data = b""
    while chunk := os.read(read, 1 << 16):
        data += chunk
    os.close(read)
    status = child.wait()
    if data.endswith(b"RERR"):
        data, ended = data[:-4], "RecursionError"
    else:
        ended = "overflow" if status < 0 else "returned"
    data = data[: len(data) // 4 * 4]
    return (int.from_bytes(data[-4:], "little") if data else 0), ended


OUT_OF_REACH = 10**7  # a recursion limit no level count here comes near


def measure(setup, call):
    """Bytes per level; the levels at a recursion limit of 20,000 (3.11 counts every unit
    against it) and with the limit out of reach (where 3.12 and 3.13 stop at their fixed C
    limit), both on a stack too large to overflow first."""
    depths = [deepest(setup, call, OUT_OF_REACH, size) for size in (MIB // 4, MIB // 2)]
    overflowed = all(ended == "overflow" for _, ended in depths)
    per_level = MIB / 4 / (depths[1][0] - depths[0][0]) if overflowed else float("nan")
    at_limit = deepest(setup, call, 20_000, 1024 * MIB)
    unlimited = deepest(setup, call, OUT_OF_REACH, 1024 * MIB)
    return per_level, at_limit, unlimited


def shown(reached):
    depth, ended = reached
    return f"{depth} ({'guard' if ended == 'RecursionError' else ended})"


def main():
    print(f"CPython {sys.version.split()[0]}: C stack per level of each recursion")
    print(
        f"{'recursion':<54} {'bytes/level':>11} {'levels at 20,000':>20} {'levels, no limit':>22}"
    )
    for name, (setup, call) in RECURSIONS.items():
        per_level, at_limit, unlimited = measure(setup, call)
        print(f"{name:<54} {per_level:>11.0f} {shown(at_limit):>20} {shown(unlimited):>22}")


if __name__ == "__main__":
    main()

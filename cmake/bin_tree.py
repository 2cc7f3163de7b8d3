"""The build's account of the bin/ tree it ships, for the host it builds on.

    python bin_tree.py [--in-place] [--require] [BIN_DIR]

Prints one line per program: the one file its lookup will try on this host, as a
path inside the package, and whether the tree carries it. The candidate is
the package's table of programs (src/pyveka/programs.py) for this host, classified
as the lookups classify it: the OS name and the machine name from `platform`,
lower-cased, and the word size from `sys.maxsize`.

A wheel installs every file of the tree executable, so there only a directory in
a candidate's place cannot run; an in-place build uses the tree as it stands, so
there a file without execute permission cannot either. A wheel carries files, not
directories: a directory that holds no file, at any depth, is not shipped, and a
line says so (the installed lookups then find nothing there). With --require the exit
status is 1 when the solver or the mesh generator is not carried and runnable.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import platform
import shlex
import sys
from pathlib import Path
from types import ModuleType


def _programs() -> ModuleType:
    """The package's table of programs, loaded by its path: the package is not built yet."""
    path = Path(__file__).resolve().parent.parent / "src" / "pyveka" / "programs.py"
    spec = importlib.util.spec_from_file_location("pyveka_programs", path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # where dataclasses look their module up
    spec.loader.exec_module(module)
    return module


TABLE = _programs().PROGRAMS
PROGRAMS = tuple(program.title for program in TABLE)
REQUIRED = tuple(program.title for program in TABLE if program.files is not None)  # executables
NO_TREE = "none (put one in src/pyveka/bin, or name one with PYVEKA_BIN_DIR)"


def candidates(system: str, machine: str, bits: str) -> dict[str, str | None]:
    """Each program's candidate inside the package; None on an OS the lookups do not know."""
    found = {}
    for program in TABLE:
        parts = program.candidate(system, machine, bits)
        found[program.title] = None if parts is None else "/".join(parts)
    return found


def empty_directories(bin_dir: str) -> set[str]:
    """The tree's directories that hold no file at any depth, as paths inside the package."""
    holds: dict[str, bool] = {}
    for top, directories, files in os.walk(bin_dir, topdown=False):
        # a link to a directory is not walked: it is shipped as what it is
        below = (holds.get(os.path.join(top, name), True) for name in directories)
        holds[top] = bool(files) or any(below)
    inside = {top: os.path.relpath(top, bin_dir).replace(os.sep, "/") for top in holds}
    return {
        "bin" if inside[top] == "." else f"bin/{inside[top]}" for top in holds if not holds[top]
    }


EMPTY = "empty: not shipped"


def state(bin_dir: str, candidate: str | None, in_place: bool, empty: set[str]) -> str:
    if candidate is None:
        return "Unknown OS"
    if not bin_dir:
        return "missing"
    path = os.path.join(bin_dir, *candidate.split("/")[1:])
    if not os.path.exists(path):
        return "missing"
    if candidate in empty:
        return EMPTY
    if os.path.isdir(path):
        return "not executable: it is a directory"
    if in_place and os.name != "nt" and not os.access(path, os.X_OK):
        return f"not executable: chmod +x {shlex.quote(path)}"
    return "carried"


def main() -> int:
    arguments = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    arguments.add_argument("--in-place", action="store_true", help="the tree is used where it is")
    arguments.add_argument("--require", action="store_true", help="fail without solver or mesher")
    arguments.add_argument("bin_dir", nargs="?", default="", help="the tree; none when omitted")
    given = arguments.parse_args()

    system, machine = platform.system().lower(), platform.machine().lower()
    bits = "64" if sys.maxsize > 2**32 else "32"
    # an in-place build leaves the tree where it is, empty directories and all
    empty = empty_directories(given.bin_dir) if given.bin_dir and not given.in_place else set()
    lines, failed = [], []
    for program, candidate in candidates(system, machine, bits).items():
        shown = state(given.bin_dir, candidate, given.in_place, empty)
        lines.append(f"  {program:<16} {candidate or 'no candidate'}: {shown}")
        if program in REQUIRED and shown != "carried":
            failed.append(lines[-1])
    topmost = (path for path in empty if path.rpartition("/")[0] not in empty)
    lines += [f"  {'directory':<16} {path}: {EMPTY}" for path in sorted(topmost)]
    print(f"pyveka bin/ tree: {given.bin_dir or NO_TREE}")
    print(f"  this host: {system} {machine}, {bits}-bit", *lines, sep="\n")
    if given.require and failed:
        print(
            "PYVEKA_BIN_REQUIRE is ON, and this host's programs are not all there:",
            *failed,
            sep="\n",
            file=sys.stderr,
        )
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

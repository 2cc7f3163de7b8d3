"""The build's account of the bin/ tree it ships, for the platform the wheel is built for.

    python bin_tree.py [--in-place] [--require] [--all] [--foreign]
                       [--system NAME] [--bits 64|32] [--machine NAME ...]
                       [--manifest FILE] [BIN_DIR]

A wheel carries the part of the tree that its platform's lookups can choose: the directory of
each program's candidate on each host the wheel installs on (one, or two for a universal macOS
wheel), and bin/remote; --all carries the whole tree. The platform is the one given by
--system, --bits and --machine (CMakeLists.txt passes what it builds for), each defaulting to
this host's as the lookups classify it (src/pyveka/programs.py).

Links are followed: the wheel holds the files they name. A link loop, a link whose target is
missing, or anything but files and directories stops the build, since the wheel could not hold
what the tree shows. Every binary carried in the platform's part is read (src/pyveka/
executables.py), and one that the platform cannot run stops the build unless --foreign says
to carry it anyway. --manifest writes CMake's install() commands for the carried files.

Prints one line per program: the one file its lookup will try, as a path inside the package,
and whether the wheel carries it, with what it is; a line for each binary refused, each
directory not shipped (a wheel carries files, so a directory that holds none is not shipped)
and what is left out. With --require the exit status is 1 when the solver or the mesh generator
is not carried and runnable. An in-place build uses the tree where it stands: nothing is
installed or left out, and a file without execute permission cannot run there.
"""

from __future__ import annotations

import argparse
import errno
import importlib.util
import os
import shlex
import stat
import sys
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any


def _package_module(name: str) -> ModuleType:
    """A module of the package that imports nothing of it, loaded by its path: the package is
    not built yet."""
    path = Path(__file__).resolve().parent.parent / "src" / "pyveka" / f"{name}.py"
    spec = importlib.util.spec_from_file_location(f"pyveka_{name}", path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # where dataclasses look their module up
    spec.loader.exec_module(module)
    return module


PROGRAMS_MODULE = _package_module("programs")
EXECUTABLES = _package_module("executables")
TABLE = PROGRAMS_MODULE.PROGRAMS
PROGRAMS = tuple(program.title for program in TABLE)
REQUIRED = tuple(program.title for program in TABLE if program.files is not None)  # executables
NO_TREE = "none (put one in src/pyveka/bin, or name one with PYVEKA_BIN_DIR)"
EMPTY = "empty: not shipped"
REMOTE_PART = "/".join(PROGRAMS_MODULE.REMOTE_PARTS[:-1])


class TreeError(Exception):
    """A tree the wheel cannot hold as it is shown."""


def candidates(system: str, machine: str, bits: str) -> dict[str, str | None]:
    """Each program's candidate inside the package; None on an OS the lookups do not know."""
    found = {}
    for program in TABLE:
        parts = program.candidate(system, machine, bits)
        found[program.title] = None if parts is None else "/".join(parts)
    return found


def parts_of(hosts: list[tuple[str, str, str]]) -> dict[str, list[tuple[str, str, str]]]:
    """The part of the tree each host's lookups can choose, as directories inside the package,
    with the hosts that choose each: bin/remote serves every host."""
    parts: dict[str, list[tuple[str, str, str]]] = {}
    for host in hosts:
        for candidate in candidates(*host).values():
            if candidate is not None:
                parts.setdefault(candidate.rpartition("/")[0], []).append(host)
    return {part: list(dict.fromkeys(chosen)) for part, chosen in sorted(parts.items())}


def _on_disk(root: str, inside: str) -> str:
    """The path in the tree at `root` of a path inside the package ("bin/...")."""
    return os.path.join(root, *inside.split("/")[1:])


def _stat(path: str, inside: str) -> os.stat_result:
    try:
        return os.stat(path)
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise TreeError(f"{inside}: a loop of symbolic links") from None
        if os.path.islink(path):
            target = os.readlink(path)
            raise TreeError(
                f"{inside}: a symbolic link whose target is missing: {target}"
            ) from None
        raise TreeError(f"{inside}: {error.strerror}") from None


@dataclass
class Walk:
    """The files below some directories, by their paths inside the package, each with the file
    it is on disk (links resolved); and the directories that hold no file at any depth."""

    files: dict[str, str] = field(default_factory=dict)
    empty: list[str] = field(default_factory=list)

    def add(self, path: str, inside: str, ancestors: dict[tuple[int, int], str]) -> bool:
        """Adds what is at `path`; whether it holds a file. `ancestors` are the directories
        above it, by device and inode: a link back to one of them would never end."""
        status = _stat(path, inside)
        if stat.S_ISREG(status.st_mode):
            if ";" in inside:  # CMake's lists would split the name
                raise TreeError(f"{inside}: a name with a ';', which CMake cannot install")
            self.files[inside] = os.path.realpath(path)
            return True
        if not stat.S_ISDIR(status.st_mode):
            raise TreeError(f"{inside}: neither a file nor a directory")
        key = (status.st_dev, status.st_ino)
        if key in ancestors:
            raise TreeError(f"{inside}: a symbolic link back to {ancestors[key]}, a loop")
        try:
            names = sorted(os.listdir(path))
        except OSError as error:
            raise TreeError(f"{inside}: {error.strerror}") from None
        below = {**ancestors, key: inside}
        holds = [self.add(os.path.join(path, name), f"{inside}/{name}", below) for name in names]
        if not any(holds):
            self.empty.append(inside)
        return any(holds)


def walk(root: str, parts: list[str] | None) -> Walk:
    """The files of the tree at `root`: below each of `parts` that exists, or the whole tree."""
    found = Walk()
    top = _stat(root, root)
    if not stat.S_ISDIR(top.st_mode):
        raise TreeError(f"{root}: not a directory")
    if parts is None:
        found.add(root, "bin", {})
        return found
    for part in parts:
        path = _on_disk(root, part)
        if not os.path.lexists(path):
            continue
        # the directories above the part, where a link inside it could lead back to
        above = part.split("/")[:-1]
        ancestors = {}
        for depth in range(1, len(above) + 1):
            inside = "/".join(above[:depth])
            status = _stat(_on_disk(root, inside), inside)
            ancestors[(status.st_dev, status.st_ino)] = inside
        found.add(path, part, ancestors)
    return found


def left_out(root: str, parts: list[str]) -> list[str]:
    """What the tree holds beside the parts a wheel carries, as paths inside the package."""
    above = {
        "/".join(part.split("/")[:depth])
        for part in parts
        for depth in range(1, part.count("/") + 1)
    }
    out = []
    for directory in sorted(above):
        path = _on_disk(root, directory)
        if os.path.isdir(path):
            out += [f"{directory}/{name}" for name in sorted(os.listdir(path))]
    return sorted(inside for inside in out if inside not in parts and inside not in above)


@dataclass(frozen=True)
class Verdict:
    shown: str
    runnable: bool = False


def judge(executable: Any, hosts: list[tuple[str, str, str]]) -> str | None:
    """Why one of `hosts` cannot start `executable` (an executables.Executable); None when all
    can."""
    for host in hosts:
        reason = executable.can_run_on(EXECUTABLES.Host.of(*host, label="this wheel"))
        if reason is not None:
            return str(reason)
    return None


def verdict(
    candidate: str | None,
    host: tuple[str, str, str],
    tree: Walk | None,
    described: dict[str, Any],
    refused: dict[str, str],
    given: argparse.Namespace,
) -> Verdict:
    """What the wheel does with one host's candidate."""
    if candidate is None:
        return Verdict("Unknown OS")
    if tree is None:
        return Verdict("missing")
    if candidate in refused:
        if given.foreign:
            return Verdict(f"carried anyway: {refused[candidate]}", runnable=True)
        return Verdict(f"refused: {refused[candidate]}")
    if candidate in tree.files:
        if given.in_place and os.name != "nt" and not os.access(tree.files[candidate], os.X_OK):
            path = _on_disk(given.bin_dir, candidate)
            return Verdict(f"not executable: chmod +x {shlex.quote(path)}")
        executable = described[candidate]
        reason = judge(executable, [host])
        if reason is not None:
            return Verdict(f"carried, but it cannot run: {reason}")
        return Verdict(f"carried: {executable}", runnable=True)
    if candidate in tree.empty:
        return Verdict("not executable: it is a directory" if given.in_place else EMPTY)
    if any(inside.startswith(candidate + "/") for inside in tree.files):
        return Verdict("not executable: it is a directory")
    return Verdict("missing")


def cmake_string(text: str) -> str:
    """`text` as a quoted CMake argument."""
    escaped = text.replace("\\", "/").replace('"', '\\"').replace("$", "\\$")
    return f'"{escaped}"'


def manifest(files: dict[str, str]) -> str:
    """CMake's install() commands for the files a wheel carries: each as the file its link
    names, under its own name, with the permissions CMakeLists.txt gives them."""
    lines = []
    for inside, source in sorted(files.items()):
        directory, _, name = inside.rpartition("/")
        destination = cmake_string(f"pyveka/{directory}")
        lines.append(
            f"install(FILES {cmake_string(source)} DESTINATION {destination}"
            f" RENAME {cmake_string(name)} PERMISSIONS ${{pyveka_bin_permissions}})"
        )
    return "".join(f"{line}\n" for line in lines)


def arguments() -> argparse.Namespace:
    system, machine, bits = PROGRAMS_MODULE.this_host()
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--in-place", action="store_true", help="the tree is used where it is")
    parser.add_argument("--require", action="store_true", help="fail without solver or mesher")
    parser.add_argument("--all", action="store_true", help="carry the whole tree")
    parser.add_argument("--foreign", action="store_true", help="carry what cannot run, too")
    parser.add_argument("--system", default=system, help="the wheel's OS name")
    parser.add_argument("--bits", default=bits, choices=("64", "32"), help="its word size")
    parser.add_argument("--machine", action="append", help="its machine names (repeatable)")
    parser.add_argument("--manifest", help="where to write the install() commands")
    parser.add_argument("bin_dir", nargs="?", default="", help="the tree; none when omitted")
    given = parser.parse_args()
    given.system = given.system.lower()
    given.machine = [name.lower() for name in given.machine or [machine]]
    return given


def main() -> int:
    given = arguments()
    hosts = [(given.system, machine, given.bits) for machine in given.machine]
    parts = parts_of(hosts)
    carries_all = given.all and not given.in_place
    tree, out, described = None, [], {}
    try:
        if given.bin_dir:
            tree = walk(given.bin_dir, None if carries_all else list(parts))
            if not (given.in_place or carries_all):
                out = left_out(given.bin_dir, list(parts))
            described = {inside: EXECUTABLES.describe(path) for inside, path in tree.files.items()}
    except TreeError as error:
        print(f"the bin/ tree cannot be shipped: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"the bin/ tree cannot be read: {error}", file=sys.stderr)
        return 1

    # every binary of a part must run on each host that chooses the part
    refused = {}
    for inside, executable in described.items():
        part = inside.rpartition("/")[0]
        while part and part not in parts:  # a file the whole tree carries beside the parts
            part = part.rpartition("/")[0]
        if part and executable.binary:
            reason = judge(executable, parts[part])
            if reason is not None:
                refused[inside] = reason

    machines = " and ".join(given.machine)
    lines = [f"  this wheel: {given.system} {machines}, {given.bits}-bit"]
    failed, seen = [], set()
    for host in hosts:
        for program, candidate in candidates(*host).items():
            if (program, candidate) in seen:
                continue
            seen.add((program, candidate))
            judged = verdict(candidate, host, tree, described, refused, given)
            lines.append(f"  {program:<16} {candidate or 'no candidate'}: {judged.shown}")
            if program in REQUIRED and not judged.runnable:
                failed.append(lines[-1])
    if tree is not None:
        candidates_shown = {c for host in hosts for c in candidates(*host).values()}
        title = "carried anyway" if given.foreign else "refused"
        lines += [
            f"  {title:<16} {inside}: {reason}"
            for inside, reason in refused.items()
            if inside not in candidates_shown
        ]
        if not given.in_place:
            topmost = (path for path in tree.empty if path.rpartition("/")[0] not in tree.empty)
            lines += [f"  {'directory':<16} {path}: {EMPTY}" for path in sorted(topmost)]
            shipped = "the whole tree" if carries_all else ", ".join(parts)
            lines.append(f"  {'carried':<16} {shipped}: {len(tree.files)} files")
        if out:
            lines.append(
                f"  {'left out':<16} {', '.join(out)}: for other platforms"
                " (PYVEKA_BIN_ALL=ON carries them)"
            )
    print(f"pyveka bin/ tree: {given.bin_dir or NO_TREE}", *lines, sep="\n")

    if refused and not given.foreign:
        print(
            "the bin/ tree holds executables this wheel's platform cannot run:",
            *(f"  {inside}: {reason}" for inside, reason in refused.items()),
            "ship the tree built for this platform, or carry them anyway with "
            "PYVEKA_BIN_FOREIGN=ON",
            sep="\n",
            file=sys.stderr,
        )
        return 1
    if given.require and failed:
        print(
            "PYVEKA_BIN_REQUIRE is ON, and this wheel's programs are not all there:",
            *failed,
            sep="\n",
            file=sys.stderr,
        )
        return 1
    if given.manifest:
        files = tree.files if tree is not None and not given.in_place else {}
        Path(given.manifest).write_text(manifest(files), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())

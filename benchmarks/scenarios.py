"""What both benchmark modes measure: the functions, their floors, and the hosts they run on.

A floor is the same host operations a function makes (os.environ.get,
platform.system().lower(), os.sys.maxsize, os.path.join/abspath/dirname/exists, ...)
written out in one Python expression, in the same order: what the function cannot avoid.

The hosts:

* real host: the real os and platform, on a temporary package root holding the one
  candidate file of each program for this host, as the package's table of programs
  names it;
* stubbed host (a diagnostic): os and platform replaced by objects whose operations are
  C builtins (a dict for environ, a frozenset's __contains__ for exists, ...) answering the
  Linux 64-bit row, so that the module's own work shows;
* changing namespace (a diagnostic): the real host, with the namespace of the module (and
  of its plain-Python equivalent) padded with extra keys, one of them rebound before each
  call.

Both modes run each statement in a loop function of its own (`loop`) over the names a
host gives (`Host.names`), with the host installed in the namespaces of the module and of
its plain-Python equivalent (`installed`). This module imports nothing of the benchmark.
"""

from __future__ import annotations

import operator
import os
import platform
import sys
import tempfile
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from types import ModuleType, SimpleNamespace
from typing import Any

import pyveka.veka_call as vc
from pyveka import options, programs

PRIVATE = ("_bits", "_system", "_machine", "_package_root", "_resolve_path")
PUBLIC = ("veka_call_builtin", "veka_call_no_remote", "grelvin_call_builtin", "veka_remote_script")
FUNCTIONS = PRIVATE + PUBLIC

# How each function is called: f is the function; P, G and R are the path components of the
# solver's, the mesh generator's and the remote launcher's candidate on the host.
CALLS = {name: "f()" for name in FUNCTIONS} | {"_resolve_path": "f(*P)"}

# FILE is the module's __file__; get_option is the package's option getter.
BITS = '"64" if os.sys.maxsize > 4294967296 else "32"'


def exists(parts: str) -> str:
    return f"os.path.exists(os.path.join(os.path.dirname(os.path.abspath(FILE)), *{parts}))"


def lookup_ops(variable: str, parts: str) -> str:
    """The host operations of the solver's and the mesh generator's lookups."""
    return (
        f'os.environ.get("{variable}"), platform.system().lower(), {BITS}, '
        f"platform.machine().lower(), {exists(parts)}"
    )


FLOORS = {
    "_bits": BITS,
    "_system": "platform.system().lower()",
    "_machine": "platform.machine().lower()",
    "_package_root": "os.path.dirname(os.path.abspath(FILE))",
    "_resolve_path": exists("P"),
    "veka_call_builtin": f"({lookup_ops('VEKA_BIN', 'P')})",
    "veka_call_no_remote": f'(get_option("veka.call"), {lookup_ops("VEKA_BIN", "P")})',
    "grelvin_call_builtin": f"({lookup_ops('GRELVIN_BIN', 'G')})",
    "veka_remote_script": f'(os.environ.get("VEKA_REMOTE_BIN"), {exists("R")})',
}

# The changing namespace: D is the namespace of the module whose function f is, K one of its
# padding keys, i the loop's count, so that every call follows a change of the namespace.
NAMESPACE_FUNCTION = "_bits"
NAMESPACE_CALL = "D[K] = i; f()"
NAMESPACE_FLOOR = "D[K] = i"
NAMESPACE_SIZES = (10_000, 1_000_000)


def namespace_sizes(quick: bool) -> list[int]:
    """The paddings to measure: the smallest alone in a smoke run, the larger taking long to
    build (seconds; about a minute under valgrind)."""
    return list(NAMESPACE_SIZES[:1] if quick else NAMESPACE_SIZES)


REAL_TITLE = "Real host: the real os and platform, a temporary package root"
STUBBED_TITLE = "Stubbed host: os and platform made of C builtins (not a target)"


# The price of an entry into Python from C, which the module pays for each Python function it
# calls and its floor does not: bytecode runs a Python callee in its own evaluation loop, C code
# must start a new one. It is measured as a Python function g called through a C function
# (operator.call) less the same call from bytecode, and the same for a C function c taken off,
# so that operator.call's own dispatch does not count.
# Each pair: a call through C, and the same call from bytecode.
ENTRY_PAIRS = (("call(g)", "g()"), ("call(c)", "c()"))


def python_function() -> None:
    return None


def entry_names() -> dict[str, Any]:
    return {"call": operator.call, "g": python_function, "c": sys.getrecursionlimit}


def entry_price(python_pair: float, c_pair: float) -> float:
    """One entry's price from the differences within ENTRY_PAIRS: through C less from
    bytecode, for g and for c."""
    return python_pair - c_pair


def entries_from_c(statement: str, names: dict[str, Any]) -> int:
    """How many Python functions one run of `statement` calls straight from C code: those whose
    caller is the loop itself, which calls nothing but the C function under test."""
    run = loop(statement, names)
    run(1)  # warm-up: first-call imports and caches
    entries = 0

    def profile(frame: Any, event: str, _: Any) -> None:
        nonlocal entries
        caller = frame.f_back
        if event == "call" and caller is not None and caller.f_code is run.__code__:
            entries += 1

    sys.setprofile(profile)
    try:
        run(1)
    finally:
        sys.setprofile(None)
    return entries


def entries_of_the_functions(host: Host) -> dict[str, int]:
    """Each function's entries into Python from C on `host`."""
    with installed(host, vc):
        return {
            name: entries_from_c(CALLS[name], host.names(getattr(vc, name))) for name in FUNCTIONS
        }


def print_entry_table(
    unit: str, gaps: dict[str, tuple[float, float]], price: float, entries: dict[str, int]
) -> None:
    """The module's gap to its floor beside what its entries into Python cost: `gaps` holds
    each function's (module - floor, floor), in `unit`."""
    print(
        f"\nReal host, the gap to the floor beside the entries into Python from C that no "
        f"public API avoids: one entry costs {price:.1f} {unit}"
    )
    print(
        f"{'function':22} {'module-floor':>12} {'entries':>7} {'their price':>11} "
        f"{'rest':>8} {'module/floor':>12} {'without them':>12}"
    )
    for name, (gap, floor) in gaps.items():
        unavoidable = entries[name] * price
        print(
            f"{name:22} {gap:12.1f} {entries[name]:7d} {unavoidable:11.1f} "
            f"{gap - unavoidable:8.1f} {(floor + gap) / floor:12.3f} "
            f"{(floor + gap - unavoidable) / floor:12.3f}"
        )


def loop(statement: str, names: dict[str, Any]) -> Callable[[int], None]:
    """A function that runs `statement` n times, reading `names` as its globals and the count
    as i."""
    scope = dict(names)
    exec(f"def loop(n):\n    for i in range(n):\n        {statement}\n", scope)
    return scope["loop"]


def candidate_files(system: str, machine: str, bits: str) -> dict[str, tuple[str, ...]]:
    """The path components of each lookup's one candidate on a host as the classifiers report
    it, by the lookup's name, from the package's table of programs."""
    files: dict[str, tuple[str, ...]] = {}
    for program in programs.PROGRAMS:
        parts = program.candidate(system, machine, bits)
        if parts is None:
            raise SystemExit(f"the lookups know no candidate on {system!r}: nothing to measure")
        files[program.function] = parts
    return files


@dataclass
class Host:
    """An os and a platform, and the candidate files that exist for the lookups on them."""

    title: str
    os: Any
    platform: Any
    file: str
    """The module's __file__ while the host is installed: it puts the package root at a
    temporary directory."""
    candidates: dict[str, tuple[str, ...]]

    def names(self, function: Any = None) -> dict[str, Any]:
        """What the calls and the floors read, with f the function to call."""
        return {
            "os": self.os,
            "platform": self.platform,
            "FILE": self.file,
            "get_option": options.veka_get_option,
            "P": self.candidates["veka_call_builtin"],
            "G": self.candidates["grelvin_call_builtin"],
            "R": self.candidates["veka_remote_script"],
            "f": function,
        }


@contextmanager
def installed(host: Host, *modules: ModuleType) -> Iterator[None]:
    """Binds the host's os, platform and file in the namespace of each module, as a user
    rebinding them would, and restores what was there."""
    replacements = {"os": host.os, "platform": host.platform, "__file__": host.file}
    saved = [
        (vars(module), {name: vars(module)[name] for name in replacements}) for module in modules
    ]
    for namespace, _ in saved:
        namespace.update(replacements)
    try:
        yield
    finally:
        for namespace, values in saved:
            namespace.update(values)


def stubbed(file: str) -> Host:
    """An os and a platform whose operations are all C builtins, answering the Linux 64-bit
    row; every candidate exists."""
    candidates = candidate_files("linux", "x86_64", "64")
    # join is max: a C builtin that takes any number of str and answers one of them; exists
    # knows every answer it can give.
    answers = frozenset({file}.union(*candidates.values()))
    path = SimpleNamespace(
        join=max, abspath=sys.intern, dirname=sys.intern, exists=answers.__contains__
    )
    stub_os = SimpleNamespace(environ={}, path=path, sys=SimpleNamespace(maxsize=sys.maxsize))
    stub_platform = SimpleNamespace(system="Linux".strip, machine="x86_64".strip)
    return Host(STUBBED_TITLE, stub_os, stub_platform, file, candidates)


def real(root: str, file: str) -> Host:
    """The real os and platform; creates under `root` the candidates of this host, as the
    module's own classifiers report it."""
    candidates = candidate_files(vc._system(), vc._machine(), vc._bits())
    for parts in candidates.values():
        target = os.path.join(root, *parts)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        open(target, "w").close()
    return Host(REAL_TITLE, os, platform, file, candidates)


@contextmanager
def hosts() -> Iterator[tuple[Host, Host]]:
    """The real and the stubbed host on one temporary package root, with the programs'
    environment overrides unset meanwhile, so that the built-in candidates are measured."""
    overrides = {
        p.variable: os.environ.pop(p.variable)
        for p in programs.PROGRAMS
        if p.variable in os.environ
    }
    try:
        with tempfile.TemporaryDirectory() as root:
            file = sys.intern(os.path.join(root, "veka_call.so"))
            yield real(root, file), stubbed(file)
    finally:
        os.environ.update(overrides)


@contextmanager
def padded(size: int, *modules: ModuleType) -> Iterator[str]:
    """Adds `size` keys to the namespace of each module, and restores the namespace after;
    yields the key to rebind, one of those added."""
    padding = dict.fromkeys(map("_padding_{}".format, range(size)))
    saved = [(vars(module), dict(vars(module))) for module in modules]
    for namespace, _ in saved:
        namespace.update(padding)
    try:
        yield f"_padding_{size // 2}"
    finally:
        for namespace, values in saved:
            namespace.clear()
            namespace.update(values)


def namespace_names(host: Host, module: ModuleType, key: str) -> dict[str, Any]:
    """The names of the changing-namespace statements, calling the module's function."""
    return host.names(getattr(module, NAMESPACE_FUNCTION)) | {"D": vars(module), "K": key}


def describe_python() -> str:
    return (
        f"pyveka.veka_call on {platform.system()} {platform.machine()}, "
        f"Python {platform.python_version()}"
    )


def report_targets(heading: str, checks: Iterable[tuple[str, bool]]) -> int:
    """Prints each target's line and its verdict (all_versions.py reads "MISSED"); the exit
    status: 1 when a target is missed."""
    print(heading)
    missed = False
    for text, met in checks:
        print(f"{text}{'met' if met else 'MISSED'}")
        missed = missed or not met
    return 1 if missed else 0

"""What a call of pyveka.veka_call costs, beside what it cannot avoid.

    python benchmarks/bench_calls.py [--quick]

For each of the nine functions, two scenarios, measured side by side in this
process:

* real host: the real os and platform, a temporary package root holding every
  candidate; the floor is the same host operations (os.environ.get,
  platform.system().lower(), os.sys.maxsize, os.path.join/abspath/dirname/exists,
  ...) written out in one Python expression, in the same order;
* stubbed host: the module's os and platform replaced by objects whose
  operations are C builtins (a dict for environ, a frozenset's __contains__ for
  exists, ...), so that the module's own work dominates; the floor calls the
  same stubs directly.

Each figure is ns per call: the median of several repeats, and the best; the
ratio and the module's own ns are medians over neighbouring runs of the call
and its floor, which are run in alternation. Then
the module's own import cost beside that of os, platform and typing, from
`python -X importtime`. The targets are checked at the end; the exit status is
1 when one is missed. Standard library only.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import timeit
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from types import SimpleNamespace
from typing import Any

import pyveka.options
import pyveka.veka_call as vc

PRIVATE = ["_bits", "_system", "_machine", "_package_root", "_resolve_path"]
PUBLIC = ["veka_call_builtin", "veka_call_no_remote", "grelvin_call_builtin", "veka_remote_script"]

# The host operations of each function, in the order the function makes them.
# P and G are the path components of the solver's and the mesh generator's
# candidate on this host; FILE stands for the module's __file__.
SOLVER_OPS = (
    'os.environ.get("VEKA_BIN"), platform.system().lower(), '
    '"64" if os.sys.maxsize > 4294967296 else "32", platform.machine().lower(), '
    "os.path.exists(os.path.join(os.path.dirname(os.path.abspath(FILE)), *P))"
)
FLOORS = {
    "_bits": '"64" if os.sys.maxsize > 4294967296 else "32"',
    "_system": "platform.system().lower()",
    "_machine": "platform.machine().lower()",
    "_package_root": "os.path.dirname(os.path.abspath(FILE))",
    "_resolve_path": "os.path.exists(os.path.join(os.path.dirname(os.path.abspath(FILE)), *P))",
    "veka_call_builtin": f"({SOLVER_OPS})",
    "veka_call_no_remote": f'(get_option("veka.call"), {SOLVER_OPS})',
    "grelvin_call_builtin": (
        f"({SOLVER_OPS.replace('VEKA_BIN', 'GRELVIN_BIN').replace('*P', '*G')})"
    ),
    "veka_remote_script": (
        '(os.environ.get("VEKA_REMOTE_BIN"), os.path.exists(os.path.join('
        'os.path.dirname(os.path.abspath(FILE)), "bin", "remote", "veka.remote")))'
    ),
}
CALLS = {name: "f()" for name in PRIVATE + PUBLIC} | {"_resolve_path": "f(*P)"}

PUBLIC_REAL_RATIO = 1.05  # call / floor, real host
PUBLIC_OVERHEAD_NS = 100.0  # call - floor, stubbed host
PRIVATE_OVERHEAD_NS = 40.0
IMPORT_SHARE_OF_PLATFORM = 0.20


@dataclass
class Timing:
    median: float
    best: float

    def __str__(self) -> str:
        return f"{self.median:8.1f} ({self.best:7.1f})"


@dataclass
class SideBySide:
    """A call and its floor, each run `repeat` times in alternation."""

    call: list[float]
    floor: list[float]

    def timing(self, runs: list[float]) -> Timing:
        return Timing(statistics.median(runs), min(runs))

    @property
    def ratio(self) -> float:
        """Median of the ratios of neighbouring runs: drift between runs cancels out."""
        return statistics.median(c / f for c, f in zip(self.call, self.floor, strict=True))

    @property
    def own(self) -> float:
        """Median of the differences of neighbouring runs, in ns: the module's own work."""
        return statistics.median(c - f for c, f in zip(self.call, self.floor, strict=True))


def measure_side_by_side(
    call: str, floor: str, names: dict[str, Any], seconds: float, repeat: int
) -> SideBySide:
    timers = (timeit.Timer(call, globals=names), timeit.Timer(floor, globals=names))
    for timer in timers:
        timer.timeit(1000)  # warm-up: caches, specialisation
    # As many calls per run as fill `seconds`, so that short calls are not drowned by noise.
    number = max(100, int(seconds / (timers[1].timeit(1000) / 1000)))
    result = SideBySide([], [])
    for _ in range(repeat):
        result.call.append(timers[0].timeit(number) / number * 1e9)
        result.floor.append(timers[1].timeit(number) / number * 1e9)
    return result


@contextmanager
def module_globals(**replacements: Any) -> Iterator[None]:
    saved = {name: getattr(vc, name) for name in replacements}
    for name, value in replacements.items():
        setattr(vc, name, value)
    try:
        yield
    finally:
        for name, value in saved.items():
            setattr(vc, name, value)


def candidate_parts(lookup: Any, root: str) -> tuple[str, ...]:
    return tuple(os.path.relpath(lookup(), root).split(os.sep))


def every_candidate(root: str) -> None:
    """Creates the files this host's lookups try, as the lookups themselves name them."""
    asked: list[tuple[str, ...]] = []

    def record(*parts: str) -> str:
        asked.append(parts)
        return "recorded"

    with module_globals(_resolve_path=record):
        for lookup in (vc.veka_call_builtin, vc.grelvin_call_builtin, vc.veka_remote_script):
            lookup()
    for parts in asked:
        target = os.path.join(root, *parts)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        open(target, "w").close()


def stubbed_host(root: str, file: str) -> tuple[Any, Any]:
    """An os and a platform whose operations are all C builtins."""
    # join is max: a C builtin that takes any number of str and answers one of
    # them; exists knows every answer it can give, so every candidate exists.
    answers = frozenset(
        {file, "bin", "linux", "64bit", "veka.mkl.run", "grelvin.run", "remote", "veka.remote"}
    )
    path = SimpleNamespace(
        join=max, abspath=sys.intern, dirname=sys.intern, exists=answers.__contains__
    )
    stub_os = SimpleNamespace(environ={}, path=path, sys=SimpleNamespace(maxsize=sys.maxsize))
    stub_platform = SimpleNamespace(system="Linux".strip, machine="x86_64".strip)
    return stub_os, stub_platform


def table(title: str, names: dict[str, Any], seconds: float, repeat: int) -> dict[str, SideBySide]:
    print(f"\n{title}")
    print(
        f"{'function':22} {'call ns: median (best)':>24} {'floor ns: median (best)':>25} "
        f"{'ratio':>7} {'own ns':>8}"
    )
    rows: dict[str, SideBySide] = {}
    for name in PRIVATE + PUBLIC:
        scope = dict(names, f=names["functions"][name])
        row = rows[name] = measure_side_by_side(CALLS[name], FLOORS[name], scope, seconds, repeat)
        print(
            f"{name:22} {row.timing(row.call)!s:>24} {row.timing(row.floor)!s:>25} "
            f"{row.ratio:7.2f} {row.own:+8.1f}"
        )
    return rows


def import_costs(repeat: int) -> dict[str, float]:
    """Median import time in microseconds: the module's own (self) and each standard
    module's (cumulative)."""
    site = os.path.dirname(os.path.dirname(pyveka.veka_call.__file__))
    env = dict(os.environ, PYTHONPATH=site)
    costs: dict[str, list[float]] = {}
    for target, module, column in (
        ("pyveka.veka_call", "pyveka.veka_call", 1),
        ("os", "os", 2),
        ("platform", "platform", 2),
        ("typing", "typing", 2),
    ):
        for _ in range(repeat):
            done = subprocess.run(
                [sys.executable, "-S", "-X", "importtime", "-c", f"import {target}"],
                env=env,
                capture_output=True,
                text=True,
                check=True,
            )
            for line in done.stderr.splitlines():
                fields = [field.strip() for field in line.removeprefix("import time:").split("|")]
                if len(fields) == 3 and fields[2] == module:
                    costs.setdefault(module, []).append(float(fields[column - 1]))
    return {module: statistics.median(values) for module, values in costs.items()}


INSTRUCTIONS_REAL_RATIO = 1.02  # call / floor, real host, public functions


def instruction_report() -> int:
    import instruction_counts

    print(
        f"pyveka.veka_call on {platform.system()} {platform.machine()}, "
        f"Python {platform.python_version()}: instructions per call (callgrind), an empty "
        f"loop's taken off; the Cython build compiles benchmarks/plain_veka_call.py"
    )
    counts = instruction_counts.measure()
    missed: list[str] = []
    for scenario, title in (("real", "Real host"), ("stubbed", "Stubbed host")):
        print(f"\n{title}")
        print(f"{'function':22} {'floor':>9} {'Cython':>9} {'module':>9} {'module/floor':>13}")
        for name in PRIVATE + PUBLIC:
            floor, cython, module = (
                counts[scenario][f"{name} {kind}"] for kind in ("floor", "cython", "module")
            )
            print(f"{name:22} {floor:9.0f} {cython:9.0f} {module:9.0f} {module / floor:13.3f}")
    print("\nTargets")
    for name in PUBLIC:
        real = counts["real"]
        ratio = real[f"{name} module"] / real[f"{name} floor"]
        met = ratio <= INSTRUCTIONS_REAL_RATIO
        missed += [] if met else [f"real {name}"]
        print(
            f"  real host  {name:22} {ratio:6.3f}x floor  (at most "
            f"{INSTRUCTIONS_REAL_RATIO:.2f}x)  {'met' if met else 'MISSED'}"
        )
    for name in PRIVATE + PUBLIC:
        stubbed = counts["stubbed"]
        module, cython = stubbed[f"{name} module"], stubbed[f"{name} cython"]
        met = module <= cython
        missed += [] if met else [f"stubbed {name}"]
        print(
            f"  stubbed    {name:22} {module:7.0f} vs Cython {cython:7.0f}  (at most Cython)  "
            f"{'met' if met else 'MISSED'}"
        )
    return 1 if missed else 0


def main() -> int:
    arguments = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    arguments.add_argument("--quick", action="store_true", help="fewer calls, for a smoke run")
    arguments.add_argument(
        "--instructions",
        action="store_true",
        help="count instructions with callgrind instead of timing (needs valgrind and Cython)",
    )
    options = arguments.parse_args()
    for variable in ("VEKA_BIN", "GRELVIN_BIN", "VEKA_REMOTE_BIN"):
        os.environ.pop(variable, None)  # the built-in candidates are measured
    if options.instructions:
        return instruction_report()
    seconds, repeat = (0.002, 3) if options.quick else (0.01, 101)
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})  # one core: no migrations

    print(
        f"pyveka.veka_call on {platform.system()} {platform.machine()}, "
        f"Python {platform.python_version()}, {platform.processor() or 'unknown processor'}; "
        f"{repeat} alternating runs of about {seconds * 1e3:.0f} ms each per call and floor"
    )
    functions = {name: getattr(vc, name) for name in PRIVATE + PUBLIC}
    missed: list[str] = []
    with tempfile.TemporaryDirectory() as root:
        file = sys.intern(os.path.join(root, "veka_call.so"))
        every_candidate(root)
        saved_getter = pyveka.options.veka_get_option
        with module_globals(__file__=file):
            names = {
                "os": os,
                "platform": platform,
                "FILE": file,
                "functions": functions,
                "get_option": pyveka.options.veka_get_option,
                "P": candidate_parts(vc.veka_call_builtin, root),
                "G": candidate_parts(vc.grelvin_call_builtin, root),
            }
            real = table(
                "Real host: the real os and platform, a temporary package root",
                names,
                seconds,
                repeat,
            )
            stub_os, stub_platform = stubbed_host(root, file)
            pyveka.options.veka_get_option = {}.get  # a C builtin getter: the option is unset
            try:
                with module_globals(os=stub_os, platform=stub_platform):
                    names |= {
                        "os": stub_os,
                        "platform": stub_platform,
                        "get_option": {}.get,
                        "P": ("bin", "linux", "64bit", "veka.mkl.run"),
                        "G": ("bin", "linux", "64bit", "grelvin.run"),
                    }
                    stubbed = table(
                        "Stubbed host: os and platform made of C builtins", names, seconds, repeat
                    )
                    # For scale: the same logic written as plain Python (the file the
                    # instruction mode compiles with Cython), run on the same stubs.
                    import plain_veka_call as plain

                    plain.os, plain.platform, plain.__file__ = stub_os, stub_platform, file
                    scope = dict(names, f=plain.veka_call_builtin)
                    reference = measure_side_by_side(
                        "f()", FLOORS["veka_call_builtin"], scope, seconds, repeat
                    )
                    print(
                        f"{'(plain Python solver)':22} {reference.timing(reference.call)!s:>24} "
                        f"{reference.timing(reference.floor)!s:>25} {reference.ratio:7.2f} "
                        f"{reference.own:+8.1f}"
                    )
            finally:
                pyveka.options.veka_get_option = saved_getter

    costs = import_costs(repeat)
    print("\nImport, microseconds (median): the module's own work beside whole standard modules")
    print(f"  pyveka.veka_call (self)   {costs['pyveka.veka_call']:8.0f}")
    for module in ("os", "platform", "typing"):
        print(f"  {module:25} {costs[module]:8.0f}")

    print("\nTargets")
    for name in PUBLIC:
        ratio = real[name].ratio
        missed += [] if ratio <= PUBLIC_REAL_RATIO else [name]
        print(
            f"  real host  {name:22} {ratio:5.2f}x floor   (at most {PUBLIC_REAL_RATIO:.2f}x) "
            f"{'met' if ratio <= PUBLIC_REAL_RATIO else 'MISSED'}"
        )
    for name in PRIVATE + PUBLIC:
        limit = PUBLIC_OVERHEAD_NS if name in PUBLIC else PRIVATE_OVERHEAD_NS
        own = stubbed[name].own
        missed += [] if own <= limit else [name]
        print(
            f"  stubbed    {name:22} {own:+6.1f} ns own work (at most {limit:.0f} ns)  "
            f"{'met' if own <= limit else 'MISSED'}"
        )
    share = costs["pyveka.veka_call"] / costs["platform"]
    missed += [] if share < IMPORT_SHARE_OF_PLATFORM else ["import"]
    print(
        f"  import     {share:6.1%} of importing platform (under {IMPORT_SHARE_OF_PLATFORM:.0%})  "
        f"{'met' if share < IMPORT_SHARE_OF_PLATFORM else 'MISSED'}"
    )
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())

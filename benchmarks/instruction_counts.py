"""The instruction mode: instructions per call, counted by callgrind, for the module, a Cython
build of benchmarks/plain_veka_call.py, the same file run as Python, and the floor, side by side
in one process.

    python benchmarks/bench_calls.py --instructions [--quick]

A child process (this file, run as a script under valgrind) makes each function's calls in a
loop of its own; a marker compiled with Cython cuts the counts before and after each loop, so
each loop is counted alone, and the count of an empty loop is taken off. Counts are exact and
repeatable for the same binaries and inputs, so the targets are checked on them: on the real
host, every function at or below the Cython build. plain_veka_call.py run as Python is there
for scale; the stubbed host and the changing namespace are diagnostics.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import Any

import scenarios

HERE = Path(__file__).resolve().parent
# Calls per count, by scenario; --quick makes a tenth of them.
CALLS = {"real": 2_000, "stubbed": 20_000, "namespace": 2_000}
# On 3.11 a call of Python code from C costs little more than from bytecode; on 3.12 and later
# it costs more, which the entry table shows instead of a target.
PUBLIC_FLOOR_RATIO_311 = 1.035
KINDS = ("floor", "python", "cython", "module")
HEADS = " ".join(f"{head:>9}" for head in ("floor", "Python", "Cython", "module"))


# Cuts the counts where it is called, by a request to callgrind (nothing, outside valgrind). A
# marker that cut them on entry (--dump-before) would depend on how the compiler reaches it: a
# tail call is not an entry to callgrind.
MARKER_SOURCE = '''
cdef extern from *:
    """
    #include <valgrind/callgrind.h>
    static void dump_counts(void) { CALLGRIND_DUMP_STATS; }
    """
    void dump_counts()


def mark():
    dump_counts()
'''


def build_cython(directory: Path) -> None:
    """Compiles plain_veka_call.py with Cython into `directory` as plain_veka_call_cy, beside
    the marker that cuts the counts."""
    shutil.copy(HERE / "plain_veka_call.py", directory / "plain_veka_call_cy.py")
    (directory / "count_marker.pyx").write_text(MARKER_SOURCE)
    done = subprocess.run(
        [sys.executable, "-m", "Cython.Build.Cythonize", "-i", "-3"]
        + ["--directive", "annotation_typing=False", "plain_veka_call_cy.py", "count_marker.pyx"],
        cwd=directory,
        capture_output=True,
        text=True,
    )
    if done.returncode != 0:
        raise SystemExit(f"the Cython build failed:\n{done.stdout}\n{done.stderr}")


# ---- The child, under valgrind -----------------------------------------------


class Phases:
    """Counts loops one by one: each loop is warmed up, then run between two marks."""

    def __init__(self, mark: Callable[[], None], calls: int) -> None:
        self.mark, self.calls, self.labels = mark, calls, []
        mark()  # what the process did before: not counted
        self.count("empty", scenarios.loop("pass", {}))

    def count(self, label: str, loop: Callable[[int], None]) -> None:
        loop(100)  # warm-up: caches, specialisation
        self.mark()
        loop(self.calls)
        self.mark()
        self.labels.append(label)


def child(scenario: str, cython_dir: str, calls: int, sizes: list[int]) -> None:
    sys.path.insert(0, cython_dir)
    import count_marker
    import plain_veka_call as python
    import plain_veka_call_cy as cython

    vc = scenarios.vc
    phases = Phases(count_marker.mark, calls)
    with scenarios.hosts() as (real, stubbed):
        host = stubbed if scenario == "stubbed" else real
        with scenarios.installed(host, vc, cython, python):
            modules = {"module": vc, "cython": cython, "python": python}
            if scenario == "namespace":
                count_namespace(phases, host, modules, sizes)
            else:
                for name in scenarios.FUNCTIONS:
                    for kind, module in modules.items():
                        names = host.names(getattr(module, name))
                        phases.count(f"{name} {kind}", scenarios.loop(scenarios.CALLS[name], names))
                    floor = scenarios.loop(scenarios.FLOORS[name], host.names())
                    phases.count(f"{name} floor", floor)
                if scenario == "real":
                    for pair in scenarios.ENTRY_PAIRS:
                        for statement in pair:
                            entry = scenarios.loop(statement, scenarios.entry_names())
                            phases.count(f"entry {statement}", entry)
    print(json.dumps({"phases": phases.labels, "calls": calls}))


def count_namespace(
    phases: Phases, host: scenarios.Host, modules: dict[str, Any], sizes: list[int]
) -> None:
    for size in sizes:
        with scenarios.padded(size, *modules.values()) as key:
            floor = scenarios.namespace_names(host, modules["module"], key)
            phases.count(f"{size} floor", scenarios.loop(scenarios.NAMESPACE_FLOOR, floor))
            for kind, module in modules.items():
                names = scenarios.namespace_names(host, module, key)
                phases.count(f"{size} {kind}", scenarios.loop(scenarios.NAMESPACE_CALL, names))


# ---- The parent ---------------------------------------------------------------


def count(scenario: str, cython_dir: Path, calls: int, sizes: list[int]) -> dict[str, float]:
    """Instructions per call for each phase of `scenario`, the empty loop's taken off."""
    out = cython_dir / f"callgrind.{scenario}"
    done = subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            f"--callgrind-out-file={out}",
            sys.executable,
            __file__,
            "child",
            scenario,
            str(cython_dir),
            str(calls),
            ",".join(map(str, sizes)),
        ],
        capture_output=True,
        text=True,
        env=dict(os.environ, PYTHONHASHSEED="0"),  # the same probes in every dict, every run
    )
    if done.returncode != 0:
        raise SystemExit(f"the counting run failed:\n{done.stderr[-3000:]}")
    report = json.loads(done.stdout.strip().splitlines()[-1])
    totals = []
    for index in range(1, 2 * len(report["phases"]) + 2):
        summary = next(
            line
            for line in Path(f"{out}.{index}").read_text().splitlines()
            if line.startswith("summary:")
        )
        totals.append(int(summary.split()[1]))
    # Dump 1 is everything before the first mark; then each phase is a pair: what led up to its
    # loop (the warm-up), and the loop itself.
    per_call = {
        phase: total / calls for phase, total in zip(report["phases"], totals[2::2], strict=True)
    }
    empty = per_call.pop("empty")
    return {phase: total - empty for phase, total in per_call.items()}


def measure(quick: bool, sizes: list[int]) -> dict[str, dict[str, float]]:
    """Counts for each scenario: {"real": {"<function> module": ..., ...}, ...}."""
    if shutil.which("valgrind") is None:
        raise SystemExit("--instructions needs valgrind (Debian: apt-get install valgrind)")
    try:
        import Cython  # noqa: F401
    except ImportError:
        raise SystemExit("--instructions needs Cython: pip install '.[bench]'") from None
    with tempfile.TemporaryDirectory() as work:
        build_cython(Path(work))
        return {
            scenario: count(scenario, Path(work), calls // 10 if quick else calls, sizes)
            for scenario, calls in CALLS.items()
        }


def print_tables(counts: dict[str, dict[str, float]], sizes: list[int]) -> None:
    for title, rows in (
        (scenarios.REAL_TITLE, counts["real"]),
        (scenarios.STUBBED_TITLE, counts["stubbed"]),
    ):
        print(f"\n{title}")
        print(f"{'function':22} {HEADS} {'module/floor':>13} {'module/Cython':>14}")
        for name in scenarios.FUNCTIONS:
            floor, python, cython, module = (rows[f"{name} {kind}"] for kind in KINDS)
            print(
                f"{name:22} {floor:9.0f} {python:9.0f} {cython:9.0f} {module:9.0f} "
                f"{module / floor:13.3f} {module / cython:14.3f}"
            )
    rows = counts["real"]
    price = scenarios.entry_price(
        *(
            rows[f"entry {through}"] - rows[f"entry {direct}"]
            for through, direct in scenarios.ENTRY_PAIRS
        )
    )
    gaps = {
        name: (rows[f"{name} module"] - rows[f"{name} floor"], rows[f"{name} floor"])
        for name in scenarios.FUNCTIONS
    }
    with scenarios.hosts() as (real, _):
        entries = scenarios.entries_of_the_functions(real)
    scenarios.print_entry_table("instructions", gaps, price, entries)
    rows = counts["namespace"]
    print(
        f"\nChanging namespace: {scenarios.NAMESPACE_FUNCTION}() after a padding key of the "
        f"namespace is rebound ({scenarios.NAMESPACE_CALL!r}); the rebinding alone is the floor "
        "(not a target)"
    )
    print(f"{'keys added':>10} {HEADS}   (own: call - floor)")
    for size in sizes:
        figures = [rows[f"{size} {kind}"] for kind in KINDS]
        own = "  ".join(
            f"{head} {figure - figures[0]:+.0f}"
            for head, figure in zip(HEADS.split()[1:], figures[1:], strict=True)
        )
        print(f"{size:>10,} " + " ".join(f"{figure:9.0f}" for figure in figures) + f"   {own}")


def instruction_mode(quick: bool) -> int:
    """Prints the counts; then, unless `quick`, checks the targets: 1 when one is missed."""
    import Cython

    print(
        f"{scenarios.describe_python()}: instructions per call (callgrind), an empty loop's "
        f"taken off; Cython {Cython.__version__} compiles benchmarks/plain_veka_call.py"
    )
    sizes = scenarios.namespace_sizes(quick)
    counts = measure(quick, sizes)
    print_tables(counts, sizes)
    if quick:
        print("\n--quick: a smoke run, a tenth of the calls; no target is checked")
        return 0

    def check(name: str) -> tuple[str, bool]:
        module, cython = (counts["real"][f"{name} {kind}"] for kind in ("module", "cython"))
        text = f"  {name:22} {module:7.0f} vs Cython {cython:7.0f}  {module / cython:6.3f}x  "
        return text, module <= cython

    def check_floor(name: str) -> tuple[str, bool]:
        ratio = counts["real"][f"{name} module"] / counts["real"][f"{name} floor"]
        text = f"  {name:22} {ratio:6.3f}x floor (at most {PUBLIC_FLOOR_RATIO_311}x)  "
        return text, ratio <= PUBLIC_FLOOR_RATIO_311

    checks = [check(name) for name in scenarios.FUNCTIONS]
    heading = "\nTargets: on the real host, every function at or below the Cython build"
    if sys.version_info[:2] == (3, 11):
        checks += [check_floor(name) for name in scenarios.PUBLIC]
        heading += f"; on 3.11, each public lookup at most {PUBLIC_FLOOR_RATIO_311}x its floor"
    return scenarios.report_targets(heading, checks)


if __name__ == "__main__" and sys.argv[1:2] == ["child"]:
    child(
        sys.argv[2], sys.argv[3], int(sys.argv[4]), [int(size) for size in sys.argv[5].split(",")]
    )

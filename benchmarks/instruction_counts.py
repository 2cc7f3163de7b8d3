"""Instructions per call, counted by callgrind: the module, a Cython build of the same logic, and
the floor, side by side in one process.

    python benchmarks/bench_calls.py --instructions

The child process (this file, run as a script under valgrind) makes each function's calls in a
loop of its own; the counts are cut at each call of a marker compiled into the Cython build, so
each loop is counted alone, and the count of an empty loop is taken off. Counts are exact and
repeatable for the same binaries and inputs, so targets can be checked on them.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
PLAIN = HERE / "plain_veka_call.py"
MARKER = "*pyveka_bench_mark*"
LOOPS = {"real": 2_000, "stubbed": 20_000}  # calls per count


def build_cython(directory: Path) -> Path:
    """Compiles plain_veka_call.py with Cython into `directory`; the directory to import from."""
    source = directory / "plain_veka_call_cy.py"
    shutil.copy(PLAIN, source)
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "Cython.Build.Cythonize",
            "-i",
            "-3",
            "--directive",
            "annotation_typing=False",
            str(source),
        ],
        cwd=directory,
        capture_output=True,
        text=True,
    )
    if done.returncode != 0:
        raise SystemExit(f"the Cython build failed:\n{done.stdout}\n{done.stderr}")
    return directory


# ---- The child, under valgrind -----------------------------------------------


def child(scenario: str, cython_dir: str) -> None:
    sys.path.insert(0, cython_dir)
    sys.path.insert(0, str(HERE))
    import bench_calls
    import plain_veka_call_cy as cy

    import pyveka.options
    import pyveka.veka_call as vc

    mark = cy.pyveka_bench_mark
    names = list(bench_calls.PRIVATE + bench_calls.PUBLIC)
    phases: list[str] = []

    def count(label: str, loop: Any, n: int) -> None:
        loop(100)  # warm-up: caches, specialisation
        mark()
        loop(n)
        mark()
        phases.append(label)

    def compiled(statement: str, scope: dict[str, Any]) -> Any:
        exec(f"def loop(n):\n    for _ in range(n):\n        {statement}\n", scope)
        return scope["loop"]

    n = LOOPS[scenario]
    with tempfile.TemporaryDirectory() as root:
        file = sys.intern(os.path.join(root, "veka_call.so"))
        bench_calls.every_candidate(root)
        names_scope: dict[str, Any] = {
            "os": os,
            "platform": __import__("platform"),
            "FILE": file,
            "get_option": pyveka.options.veka_get_option,
        }
        replacements: dict[str, Any] = {"__file__": file}
        vc.__file__ = file
        names_scope["P"] = bench_calls.candidate_parts(vc.veka_call_builtin, root)
        names_scope["G"] = bench_calls.candidate_parts(vc.grelvin_call_builtin, root)
        if scenario == "stubbed":
            # As in the timing mode: the stubbed host answers the Linux 64-bit row.
            names_scope["P"] = ("bin", "linux", "64bit", "veka.mkl.run")
            names_scope["G"] = ("bin", "linux", "64bit", "grelvin.run")
            stub_os, stub_platform = bench_calls.stubbed_host(root, file)
            replacements |= {"os": stub_os, "platform": stub_platform}
            names_scope |= {"os": stub_os, "platform": stub_platform, "get_option": {}.get}
            pyveka.options.veka_get_option = {}.get
        for name, value in replacements.items():
            setattr(vc, name, value)
            setattr(cy, name, value)
        mark()
        count("empty", compiled("pass", {}), n)
        for name in names:
            call = bench_calls.CALLS[name]
            count(f"{name} module", compiled(call, dict(names_scope, f=getattr(vc, name))), n)
            count(f"{name} cython", compiled(call, dict(names_scope, f=getattr(cy, name))), n)
            count(f"{name} floor", compiled(bench_calls.FLOORS[name], dict(names_scope)), n)
    print(json.dumps({"phases": phases, "calls": n}))


# ---- The parent ---------------------------------------------------------------


def valgrind() -> str | None:
    return shutil.which("valgrind")


def count_scenario(scenario: str, cython_dir: Path, work: Path) -> dict[str, float]:
    """Instructions per call for each phase of `scenario`, the empty loop taken off."""
    out = work / f"callgrind.{scenario}"
    done = subprocess.run(
        [
            valgrind() or "valgrind",
            "--tool=callgrind",
            f"--callgrind-out-file={out}",
            f"--dump-before={MARKER}",
            sys.executable,
            __file__,
            "child",
            scenario,
            str(cython_dir),
        ],
        capture_output=True,
        text=True,
    )
    if done.returncode != 0:
        raise SystemExit(f"the counting run failed:\n{done.stderr[-3000:]}")
    report = json.loads(done.stdout.strip().splitlines()[-1])
    totals = []
    for index in range(1, 2 * len(report["phases"]) + 2):
        dump = Path(f"{out}.{index}")
        summary = next(
            line for line in dump.read_text().splitlines() if line.startswith("summary:")
        )
        totals.append(int(summary.split()[1]))
    # Dump 1 is everything before the first marker; then each phase is a pair: what led up to
    # its loop (the warm-up), and the loop itself.
    loops = totals[2::2]
    per_call = {
        phase: count / report["calls"] for phase, count in zip(report["phases"], loops, strict=True)
    }
    empty = per_call.pop("empty")
    return {phase: count - empty for phase, count in per_call.items()}


def measure() -> dict[str, dict[str, float]]:
    """Counts for both scenarios: {"real": {"<function> module": ..., ...}, "stubbed": ...}."""
    if valgrind() is None:
        raise SystemExit("--instructions needs valgrind (Debian: apt-get install valgrind)")
    try:
        import Cython  # noqa: F401
    except ImportError:
        raise SystemExit("--instructions needs Cython: pip install '.[bench]'") from None
    with tempfile.TemporaryDirectory() as work:
        cython_dir = build_cython(Path(work))
        return {scenario: count_scenario(scenario, cython_dir, Path(work)) for scenario in LOOPS}


if __name__ == "__main__" and sys.argv[1:2] == ["child"]:
    child(sys.argv[2], sys.argv[3])

"""Runs one benchmark mode on each CPython at hand, one version after another.

    python benchmarks/all_versions.py [--instructions] [--quick] [PYTHON ...]

Each PYTHON is an interpreter with pyveka installed (and Cython, for --instructions); by
default python3.11 to python3.15, as found on PATH. Each one's tables print as it runs them,
and a last table says for each version whether its targets were met.
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
from pathlib import Path

BENCHMARK = Path(__file__).resolve().parent / "bench_calls.py"
VERSIONS = ("3.11", "3.12", "3.13", "3.14", "3.15")
MET, SMOKE_RUN = "targets met", "smoke run"


def version_of(python: str) -> str | None:
    """The interpreter's version, when pyveka imports there; None otherwise."""
    try:
        done = subprocess.run(
            [python, "-c", "import platform, pyveka.veka_call; print(platform.python_version())"],
            capture_output=True,
            text=True,
        )
    except OSError:
        return None
    return done.stdout.strip() if done.returncode == 0 else None


def run(python: str, mode: list[str], quick: bool) -> str:
    """Runs the benchmark, its output passed on as it comes; what came of it."""
    missed = False
    with subprocess.Popen(
        [python, str(BENCHMARK), *mode], stdout=subprocess.PIPE, text=True, bufsize=1
    ) as benchmark:
        for line in benchmark.stdout or ():
            print(line, end="", flush=True)
            missed = missed or line.rstrip().endswith("MISSED")
    if benchmark.returncode == 0:
        return SMOKE_RUN if quick else MET
    if benchmark.returncode == 1 and missed:
        return "a target MISSED"
    return f"failed (exit status {benchmark.returncode})"


def main() -> int:
    arguments = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    arguments.add_argument("--instructions", action="store_true", help="count instructions")
    arguments.add_argument("--quick", action="store_true", help="smoke runs: no target checked")
    arguments.add_argument("pythons", nargs="*", metavar="PYTHON", help="interpreters to run")
    options = arguments.parse_args()
    found = (shutil.which(f"python{version}") for version in VERSIONS)
    pythons = options.pythons or [python for python in found if python]
    if not pythons:
        raise SystemExit(f"no python{VERSIONS[0]} to python{VERSIONS[-1]} on PATH: name them")
    mode = ["--instructions"] * options.instructions + ["--quick"] * options.quick
    outcomes = []
    for python in pythons:
        version = version_of(python)
        if version is None:
            outcomes.append(
                (python, "?", "not run: no such interpreter, or no pyveka.veka_call there")
            )
            continue
        print(f"\n===== Python {version}: {python}", flush=True)
        outcomes.append((python, version, run(python, mode, options.quick)))
    print("\n===== Per version")
    for python, version, outcome in outcomes:
        print(f"  {version:8} {outcome}  ({python})")
    return 0 if all(outcome in (MET, SMOKE_RUN) for *_, outcome in outcomes) else 1


if __name__ == "__main__":
    sys.exit(main())

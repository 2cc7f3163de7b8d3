"""Allocation failures injected at every point of the import and of each call (allocation_sweep.py):
each attempt ends normally or in MemoryError, and the module is whole afterwards."""

import json
import os
import subprocess
import sys

import pytest
from helpers import NAMES

pytest.importorskip("_testcapi")
# Seen on 3.13.0, in the interpreter's own code: a dict that dict.setdefault leaves corrupt when
# type_ready runs out of memory, and os._path_normpath encoding a NULL result. 3.13.18 passes.
pytestmark = [
    pytest.mark.skipif(
        (3, 13) <= sys.version_info[:3] < (3, 13, 18),
        reason="CPython 3.13 before 3.13.18 crashes under allocation failure by itself",
    ),
    pytest.mark.slow,  # a process of its own per sweep
]

SWEEP = os.path.join(os.path.dirname(__file__), "allocation_sweep.py")


def sweep(*argv, env=None):
    done = subprocess.run(
        [sys.executable, SWEEP, *argv], capture_output=True, text=True, timeout=600, env=env
    )
    assert done.returncode == 0, done.stderr[-3000:]  # a signal or a fatal error ends the process
    return [json.loads(line) for line in done.stdout.splitlines()]


def summary(reports):
    keys = ("points", "memory_errors", "normal")
    return {key: sum(report[key] for report in reports) for key in keys} | {
        "interpreters_own": sum(len(report["interpreters_own"]) for report in reports),
        "other": [other for report in reports for other in report["other"]],
    }


@pytest.fixture(scope="module")
def normal_answers():
    return sweep("answers")[0]["answers"]


@pytest.mark.parametrize("mode", ["from", "at"])
def test_import_ends_in_memory_error_and_starts_afresh(mode, normal_answers):
    reports, start, end = [], 0, None
    if mode == "at":  # every point at which an import that fails from there on has failed
        end = sweep("import", "from", "0")[0]["points"]
    while start is not None and (end is None or start < end):
        report = sweep("import", mode, str(start))[0]
        assert report["answers"] == normal_answers, (
            f"the import that succeeded at {start}+ is not whole"
        )
        reports.append(report)
        start = report["next"]
    totals = summary(reports)
    print(f"import, failing {mode} N: {totals}")
    assert totals["other"] == [] and totals["interpreters_own"] == 0
    assert totals["memory_errors"] > 100 and totals["normal"] == len(reports)


@pytest.mark.parametrize("name", NAMES)
def test_calls_end_in_memory_error_or_normally(name):
    reports = sweep("call", name)
    totals = summary(reports)
    print(f"{name}: {totals}")
    assert totals["other"] == []
    # Only the standard library's Python code, which the real host runs, loses exceptions.
    assert all(
        report["sweep"].endswith(("real host, normal path", "real host, failure path"))
        for report in reports
        if report["interpreters_own"]
    )
    assert len(reports) == 4 and all(report["normal"] >= 2 for report in reports)
    assert totals["memory_errors"] > 0


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers came with 3.12")
def test_functions_of_a_failed_import_outlive_the_next_one():
    """A state left behind by a failed exec step watched a dict; a new import replaces it, the
    dict ends and then the state does. The debug allocator fills what is freed with a pattern,
    so that reading a freed dict crashes."""
    env = dict(os.environ, PYTHONMALLOC="malloc_debug")
    [report] = sweep("left-behind", env=env)
    assert report["answers"] == ["32", "64" if sys.maxsize > 2**32 else "32", "64"]

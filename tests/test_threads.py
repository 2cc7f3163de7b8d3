"""All nine functions called from many threads while the environment and the module's globals
change."""

import os
import platform
import subprocess
import sys
import textwrap

import pytest
from helpers import EXECUTABLES, FUNCTIONS, HOST, REMOTE, VARIABLES, candidate
from thread_storm import UNKNOWN, answer, at, make_tree, storm, unexpected

from pyveka import options

pytestmark = pytest.mark.slow  # storms of threads, one in a fresh interpreter


@pytest.fixture
def unset_option():
    yield
    options.veka_set_option("veka.call", None)


def test_concurrent_calls_answer_for_some_state_and_then_for_the_restored_one(
    vc, tree, tmp_path, monkeypatch, unset_option
):
    root = str(tmp_path)  # the package root, through `tree`
    make_tree(root)
    for variable in VARIABLES.values():
        monkeypatch.setenv(variable, "")  # put back after the test, whatever the threads left
    answers, failures = storm(vc, root)
    assert failures == [] and unexpected(answers, root) == []
    # the flips reached the workers: across them, the solver lookup saw several states
    assert len(set().union(*(seen["veka_call_builtin"] for seen in answers))) > 2

    vars(vc).update(FUNCTIONS, os=os, platform=platform)
    options.veka_set_option("veka.call", None)
    for variable in VARIABLES.values():
        monkeypatch.delenv(variable, raising=False)
    solver, mesher = (
        UNKNOWN if path is None else at(root, path)
        for path in (candidate(lookup, *HOST) for lookup in EXECUTABLES)
    )
    assert {name: answer(name) for name in FUNCTIONS} == {
        "_bits": HOST[1],
        "_system": HOST[0],
        "_machine": HOST[2],
        "_package_root": root,
        "_resolve_path": at(root, REMOTE),
        "veka_call_builtin": solver,
        "veka_call_no_remote": solver,
        "grelvin_call_builtin": mesher,
        "veka_remote_script": at(root, REMOTE),
    }


def test_names_removed_and_bound_again_under_concurrent_calls_in_a_fresh_interpreter(tmp_path):
    done = subprocess.run(
        [
            sys.executable,
            "-c",
            textwrap.dedent(f"""
        import sys
        import pyveka.veka_call as vc
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from thread_storm import make_tree, storm, unexpected
        root, vc.__file__ = {str(tmp_path)!r}, {str(tmp_path / "veka_call.so")!r}
        make_tree(root)
        answers, failures = storm(vc, root, unbinding=True)
        print(failures, unexpected(answers, root, unbinding=True))
    """),
        ],
        capture_output=True,
        text=True,
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, "[] []\n", "")

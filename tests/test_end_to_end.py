"""The installed package, copied beside a real bin/ tree for this host, asked from a fresh interpreter."""

import json
import os
import shutil
import subprocess
import sys

import pytest
from helpers import HOST_ROW, SYSTEM

import pyveka

HOST = HOST_ROW or pytest.skip(f"no bin/ row for {SYSTEM}", allow_module_level=True)
ASK = """import json, pyveka.options, pyveka.veka_call as v
for answer in (lambda: v.__file__, v.grelvin_call_builtin, v.veka_remote_script,
               v.veka_call_builtin, v.veka_call_no_remote, lambda: pyveka.options.get("veka.call")):
    print(json.dumps(answer()), flush=True)"""


@pytest.fixture
def package(tmp_path):  # the copy's root, solver, mesh generator and remote launcher
    root = tmp_path / "site" / "pyveka"
    shutil.copytree(
        os.path.dirname(pyveka.__file__), root, ignore=shutil.ignore_patterns("__pycache__", "bin")
    )
    where = root.joinpath("bin", *HOST[0].split("/"))
    files = [where / HOST[1], where / HOST[2], root / "bin" / "remote" / "veka.remote"]
    for path in files:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.touch()
    return str(root), *map(str, files)


def ask(tmp_path, **overrides):
    env = dict(os.environ, PYTHONPATH=str(tmp_path / "site"), **overrides)
    # -S: the copy imports, not an editable install's source tree (its import hook comes first)
    done = subprocess.run(
        [sys.executable, "-S", "-c", ASK], cwd=tmp_path, env=env, capture_output=True, text=True
    )
    return [json.loads(line) for line in done.stdout.splitlines()], done


def test_host_row_answers(tmp_path, package):
    root, solver, mesher, remote = package
    answers, done = ask(tmp_path)
    assert done.returncode == 0, done.stderr
    assert [os.path.dirname(answers[0])] + answers[1:] == [
        root,
        mesher,
        remote,
        solver,
        solver,
        solver,
    ]


def test_missing_solver_is_an_installation_error(tmp_path, package):
    root, solver, mesher, remote = package
    os.remove(solver)
    answers, done = ask(tmp_path)
    assert answers[1:] == [mesher, remote] and done.returncode != 0
    assert done.stderr.splitlines()[-1] == (
        "FileNotFoundError: VEKA installation error; veka binary not found for this OS/arch."
    )


def test_overrides_are_returned(tmp_path, package):
    made = {
        name: str(tmp_path / name.lower())
        for name in ("VEKA_BIN", "GRELVIN_BIN", "VEKA_REMOTE_BIN")
    }
    for path in made.values():
        open(path, "w").close()
    answers, done = ask(tmp_path, **made)
    assert done.returncode == 0, done.stderr
    assert answers[1:] == [made["GRELVIN_BIN"], made["VEKA_REMOTE_BIN"]] + [made["VEKA_BIN"]] * 3

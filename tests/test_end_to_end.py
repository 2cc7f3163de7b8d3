"""The installed package, copied beside a real bin/ tree for this host, asked from a fresh
interpreter."""

import json
import os
import shutil
import subprocess
import sys

import pytest
from helpers import HOST, NOT_INSTALLED, VARIABLES, candidate, package_copy

pytestmark = pytest.mark.slow  # fresh interpreters
if candidate("veka_call_builtin", *HOST) is None:
    pytest.skip(f"no bin/ row for {HOST[0]}", allow_module_level=True)
ASK = """import json, pyveka.options, pyveka.veka_call as v
for answer in (lambda: v.__file__, v.grelvin_call_builtin, v.veka_remote_script,
               v.veka_call_builtin, v.veka_call_no_remote, lambda: pyveka.options.get("veka.call")):
    print(json.dumps(answer()), flush=True)"""


@pytest.fixture
def package(tmp_path):  # the copy's root, solver, mesh generator and remote launcher
    root = tmp_path / "site" / "pyveka"
    return str(root), *package_copy(root).values()


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
    last = done.stderr.splitlines()[-1]
    assert last == f"FileNotFoundError: {NOT_INSTALLED['veka_call_builtin']}"


def test_overrides_are_returned(tmp_path, package):
    made = {name: str(tmp_path / name.lower()) for name in VARIABLES.values()}
    for path in made.values():
        open(path, "w").close()
    answers, done = ask(tmp_path, **made)
    assert done.returncode == 0, done.stderr
    assert answers[1:] == [made["GRELVIN_BIN"], made["VEKA_REMOTE_BIN"]] + [made["VEKA_BIN"]] * 3


# The host that CI's stage for a root of another architecture says this run is on, as
# "system machine bits" ("linux i686 32" for the i386 root under linux32): the classifiers
# must report it, and the lookups answer that host's files of a real bin/ tree.
EXPECTED_HOST = os.environ.get("PYVEKA_EXPECTED_HOST", "")


@pytest.mark.skipif(not EXPECTED_HOST, reason="PYVEKA_EXPECTED_HOST is not set")
def test_the_host_ci_names_answers_its_row(tmp_path, package):
    system, machine, bits = EXPECTED_HOST.split()
    root, solver, mesher, remote = package
    code = """import json, pyveka.veka_call as v
print(json.dumps([v._system(), v._machine(), v._bits(), v.veka_call_builtin(),
                  v.grelvin_call_builtin(), v.veka_remote_script(), v.veka_call_no_remote()]))"""
    env = dict(os.environ, PYTHONPATH=str(tmp_path / "site"))
    done = subprocess.run(
        [sys.executable, "-S", "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True
    )
    assert done.returncode == 0, done.stderr
    expected = [
        os.path.join(root, *candidate(lookup, system, bits, machine).split("/"))
        for lookup in ("veka_call_builtin", "grelvin_call_builtin", "veka_remote_script")
    ]
    assert json.loads(done.stdout) == [system, machine, bits, *expected, expected[0]]
    assert (solver, mesher, remote) == tuple(expected)  # the tree is this host's


@pytest.mark.skipif(HOST[0] != "linux", reason="copies the interpreter, an ELF file, as the solver")
def test_a_program_of_this_host_is_found_and_run(tmp_path, package):
    """The interpreter's own executable, a binary built for this host, as the solver: the report
    finds it runnable here (its header names this host's architecture, as the word size tells
    it on a 32-bit user space of a 64-bit kernel), and `pyveka run` starts it."""
    _, solver, _, _ = package
    shutil.copy(os.path.realpath(sys.executable), solver)
    env = dict(os.environ, PYTHONPATH=str(tmp_path / "site"))
    command = [sys.executable, "-S", "-m", "pyveka"]
    done = subprocess.run([*command, "--json"], env=env, capture_output=True, text=True)
    report = json.loads(done.stdout)
    assert (done.returncode, report["programs"]["solver"]["candidate"]["state"]) == (0, "found")
    if EXPECTED_HOST:
        assert list(report["host"].values()) == EXPECTED_HOST.split()
    code = "import sys; print(sys.maxsize)"
    done = subprocess.run([*command, "run", "solver", "-c", code], env=env, capture_output=True)
    assert (done.returncode, done.stdout) == (0, f"{sys.maxsize}\n".encode())

"""A wheel built from a copy of the source with a bin/ tree, installed into a fresh venv and run.

The build works without the network: the build back end, CMake and Ninja come from the test
extras, already installed beside pytest.
"""

import os
import shutil
import subprocess
import sys
import venv
import zipfile
from pathlib import Path

import pytest
from helpers import EXECUTABLES, HOST, NO_REMOTE, REMOTE, candidate

pytest.importorskip("scikit_build_core", reason="the build back end comes with the test extras")
SOLVER, MESHER = (candidate(lookup, *HOST) for lookup in EXECUTABLES)
if SOLVER is None or HOST[0] == "windows":
    pytest.skip("the bin/ tree here is made of POSIX shell scripts", allow_module_level=True)

SOURCE = Path(__file__).resolve().parent.parent
SCRIPTS = {  # each stored 0644, under the package root: the build must make them executable
    SOLVER: "#!/bin/sh\nprintf '%s\\n' solver \"$@\"\nexit 7\n",
    MESHER: "#!/bin/sh\nexit 0\n",
}
PROGRAM_LINES = [  # what the build says of this host's programs
    f"solver           {SOLVER}: carried",
    f"mesh generator   {MESHER}: carried",
    f"remote launcher  {REMOTE}: missing",
]


def copy_source(target: Path) -> None:
    """What a build reads, without build outputs or a bin/ tree of the working copy."""
    for name in ("pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE"):
        shutil.copy2(SOURCE / name, target / name)
    shutil.copytree(SOURCE / "cmake", target / "cmake")
    leave_out = shutil.ignore_patterns("__pycache__", "bin", "*.so", "*.pyd")
    shutil.copytree(SOURCE / "src", target / "src", ignore=leave_out)


@pytest.fixture(scope="module")
def built(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, str]:
    """The wheel, built once for this module, and what the build printed."""
    if not (SOURCE / "pyproject.toml").is_file():
        pytest.skip("the tests run without the source tree")
    top = tmp_path_factory.mktemp("wheel")
    (top / "source").mkdir()
    copy_source(top / "source")
    for relative, text in SCRIPTS.items():
        script = top / "source/src/pyveka" / relative
        script.parent.mkdir(parents=True, exist_ok=True)
        script.write_text(text)
        script.chmod(0o644)
    command = [sys.executable, "-m", "pip", "wheel", "-v", "--no-build-isolation", "--no-deps"]
    done = subprocess.run(
        [*command, "--no-index", "-w", str(top / "dist"), str(top / "source")],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,  # where pip -v puts the build's output
        text=True,
    )
    assert done.returncode == 0, done.stdout[-5000:]
    (wheel,) = (top / "dist").glob("pyveka-*.whl")
    return wheel, done.stdout


@pytest.fixture(scope="module")
def installed(built: tuple[Path, str], tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A fresh venv with the wheel installed; its bin directory."""
    home = tmp_path_factory.mktemp("venv")
    venv.create(home, with_pip=False)
    bindir = home / ("Scripts" if os.name == "nt" else "bin")
    python = str(bindir / "python")
    pip = [sys.executable, "-m", "pip", "--python", python, "install", "--no-deps", "--no-index"]
    done = subprocess.run([*pip, str(built[0])], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return bindir


def test_relative_bin_dir_is_refused(tmp_path: Path) -> None:
    """Made absolute, it would be taken against whatever directory CMake runs in."""
    (tmp_path / "source").mkdir()
    (tmp_path / "bintree").mkdir()
    copy_source(tmp_path / "source")
    command = [sys.executable, "-m", "pip", "wheel", "-v", "--no-build-isolation", "--no-deps"]
    done = subprocess.run(
        [*command, "--no-index", "-w", str(tmp_path / "dist"), "."],
        cwd=tmp_path / "source",
        env=dict(os.environ, SKBUILD_CMAKE_DEFINE="PYVEKA_BIN_DIR=../bintree"),
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    said = "PYVEKA_BIN_DIR must name a directory by its absolute path: ../bintree"
    assert done.returncode != 0 and said in done.stdout, done.stdout[-3000:]


def test_wheel_carries_the_tree_executable(built: tuple[Path, str]) -> None:
    wheel, printed = built
    with zipfile.ZipFile(wheel) as archive:
        entries = [
            entry for entry in archive.infolist() if entry.filename.startswith("pyveka/bin/")
        ]
    assert sorted(entry.filename for entry in entries) == sorted(f"pyveka/{x}" for x in SCRIPTS)
    assert {entry.filename: entry.external_attr >> 16 & 0o777 for entry in entries} == {
        entry.filename: 0o755 for entry in entries
    }
    printed_lines = [line.strip(" -") for line in printed.splitlines()]
    assert all(line in printed_lines for line in PROGRAM_LINES), printed


def test_installed_tree_is_executable(installed: Path) -> None:
    site = subprocess.run(
        [
            str(installed / "python"),
            "-c",
            "import pyveka, os\nprint(os.path.dirname(pyveka.__file__))",
        ],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    modes = {x: os.stat(os.path.join(site, x)).st_mode & 0o111 for x in SCRIPTS}
    assert modes == {x: 0o111 for x in SCRIPTS}


def run(installed: Path, *argv: str, **env: str) -> tuple[int, str, str]:
    environ = {k: v for k, v in os.environ.items() if not k.endswith("_BIN")}
    environ.update(env)
    done = subprocess.run(argv, cwd=installed, env=environ, capture_output=True, text=True)
    return done.returncode, done.stdout, done.stderr


def test_run_passes_arguments_and_status_through(installed: Path) -> None:
    assert run(installed, "./pyveka", "run", "solver", "--", "-x", "a b") == (
        7,
        "solver\n-x\na b\n",
        "",
    )


def test_run_without_a_program_says_why_and_how_to_fix_it(installed: Path) -> None:
    code, out, err = run(installed, "./python", "-m", "pyveka", "run", "remote")
    first, diagnosis = err.splitlines()
    assert (code, out, first) == (127, "", f"pyveka: {NO_REMOTE}")
    assert diagnosis.startswith(
        "pyveka: remote launcher: override VEKA_REMOTE_BIN: unset; candidate /"
    )
    assert diagnosis.endswith(
        f"/pyveka/{REMOTE}: missing; fix: set VEKA_REMOTE_BIN to the remote "
        "launcher's path, or install pyveka with a bin/ tree that holds it"
    )


def test_run_of_an_override_without_execute_permission(installed: Path, tmp_path: Path) -> None:
    solver = tmp_path / "veka"
    solver.write_text(SCRIPTS[SOLVER])
    solver.chmod(0o644)
    assert run(installed, "./pyveka", "run", "solver", VEKA_BIN=str(solver)) == (
        126,
        "",
        f"pyveka: solver: override VEKA_BIN='{solver}': used, but not executable (the lookup "
        f"still answers it); fix: chmod +x {solver}\n"
        f"pyveka: cannot run the solver {solver}: it is not executable\n"
        f"pyveka: fix: chmod +x {solver}\n",
    )

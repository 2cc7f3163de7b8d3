"""A wheel built from a copy of the source with a bin/ tree, installed into a fresh venv and run.

The build works without the network: the build back end, CMake and Ninja come from the test
extras, already installed beside pytest.
"""

import os
import shutil
import struct
import subprocess
import sys
import venv
import zipfile
from pathlib import Path

import pytest
from helpers import EXECUTABLES, HOST, NO_REMOTE, REMOTE, candidate

from pyveka.executables import arch_of

pytestmark = pytest.mark.slow  # each builds a wheel, or installs one in a venv
pytest.importorskip("scikit_build_core", reason="the build back end comes with the test extras")
SOLVER, MESHER = (candidate(lookup, *HOST) for lookup in EXECUTABLES)
if SOLVER is None or HOST[0] == "windows":
    pytest.skip("the bin/ tree here is made of POSIX shell scripts", allow_module_level=True)

SOURCE = Path(__file__).resolve().parent.parent
SCRIPTS = {  # each stored 0644, under the package root: the build must make them executable
    SOLVER: "#!/bin/sh\nprintf '%s\\n' solver \"$@\"\nexit 7\n",
    MESHER: "#!/bin/sh\nexit 0\n",
}
# What this platform's wheel leaves out: another platform's tree, and this one's other word size.
OTHER_BITS = candidate(EXECUTABLES[0], HOST[0], "32" if HOST[1] == "64" else "64", HOST[2])
OTHERS = {
    "bin/windows/64bit/veka.exe": b"MZ",
    **({OTHER_BITS: b"#!/bin/sh\n"} if OTHER_BITS != SOLVER else {}),
}
PROGRAM_LINES = [  # what the build says of this host's programs
    f"solver           {SOLVER}: carried: #!/bin/sh script",
    f"mesh generator   {MESHER}: carried: #!/bin/sh script",
    f"remote launcher  {REMOTE}: missing",
]


def copy_source(target: Path) -> None:
    """What a build reads, without build outputs or a bin/ tree of the working copy."""
    for name in ("pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE"):
        shutil.copy2(SOURCE / name, target / name)
    shutil.copytree(SOURCE / "cmake", target / "cmake")
    leave_out = shutil.ignore_patterns("__pycache__", "bin", "*.so", "*.pyd")
    shutil.copytree(SOURCE / "src", target / "src", ignore=leave_out)


def linked_tree(top: Path) -> Path:
    """A bin/ tree reached through links: a link to a directory holding this host's solver as
    a link to a file elsewhere, its mesh generator, and files the wheel leaves out."""
    store = top / "store"
    store.mkdir()
    (store / "solver").write_text(SCRIPTS[SOLVER])
    real = top / "tree"
    for relative, content in {MESHER: SCRIPTS[MESHER].encode(), **OTHERS}.items():
        path = real / relative.removeprefix("bin/")
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)
    (real / SOLVER.removeprefix("bin/")).symlink_to(store / "solver")
    for path in (store / "solver", real / MESHER.removeprefix("bin/")):
        path.chmod(0o644)
    (top / "link").symlink_to(real, target_is_directory=True)
    return top / "link"


def pip_wheel(source: Path, dist: Path, defines: str = "") -> subprocess.CompletedProcess[str]:
    """pip wheel, offline, with CMake definitions "NAME=VALUE;..."; the build's output."""
    command = [sys.executable, "-m", "pip", "wheel", "-v", "--no-build-isolation", "--no-deps"]
    environ = {k: v for k, v in os.environ.items() if not k.startswith("SKBUILD_")}
    if defines:
        environ["SKBUILD_CMAKE_DEFINE"] = defines
    return subprocess.run(
        [*command, "--no-index", "-w", str(dist), "."],
        cwd=source,
        env=environ,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,  # where pip -v puts the build's output
        text=True,
    )


def bin_entries(wheel: Path) -> dict[str, int]:
    """The wheel's pyveka/bin/ files, with their modes."""
    with zipfile.ZipFile(wheel) as archive:
        return {
            entry.filename: entry.external_attr >> 16 & 0o777
            for entry in archive.infolist()
            if entry.filename.startswith("pyveka/bin/")
        }


@pytest.fixture(scope="module")
def built(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, str]:
    """The wheel, built once for this module from src/pyveka/bin as a link to a tree of links,
    and what the build printed."""
    if not (SOURCE / "pyproject.toml").is_file():
        pytest.skip("the tests run without the source tree")
    top = tmp_path_factory.mktemp("wheel")
    (top / "source").mkdir()
    copy_source(top / "source")
    (top / "source/src/pyveka/bin").symlink_to(linked_tree(top), target_is_directory=True)
    done = pip_wheel(top / "source", top / "dist")
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
    done = pip_wheel(tmp_path / "source", tmp_path / "dist", "PYVEKA_BIN_DIR=../bintree")
    said = "PYVEKA_BIN_DIR must name a directory by its absolute path: ../bintree"
    assert done.returncode != 0 and said in done.stdout, done.stdout[-3000:]


def test_whole_tree_from_a_linked_bin_dir_on_request(tmp_path: Path) -> None:
    """PYVEKA_BIN_DIR naming a link, with PYVEKA_BIN_ALL and PYVEKA_BIN_REQUIRE: every file of
    the tree, executable."""
    (tmp_path / "source").mkdir()
    copy_source(tmp_path / "source")
    link = linked_tree(tmp_path)
    defines = f"PYVEKA_BIN_DIR={link};PYVEKA_BIN_ALL=ON;PYVEKA_BIN_REQUIRE=ON"
    done = pip_wheel(tmp_path / "source", tmp_path / "dist", defines)
    assert done.returncode == 0, done.stdout[-5000:]
    (wheel,) = (tmp_path / "dist").glob("pyveka-*.whl")
    files = (*SCRIPTS, *OTHERS)
    assert bin_entries(wheel) == {f"pyveka/{relative}": 0o755 for relative in files}


@pytest.mark.skipif(HOST[0] != "linux", reason="the lookups' Linux row takes ELF files")
def test_foreign_solver_is_refused(tmp_path: Path) -> None:
    """A tree built for another machine than the wheel's: the build stops and says why."""
    wheel_arch = arch_of(HOST[2], HOST[1])
    foreign, machine = ("x86-64", 62) if wheel_arch == "aarch64" else ("aarch64", 183)
    header = b"\x7fELF\x02\x01\x01" + bytes(9) + struct.pack("<HH", 2, machine) + bytes(44)
    tree = tmp_path / "bintree"
    for relative, content in {SOLVER: header, MESHER: SCRIPTS[MESHER].encode()}.items():
        (tree / relative.removeprefix("bin/")).parent.mkdir(parents=True, exist_ok=True)
        (tree / relative.removeprefix("bin/")).write_bytes(content)
    (tmp_path / "source").mkdir()
    copy_source(tmp_path / "source")
    done = pip_wheel(tmp_path / "source", tmp_path / "dist", f"PYVEKA_BIN_DIR={tree}")
    why = f"{foreign} ELF, this wheel is {wheel_arch}"
    printed = [line.strip(" -") for line in done.stdout.splitlines()]
    assert done.returncode != 0, done.stdout[-3000:]
    assert f"solver           {SOLVER}: refused: {why}" in printed, done.stdout[-3000:]
    assert f"{SOLVER}: {why}" in printed and not list((tmp_path / "dist").glob("*.whl"))


def test_wheel_carries_its_part_of_a_linked_tree_executable(built: tuple[Path, str]) -> None:
    """The files the links name, under the links' names; the other platforms' left out."""
    wheel, printed = built
    assert bin_entries(wheel) == {f"pyveka/{relative}": 0o755 for relative in SCRIPTS}
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
    assert diagnosis.startswith("pyveka: remote launcher: override VEKA_REMOTE_BIN: unset; tried /")
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

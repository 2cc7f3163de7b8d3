"""The build's report on the bin/ tree names the candidates the lookups try."""

import importlib.util
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path
from types import ModuleType

import pytest
from helpers import HOST

SCRIPT = Path(__file__).resolve().parent.parent / "cmake" / "bin_tree.py"


@pytest.fixture(scope="module")
def bin_tree() -> ModuleType:
    if not SCRIPT.is_file():
        pytest.skip("the tests run without the source tree")
    spec = importlib.util.spec_from_file_location("bin_tree", SCRIPT)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def named(lookup: Callable[[], str | None]) -> str | None:
    try:
        return lookup()
    except RuntimeError:  # Unknown OS
        return None


@pytest.mark.parametrize(
    "system, machine, bits",
    [
        ("darwin", "arm64", "64"),
        ("darwin", "aarch64", "64"),
        ("darwin", "x86_64", "32"),
        ("linux", "aarch64", "64"),
        ("linux", "i686", "32"),
        ("windows", "amd64", "64"),
        ("win32", "x86", "32"),
        ("cygwin_nt-10.0", "x86_64", "64"),
        ("freebsd", "amd64", "64"),
    ],
)
def test_build_report_names_the_lookups_candidates(bin_tree, vc, host, system, machine, bits):
    host(system, bits, machine)
    vc._resolve_path = lambda *parts: "/".join(parts)  # the candidate, whether it exists or not
    lookups = (vc.veka_call_builtin, vc.grelvin_call_builtin, vc.veka_remote_script)
    expected = dict(zip(bin_tree.PROGRAMS, map(named, lookups), strict=True))
    assert bin_tree.candidates(system, machine, bits) == expected


@pytest.mark.parametrize("in_place", [False, True], ids=["wheel", "in place"])
def test_build_report_says_what_an_empty_directory_ships(bin_tree, tmp_path, in_place):
    """A wheel carries files only: an empty directory, in a candidate's place or elsewhere, is
    not shipped, and the build says so; an in-place build leaves it where it is."""
    solver, _, remote = bin_tree.candidates(*(HOST[i] for i in (0, 2, 1))).values()
    if solver is None:
        pytest.skip(f"no bin/ row for {HOST[0]}")
    for relative in (remote, "mac/32bit/nothing"):
        tmp_path.joinpath(relative.removeprefix("bin/")).mkdir(parents=True)
    (tmp_path / solver.removeprefix("bin/")).parent.mkdir(parents=True)
    (tmp_path / solver.removeprefix("bin/")).touch(mode=0o755)
    options = ["--in-place"] if in_place else []
    done = subprocess.run(
        [sys.executable, str(SCRIPT), *options, str(tmp_path)], capture_output=True, text=True
    )
    shown = [line[19:] for line in done.stdout.splitlines()[2:]]  # past the 16-wide titles
    assert (done.returncode, shown[0], shown[2:]) == (
        0,
        f"{solver}: carried",
        [f"{remote}: not executable: it is a directory"]
        if in_place
        else [
            f"{remote}: empty: not shipped",
            "bin/mac: empty: not shipped",
            "bin/remote: empty: not shipped",
        ],
    )

"""The build's report on the bin/ tree names the candidates the lookups try."""

import importlib.util
from collections.abc import Callable
from pathlib import Path
from types import ModuleType

import pytest

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

"""Shared fixtures: the module with its namespace restored after each test, a
clean environment, a package tree in a temporary directory and a host's programs in it."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from pathlib import Path
from types import ModuleType

import pytest
from helpers import LINUX_HOST, LOOKUPS, VARIABLES, candidate
from hypothesis import settings

import pyveka.veka_call

# Under CI=true Hypothesis loads its "ci" profile, which derandomises: every run would replay
# the same examples. The project's profile keeps the rest of whichever profile is loaded (in CI:
# no database, no deadline, the blob that reproduces a failure printed) and draws new examples
# on each run. Loaded here, before the tests define their settings on top of it; a
# --hypothesis-profile given to pytest still wins.
settings.register_profile("pyveka", parent=settings.default, derandomize=False, max_examples=100)
settings.load_profile("pyveka")


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch: pytest.MonkeyPatch) -> None:
    for name in VARIABLES.values():
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def vc() -> Iterator[ModuleType]:
    """pyveka.veka_call; whatever a test rebinds on it is put back afterwards."""
    namespace = vars(pyveka.veka_call)
    saved = dict(namespace)
    yield pyveka.veka_call
    namespace.clear()
    namespace.update(saved)


@pytest.fixture
def tree(vc: ModuleType, tmp_path: Path) -> Callable[..., str]:
    """Makes tmp_path the package root; tree("bin/x/y") creates that file and
    returns its path as the lookups form it."""
    vc.__file__ = str(tmp_path / "veka_call.so")

    def make(relative: str, *, directory: bool = False) -> str:
        target = tmp_path.joinpath(*relative.split("/"))
        if directory:
            target.mkdir(parents=True, exist_ok=True)
        else:
            target.parent.mkdir(parents=True, exist_ok=True)
            target.touch()
        return os.path.join(str(tmp_path), *relative.split("/"))

    return make


@pytest.fixture
def host(vc: ModuleType) -> Callable[[str, str, str], None]:
    """host("linux", "64", "x86_64") rebinds the three classifiers."""

    def classify(system: str, bits: str, machine: str) -> None:
        vc._system = lambda: system
        vc._bits = lambda: bits
        vc._machine = lambda: machine

    return classify


@pytest.fixture
def installed(tree: Callable[..., str], host: Callable[[str, str, str], None]) -> dict[str, str]:
    """A 64-bit Linux host whose package root holds its solver, mesh generator and remote
    launcher; their paths by lookup."""
    host(*LINUX_HOST)
    return {lookup: tree(candidate(lookup, *LINUX_HOST)) for lookup in LOOKUPS}

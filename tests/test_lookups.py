"""The solver, mesh-generator and remote launcher lookups: host rows, call order, overrides."""

import os
from pathlib import Path
from types import SimpleNamespace as NS

import pytest
from helpers import (
    CANDIDATES,
    EXECUTABLES,
    LINUX_HOST,
    LOOKUPS,
    UNKNOWN_OS,
    VARIABLES,
    Text,
    candidate,
    check,
    not_found,
)

HOSTS = [  # OS name, word-size token, machine name, as the classifiers answer them
    ("darwin", "64", "arm64"),
    ("darwin", "32", "aarch64"),
    ("darwin", "64", "x86_64"),
    ("darwin", "32", "x86_64"),
    ("darwin", "64", "ARM64"),
    ("linux", "64", "x86_64"),
    ("linux", "64", "aarch64"),
    ("linux", "32", "i686"),
    ("linux", 64, "x86_64"),
    ("windows", "64", "amd64"),
    ("windows", "32", "x86"),
    ("win32", "64", "amd64"),
    ("win32", "32", "x86"),
]


@pytest.fixture
def calls(vc):
    """Records, in order, the classifiers called and the components given to _resolve_path."""
    log, resolve = [], vc._resolve_path

    def classifier(name, answer):
        def classified():
            log.append(name)
            return answer

        return classified

    def classify(system=LINUX_HOST[0], bits=LINUX_HOST[1], machine=LINUX_HOST[2]):
        for name, answer in (("_system", system), ("_bits", bits), ("_machine", machine)):
            setattr(vc, name, classifier(name, answer))

    def resolve_path(*parts):
        log.append(parts)
        return resolve(*parts)

    vc._resolve_path = resolve_path
    classify()
    return log, classify


@pytest.mark.parametrize("lookup", EXECUTABLES)
@pytest.mark.parametrize("classified", HOSTS, ids=lambda host: "-".join(map(str, host)))
def test_one_candidate_per_host_and_no_fallback(vc, tree, calls, lookup, classified):
    log, classify = calls
    classify(*classified)
    wanted = candidate(lookup, *classified)
    other = next(name for name in EXECUTABLES if name != lookup)
    for made in set(CANDIDATES) - {wanted}:  # every other host's files, and the remote launcher
        tree(made)
    check(getattr(vc, lookup), not_found(lookup))
    assert getattr(vc, other)() == tree(candidate(other, *classified))
    expected = tree(wanted)
    log.clear()
    assert getattr(vc, lookup)() == expected
    assert log == ["_system", "_bits", "_machine", tuple(wanted.split("/"))]


@pytest.mark.parametrize("lookup", EXECUTABLES)
@pytest.mark.parametrize("system", ["cygwin", "freebsd", "Linux", ""])
def test_unknown_os_after_classifying_and_before_any_resolution(vc, tree, calls, lookup, system):
    log, classify = calls
    classify(system)
    tree(candidate(lookup, *LINUX_HOST))
    check(getattr(vc, lookup), RuntimeError(UNKNOWN_OS))
    assert log == ["_system", "_bits", "_machine"]


@pytest.mark.parametrize("lookup", LOOKUPS)
@pytest.mark.parametrize("kind", ["unset", "empty", "missing", "file", "directory", "relative"])
def test_override_read_and_tested_through_os(vc, tree, calls, monkeypatch, tmp_path, lookup, kind):
    log, classify = calls
    gets, tests = [], []

    def get(*args):
        gets.append(args)
        return os.environ.get(*args)

    def exists(path):
        tests.append(path)
        return os.path.exists(path)

    vc.os = NS(
        environ=NS(get=get),
        path=NS(join=os.path.join, abspath=os.path.abspath, dirname=os.path.dirname, exists=exists),
    )
    installed, program = tree(candidate(lookup, *LINUX_HOST)), tree("over/program")
    monkeypatch.chdir(tmp_path)
    value = {
        "unset": None,
        "empty": "",
        "missing": program + ".absent",
        "file": program,
        "directory": os.path.dirname(program),
        "relative": os.path.join("over", "program"),
    }[kind]
    if value is not None:
        monkeypatch.setenv(VARIABLES[lookup], value)
    wins = kind in ("file", "directory", "relative")
    if wins:
        classify("freebsd")  # returned before the host is classified, so even on an unknown OS
        assert (getattr(vc, lookup)(), log, tests) == (value, [], [value])
    else:
        assert getattr(vc, lookup)() == installed
        assert tests == ([value] if kind == "missing" else []) + [installed]
        os.remove(installed)  # then nothing is installed: the ordinary not-found answer
        check(getattr(vc, lookup), not_found(lookup))
    # its own variable only, once a call
    assert gets == [(VARIABLES[lookup],)] * (1 if wins else 2)


@pytest.mark.parametrize("lookup", LOOKUPS)
@pytest.mark.parametrize("resolved", [Text("/opt/veka"), Path("/opt/veka"), ""])
def test_resolved_value_must_be_exact_text(vc, host, lookup, resolved):
    host(*LINUX_HOST)
    vc._resolve_path = lambda *parts: resolved
    # an empty answer is "not found" for the executables but passes through the remote lookup
    if resolved == "":
        expected = not_found(lookup) or ""
    else:
        expected = TypeError(f"Expected str, got {type(resolved).__name__}")
    check(getattr(vc, lookup), expected)

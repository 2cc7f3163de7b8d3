"""The solver, mesh-generator and remote launcher lookups: host rows, call order, overrides."""

import os
from pathlib import Path
from types import SimpleNamespace as NS

import pytest
from helpers import check

# lookup -> variable, files on mac / linux / windows, answer when nothing is installed
LOOKUPS = {
    "veka_call_builtin": (
        "VEKA_BIN",
        ("veka.run", "veka.mkl.run", "veka.exe"),
        FileNotFoundError("VEKA installation error; veka binary not found for this OS/arch."),
    ),
    "grelvin_call_builtin": (
        "GRELVIN_BIN",
        ("grelvin.run", "grelvin.run", "grelvin.exe"),
        FileNotFoundError("VEKA installation error; grelvin binary not found for this OS/arch."),
    ),
    "veka_remote_script": ("VEKA_REMOTE_BIN", None, None),
}
EXECUTABLES = ["veka_call_builtin", "grelvin_call_builtin"]
ROWS = [  # (OS name, word-size token, machine name), candidate; {0} {1} {2}: mac, linux, windows file
    (("darwin", "64", "arm64"), "bin/mac.arm64/{0}"),
    (("darwin", "32", "aarch64"), "bin/mac.arm64/{0}"),
    (("darwin", "64", "x86_64"), "bin/mac/64bit/{0}"),
    (("darwin", "32", "x86_64"), "bin/mac/32bit/{0}"),
    (("darwin", "64", "ARM64"), "bin/mac/64bit/{0}"),
    (("linux", "64", "x86_64"), "bin/linux/64bit/{1}"),
    (("linux", "64", "aarch64"), "bin/linux/64bit/{1}"),
    (("linux", "32", "i686"), "bin/linux/32bit/{1}"),
    (("linux", 64, "x86_64"), "bin/linux/64bit/{1}"),
    (("windows", "64", "amd64"), "bin/windows/64bit/{2}"),
    (("windows", "32", "x86"), "bin/windows/32bit/{2}"),
    (("win32", "64", "amd64"), "bin/windows/64bit/{2}"),
    (("win32", "32", "x86"), "bin/windows/32bit/{2}"),
]


def default(lookup, row="bin/linux/64bit/{1}"):
    files = LOOKUPS[lookup][1]
    return row.format(*files) if files else "bin/remote/veka.remote"


@pytest.fixture
def calls(vc):
    """Records, in order, the classifiers called and the components given to _resolve_path."""
    log, resolve = [], vc._resolve_path

    def classify(system="linux", bits="64", machine="x86_64"):
        for name, answer in (("_system", system), ("_bits", bits), ("_machine", machine)):
            setattr(vc, name, lambda name=name, answer=answer: log.append(name) or answer)

    vc._resolve_path = lambda *parts: log.append(parts) or resolve(*parts)
    classify()
    return log, classify


@pytest.mark.parametrize("lookup", EXECUTABLES)
@pytest.mark.parametrize("classified, row", ROWS)
def test_one_candidate_per_host_and_no_fallback(vc, tree, calls, lookup, classified, row):
    log, classify = calls
    classify(*classified)
    other = next(name for name in EXECUTABLES if name != lookup)
    for made in {default(name, any_row) for name in EXECUTABLES for _, any_row in ROWS} - {
        default(lookup, row)
    }:
        tree(made)
    check(getattr(vc, lookup), LOOKUPS[lookup][2])
    assert getattr(vc, other)() == tree(default(other, row))
    expected = tree(default(lookup, row))
    log.clear()
    assert getattr(vc, lookup)() == expected
    assert log == ["_system", "_bits", "_machine", tuple(default(lookup, row).split("/"))]


@pytest.mark.parametrize("lookup", EXECUTABLES)
@pytest.mark.parametrize("system", ["cygwin", "freebsd", "Linux", ""])
def test_unknown_os_after_classifying_and_before_any_resolution(vc, tree, calls, lookup, system):
    log, classify = calls
    classify(system)
    tree(default(lookup))
    check(getattr(vc, lookup), RuntimeError("Unknown OS"))
    assert log == ["_system", "_bits", "_machine"]


@pytest.mark.parametrize("lookup", LOOKUPS)
@pytest.mark.parametrize("kind", ["unset", "empty", "missing", "file", "directory", "relative"])
def test_override_read_and_tested_through_os(vc, tree, calls, monkeypatch, tmp_path, lookup, kind):
    log, classify = calls
    gets, tests = [], []
    vc.os = NS(
        environ=NS(get=lambda *args: gets.append(args) or os.environ.get(*args)),
        path=NS(
            join=os.path.join,
            abspath=os.path.abspath,
            dirname=os.path.dirname,
            exists=lambda path: tests.append(path) or os.path.exists(path),
        ),
    )
    candidate, program = tree(default(lookup)), tree("over/program")
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
        monkeypatch.setenv(LOOKUPS[lookup][0], value)
    wins = kind in ("file", "directory", "relative")
    if wins:
        classify("freebsd")  # returned before the host is classified, so even on an unknown OS
        assert (getattr(vc, lookup)(), log, tests) == (value, [], [value])
    else:
        assert getattr(vc, lookup)() == candidate
        assert tests == ([value] if kind == "missing" else []) + [candidate]
        os.remove(candidate)  # then nothing is installed: the ordinary not-found answer
        check(getattr(vc, lookup), LOOKUPS[lookup][2])
    assert gets == [(LOOKUPS[lookup][0],)] * (
        1 if wins else 2
    )  # its own variable only, once a call


@pytest.mark.parametrize("lookup", LOOKUPS)
@pytest.mark.parametrize("resolved", [type("Text", (str,), {})("/opt/veka"), Path("/opt/veka"), ""])
def test_resolved_value_must_be_exact_text(vc, host, lookup, resolved):
    host("linux", "64", "x86_64")
    vc._resolve_path = lambda *parts: resolved
    # an empty answer is "not found" for the executables but passes through the remote lookup
    expected = (
        (LOOKUPS[lookup][2] or "")
        if resolved == ""
        else TypeError(f"Expected str, got {type(resolved).__name__}")
    )
    check(getattr(vc, lookup), expected)

"""The package's table of programs (pyveka.programs) is the one every other copy of it must
agree with: the module's own lookups, on every host; the plain Python program the benchmark
compares with; the module's docstring; and the README's tables."""

import ast
import importlib.util
import os
import re
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest
from helpers import outcome
from module_stub import MODULE_DOC, NAMES

from pyveka import programs
from pyveka.programs import BY_KEY, PROGRAMS, REMOTE_PARTS, UNKNOWN_OS

SOURCE = Path(__file__).resolve().parent.parent  # absent where the tests run from a copy
PLAIN = SOURCE / "benchmarks" / "plain_veka_call.py"
SCENARIOS = SOURCE / "benchmarks" / "scenarios.py"
README = SOURCE / "README.md"
WORD = "<32|64>"  # the word size as the documents write it: bin/linux/<32|64>bit/...
SOLVER, MESHER = BY_KEY["solver"], BY_KEY["mesher"]


def written(parts):
    return "/".join(parts)


def document(path):
    if not path.exists():
        pytest.skip(f"{path.name} is not beside the tests")
    return path.read_text(encoding="utf-8")


def load(path):
    """The Python file at `path`, loaded afresh as a module of its own."""
    document(path)
    found = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(found)
    sys.modules[found.name] = module  # where dataclasses look a class's module up
    try:
        found.loader.exec_module(module)
    finally:
        del sys.modules[found.name]
    return module


def plain_python():
    """benchmarks/plain_veka_call.py: the nine functions as a user would write them in
    Python."""
    return load(PLAIN)


HOSTS = [  # as platform reports them: the classifiers lower-case the names
    ("Darwin", "arm64"),
    ("Darwin", "aarch64"),
    ("Darwin", "ARM64"),
    ("Darwin", "x86_64"),
    ("Linux", "x86_64"),
    ("Linux", "i686"),
    ("Windows", "AMD64"),
    ("win32", "x86"),
    ("CYGWIN_NT-10.0", "x86_64"),
    ("FreeBSD", "amd64"),
    ("", ""),
]


@pytest.mark.parametrize("lookups", ["module", "plain Python"])
@pytest.mark.parametrize("maxsize", [2**63 - 1, 2**31 - 1], ids=["64-bit", "32-bit"])
@pytest.mark.parametrize("system, machine", HOSTS)
def test_table_names_what_the_lookups_try(
    vc, tmp_path, monkeypatch, system, machine, maxsize, lookups
):
    if lookups == "plain Python":
        vc = plain_python()
    vc.__file__ = str(tmp_path / "veka_call.so")
    vc.platform = SimpleNamespace(system=lambda: system, machine=lambda: machine)
    monkeypatch.setattr(programs, "platform", vc.platform)
    monkeypatch.setattr(programs, "sys", SimpleNamespace(maxsize=maxsize))
    every_path_exists = SimpleNamespace(
        join=os.path.join, dirname=os.path.dirname, abspath=os.path.abspath, exists=bool
    )
    vc.os = SimpleNamespace(
        environ={}, path=every_path_exists, sys=SimpleNamespace(maxsize=maxsize)
    )
    host = (vc._system(), vc._machine(), vc._bits())
    assert programs.this_host() == host  # the build's and the tests' classification
    for program in PROGRAMS:
        parts = program.candidate(*host)
        got = outcome(getattr(vc, program.function))
        if parts is None:
            assert f"{got[0].__name__}: {got[1]}" == UNKNOWN_OS
        else:
            assert got == os.path.join(str(tmp_path), *parts)
    # each lookup reads its own variable, and no other program's
    vc.os.environ = {program.variable: program.key for program in PROGRAMS}
    assert [getattr(vc, program.function)() for program in PROGRAMS] == [
        program.key for program in PROGRAMS
    ]
    # with no file anywhere, each says what the table says it does
    vc.os.environ = {}
    every_path_exists.exists = lambda path: False
    for program in PROGRAMS:
        got = outcome(getattr(vc, program.function))
        if program.candidate(*host) is None:
            assert f"{got[0].__name__}: {got[1]}" == UNKNOWN_OS
        elif program.not_installed is None:
            assert got is None
        else:
            assert got == (FileNotFoundError, program.not_installed)


def test_plain_program_stays_plain():
    """The plain program writes the table out as a user would: it reads none of the package
    but the option store, which the module's veka_call_no_remote reads too. Held to the table
    by what it answers above, not by importing it, so the benchmark compares like with like."""
    tree = ast.parse(document(PLAIN), str(PLAIN))
    imported = {
        (node.module if isinstance(node, ast.ImportFrom) else alias.name)
        for node in ast.walk(tree)
        if isinstance(node, (ast.Import, ast.ImportFrom))
        for alias in node.names
    }
    assert imported == {"os", "platform", "pyveka.options"}


def test_benchmark_copies_name_the_nine_functions():
    """The plain program defines the nine functions, and the benchmark measures each one and
    its floor, in the order the module defines them."""
    defined = [node.name for node in ast.parse(document(PLAIN)).body if hasattr(node, "name")]
    scenarios = load(SCENARIOS)
    assert defined == list(scenarios.FUNCTIONS) == list(scenarios.FLOORS) == list(NAMES)


# A host of each platform directory, by the label the module's docstring gives it.
DOCSTRING_HOSTS = {
    "mac (x86_64)": ("darwin", "x86_64"),
    "mac.arm64": ("darwin", "arm64"),
    "linux": ("linux", "x86_64"),
    "windows": ("windows", "amd64"),
}


def test_module_docstring_shows_the_table():
    rows = re.findall(r"^- ([^:]+): +(bin/\S+)$", MODULE_DOC, re.MULTILINE)
    assert [label for label, _ in rows] == list(DOCSTRING_HOSTS)
    for label, path in rows:
        assert path == written(SOLVER.candidate(*DOCSTRING_HOSTS[label], WORD))
    # "Same for grelvin: .../grelvin.run (or .exe on Windows)"
    same = re.search(r"^Same for (\w+): \.\.\./(\S+) \(or (\S+) on Windows\)$", MODULE_DOC, re.M)
    name, file, windows_suffix = same.groups()
    for host in DOCSTRING_HOSTS.values():
        solver, mesher = SOLVER.candidate(*host, WORD), MESHER.candidate(*host, WORD)
        stem = os.path.splitext(file)[0]
        expected = stem + windows_suffix if host[0] == "windows" else file
        assert (mesher[:-1], mesher[-1], stem) == (solver[:-1], expected, name)
    overrides = re.findall(r"^- (\w+) +\(path to (.+)\)$", MODULE_DOC, re.MULTILINE)
    assert [variable for variable, _ in overrides] == [program.variable for program in PROGRAMS]
    assert overrides[-1][1] == written(REMOTE_PARTS)


# Hosts of each row of the README's bin/ table, by the row's first cell.
README_HOSTS = {
    "`darwin`, `arm64` or `aarch64`": [("darwin", "arm64"), ("darwin", "aarch64")],
    "`darwin`, any other machine": [("darwin", "x86_64"), ("darwin", "i386")],
    "`linux`, any machine": [("linux", "x86_64"), ("linux", "aarch64")],
    "any OS name starting with `win`": [("windows", "amd64"), ("win32", "x86")],
    "anything else": [("plan9", "x86_64"), ("freebsd", "amd64")],
}


def readme_table(text, heading):
    """The rows of the first table after `heading`, as lists of cells."""
    section = text.split(f"\n{heading}\n", 1)[1]
    table = next(block for block in section.split("\n\n") if block.strip().startswith("|"))
    lines = table.strip().splitlines()
    # a code span of the table holds "|" in <32|64>
    cells = [line.replace(WORD, "<WORD>").strip("|").split("|") for line in lines[2:]]
    return [[cell.strip().replace("<WORD>", WORD) for cell in row] for row in cells]


def test_readme_tables_show_the_table():
    text = document(README)
    rows = readme_table(text, "## The `bin/` tree")
    assert [row[0] for row in rows] == list(README_HOSTS)
    for host_cell, solver, mesher in rows:
        for host in README_HOSTS[host_cell]:
            shown = [
                f"`{UNKNOWN_OS if parts is None else written(parts)}`"
                for parts in (SOLVER.candidate(*host, WORD), MESHER.candidate(*host, WORD))
            ]
            assert [solver, mesher] == shown, host
    joined = " ".join(text.split())
    assert f"launcher is `{written(REMOTE_PARTS)}` on every host" in joined
    # the solver's installation error in full, the mesh generator's by the words that differ
    mesher_words = MESHER.not_installed.split("; ")[1].removesuffix(" for this OS/arch.")
    shown = f"`{SOLVER.not_installed}` (or `... {mesher_words} ...` for the {MESHER.title})"
    assert f"raises `FileNotFoundError` with {shown}" in joined
    overrides = readme_table(text, "## Environment overrides")
    assert overrides == [
        [f"`{program.variable}`", f"the {program.title} (`{program.function}`)"]
        for program in PROGRAMS
    ]


def test_readme_hosts_table_shows_each_hosts_files():
    """Each host the README says the package has run on (or will), with the files its
    classifiers' answers choose."""
    rows = readme_table(document(README), "## Hosts")
    assert len(rows) >= 4
    for row in rows:
        system, machine, bits, *files = (re.search(r"`([^`]*)`", cell)[1] for cell in row[2:])
        assert files == [written(program.candidate(system, machine, bits)) for program in PROGRAMS]

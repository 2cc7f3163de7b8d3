"""The package's table of programs names what the module's own lookups try, on every host."""

import os
from types import SimpleNamespace

import pytest
from helpers import outcome

from pyveka.programs import PROGRAMS, UNKNOWN_OS

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


@pytest.mark.parametrize("maxsize", [2**63 - 1, 2**31 - 1], ids=["64-bit", "32-bit"])
@pytest.mark.parametrize("system, machine", HOSTS)
def test_table_names_what_the_lookups_try(vc, tmp_path, system, machine, maxsize):
    vc.__file__ = str(tmp_path / "veka_call.so")
    vc.platform = SimpleNamespace(system=lambda: system, machine=lambda: machine)
    every_path_exists = SimpleNamespace(
        join=os.path.join, dirname=os.path.dirname, abspath=os.path.abspath, exists=bool
    )
    vc.os = SimpleNamespace(
        environ={}, path=every_path_exists, sys=SimpleNamespace(maxsize=maxsize)
    )
    host = (vc._system(), vc._machine(), vc._bits())
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

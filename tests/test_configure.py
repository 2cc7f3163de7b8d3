"""The build refuses, at configure time and in one line, a CPython it has not been ported to."""

import glob
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

cmake = pytest.importorskip("cmake")  # the test extras' CMake
CMAKE = os.path.join(cmake.CMAKE_BIN_DIR, "cmake")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUPPORTED = re.search(
    r"set\(pyveka_python_versions ([\d. ]+)\)", Path(ROOT, "CMakeLists.txt").read_text()
).group(1)


def unsupported_interpreters():
    """CPython interpreters at hand (on PATH or pyenv's) of a version the build refuses."""
    supported = SUPPORTED.split()
    found = {}
    candidates = glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3.*[0-9]"))
    candidates += [shutil.which(f"python3.{minor}") or "" for minor in range(6, 11)]
    for path in filter(None, candidates):
        if "shims" in path:  # pyenv's stand-ins run only the versions made active
            continue
        version = re.search(r"python(3\.\d+)$", path)
        if version and version.group(1) not in supported:
            found.setdefault(version.group(1), path)
    return sorted(found.items())


@pytest.mark.skipif(not unsupported_interpreters(), reason="no CPython older than 3.11 at hand")
@pytest.mark.parametrize("version, interpreter", unsupported_interpreters()[:1])
def test_an_unported_interpreter_is_refused_before_any_compile(version, interpreter, tmp_path):
    done = subprocess.run(
        [CMAKE, "-S", ROOT, "-B", str(tmp_path), f"-DPython_EXECUTABLE={interpreter}"],
        capture_output=True,
        text=True,
    )
    assert done.returncode != 0
    first, last = SUPPORTED.split()[0], SUPPORTED.split()[-1]
    message = " ".join(done.stderr.split())  # CMake wraps long messages
    assert re.search(
        rf"pyveka supports CPython {first} to {last}, not {re.escape(version)}\.\d+$", message
    )
    assert not glob.glob(str(tmp_path / "**" / "*.o"), recursive=True)
    assert "Building CXX" not in done.stdout

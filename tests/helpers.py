"""Assertions and host facts shared by several test files."""

import platform
import re
import sys

import pytest

SYSTEM, MACHINE = platform.system().lower(), platform.machine().lower()
WIDTH = "64bit" if sys.maxsize > 2**32 else "32bit"
# This host's row of the bin/ tree: the directory under bin/, the solver, the mesh generator
HOST_ROW = {
    "darwin": (
        "mac.arm64" if MACHINE in ("arm64", "aarch64") else "mac/" + WIDTH,
        "veka.run",
        "grelvin.run",
    ),
    "linux": ("linux/" + WIDTH, "veka.mkl.run", "grelvin.run"),
    "windows": ("windows/" + WIDTH, "veka.exe", "grelvin.exe"),
}.get(SYSTEM)


def check(call, expected):
    """call() answers `expected`, or raises it when it is an exception."""
    if isinstance(expected, Exception):
        with pytest.raises(type(expected), match=f"^{re.escape(str(expected))}$"):
            call()
    else:
        assert call() == expected

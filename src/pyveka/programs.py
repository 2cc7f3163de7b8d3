"""The programs the package ships, and the one file each one's lookup tries on a host.

The command line, the build's account of the bin/ tree (``cmake/bin_tree.py``, which loads
this file by its path before the module is built) and the tests read the table here; the
lookups in :mod:`pyveka.veka_call` carry the same table in C++, and a test holds the two
equal on every host row. So this file imports nothing of the package.
"""

from __future__ import annotations

import platform
import sys
from dataclasses import dataclass

# What the executables' lookups raise on an OS they have no row for, as the report shows it.
UNKNOWN_OS = "RuntimeError: Unknown OS"
# The remote launcher's file, the same on every host, known OS or not.
REMOTE_PARTS = ("bin", "remote", "veka.remote")


def this_host() -> tuple[str, str, str]:
    """This interpreter's host as the lookups classify it, in the order `Program.candidate`
    takes it: the OS name and the machine name that `platform` reports, lower-cased, and the
    word size, "64" when ``sys.maxsize > 2**32``, else "32"."""
    bits = "64" if sys.maxsize > 2**32 else "32"
    return platform.system().lower(), platform.machine().lower(), bits


@dataclass(frozen=True)
class Program:
    key: str
    """As the command line names it: solver, mesher or remote."""
    title: str
    variable: str
    """The environment variable that overrides the lookup."""
    function: str
    """The lookup's name in pyveka.veka_call."""
    files: tuple[str, str, str] | None
    """Its file in the mac, linux and windows directories; None when it is REMOTE_PARTS."""
    not_installed: str | None
    """The text of the FileNotFoundError its lookup raises when the file is missing; None for
    the remote launcher, whose lookup answers None."""

    def candidate(self, system: str, machine: str, bits: str) -> tuple[str, ...] | None:
        """The path components, below the package root, of the one file the lookup tries on
        a host as the classifiers report it (lower-cased OS and machine names, "64" or "32");
        None on an OS the lookups do not know."""
        if self.files is None:
            return REMOTE_PARTS
        mac, linux, windows = self.files
        if system == "darwin":
            if machine in ("arm64", "aarch64"):
                return ("bin", "mac.arm64", mac)
            return ("bin", "mac", f"{bits}bit", mac)
        if system == "linux":
            return ("bin", "linux", f"{bits}bit", linux)
        if system.startswith("win"):
            return ("bin", "windows", f"{bits}bit", windows)
        return None


PROGRAMS = (
    Program(
        "solver",
        "solver",
        "VEKA_BIN",
        "veka_call_builtin",
        ("veka.run", "veka.mkl.run", "veka.exe"),
        "VEKA installation error; veka binary not found for this OS/arch.",
    ),
    Program(
        "mesher",
        "mesh generator",
        "GRELVIN_BIN",
        "grelvin_call_builtin",
        ("grelvin.run", "grelvin.run", "grelvin.exe"),
        "VEKA installation error; grelvin binary not found for this OS/arch.",
    ),
    Program("remote", "remote launcher", "VEKA_REMOTE_BIN", "veka_remote_script", None, None),
)
BY_KEY = {program.key: program for program in PROGRAMS}

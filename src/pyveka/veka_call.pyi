"""
Python equivalents of R-VEKA's veka.call helpers.

We try to locate binaries relative to this package directory, with the same
layout used in R-VEKA:

- mac (x86_64):   bin/mac/<32|64>bit/veka.run
- mac.arm64:      bin/mac.arm64/veka.run
- linux:          bin/linux/<32|64>bit/veka.mkl.run
- windows:        bin/windows/<32|64>bit/veka.exe

Same for grelvin: .../grelvin.run (or .exe on Windows)

Environment overrides:
- VEKA_BIN        (path to veka.* binary)
- GRELVIN_BIN     (path to grelvin.* binary)
- VEKA_REMOTE_BIN (path to bin/remote/veka.remote)
"""

import os as os
import platform as platform
from typing import Optional as Optional

__test__: dict[str, str]

def _bits() -> str: ...
def _system() -> str: ...
def _machine() -> str: ...
def _package_root() -> str: ...
def _resolve_path(*parts: str) -> Optional[str]: ...
def veka_call_builtin() -> str:
    """Return the built-in path to the veka executable for this OS/arch."""

def veka_call_no_remote() -> str:
    """
    Return the current veka.call (if set), except if it is 'remote'/'veka.remote',
    then return the built-in path instead.
    (This is wired into options.get to avoid recursion.)
    """

def grelvin_call_builtin() -> str:
    """Return the built-in path to the grelvin executable for this OS/arch."""

def veka_remote_script() -> Optional[str]:
    """
    Return the path to the remote launcher script if present, else None.
    """

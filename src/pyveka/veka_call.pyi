"""Which file to run on this host: the solver, the mesh generator, the remote launcher."""

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
    """Return the current veka.call (if set), except if it is 'remote'/'veka.remote',
    then return the built-in path instead."""

def grelvin_call_builtin() -> str:
    """Return the built-in path to the grelvin executable for this OS/arch."""

def veka_remote_script() -> Optional[str]:
    """Return the path to the remote launcher script if present, else None."""

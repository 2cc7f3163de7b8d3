"""What several test files share: the module's function names, the bin/ tree each host gets,
the lookups' error texts, stand-ins for what the functions meet, and assertions."""

import gc
import inspect
import os
import re
import shutil
import subprocess
import sys
import textwrap
import traceback
from pathlib import Path
from types import SimpleNamespace

import module_stub
import pytest

import pyveka
import pyveka.veka_call
from pyveka import programs
from pyveka.programs import PROGRAMS, REMOTE_PARTS, this_host

# ---- The module ------------------------------------------------------------------------------

# Its functions, in the order it defines them, as its stub declares them.
NAMES = module_stub.NAMES
# The function objects as imported, whatever a test later rebinds on the module.
FUNCTIONS = {name: getattr(pyveka.veka_call, name) for name in NAMES}

# Calls every function refuses, and the TypeError text each gets.
REFUSALS = [
    (name, args, kwargs, text.format(name))
    for name in NAMES
    if name != "_resolve_path"
    for args, kwargs, text in [
        ((1,), {}, "{}() takes no arguments (1 given)"),
        ((1, "b"), {}, "{}() takes no arguments (2 given)"),
        ((), {"x": 1}, "{}() takes no keyword arguments"),
        ((1,), {"x": 1}, "{}() takes no keyword arguments"),
        ((), {1: 2}, "keywords must be strings"),
    ]
] + [
    (
        "_resolve_path",
        ("bin",),
        {"sep": "/"},
        "_resolve_path() got an unexpected keyword argument 'sep'",
    ),
    (
        "_resolve_path",
        (),
        {"zeta": 1, "alpha": 2},
        "_resolve_path() got an unexpected keyword argument 'zeta'",
    ),
    ("_resolve_path", ("bin",), {1: 2}, "keywords must be strings"),
]


def shared_state():
    """The object through which the module's functions share their constants."""
    return next(
        o for o in gc.get_referents(FUNCTIONS["_bits"]) if type(o).__name__ == "shared_state"
    )


# ---- The bin/ tree ---------------------------------------------------------------------------

# The lookups of the solver, the mesh generator and the remote launcher, each with the
# environment variable that overrides it, from the package's table of programs.
PROGRAM_OF = {program.function: program for program in PROGRAMS}
VARIABLES = {lookup: program.variable for lookup, program in PROGRAM_OF.items()}
LOOKUPS = tuple(VARIABLES)
EXECUTABLES = LOOKUPS[:2]  # a file of their own on each host
# The file of each executable in the mac, linux and windows directories.
FILES = {lookup: PROGRAM_OF[lookup].files for lookup in EXECUTABLES}
REMOTE = "/".join(REMOTE_PARTS)  # the same on every host
# What the executables' lookups raise: RuntimeError on an OS without a row, FileNotFoundError
# when the file is missing.
UNKNOWN_OS = programs.UNKNOWN_OS.removeprefix("RuntimeError: ")
NOT_INSTALLED = {lookup: PROGRAM_OF[lookup].not_installed for lookup in EXECUTABLES}
NO_REMOTE = "no remote launcher script found"  # what pyveka says when the launcher is missing

# This host as the classifiers report it: OS name, word-size token, machine name (the order
# of the lookups' calls), from the package's one classification in Python.
_system, _machine, _bits = this_host()
HOST = (_system, _bits, _machine)
LINUX_HOST = ("linux", "64", "x86_64")  # what tests that stub the classifiers mostly report


def candidate(lookup, system, bits, machine):
    """The file `lookup` tries on a host, relative to the package root; None on an OS without
    a row. The names compare as given: the classifiers are what lower-case them."""
    parts = PROGRAM_OF[lookup].candidate(system, machine, bits)
    return None if parts is None else "/".join(parts)


# Every file that a lookup tries on some host.
CANDIDATES = sorted(
    {
        candidate(lookup, system, bits, machine)
        for lookup in LOOKUPS
        for system in ("darwin", "linux", "windows")
        for bits in ("32", "64")
        for machine in ("arm64", "x86_64")
    }
)


def not_found(lookup):
    """What `lookup` gives when its file is missing: the FileNotFoundError the executables'
    lookups raise, None for the remote launcher."""
    return FileNotFoundError(NOT_INSTALLED[lookup]) if lookup in NOT_INSTALLED else None


def package_copy(root):
    """Copies the installed package, without caches or a bin/ tree, to the directory `root`
    and installs this host's three programs there, executable; their paths by lookup."""
    ignored = shutil.ignore_patterns("__pycache__", "bin")
    shutil.copytree(os.path.dirname(pyveka.__file__), root, ignore=ignored)
    paths = {lookup: Path(root, *candidate(lookup, *HOST).split("/")) for lookup in LOOKUPS}
    for path in paths.values():
        path.parent.mkdir(parents=True, exist_ok=True)
        path.touch(mode=0o755)
    return {lookup: str(path) for lookup, path in paths.items()}


# ---- Stand-ins -------------------------------------------------------------------------------


class Text(str):
    """Text, but not the exact str that the functions must answer."""


class Shouting:
    """Not text, but "REMOTE" made text: a configured call that means the remote launcher."""

    def __str__(self):
        return "REMOTE"


class Failure(Exception):
    """Raised by `fail`, and by nothing else."""


def fail(*args):
    raise Failure("raised by a stub")


def platform_reporting(system, machine):
    """A `platform` whose system() and machine() answer the given objects."""
    return SimpleNamespace(system=lambda: system, machine=lambda: machine)


def os_with_maxsize(maxsize):
    """An `os` with nothing but the sys.maxsize that _bits reads."""
    return SimpleNamespace(sys=SimpleNamespace(maxsize=maxsize))


# ---- Assertions and measurements -------------------------------------------------------------


def check(call, expected):
    """call() answers `expected`, or raises it when it is an exception."""
    if isinstance(expected, Exception):
        with pytest.raises(type(expected), match=f"^{re.escape(str(expected))}$"):
            call()
    else:
        assert call() == expected


def outcome(call, *args):
    """What call(*args) answers, or the type and the text of the exception it raises."""
    try:
        return call(*args)
    except Exception as error:
        return type(error), str(error)


def module_frames(error):
    """The traceback entries of the module's functions in what `error` went through."""
    return [
        frame
        for frame, _ in traceback.walk_tb(error.__traceback__)
        if frame.f_code.co_name.startswith("pyveka.")
    ]


# Defines run_in_subinterpreter(code) in a script: runs `code` in a new interpreter of its own
# (isolated, with a GIL of its own from 3.12 on) and answers how it ended, as "Type: message", or
# None. 3.13 renamed the module and answers a failure instead of raising it.
SUBINTERPRETERS = r"""
import re, sys
if sys.version_info >= (3, 13):
    import _interpreters

    def run_in_subinterpreter(code):
        interpreter = _interpreters.create()
        try:
            failure = _interpreters.run_string(interpreter, code)
        finally:
            _interpreters.destroy(interpreter)
        return None if failure is None else f"{failure.type.__name__}: {failure.msg}"
else:
    import _xxsubinterpreters as interpreters

    def run_in_subinterpreter(code):
        interpreter = interpreters.create()
        try:
            interpreters.run_string(interpreter, code)
        except interpreters.RunFailedError as error:  # "<class 'Type'>: message"
            return re.sub(r"^<class '(\w+)'>", r"", str(error))
        finally:
            interpreters.destroy(interpreter)
        return None
"""


def python_twin(function):
    """A Python function with the same name, signature and docstring: what pydoc and inspect show
    for the module's function on this version, they show for it too."""
    namespace = {}
    exec(f"def {function.__name__}{inspect.signature(function)}: pass", namespace)
    twin = namespace[function.__name__]
    twin.__doc__ = function.__doc__
    return twin


def run_python(code):
    """Runs `code` in a fresh interpreter; what it printed, once it has exited normally."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True
    )
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr[-2000:]}"
    return done.stdout


WARM_UP, ROUNDS, CALLS = 3, 4, 25
NO_GROWTH = ([0] * ROUNDS, [0] * ROUNDS)  # what `growth` measures when nothing leaks


def growth(call, watched):
    """Blocks gained, and how many `watched` objects changed reference count, in each of ROUNDS
    rounds of CALLS calls after WARM_UP rounds. Only the last figures outlive a round: no leak
    reads exactly 0."""
    blocks_gained, references_changed = [0] * ROUNDS, [0] * ROUNDS
    blocks = counts = None
    for index in range(-WARM_UP, ROUNDS):
        for _ in range(CALLS):
            try:
                call()
            except Exception:
                pass
        gc.collect()
        now, new_counts = sys.getallocatedblocks(), [sys.getrefcount(o) for o in watched]
        if index >= 0:
            blocks_gained[index] = now - blocks
            references_changed[index] = sum(a != b for a, b in zip(new_counts, counts, strict=True))
        blocks, counts, new_counts = now, new_counts, None
    return blocks_gained, references_changed

"""Calls repeated many times, on every path of every function, leave nothing behind: no memory
blocks, and no references to the module's functions, namespace, bound modules or constants."""

import gc
import os
import platform
import re
import sys
from types import SimpleNamespace as NS

import pytest
from helpers import (
    CANDIDATES,
    EXECUTABLES,
    FUNCTIONS,
    HOST,
    LINUX_HOST,
    LOOKUPS,
    NO_GROWTH,
    NOT_INSTALLED,
    REFUSALS,
    REMOTE,
    UNKNOWN_OS,
    VARIABLES,
    Failure,
    Shouting,
    Text,
    candidate,
    fail,
    growth,
    not_found,
    platform_reporting,
    shared_state,
)

from pyveka import options

pytestmark = pytest.mark.slow  # rounds of calls, counted block by block
# Everything the module's functions share: its interned strings, 2**32 and the argument tuples.
CONSTANTS = [o for o in gc.get_referents(shared_state()) if type(o) in (str, int, tuple)]


def bind(**values):
    return lambda vc, mp: vars(vc).update(values)


def getter(answer):
    return lambda vc, mp: mp.setattr(options, "veka_get_option", lambda key: answer())


def variable(name):
    return lambda vc, mp: mp.setenv(name, sys.executable)


class Broken:
    """Fails at every attribute read."""

    __getattr__ = fail


# The stubbed Linux host, with this interpreter's word size: the lookups call the real _bits.
HERE = (LINUX_HOST[0], HOST[1], LINUX_HOST[2])
SOLVER = candidate("veka_call_builtin", *HERE)
MISSING = bind(__file__="/no/such/dir/m.so")  # a package root where nothing is installed
SUCCESS = [  # function, arguments, setup, the end of the answer (None: the answer is None)
    ("_bits", (), None, HOST[1]),
    ("_system", (), None, HOST[0]),
    ("_machine", (), None, HOST[2]),
    ("_package_root", (), None, ""),
    ("_resolve_path", tuple(REMOTE.split("/")), None, REMOTE),
    ("_resolve_path", ("bin", "missing"), None, None),
    ("_resolve_path", (), None, ""),
    ("veka_call_builtin", (), None, SOLVER),
    ("veka_call_builtin", (), variable("VEKA_BIN"), sys.executable),
    (
        "veka_call_builtin",
        (),
        bind(_system=lambda: "darwin", _machine=lambda: "arm64"),
        candidate("veka_call_builtin", "darwin", HERE[1], "arm64"),
    ),
    ("grelvin_call_builtin", (), None, candidate("grelvin_call_builtin", *HERE)),
    (
        "grelvin_call_builtin",
        (),
        bind(_system=lambda: "win32"),
        candidate("grelvin_call_builtin", "win32", *HERE[1:]),
    ),
    ("veka_remote_script", (), None, REMOTE),
    ("veka_remote_script", (), MISSING, None),
    ("veka_remote_script", (), variable("VEKA_REMOTE_BIN"), sys.executable),
    *[
        ("veka_call_no_remote", (), getter(value), SOLVER)
        for value in (lambda: None, lambda: "VEKA.remote", Shouting)
    ],
    ("veka_call_no_remote", (), getter(lambda: "/opt/Veka"), "/opt/Veka"),
]
ERRORS = [  # function, setup, the exception raised
    *[(name, bind(_system=lambda: "plan9"), RuntimeError(UNKNOWN_OS)) for name in EXECUTABLES],
    *[(name, MISSING, not_found(name)) for name in EXECUTABLES],
    (
        "veka_call_no_remote",
        lambda vc, mp: mp.delattr(options, "veka_get_option"),
        ImportError("cannot import name veka_get_option"),
    ),
    *[
        (
            name,
            bind(platform=platform_reporting(b"X", b"X")),
            TypeError("Expected str, got bytes"),
        )
        for name in ("_system", "_machine")
    ],
    ("_package_root", bind(__file__=b"/x/m.so"), TypeError("Expected str, got bytes")),
    ("_resolve_path", bind(_package_root=lambda: Text("/")), TypeError("Expected str, got Text")),
    *[
        (name, bind(_resolve_path=lambda *parts: 7), TypeError("Expected str, got int"))
        for name in LOOKUPS
    ],
    ("veka_call_no_remote", getter(lambda: 7), TypeError("Expected str, got int")),
    *[
        (
            name,
            lambda vc, mp, missing=missing: delattr(vc, missing),
            NameError(f"name '{missing}' is not defined"),
        )
        for name, missing in (
            ("_bits", "os"),
            ("_system", "platform"),
            ("_machine", "platform"),
            ("_package_root", "__file__"),
            ("_resolve_path", "_package_root"),
            ("veka_call_builtin", "os"),
            ("grelvin_call_builtin", "_resolve_path"),
            ("veka_call_no_remote", "__file__"),
            ("veka_remote_script", "_resolve_path"),
        )
    ],
    *[
        (name, setup, Failure("raised by a stub"))
        for name, setup in (
            ("_bits", bind(os=Broken())),
            ("_system", bind(platform=Broken())),
            ("_machine", bind(platform=Broken())),
            ("_package_root", bind(os=Broken())),
            ("_resolve_path", bind(_package_root=fail)),
            ("veka_call_builtin", bind(_system=fail)),
            ("grelvin_call_builtin", bind(_machine=fail)),
            ("veka_call_no_remote", getter(fail)),
            ("veka_call_no_remote", bind(_system=fail)),
            ("veka_remote_script", bind(os=Broken())),
        )
    ],
]
CASES = (
    [(name, args, {}, setup, answer) for name, args, setup, answer in SUCCESS]
    + [(name, args, kwargs, None, TypeError(text)) for name, args, kwargs, text in REFUSALS]
    + [(name, (), {}, setup, error) for name, setup, error in ERRORS]
)


@pytest.fixture
def every_file(vc, tree, host):
    """Every host's files in the package root, and the stubbed Linux host of HERE."""
    host(*LINUX_HOST)
    vc._bits = FUNCTIONS["_bits"]
    for relative in CANDIDATES:
        tree(relative)


@pytest.mark.parametrize("name, args, kwargs, setup, outcome", CASES)
def test_repeated_calls_leave_nothing_behind(
    vc, every_file, monkeypatch, name, args, kwargs, setup, outcome
):
    if setup:
        setup(vc, monkeypatch)

    def call():
        return FUNCTIONS[name](*args, **kwargs)

    if isinstance(outcome, Exception):  # the calls take the path meant
        with pytest.raises(type(outcome), match=f"^{re.escape(str(outcome))}$"):
            call()
    else:
        result = call()
        assert (
            result is None if outcome is None else type(result) is str and result.endswith(outcome)
        )
    watched = [*FUNCTIONS.values(), vars(vc), *vars(vc).values(), os, platform, *CONSTANTS]
    assert growth(call, watched) == NO_GROWTH


def test_the_watched_constants_are_the_objects_the_module_hands_out(vc, host, monkeypatch):
    seen = [FUNCTIONS["_bits"]()]
    own = {id(o) for o in CONSTANTS}
    vc.os = NS(environ=NS(get=seen.append))
    vc._resolve_path = lambda *parts: seen.extend(parts)
    monkeypatch.setattr(options, "veka_get_option", seen.append)
    vc.veka_remote_script()
    for system in ("darwin", "linux", "plan9"):
        host(system, "64", "arm64")
        for name in ("veka_call_no_remote", "grelvin_call_builtin"):
            with pytest.raises(Exception) as info:
                FUNCTIONS[name]()
            seen.append(info.value.args[0])
    assert (
        {o for o in seen if id(o) in own}
        == set(seen)
        == {
            HOST[1],
            "64bit",  # from the 64-bit hosts above
            *VARIABLES.values(),
            *REMOTE.split("/"),
            "veka.call",
            "mac.arm64",
            "veka.run",
            "grelvin.run",
            "linux",
            "veka.mkl.run",
            *NOT_INSTALLED.values(),
            UNKNOWN_OS,
        }
    )

"""Hostile objects met by the functions: methods that raise or answer the wrong type, and stubs that
change the module namespace while a call runs. Errors pass through unchanged with the function's
traceback entry, nothing leaks, and the next call with sane globals answers as before."""

import os
from types import SimpleNamespace as NS

import pytest
from helpers import (
    EXECUTABLES,
    FUNCTIONS,
    LINUX_HOST,
    NO_GROWTH,
    REMOTE,
    candidate,
    growth,
    module_frames,
    os_with_maxsize,
    run_python,
)

import pyveka.veka_call
from pyveka import options

G = vars(pyveka.veka_call)
RAISED = []  # what `boom` raised last


class Boom(Exception):
    pass


def boom(*args):
    RAISED[:] = [Boom("raised by a hostile object")]
    raise RAISED[0]


def hostile(base=object, value=(), **methods):
    return type("Hostile", (base,), methods)(*value)


def returning(value):
    return lambda *args: value


def then(action, answer):
    """A stub that runs `action` on the module namespace, then answers `answer`."""

    def stub(*args):
        action(G)
        return answer

    return stub


def watching(action):
    """An `os.path` that runs `action` on the module namespace at every attribute read."""

    def read(self, name):
        action(G)
        return getattr(os.path, name)

    return hostile(__getattr__=read)


def clear_and_restore(namespace):
    saved = dict(namespace)
    namespace.clear()
    namespace.update(saved)


def collide(namespace):
    """Replaces _resolve_path by a key of the same hash, whose comparison raises."""
    del namespace["_resolve_path"]
    namespace[Collider()] = 0


def environ(answer, **path):
    """An `os` whose environ.get answers `answer` (or is `answer`, when callable)."""
    get = answer if callable(answer) else returning(answer)
    return NS(environ=NS(get=get), path=NS(**{**vars(os.path), **path}))


def undefined(name):
    return NameError(f"name '{name}' is not defined")


def classify(system=LINUX_HOST[0], bits=LINUX_HOST[1], machine=LINUX_HOST[2], **more):
    return {
        "_system": returning(system),
        "_bits": returning(bits),
        "_machine": returning(machine),
        "_resolve_path": lambda *parts: "/".join(parts),
        **more,
    }


class Collider:
    def __hash__(self):
        return hash("_resolve_path")

    __eq__ = boom


def raised_by(action, value):
    """The TypeError plain Python raises for action(value): the module passes the interpreter's
    errors through, whose texts differ by version (3.15 names the class and the method)."""
    with pytest.raises(TypeError) as info:
        action(value)
    return info.value


BAD_BOOL, RAISING_BOOL = hostile(__bool__=returning(2)), hostile(__bool__=boom)
BAD_FORMAT, BAD_STR = hostile(__format__=returning(64)), hostile(__str__=returning(5))
NOT_BOOL, NOT_FORMATTED, NOT_STR = (
    raised_by(bool, BAD_BOOL),
    raised_by(format, BAD_FORMAT),
    raised_by(str, BAD_STR),
)
SOLVER, MESHER = (candidate(lookup, *LINUX_HOST) for lookup in EXECUTABLES)
# function, names bound for the call, what it answers or raises (Boom: the very object raised)
CASES = [
    ("veka_call_builtin", classify(hostile(__eq__=boom)), Boom),
    ("veka_call_builtin", classify(hostile(__eq__=returning(BAD_BOOL))), NOT_BOOL),
    (
        "grelvin_call_builtin",
        classify("darwin", machine=hostile(__eq__=returning(RAISING_BOOL))),
        Boom,
    ),
    ("veka_call_builtin", classify(hostile(startswith=boom)), Boom),
    (
        "grelvin_call_builtin",
        classify(hostile(str, ("windows",), startswith=returning(BAD_BOOL))),
        NOT_BOOL,
    ),
    ("veka_call_builtin", classify(bits=hostile(__format__=boom)), Boom),
    (
        "grelvin_call_builtin",
        classify(bits=BAD_FORMAT),
        NOT_FORMATTED,
    ),
    ("grelvin_call_builtin", classify(_resolve_path=returning(RAISING_BOOL)), Boom),
    ("veka_remote_script", {"os": environ(RAISING_BOOL)}, Boom),
    ("veka_call_builtin", {"os": environ(BAD_BOOL)}, NOT_BOOL),
    ("veka_remote_script", {"os": environ(b"/")}, TypeError("Expected str, got bytes")),
    ("veka_call_builtin", {"os": environ(boom)}, Boom),
    ("veka_remote_script", {"os": environ("/", exists=boom)}, Boom),
    ("_resolve_path", {"os": environ(None, exists=boom)}, Boom),
    ("_resolve_path", {"os": environ(None, exists=returning(RAISING_BOOL))}, Boom),
    ("_resolve_path", {"os": environ(None, exists=returning(BAD_BOOL))}, NOT_BOOL),
    ("_bits", {"os": os_with_maxsize(hostile(__gt__=boom))}, Boom),
    ("_bits", {"os": os_with_maxsize(hostile(__gt__=returning(BAD_BOOL)))}, NOT_BOOL),
    ("_system", {"platform": NS(system=returning(hostile(lower=boom)))}, Boom),
    ("veka_call_no_remote", {"configured": hostile(__str__=boom)}, Boom),
    (
        "veka_call_no_remote",
        {"configured": BAD_STR},
        NOT_STR,
    ),
    (
        "veka_call_no_remote",
        {"configured": hostile(__str__=returning(hostile(str, ("x",), lower=boom)))},
        Boom,
    ),
    (
        "veka_call_no_remote",
        {
            "configured": hostile(
                __str__=returning(hostile(str, ("x",), lower=returning(hostile(__eq__=boom))))
            )
        },
        Boom,
    ),
    # The namespace changes in the middle of a call: the next lookup of a name in that call sees
    # the change.
    ("veka_call_builtin", {"os": environ(then(lambda g: g.pop("os"), "/x"))}, undefined("os")),
    (
        "veka_call_builtin",
        {"os": environ(then(lambda g: g.update(os=environ(None, exists=bool)), "/x"))},
        "/x",
    ),
    (
        "veka_call_builtin",
        classify(_system=then(lambda g: g.pop("_bits"), "linux")),
        undefined("_bits"),
    ),
    (
        "veka_call_builtin",
        classify("darwin", _bits=then(lambda g: g.update(_machine=returning("arm64")), "64")),
        candidate("veka_call_builtin", "darwin", "64", "arm64"),
    ),
    (
        "grelvin_call_builtin",
        classify(_machine=then(lambda g: g.update(_resolve_path=lambda *p: "|".join(p)), "")),
        MESHER.replace("/", "|"),
    ),
    (
        "veka_call_builtin",
        classify(_machine=then(lambda g: g.pop("_resolve_path"), "")),
        undefined("_resolve_path"),
    ),
    (
        "veka_call_builtin",
        classify(_machine=then(clear_and_restore, "")),
        SOLVER,
    ),
    ("grelvin_call_builtin", classify(_machine=then(dict.clear, "")), undefined("_resolve_path")),
    (
        "_resolve_path",
        {"os": NS(path=watching(lambda g: g.pop("_package_root", None)))},
        undefined("_package_root"),
    ),
    (
        "_resolve_path",
        {"os": NS(path=watching(lambda g: g.update(_package_root=returning("/"))))},
        "/",
    ),
    (
        "_resolve_path",
        {"_package_root": then(lambda g: g.update(os=environ(None, exists=bool)), "/no")},
        "/no",
    ),
    ("_resolve_path", {"_package_root": then(lambda g: g.pop("os"), "/")}, undefined("os")),
    (
        "_package_root",
        {"os": NS(path=watching(lambda g: g.pop("__file__", None)))},
        undefined("__file__"),
    ),
    (
        "veka_call_no_remote",
        {"configured": then(lambda g: g.update(veka_call_builtin=returning("/rebound")), "Remote")},
        "/rebound",
    ),
    (
        "veka_call_no_remote",
        {"configured": then(lambda g: g.pop("veka_call_builtin"), None)},
        undefined("veka_call_builtin"),
    ),
    (
        "veka_remote_script",
        {"os": environ(then(lambda g: g.update(_resolve_path=lambda *p: "/".join(p)), None))},
        REMOTE,
    ),
    # the lookup of _resolve_path compares a key of the namespace, which raises
    ("veka_remote_script", {"os": environ(then(collide, None))}, Boom),
]


@pytest.fixture(autouse=True)
def configured(monkeypatch):
    """The option "veka.call" is the module's global `configured`, or what it answers."""

    def getter(key):
        value = G.get("configured")
        return value() if callable(value) else value

    monkeypatch.setattr(options, "veka_get_option", getter)


@pytest.mark.slow  # each also counts blocks over rounds of calls
@pytest.mark.parametrize("name, bindings, outcome", CASES)
def test_hostile_objects(vc, installed, name, bindings, outcome):
    sane, function = dict(G), FUNCTIONS[name]
    answer = function()

    def call():
        G.clear()
        G.update(sane)
        G.update(bindings)
        return function()

    if isinstance(outcome, str):
        assert call() == outcome
    else:
        with pytest.raises(Exception) as info:
            call()
        error = info.value
        assert (
            error is RAISED[0]
            if outcome is Boom
            else (type(error), str(error)) == (type(outcome), str(outcome))
        )
        frames = module_frames(error)
        assert [(f.f_code.co_name, f.f_globals is G) for f in frames] == [
            (f"pyveka.veka_call.{name}", True)
        ]
    assert growth(call, [*FUNCTIONS.values(), G, os]) == NO_GROWTH
    G.clear()
    G.update(sane)
    assert function() == answer


@pytest.mark.parametrize(
    "rebinding, call",
    [
        ("vc._package_root = vc._resolve_path", "vc._resolve_path('bin')"),
        ("vc.veka_call_builtin = vc.veka_call_no_remote", "vc.veka_call_no_remote()"),
    ],
)
def test_a_function_bound_to_call_itself_ends_in_recursion_error(rebinding, call):
    script = f"""
        import pyveka.veka_call as vc
        {rebinding}
        try:
            {call}
        except RecursionError:
            print("stopped")
    """
    assert run_python(script) == "stopped\n"  # a crash would end it with a signal instead

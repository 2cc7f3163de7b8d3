"""The module frame from Python: namespace, function objects, call refusals, result check,
traceback entries and call-time name resolution."""

import builtins
import inspect
import os
import platform
import pydoc
import traceback
import types
import typing
from contextlib import suppress
from types import SimpleNamespace as NS

import pytest
from helpers import (
    FUNCTIONS,
    LINUX_HOST,
    NAMES,
    REFUSALS,
    REMOTE,
    Failure,
    Text,
    candidate,
    fail,
    module_frames,
    os_with_maxsize,
    python_twin,
)
from module_stub import ANNOTATIONS, DOCS, MODULE_DOC


def test_module_namespace(vc):
    assert vc.__doc__ == MODULE_DOC  # the stub's, exactly
    bound = ["__builtins__", "os", "platform", "Optional", *NAMES, "__test__"]
    assert list(vars(vc))[-len(bound) :] == bound
    set_by_the_import = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert set(vars(vc)) - set(bound) == set_by_the_import
    assert vars(vc)["__builtins__"] is builtins
    assert (vc.os, vc.platform, vc.Optional, vc.__test__) == (os, platform, typing.Optional, {})
    assert type(vc.__test__) is dict and (vc.__file__, vc.__package__) == (
        vc.__spec__.origin,
        "pyveka",
    )


def test_star_import_binds_the_names_without_underscore():
    scope = {}
    exec("from pyveka.veka_call import *", scope)
    del scope["__builtins__"]
    assert scope == {
        "os": os,
        "platform": platform,
        "Optional": typing.Optional,
        **{name: FUNCTIONS[name] for name in NAMES if name[0] != "_"},
    }


@pytest.mark.parametrize("name", NAMES)
def test_function_attributes(vc, monkeypatch, name):
    annotations, doc = ANNOTATIONS[name], DOCS[name]  # the stub's, exactly
    function = FUNCTIONS[name]
    assert (function.__name__, function.__qualname__, function.__module__) == (
        name,
        name,
        "pyveka.veka_call",
    )
    assert function.__doc__ == doc and list(function.__annotations__.items()) == list(
        annotations.items()
    )
    assert function.__globals__ is vars(vc) and isinstance(function.__code__, types.CodeType)
    assert function.__defaults__ is None and function.__kwdefaults__ is None
    monkeypatch.setattr(function, "marker", 1, raising=False)
    assert function.__dict__["marker"] == 1
    parameters = "(*parts: 'str')" if "parts" in annotations else "()"
    assert str(inspect.signature(function)) == f"{parameters} -> '{annotations['return']}'"
    evaluated = {"str": str, "Optional[str]": str | None}
    assert typing.get_type_hints(function) == {
        key: evaluated[text] for key, text in annotations.items()
    }


def test_pydoc_lists_the_public_functions(vc):
    section = pydoc.plain(pydoc.render_doc(vc)).split("\nFUNCTIONS\n")[1].split("\nDATA\n")[0]
    headings = [line.strip() for line in section.splitlines() if line.strip() and line[4] != " "]
    public = sorted(name for name in NAMES if name[0] != "_")
    # headed as this version's pydoc heads a Python function: "name() -> 'str'" up to 3.13
    assert headings == [heading(python_twin(FUNCTIONS[name])) for name in public]
    assert f"\n        {DOCS['veka_call_builtin']}\n" in section


def heading(function):
    return pydoc.plain(pydoc.render_doc(function)).splitlines()[2].strip()


@pytest.mark.parametrize("name, args, kwargs, text", REFUSALS)
def test_refused_calls_add_no_traceback_entry(name, args, kwargs, text):
    with pytest.raises(TypeError) as info:
        FUNCTIONS[name](*args, **kwargs)
    assert str(info.value) == text and module_frames(info.value) == []


@pytest.mark.parametrize("name", NAMES)
def test_empty_keyword_mapping_counts_as_no_keywords(installed, tmp_path, name):
    result = FUNCTIONS[name](**{})
    assert type(result) is str and result == FUNCTIONS[name]()
    assert FUNCTIONS["_resolve_path"]() == str(tmp_path)


def rebind(global_name):
    return lambda vc, value: setattr(vc, global_name, lambda *parts: value)


def platform_lowering_to(vc, value):
    vc.platform = NS(
        system=lambda: NS(lower=lambda: value), machine=lambda: NS(lower=lambda: value)
    )


PRODUCE = {  # makes the function's last step yield `value`
    "_system": platform_lowering_to,
    "_machine": platform_lowering_to,
    "_package_root": lambda vc, value: setattr(
        vc, "os", NS(path=NS(abspath=str, dirname=lambda p: value))
    ),
    "_resolve_path": lambda vc, value: setattr(
        vc,
        "os",
        NS(path=NS(abspath=str, dirname=str, join=lambda *p: value, exists=lambda p: True)),
    ),
    "veka_call_builtin": rebind("_resolve_path"),
    "grelvin_call_builtin": rebind("_resolve_path"),
    "veka_remote_script": rebind("_resolve_path"),
    "veka_call_no_remote": rebind("veka_call_builtin"),
}


@pytest.mark.parametrize(
    "value, type_name",
    [
        (7, "int"),
        (b"x", "bytes"),
        (Text("x"), "Text"),
        (type("N" * 300, (), {})(), "N" * 200),
        ("x", None),
    ],
)
@pytest.mark.parametrize("name", PRODUCE)
def test_result_check(vc, host, name, value, type_name):
    host(*LINUX_HOST)
    PRODUCE[name](vc, value)
    if type_name is None:
        assert type(FUNCTIONS[name]()) is str and FUNCTIONS[name]() == "x"
        return
    with pytest.raises(TypeError) as info:
        FUNCTIONS[name]()
    assert str(info.value) == f"Expected str, got {type_name}"
    assert [f.f_code.co_name for f in module_frames(info.value)] == [f"pyveka.veka_call.{name}"]


@pytest.mark.parametrize(
    "name",
    [
        "_system",
        "_machine",
        "_package_root",
        "_resolve_path",
        "veka_call_no_remote",
        "veka_remote_script",
    ],
)
def test_result_check_passes_none(vc, name):
    PRODUCE[name](vc, None)
    assert FUNCTIONS[name]() is None


@pytest.mark.parametrize(
    "name, breakage, error, chain",
    [
        (
            "veka_remote_script",
            lambda vc: delattr(vc, "_resolve_path"),
            NameError,
            ["veka_remote_script"],
        ),
        (
            "veka_call_builtin",
            lambda vc: setattr(vc, "_package_root", fail),
            Failure,
            ["veka_call_builtin", "_resolve_path"],
        ),
        (
            "veka_call_no_remote",
            lambda vc: delattr(vc, "__file__"),
            NameError,
            ["veka_call_no_remote", "veka_call_builtin", "_resolve_path", "_package_root"],
        ),
        ("_bits", lambda vc: setattr(vc, "os", None), AttributeError, ["_bits"]),
    ],
)
def test_traceback_entries(vc, host, name, breakage, error, chain):
    host(*LINUX_HOST)
    breakage(vc)
    with pytest.raises(error) as info:
        FUNCTIONS[name]()
    frames = module_frames(info.value)
    assert [f.f_code.co_name for f in frames] == [f"pyveka.veka_call.{n}" for n in chain]
    assert all(f.f_globals is vars(vc) for f in frames)
    text = "".join(traceback.format_exception(info.value))
    assert all(f", in pyveka.veka_call.{n}\n" in text for n in chain)
    assert text.rstrip().endswith(f"{error.__name__}: {info.value}")


SOLVER = candidate("veka_call_builtin", *LINUX_HOST)


@pytest.mark.parametrize(
    "name, global_name, first, second",
    [
        ("_bits", "os", (os_with_maxsize(2**32), "32"), (os_with_maxsize(2**32 + 1), "64")),
        (
            "_system",
            "platform",
            (NS(system=lambda: "Plan9"), "plan9"),
            (NS(system=lambda: "Haiku"), "haiku"),
        ),
        (
            "_machine",
            "platform",
            (NS(machine=lambda: "ARM64"), "arm64"),
            (NS(machine=lambda: "I386"), "i386"),
        ),
        ("_package_root", "__file__", ("/a/b/m.so", "/a/b"), ("/c/m.so", "/c")),
        ("_resolve_path", "_package_root", (lambda: "/", "/"), (lambda: "/no/such/dir", None)),
        (
            "veka_call_builtin",
            "_resolve_path",
            (lambda *p: "/".join(p), SOLVER),
            (lambda *p: "|".join(p), SOLVER.replace("/", "|")),
        ),
        (
            "veka_remote_script",
            "_resolve_path",
            (lambda *p: "/".join(p), REMOTE),
            (lambda *p: None, None),
        ),
        ("veka_call_no_remote", "veka_call_builtin", (lambda: "a", "a"), (lambda: "b", "b")),
    ],
)
def test_rebinding_takes_effect_at_the_next_call(vc, host, name, global_name, first, second):
    host(*LINUX_HOST)
    with suppress(Exception):
        FUNCTIONS[name]()  # every name has been looked up once
    for value, expected in (first, second):
        setattr(vc, global_name, value)
        assert FUNCTIONS[name]() == expected


@pytest.mark.parametrize(
    "name, missing",
    [
        ("_bits", "os"),
        ("_system", "platform"),
        ("_machine", "platform"),
        ("_package_root", "os"),
        ("_package_root", "__file__"),
        ("_resolve_path", "os"),
        ("_resolve_path", "_package_root"),
        ("veka_call_builtin", "os"),
        ("veka_call_builtin", "_system"),
        ("veka_call_builtin", "_bits"),
        ("veka_call_builtin", "_machine"),
        ("veka_call_builtin", "_resolve_path"),
        ("grelvin_call_builtin", "_system"),
        ("grelvin_call_builtin", "_resolve_path"),
        ("veka_call_no_remote", "veka_call_builtin"),
        ("veka_remote_script", "os"),
        ("veka_remote_script", "_resolve_path"),
    ],
)
def test_deleted_name_raises_name_error_until_bound_again(vc, installed, name, missing):
    result = FUNCTIONS[name]()
    value = vars(vc).pop(missing)
    with pytest.raises(NameError) as info:
        FUNCTIONS[name]()
    assert str(info.value) == f"name '{missing}' is not defined"
    setattr(vc, missing, value)
    assert FUNCTIONS[name]() == result


def test_name_missing_from_the_namespace_is_read_from_builtins_at_every_call(vc, monkeypatch):
    bits = FUNCTIONS["_bits"]
    bits()
    del vc.os
    monkeypatch.setattr(builtins, "os", os_with_maxsize(2**40), raising=False)
    assert bits() == "64"
    builtins.os = os_with_maxsize(1)
    assert bits() == "32"
    vc.os = os_with_maxsize(2**40)  # the namespace comes first
    assert bits() == "64"
    del vc.os
    assert bits() == "32"
    monkeypatch.delattr(builtins, "os")
    with pytest.raises(NameError, match=r"^name 'os' is not defined$"):
        bits()

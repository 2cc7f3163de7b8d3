"""The module's functions work with the standard library's clients of Python functions."""

import copy
import functools
import inspect
import pickle
import pydoc

import pytest
from helpers import FUNCTIONS, NAMES, python_twin

import pyveka.veka_call


@pytest.mark.parametrize("name", NAMES)
def test_pickle_and_copies_give_back_the_same_object(name):
    function = FUNCTIONS[name]
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    assert copy.copy(function) is function
    assert copy.deepcopy({"f": [function]})["f"][0] is function


def test_pickle_refuses_a_function_no_longer_bound_under_its_name(vc):
    original = vc._bits
    vc._bits = lambda: "64"
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(original)


@pytest.mark.parametrize("name", NAMES)
def test_help_shows_the_signature(name):
    function = FUNCTIONS[name]
    shown = pydoc.plain(pydoc.render_doc(function)).splitlines()[2:]
    # the signature and docstring as this version shows a Python function's (from 3.14 without
    # quotes around string annotations); the first line names the kind of object
    assert shown == pydoc.plain(pydoc.render_doc(python_twin(function))).splitlines()[2:]
    assert f"{name}(" in shown[0]
    if function.__doc__:
        assert inspect.cleandoc(function.__doc__).splitlines()[0] in "\n".join(shown)


@pytest.mark.parametrize("name", NAMES)
def test_functools_wraps(installed, name):
    function = FUNCTIONS[name]

    @functools.wraps(function)
    def wrapper(*args: object) -> object:
        return function(*args)

    assert wrapper.__wrapped__ is function
    for attribute in functools.WRAPPER_ASSIGNMENTS:
        assert getattr(wrapper, attribute) == getattr(function, attribute)
    assert inspect.signature(wrapper) == inspect.signature(function)
    assert wrapper() == function()


def test_stored_on_a_class_the_function_does_not_bind():
    holder = type("Holder", (), {"bits": pyveka.veka_call._bits})
    assert holder().bits() == holder.bits() == pyveka.veka_call._bits()


class Name(str):
    """A str subclass: a function's name may be one."""


# What may be set or deleted on a function, and with what: a Python function's rules.
SETTINGS = [
    ("__name__", "renamed"),
    ("__name__", Name("renamed")),
    ("__name__", 1),
    ("__name__", None),
    ("__name__", DELETE := object()),
    ("__qualname__", "Outer.renamed"),
    ("__qualname__", b"renamed"),
    ("__qualname__", DELETE),
    ("__doc__", "documented"),
    ("__doc__", 1),
    ("__doc__", DELETE),
    ("__annotations__", {"return": "int"}),
    ("__annotations__", None),
    ("__annotations__", [("return", "int")]),
    ("__annotations__", DELETE),
    ("__dict__", {"x": 1}),
    ("__dict__", 1),
    ("__dict__", DELETE),
    ("__module__", "elsewhere"),
]


def after_setting(function, attribute, value):
    """How setting (or deleting) the attribute ends, and what reading it then answers."""
    try:
        if value is DELETE:
            delattr(function, attribute)
        else:
            setattr(function, attribute, value)
    except (TypeError, AttributeError) as error:
        return type(error).__name__, str(error).replace(type(function).__name__, "<type>")
    try:
        return "read", getattr(function, attribute)
    except AttributeError as error:
        return "read", type(error).__name__


@pytest.mark.parametrize("attribute, value", SETTINGS)
@pytest.mark.parametrize("name", ["_resolve_path", "veka_remote_script"])
def test_attributes_are_set_as_on_a_python_function(vc, name, attribute, value):
    function = getattr(vc, name)
    twin = python_twin(function)
    twin.__module__ = function.__module__
    saved = {key: getattr(function, key) for key in ("__name__", "__qualname__", "__doc__")}
    try:
        assert after_setting(function, attribute, value) == after_setting(twin, attribute, value)
    finally:
        for key, kept in saved.items():
            setattr(function, key, kept)
        vars(function).clear()

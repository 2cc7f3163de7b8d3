"""What the module remembers between calls, and what it holds during one, against plain Python
on the same objects: changes that no dict shows, colliding dict keys, objects whose dict is not a
dict, strings that are not ready yet, and temporaries that Python releases as soon as used."""

import functools
import sys
import warnings
from types import ModuleType, SimpleNamespace

import pytest
from helpers import outcome


def twin(vc, source):
    """A Python function with the module namespace as its globals: plain Python's answer."""
    namespace = vars(vc)
    exec(f"def python_twin():\n    return {source}\n", namespace)
    return namespace.pop("python_twin")


def descriptor_class_gains_set(holder):  # the class attribute's own class becomes a data descriptor
    type(holder).__get__ = lambda self, instance, owner: SimpleNamespace(maxsize=1)
    type(holder).__set__ = lambda self, instance, value: None


def descriptor_class_swapped(holder):  # the class attribute is given a data descriptor's class
    class DataDescriptor:
        def __get__(self, instance, owner):
            return SimpleNamespace(maxsize=1)

        def __set__(self, instance, value):
            pass

    holder.__class__ = DataDescriptor


@pytest.mark.parametrize("turn", [descriptor_class_gains_set, descriptor_class_swapped])
def test_class_attribute_that_becomes_a_data_descriptor(vc, turn):
    class Holder:  # an ordinary object stored on the class, under the name read from the instance
        pass

    class Spaces(SimpleNamespace):
        sys = Holder()

    wide = ModuleType("sys")  # a 64-bit sys on every host, so that the change shows
    wide.maxsize = 2**63 - 1

    vc.os = Spaces(sys=wide)
    python_bits = twin(vc, '"64" if os.sys.maxsize > 2**32 else "32"')
    for _ in range(3):
        assert vc._bits() == python_bits() == "64"
    turn(vars(Spaces)["sys"])
    assert vc._bits() == python_bits() == "32"


class Collider:
    """A key that collides with a name and answers __eq__ as told: a lookup runs Python code."""

    def __init__(self, name, answers):
        self.name, self.answers = name, answers

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.answers[0] == "raise":
            raise RuntimeError("raised by a colliding key")
        return self.answers[0]


# Calls enough for any remembered answer to show: 3.11 looks at a dict's keys again only after as
# many fresh lookups as it has keys, the namespace's some thirty.
REPEATS = 40


def assert_same_for_every_answer(answers, function, python_twin):
    """The colliding key answers each way in turn, for long enough that a remembered answer
    would show."""
    for answer in (False, True, "raise", False):
        answers[0] = answer
        for _ in range(REPEATS):
            assert outcome(function) == outcome(python_twin)


def test_namespace_with_a_colliding_key(vc):
    answers = [False]
    resolve = vc._resolve_path
    del vc._resolve_path  # the colliding key goes first in its probe sequence
    vars(vc)[Collider("_resolve_path", answers)] = lambda *parts: "the colliding entry"
    vc._resolve_path = resolve
    python_remote = twin(vc, '_resolve_path("bin", "remote", "veka.remote")')
    assert_same_for_every_answer(answers, vc.veka_remote_script, python_remote)


@pytest.mark.parametrize("kind", [SimpleNamespace, lambda: ModuleType("stand_in")])
def test_object_dict_with_a_colliding_key(vc, kind):
    answers = [False]
    stand_in = kind()
    vars(stand_in)[Collider("sys", answers)] = SimpleNamespace(maxsize=1)
    stand_in.sys = sys
    vc.os = stand_in
    python_bits = twin(vc, '"64" if os.sys.maxsize > 2**32 else "32"')
    assert_same_for_every_answer(answers, vc._bits, python_bits)


def partial_with_dict(value):  # partial.__setstate__ takes any object as the __dict__ up to 3.13
    stand_in = functools.partial(print)
    try:
        stand_in.__setstate__((print, (), None, value))
    except TypeError:
        pytest.skip("this version's partial refuses a __dict__ that is not a dict")
    return stand_in


@pytest.mark.parametrize("not_a_dict", [2**62, 1.5], ids=["int", "float"])
def test_instance_dict_that_is_not_a_dict(vc, not_a_dict):
    vc.os = stand_in = partial_with_dict({"sys": SimpleNamespace(maxsize=1)})
    python_bits = twin(vc, '"64" if os.sys.maxsize > 2**32 else "32"')
    for _ in range(REPEATS):
        assert outcome(vc._bits) == outcome(python_bits)
    partial_with_dict(not_a_dict)  # or this version makes no such object
    stand_in.__setstate__((print, (), None, not_a_dict))
    for _ in range(REPEATS):
        assert outcome(vc._bits) == outcome(python_bits)


def test_strings_not_ready_compare_by_their_text(vc):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "unicode_legacy_string"):
        pytest.skip("this interpreter makes no legacy strings")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        legacy = testcapi.unicode_legacy_string("linux")
    vc._system, vc._bits, vc._machine = (lambda: legacy), (lambda: "64"), (lambda: "x86_64")
    vc._resolve_path = lambda *parts: "/".join(parts)
    assert vc.veka_call_builtin() == "bin/linux/64bit/veka.mkl.run"


def test_temporaries_are_released_where_python_releases_them(vc):
    """The first `os` of _package_root is released right after `os.path` is read, before the
    second lookup of `os`: a finalizer it runs is seen by that lookup, as in Python."""
    namespace = vars(vc)

    def stand_ins():
        def os_answering(root):
            path = SimpleNamespace(abspath=lambda file: f"{root}/file", dirname=lambda p: p)
            return SimpleNamespace(path=path)

        class Path:
            def __getattr__(self, name):  # reading os.path.dirname rebinds os
                namespace["os"] = os_answering("/second")
                return lambda p: p

        class FirstOs(SimpleNamespace):
            def __del__(self):  # and the first os, once released, rebinds it again
                namespace["os"] = os_answering("/third")

        return FirstOs(path=Path())

    python_root = twin(vc, "os.path.dirname(os.path.abspath(__file__))")
    answers = []
    for function in (python_root, vc._package_root):
        vc.os = stand_ins()
        answers.append(function())
    assert answers == ["/third/file", "/third/file"]

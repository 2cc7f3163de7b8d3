"""Generated hosts, overrides and installed files: the lookups answer what the bin/ table names."""

import importlib.util
import os
import sys
from contextlib import contextmanager, suppress
from types import ModuleType, SimpleNamespace

import pytest
from helpers import (
    CANDIDATES,
    NOT_INSTALLED,
    UNKNOWN_OS,
    VARIABLES,
    candidate,
    os_with_maxsize,
    outcome,
    platform_reporting,
)
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pyveka.veka_call

CLASSIFIERS = pyveka.veka_call._system, pyveka.veka_call._machine

# While a second dict watcher that fails at every event is present: what makes it watch a dict.
FAILING_WATCHER = []


@pytest.fixture(autouse=True, params=["alone", "beside a failing watcher"])
def dict_watchers(request, monkeypatch):
    """Every test runs once more with a watcher after the module's that fails at every change of
    the namespace and of the stand-in modules. The interpreter reports each failure before the
    change is made, and the report calls every function: what they remember must still follow
    every change."""
    if request.param == "alone":
        yield
        return
    if sys.version_info < (3, 12):
        pytest.skip("dict watchers came with 3.12")
    testcapi = pytest.importorskip("_testcapi", reason="_testcapi adds a failing watcher")
    vc = pyveka.veka_call
    vc._bits()  # the module watches its namespace before the failing watcher does
    failing = testcapi.add_dict_watcher(1)
    reporting = sys.unraisablehook

    def calling_back(unraisable):
        # 3.12 names the failed callback as the object, 3.13 in the message.
        if "watcher callback" not in f"{unraisable.err_msg} {unraisable.object}":
            reporting(unraisable)
            return
        for function in REFERENCES:
            args = ("bin",) if function == "_resolve_path" else ()
            with suppress(Exception):
                getattr(vc, function)(*args)

    monkeypatch.setattr(sys, "unraisablehook", calling_back)
    testcapi.watch_dict(failing, vars(vc))
    FAILING_WATCHER.append(lambda dict_: testcapi.watch_dict(failing, dict_))
    try:
        yield
    finally:
        FAILING_WATCHER.clear()
        testcapi.clear_dict_watcher(failing)


def examples(count):  # fixtures are set up once per test: every example sets all it relies on
    return settings(
        max_examples=count,
        deadline=None,
        suppress_health_check=[HealthCheck.function_scoped_fixture],
    )


def names(*known):  # a known name in some letter case, or any text
    return st.builds(
        lambda name, case, text: text if name is None else case(name),
        st.sampled_from([*known, None]),
        st.sampled_from([str, str.upper, str.title]),
        st.text(max_size=8),
    )


systems = names("darwin", "linux", "windows", "win32", "cygwin")
machines = names("arm64", "aarch64", "x86_64", "i686")
tokens = st.sampled_from(["64", "32"]) | st.integers(-(2**70), 2**70)
overrides = st.sampled_from([None, "", "file", "directory", "missing"])


def expected_answer(lookup, system, bits, machine, present, root):
    """The file the host's row names when it is present, else the lookup's error (or None)."""
    relative = candidate(lookup, system, bits, machine)
    if relative is None:
        return RuntimeError, UNKNOWN_OS
    if relative in present:
        return os.path.join(root, *relative.split("/"))
    if lookup in NOT_INSTALLED:
        return FileNotFoundError, NOT_INSTALLED[lookup]
    return None


@pytest.fixture(scope="module")
def every_candidate(tmp_path_factory):
    """A package root that holds every file a lookup tries on some host, and the override's
    file over/file; each example hides the files it wants absent and puts them back."""
    root = tmp_path_factory.mktemp("root")
    for relative in [*CANDIDATES, "over/file"]:
        path = root.joinpath(*relative.split("/"))
        path.parent.mkdir(parents=True, exist_ok=True)
        path.touch()
    return str(root)


@contextmanager
def hidden(root, absent):
    """The files `absent` (relative to `root`) moved aside, and back again after."""
    paths = [os.path.join(root, *relative.split("/")) for relative in absent]
    for path in paths:
        os.rename(path, path + ".aside")
    try:
        yield
    finally:
        for path in paths:
            os.rename(path + ".aside", path)


@examples(400)
@given(
    system=systems,
    machine=machines,
    bits=tokens,
    through_platform=st.booleans(),
    absent=st.sets(st.sampled_from(CANDIDATES)),
    chosen=st.tuples(overrides, overrides, overrides),
)
def test_lookup_answers_the_row_of_the_host(
    vc, monkeypatch, every_candidate, system, machine, bits, through_platform, absent, chosen
):
    present = set(CANDIDATES) - absent  # mostly all: the rows differ in which file they name
    if through_platform:  # the classifiers lower-case the report; the rows compare exactly
        vc.platform = platform_reporting(system, machine)
        vc._system, vc._machine = CLASSIFIERS
        system, machine = system.lower(), machine.lower()
    else:
        vc._system, vc._machine = (lambda: system), (lambda: machine)
    vc._bits = lambda: bits
    root = every_candidate
    with hidden(root, absent):
        vc.__file__ = os.path.join(root, "veka_call.so")
        values = {
            "file": os.path.join(root, "over", "file"),
            "directory": os.path.join(root, "over"),
            "missing": os.path.join(root, "over", "absent"),
        }
        expected = {}
        for (lookup, variable), override in zip(VARIABLES.items(), chosen, strict=True):
            monkeypatch.delenv(variable, raising=False)
            if override is not None:
                monkeypatch.setenv(variable, values.get(override, override))
            expected[lookup] = (
                values[override]
                if override in ("file", "directory")
                else expected_answer(lookup, system, bits, machine, present, root)
            )
        expected["veka_call_no_remote"] = expected["veka_call_builtin"]  # the option is unset
        assert {lookup: outcome(getattr(vc, lookup)) for lookup in expected} == expected


@examples(300)
@given(
    system=st.text(),
    machine=st.text(),
    maxsize=st.sampled_from([2**32, 2**32 + 1]) | st.integers(-(2**70), 2**70),
)
def test_classifiers_report_the_host_lower_cased(vc, system, machine, maxsize):
    vc.platform = platform_reporting(system, machine)
    vc.os = os_with_maxsize(maxsize)
    answers = vc._system(), vc._machine(), vc._bits()
    assert answers == (system.lower(), machine.lower(), "64" if maxsize > 2**32 else "32")
    assert [type(answer) for answer in answers] == [str] * 3


class Spaces(SimpleNamespace):
    """Stand-ins whose attributes live in a plain instance dict, read the generic way."""


class MoreSpaces(Spaces):
    pass


class ModuleSpaces(ModuleType):
    """Modules of a class of their own: their dict no longer decides alone."""


class MoreModuleSpaces(ModuleSpaces):
    pass


def module(**attributes):  # an exact module, whose dict the module's lookups remember
    made = ModuleType("stand_in")
    for watch in FAILING_WATCHER:
        watch(vars(made))
    vars(made).update(attributes)
    return made


class Collider:
    """A dict key that collides with a name and equals it while switched on."""

    on = False

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        return Collider.on and other == self.name


ATTRIBUTES = {  # attribute name: values a stand-in may take for it
    "maxsize": [2**31 - 1, 2**32, 2**32 + 1, 2**63 - 1],
    "system": ["Linux".strip, "Darwin".strip, b"X".strip],
    "machine": ["x86_64".strip, "ARM64".strip],
    "dirname": [os.path.dirname, str.upper],
    "abspath": [os.path.abspath, str.lower],
    "join": [os.path.join, max],
    "exists": [bool, frozenset().__contains__],
}


def checked(value):  # the result check of the module's functions
    if value is None or type(value) is str:
        return value
    raise TypeError(f"Expected str, got {type(value).__name__}")


# Each function as the Python it stands for, run on the same stand-ins. The attributes are read
# with getattr, past the interpreter's own specialised attribute reads: 3.14's can answer from a
# module's dict after its class has gained a data descriptor of that name.
def at(obj, *names):
    for name in names:
        obj = getattr(obj, name)
    return obj


REFERENCES = {
    "_bits": lambda v: "64" if at(v, "os", "sys", "maxsize") > 2**32 else "32",
    "_system": lambda v: checked(at(v, "platform", "system")().lower()),
    "_machine": lambda v: checked(at(v, "platform", "machine")().lower()),
    "_package_root": lambda v: checked(
        at(v, "os", "path", "dirname")(at(v, "os", "path", "abspath")(v.__file__))
    ),
    "_resolve_path": lambda v: resolve_path_reference(v),
}


def resolve_path_reference(v):  # in the function's order: join and the root before exists
    path = at(v, "os", "path", "join")(v._package_root(), "bin")
    return checked(path) if at(v, "os", "path", "exists")(path) else None


# 3.15 binds a `lazy import`'s placeholder, which a module's attribute reads resolve.
LAZY = ["lazy binding"] if sys.version_info >= (3, 15) else []

changes = st.lists(
    st.tuples(
        st.sampled_from(
            [
                "set",
                "delete",
                "property",
                "class attribute",
                "unset on class",
                "new dict",
                "other class",
                "colliding key",
                "switch colliders",
                *LAZY,
            ]
        ),
        st.sampled_from(["os", "sys", "path", "platform"]),
        st.sampled_from([*ATTRIBUTES, "sys", "path"]),
        st.integers(0, 3),
        st.sampled_from([Spaces, MoreSpaces]),
    ),
    max_size=12,
)


@examples(300)
@given(changes=changes, modules=st.booleans())
def test_attribute_reads_follow_every_change_of_their_objects(vc, changes, modules):
    """Every change of a stand-in (a module, whose dict's answers are remembered, or another
    object), of its dict or of its classes is seen at the next call, as plain Python sees it."""
    plain, more = (module, module) if modules else (Spaces, MoreSpaces)
    path = plain(**{name: ATTRIBUTES[name][0] for name in ("dirname", "abspath", "join", "exists")})
    stand_ins = {
        "sys": more(maxsize=sys.maxsize),
        "path": path,
        "platform": plain(system="Linux".strip, machine="x86_64".strip),
    }
    stand_ins["os"] = more(sys=stand_ins["sys"], path=path)
    vc.os, vc.platform, vc.__file__ = stand_ins["os"], stand_ins["platform"], "/pkg/veka_call.so"
    placeholders = Placeholders().__enter__()
    try:
        for kind, target, name, index, cls in [("none", "os", "sys", 0, Spaces), *changes]:
            if modules:
                cls = {Spaces: ModuleSpaces, MoreSpaces: MoreModuleSpaces}[cls]
            with suppress(AttributeError, TypeError):  # a change Python refuses is not made
                change(kind, stand_ins[target], name, index, cls, stand_ins, placeholders)
            for function, reference in REFERENCES.items():
                args = ("bin",) if function == "_resolve_path" else ()
                # The module meets the placeholders first; Python then meets them again.
                first = outcome(getattr(vc, function), *args)
                placeholders.bind_again()
                expected = outcome(reference, vc)
                assert first == expected, (function, kind)
                for _ in range(REPEATS):  # long enough for a remembered answer to be used
                    assert outcome(getattr(vc, function), *args) == expected, (function, kind)
    finally:
        placeholders.__exit__()
        Collider.on = False
        for cls in (Spaces, MoreSpaces, ModuleSpaces, MoreModuleSpaces):  # they outlive examples
            for name in [*ATTRIBUTES, "sys", "path"]:
                if name in vars(cls):
                    delattr(cls, name)


# 3.11 looks at a dict's keys again only after as many fresh lookups as it has keys: a stand-in
# has at most six.
REPEATS = 8


class Placeholders:
    """Lazy bindings: placeholders that resolve to given objects, and where each was bound. Each
    resolves by importing a module of its own name, not loaded before, whose import leaves the
    object in sys.modules: what an import statement then answers."""

    def __init__(self):
        self.bound = {}  # (id of the dict, name): (dict, placeholder, what it resolves to)
        self.values = {}  # module name: the object its import answers

    def find_spec(self, name, path=None, target=None):
        return importlib.util.spec_from_loader(name, self) if name in self.values else None

    def create_module(self, spec):
        return None

    def exec_module(self, module):
        sys.modules[module.__name__] = self.values[module.__name__]

    def __enter__(self):
        sys.meta_path.insert(0, self)
        return self

    def __exit__(self, *exception):
        sys.meta_path.remove(self)
        for name in self.values:
            sys.modules.pop(name, None)

    def bind(self, namespace, name, value):
        """Binds `name` in `namespace` lazily, to a placeholder that resolves to `value`."""
        source = f"pyveka_lazy_value_{len(self.values)}"
        self.values[source] = value
        scratch = {}
        exec(f"lazy import {source} as {name}", scratch)
        namespace[name] = dict.__getitem__(scratch, name)
        self.bound[id(namespace), name] = namespace, namespace[name], value

    def bind_again(self):
        """Puts each placeholder back where a read resolved it, and nothing else changed it."""
        for (_, name), (namespace, placeholder, value) in self.bound.items():
            if namespace.get(name, placeholder) is value:
                namespace[name] = placeholder


def change(kind, obj, name, index, cls, stand_ins, placeholders):
    value = stand_ins.get(name) or ATTRIBUTES[name][index % len(ATTRIBUTES[name])]
    placeholders.bound.pop((id(vars(obj)), name), None)  # what the change replaces is not lazy
    # Resolving a placeholder stores its value under the name: a store that the failing watcher's
    # report would make while the interpreter replaces that very entry, which then drops the
    # value it replaces twice (CPython reads it before it calls the watchers).
    if kind == "lazy binding" and not FAILING_WATCHER:
        placeholders.bind(vars(obj), name, value)
    elif kind in ("set", "lazy binding"):
        setattr(obj, name, value)
    elif kind == "delete":
        delattr(obj, name)
    elif kind == "property":
        setattr(cls, name, property(lambda self, value=value: value))
    elif kind == "class attribute":
        setattr(cls, name, value)
    elif kind == "unset on class":
        delattr(cls, name)
    elif kind == "new dict":
        obj.__dict__ = dict(vars(obj))
    elif kind == "other class":
        obj.__class__ = cls
    elif kind == "colliding key":  # ahead of the name in its probe sequence
        held = vars(obj).pop(name, value)
        vars(obj)[Collider(name)] = value
        vars(obj)[name] = held
    elif kind == "switch colliders":  # no dict changes
        Collider.on = not Collider.on

"""Names bound by a lazy import (3.15): the functions resolve the placeholder where Python would,
in the module namespace, in the builtins and in module attributes, and bind what it resolves to
in its place, exactly as the same functions written in Python do."""

import builtins
import sys
import textwrap
from types import ModuleType

import pytest
from helpers import module_frames

pytestmark = pytest.mark.skipif(sys.version_info < (3, 15), reason="lazy imports came with 3.15")

# The private functions as the Python they stand for, to run beside the module's.
TWIN_SOURCE = textwrap.dedent(
    """
    def _bits():
        return "64" if os.sys.maxsize > 2**32 else "32"

    def _system():
        return platform.system().lower()

    def _machine():
        return platform.machine().lower()

    def _package_root():
        return os.path.dirname(os.path.abspath(__file__))

    def _resolve_path(*parts):
        path = os.path.join(_package_root(), *parts)
        if os.path.exists(path):
            return path
        return None
    """
)
FUNCTIONS = ("_bits", "_system", "_machine", "_package_root", "_resolve_path")


def kind(namespace, name):
    """What a dict binds to `name`, without resolving it: the binding's type name."""
    return type(dict.__getitem__(namespace, name)).__name__ if name in namespace else "unbound"


def lazily(namespace, statement):
    exec(f"lazy {statement}", namespace)  # noqa: S102 - the statement is the test's own


def stand_in(name, **attributes):
    made = ModuleType(name)
    vars(made).update(attributes, __builtins__=builtins)
    return made


def lazy_sys_in_os(namespace):  # os.sys, bound lazily, reports a 32-bit interpreter
    sys.modules["lazy_narrow_sys"] = stand_in("lazy_narrow_sys", maxsize=2**31 - 1)
    os_module = namespace["os"] = stand_in("os_stand_in", path=sys.modules["os"].path)
    lazily(vars(os_module), "import lazy_narrow_sys as sys")
    return [vars(os_module)]


def lazy_path_in_os(namespace):
    os_module = namespace["os"] = stand_in("os_stand_in", sys=sys)
    lazily(vars(os_module), "import posixpath as path")
    return [vars(os_module)]


def lazy_builtin_os(namespace):
    del namespace["os"]
    lazily(vars(builtins), "import os")
    return [vars(builtins)]


def lazy_os_that_rebinds_it(namespace):  # the import binds the name anew: that binding stays
    sys.modules["lazy_rebinding_target"] = namespace["__lazy_target__"]
    lazily(namespace, "from lazy_rebinder import os")
    return []


SCENARIOS = {
    "os": lambda namespace: lazily(namespace, "import os") or [],
    "platform": lambda namespace: lazily(namespace, "import platform") or [],
    "os.sys": lazy_sys_in_os,
    "os.path": lazy_path_in_os,
    "os in the builtins": lazy_builtin_os,
    "os that fails to import": lambda namespace: (
        lazily(namespace, "import pyveka_no_such_module as os") or []
    ),
    "os whose import binds it anew": lazy_os_that_rebinds_it,
}


@pytest.fixture
def rebinder(tmp_path, monkeypatch):
    """A module whose import binds `os` on the module that imports it lazily."""
    (tmp_path / "lazy_rebinder.py").write_text(
        "import os, sys\n"
        "target = sys.modules['lazy_rebinding_target']\n"
        "vars(target)['os'] = 'bound anew'\n"
    )
    monkeypatch.syspath_prepend(str(tmp_path))
    yield
    for name in ("lazy_rebinder", "lazy_rebinding_target", "lazy_narrow_sys"):
        sys.modules.pop(name, None)


def twin_of(vc):
    twin = ModuleType("twin")
    namespace = vars(twin)
    namespace.update(__builtins__=builtins, __file__=vc.__file__, os=vc.os, platform=vc.platform)
    exec(TWIN_SOURCE, namespace)  # noqa: S102
    return twin


def run(module, scenario, function):
    """How `function` of `module` ends in the scenario, and what the dicts then bind."""
    namespace = vars(module)
    namespace["__lazy_target__"] = module
    sys.modules.pop("lazy_rebinder", None)  # imported afresh for each side
    try:
        dicts = [namespace, *SCENARIOS[scenario](namespace)]
        args = ("bin",) if function == "_resolve_path" else ()
        try:
            ended, cause, frames = getattr(module, function)(*args), None, []
        except Exception as error:  # noqa: BLE001 - compared as it is
            ended, cause = (type(error), str(error)), str(error.__cause__)
            frames = [frame.f_code.co_name for frame in module_frames(error)]
        bound = [{name: kind(d, name) for name in ("os", "platform", "sys", "path")} for d in dicts]
        return ended, cause, bound, frames
    finally:
        vars(builtins).pop("os", None)  # the builtins bind no os of their own


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_lazy_bindings_resolve_as_in_python(vc, rebinder, scenario, function):
    twin = twin_of(vc)
    answer, cause, bound, frames = run(vc, scenario, function)
    twin_answer, twin_cause, twin_bound, _ = run(twin, scenario, function)
    assert (answer, cause, bound) == (twin_answer, twin_cause, twin_bound)
    if cause is not None:  # what failed passed through the function, which says so
        assert frames[0] == f"pyveka.veka_call.{function}"


def test_a_lazy_stand_in_is_answered(vc, rebinder):
    lazy_sys_in_os(vars(vc))
    assert vc._bits() == "32"
    assert kind(vars(vc.os), "sys") == "module"

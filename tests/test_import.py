"""Import life cycle: one module object per process, loaded again, under another name,
from another interpreter, and after a failed import."""

import importlib
import importlib.util
import sys

import pytest
from helpers import SUBINTERPRETERS, run_python

BITS_OK = 'module._bits() in ("32", "64")'


def reimport(module, monkeypatch):
    monkeypatch.delitem(sys.modules, "pyveka.veka_call")
    return importlib.import_module("pyveka.veka_call")


@pytest.mark.parametrize("load_again", [reimport, lambda module, _: importlib.reload(module)])
def test_loading_again_keeps_the_module_and_its_namespace(vc, monkeypatch, load_again):
    vc.set_by_user, vc.os = object(), object()
    before = dict(vars(vc))
    assert load_again(vc, monkeypatch) is vc and sys.modules["pyveka.veka_call"] is vc
    assert list(vars(vc)) == list(before)
    # Only what the import system sets itself may have been replaced: by equal objects, and
    # __spec__ and __loader__ by ones for the same module and file (an editable install's
    # finder wraps each loader it hands out in a new object).
    assert all(vars(vc)[key] is value for key, value in before.items() if key not in IMPORT_SET)
    assert import_set(vars(vc)) == import_set(before)


IMPORT_SET = ("__doc__", "__package__", "__loader__", "__spec__", "__file__")


def import_set(namespace):
    spec, loader = namespace["__spec__"], namespace["__loader__"]
    return [
        namespace["__doc__"],
        namespace["__package__"],
        namespace["__file__"],
        (spec.name, spec.origin, spec.parent),
        (loader.name, loader.path),
    ]


def test_loading_the_file_under_another_name_gives_the_same_module(vc):
    spec = importlib.util.spec_from_file_location("elsewhere.veka_call", vc.__spec__.origin)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    assert module is vc and sys.modules["pyveka.veka_call"] is vc
    assert vc.veka_call_builtin.__module__ == "pyveka.veka_call"


def test_first_import_under_another_name_registers_the_full_name():
    assert (
        run_python("""
        import importlib, importlib.util, sys
        spec = importlib.util.spec_from_file_location(
            "elsewhere.veka_call", importlib.util.find_spec("pyveka.veka_call").origin)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        registered = sys.modules["pyveka.veka_call"]  # before the import below could add it
        print(registered is module is importlib.import_module("pyveka.veka_call"))
        print(module.__name__, module.veka_remote_script.__module__)
    """)
        == "True\nelsewhere.veka_call pyveka.veka_call\n"
    )


def test_second_module_object_cannot_be_initialised():
    assert run_python(f"""
        import importlib.util, sys
        first, second = (importlib.util.find_spec("pyveka.veka_call") for _ in range(2))
        module = importlib.util.module_from_spec(first)
        other = importlib.util.module_from_spec(second)
        first.loader.exec_module(module)
        try:
            second.loader.exec_module(other)
        except RuntimeError as error:
            print(error)
        print(module is not other, sys.modules["pyveka.veka_call"] is module, {BITS_OK})
    """) == (
        "Module 'veka_call' has already been imported. Re-initialisation is not supported.\n"
        "True True True\n"
    )


REFUSAL = (
    "ImportError: Interpreter change detected - this module can only be loaded into one "
    "interpreter per process."
)


# An isolated interpreter (a GIL of its own from 3.12 on) and a legacy one, which shares the
# main interpreter's GIL; from 3.12 the former refuses a module that does not declare it may try.
@pytest.mark.parametrize("run", ["run_in_subinterpreter", "_testcapi.run_in_subinterp"])
def test_second_interpreter_is_refused(tmp_path, run):
    report = tmp_path / "outcome"
    attempt = f"""
try:
    import pyveka.veka_call
    outcome = "imported"
except ImportError as error:
    outcome = f"ImportError: {{error}}"
open({str(report)!r}, "w").write(outcome)
"""
    run_python(f"""{SUBINTERPRETERS}
import _testcapi
import pyveka.veka_call as module
{run}({attempt!r})
assert {BITS_OK}
""")
    assert report.read_text() == REFUSAL


FAILED_IMPORT = """
import importlib, importlib.util, os, platform, sys, traceback, typing
{breakage}
spec = importlib.util.find_spec("pyveka.veka_call")
failed = importlib.util.module_from_spec(spec)
try:
    spec.loader.exec_module(failed)
except Exception as error:
    print(f"{{type(error).__name__}}: {{error}}")
    frames = [f.f_code.co_name for f, _ in traceback.walk_tb(error.__traceback__)]
    print([name for name in frames if "pyveka" in name])
print("pyveka.veka_call" in sys.modules)
{repair}
module = importlib.import_module("pyveka.veka_call")
print(module is not failed, {bits_ok},
      module.os is os, module.platform is platform, module.Optional is typing.Optional)
"""


def blocked(name):
    return (
        f"saved = sys.modules[{name!r}]\nsys.modules[{name!r}] = None",
        f"sys.modules[{name!r}] = saved",
        f"ModuleNotFoundError: import of {name} halted; None in sys.modules",
    )


@pytest.mark.parametrize(
    "breakage, repair, error",
    [
        (
            "saved = typing.Optional\ndel typing.Optional",
            "typing.Optional = saved",
            "ImportError: cannot import name Optional",
        ),
        blocked("os"),
        blocked("platform"),
        blocked("typing"),
    ],
    ids=["typing without Optional", "os blocked", "platform blocked", "typing blocked"],
)
def test_failed_import_leaves_nothing_behind(breakage, repair, error):
    output = run_python(FAILED_IMPORT.format(breakage=breakage, repair=repair, bits_ok=BITS_OK))
    assert output.splitlines() == [
        error,
        "['init pyveka.veka_call']",
        "False",
        "True True True True True",
    ]


# The module is built for the running version: one minor version on either side differs, and
# so do parts too large for any C integer.
BUILT = sys.version_info[1]
OTHER_VERSIONS = [(3, BUILT + 1), (3, BUILT - 1), (3, BUILT + 2**64), (3 + 2**70, BUILT)]


def mismatch(minor, major=3):
    return (
        f"compile time Python version 3.{BUILT} of module 'pyveka.veka_call' does not match "
        f"runtime version {major}.{minor}"
    )


@pytest.mark.parametrize(
    "minor, errors",
    [
        (BUILT + 1, "warnings.simplefilter('error')"),
        (BUILT - 1, "warnings.simplefilter('error', RuntimeWarning)"),
    ],
)
def test_version_mismatch_raised_as_error_fails_the_import(minor, errors):
    breakage = (
        "import warnings\n"
        f"real, sys.version_info = sys.version_info, (3, {minor}, 0, 'final', 0)\n"
        f"{errors}"
    )
    output = run_python(
        FAILED_IMPORT.format(breakage=breakage, repair="sys.version_info = real", bits_ok=BITS_OK)
    )
    # refused before any statement of the module runs: no "init" traceback entry
    assert output.splitlines() == [
        f"RuntimeWarning: {mismatch(minor)}",
        "[]",
        "False",
        "True True True True True",
    ]


@pytest.mark.parametrize("major, minor", OTHER_VERSIONS)
def test_version_mismatch_only_warns_under_default_filters(major, minor):
    assert (
        run_python(f"""
        import sys, warnings
        real, sys.version_info = sys.version_info, ({major}, {minor}, 0, "final", 0)
        with warnings.catch_warnings(record=True) as caught:
            import pyveka.veka_call as module
        sys.version_info = real
        print([(warning.category.__name__, str(warning.message)) for warning in caught])
        print(sys.modules["pyveka.veka_call"] is module, module.__test__ == {{}}, {BITS_OK})
    """)
        == f"{[('RuntimeWarning', mismatch(minor, major))]}\nTrue True True\n"
    )


def test_imports_bypass_builtins_import():
    # The standard library's own imports may go through builtins.__import__ (from 3.12 some
    # do from C): only those made with the module's namespace as globals are the module's.
    assert (
        run_python("""
        import builtins, os, sys
        for name in ("platform", "typing", "pyveka.options"):
            sys.modules.pop(name, None)
        original = builtins.__import__

        def refuse_the_module(name, globals=None, *args, **kwargs):
            if globals is not None and globals.get("__name__") == "pyveka.veka_call":
                raise ImportError(f"builtins.__import__ consulted for {name}")
            return original(name, globals, *args, **kwargs)

        builtins.__import__ = refuse_the_module
        import pyveka.veka_call as module
        os.environ["VEKA_BIN"] = sys.executable
        print(module.platform is sys.modules["platform"], module.os is os,
              module.Optional is sys.modules["typing"].Optional,
              module.veka_call_no_remote() == sys.executable)
    """)
        == "True True True True\n"
    )


def test_module_outlives_every_reference_but_its_own_for_the_next_import():
    assert (
        run_python("""
        import gc, importlib, sys, weakref
        import pyveka, pyveka.veka_call as module
        module.set_by_user, held, alive = 1, module.veka_call_builtin, weakref.ref(module)
        del module, sys.modules["pyveka.veka_call"], pyveka.veka_call
        gc.collect()
        again = importlib.import_module("pyveka.veka_call")
        print(alive() is again, again.set_by_user, held.__globals__ is vars(again))
    """)
        == "True 1 True\n"
    )


def test_spec_whose_name_stops_being_a_str_is_refused():
    """The import system reads the spec's name before the create step does: wherever it turns
    into None, the import fails with TypeError, and never builds a module named None."""
    outcomes = run_python("""
        import importlib.util, sys
        spec = importlib.util.find_spec("pyveka.veka_call")

        class Fickle(type(spec)):  # its name is a str for the first `reads` reads only
            reads = 0

            @property
            def name(self):
                Fickle.reads -= 1
                return "pyveka.veka_call" if Fickle.reads >= 0 else None

        for reads in range(8):
            fickle = object.__new__(Fickle)
            vars(fickle).update({k: v for k, v in vars(spec).items() if k != "name"})
            Fickle.reads = reads
            try:
                module = importlib.util.module_from_spec(fickle)
                fickle.loader.exec_module(module)
                print(module.__name__)
            except Exception as error:
                print(type(error).__name__)
            sys.modules.pop("pyveka.veka_call", None)
    """).split()
    assert set(outcomes) <= {"TypeError", "pyveka.veka_call"} and "TypeError" in outcomes

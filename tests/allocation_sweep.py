"""Allocation failures injected at every point of one operation, in a process of its own.

    python allocation_sweep.py answers               the normal answers after a plain import
    python allocation_sweep.py import MODE START     the import, from allocation START on
    python allocation_sweep.py call FUNCTION         one function, in every scenario
    python allocation_sweep.py left-behind           a failed import's functions, kept past
                                                     a new import and then freed

MODE "from" puts `_testcapi.set_nomemory(N, 0)` around the operation (every allocation from the
N-th on fails), MODE "at" puts `set_nomemory(N, N + 1)` (only that one fails); N counts up from
START until the operation no longer fails. An attempt must end as the operation normally ends
(its answer, or the error it normally raises) or in MemoryError; anything else is reported,
and a fatal error or a signal ends the process. After each attempt, with the fault cleared,
the module must start afresh (import) or give its normal answers (calls).

Prints one JSON object per sweep: points tried, MemoryErrors, normal endings and the others.
A successful import leaves the module imported for the rest of the process, so an import
sweep stops there and says where a fresh process goes on ("next"), with the module's answers.
"""

from __future__ import annotations

import _imp
import _testcapi
import functools
import gc
import importlib.util
import json
import os
import platform  # noqa: F401 - loaded beforehand: importlib itself loops when memory runs out
import re
import shutil
import sys
import sysconfig
import tempfile
import traceback
import typing  # noqa: F401 - loaded beforehand, as platform
from types import ModuleType, SimpleNamespace

from module_stub import NAMES

LIMIT = 100_000  # no operation here comes near that many allocations
# The module's functions, as its stub declares them (module_stub.py imports nothing of the
# package), and its lookups. The sweeps do not import helpers.py, which imports
# pyveka.veka_call and pytest: the import sweep must be the first to import the module, and
# the process should hold little more than what is swept.
LOOKUPS = ("veka_call_builtin", "grelvin_call_builtin", "veka_remote_script")


def attempt(operation, point, mode, unraisable=None):
    """How `operation` ended with allocations failing from the point-th on, or only there.
    With `unraisable` (a one-item list), an exception the interpreter reported as unraisable
    meanwhile sets its item: a failure that was not passed on."""
    try:
        try:
            _testcapi.set_nomemory(point, 0 if mode == "from" else point + 1)
            value = operation()
        finally:
            # First thing: even binding the exception may need memory.
            _testcapi.remove_mem_hooks()
    except BaseException as error:  # noqa: BLE001 - every ending is classified
        if isinstance(error, SystemError) and interpreters_own(error):
            return ["interpreter", str(error), innermost(error)]
        return ["raised", type(error).__name__, str(error)]
    if unraisable and unraisable[0]:
        return ["unraisable", "a failure was reported as unraisable and the operation went on"]
    return ["returned", value]


def noting_unraisable(flag):
    """An unraisable hook that only sets flag[0]: it allocates nothing."""

    def hook(unraisable):
        flag[0] = True

    return hook


def innermost(error):
    frame = traceback.extract_tb(error.__traceback__)[-1]
    return f"{frame.filename}:{frame.lineno} {frame.name}"


STDLIB = sysconfig.get_paths()["stdlib"]


def interpreters_own(error):
    """A SystemError that CPython 3.11 raises about itself when memory runs out in Python
    code of the standard library (os.environ.get, posixpath.join, ...), which the real host
    calls: an exception lost inside such a frame, or such a function that returned NULL
    without one. Calls on the stubbed host, made of C builtins, meet none."""
    frame = traceback.extract_tb(error.__traceback__)[-1]
    in_stdlib = frame.filename.startswith(("<frozen ", STDLIB))
    if str(error) == "error return without exception set":
        return in_stdlib
    lost = re.fullmatch(
        r"<function (\w+) at 0x[0-9a-f]+> returned NULL without setting an exception", str(error)
    )
    return bool(lost) and lost.group(1) not in NAMES


def ending(operation):
    try:
        return ["returned", operation()]
    except Exception as error:
        return ["raised", type(error).__name__, str(error)]


class Tally:
    def __init__(self, sweep):
        self.report = {
            "sweep": sweep,
            "points": 0,
            "memory_errors": 0,
            "normal": 0,
            "interpreters_own": [],
            "other": [],
        }

    def count(self, got, normal, where):
        self.report["points"] += 1
        if got == normal:
            self.report["normal"] += 1
        elif got[:2] == ["raised", "MemoryError"]:
            self.report["memory_errors"] += 1
        elif got[0] == "interpreter":
            self.report["interpreters_own"].append([where, got[1:]])
        else:
            self.report["other"].append([where, got])


def answers(module):
    return {name: ending(lambda name=name: getattr(module, name)()) for name in NAMES}


# ---- The import ---------------------------------------------------------------------


def sweep_import(mode, start):
    module_spec = importlib.util.find_spec("pyveka.veka_call")
    created = []

    def load():
        created.append(_imp.create_dynamic(module_spec))
        _imp.exec_dynamic(created[-1])
        return created[-1]

    tally = Tally(f"import, failing {mode} N")
    unraisable = [False]
    sys.unraisablehook = noting_unraisable(unraisable)
    for point in range(start, LIMIT):
        unraisable[0] = False
        got = attempt(load, point, mode, unraisable)
        if got[0] == "returned":
            module = got[1]
            tally.count(["returned"], ["returned"], point)
            if sys.modules.get("pyveka.veka_call") is not module:
                tally.report["other"].append([point, "not in sys.modules"])
            done = mode == "from"
            print(
                json.dumps(
                    tally.report | {"next": None if done else point + 1, "answers": answers(module)}
                )
            )
            return
        tally.count(got, None, point)
        # Nothing of the failed attempt is left: a create step makes a new module.
        fresh = _imp.create_dynamic(module_spec)
        if any(fresh is failed for failed in created) or "pyveka.veka_call" in sys.modules:
            tally.report["other"].append([point, "the failed module was kept"])
        created.clear()
    raise SystemExit("the import never succeeded")


# ---- A failed import's functions, left behind ------------------------------------------


def namespace_left_behind(error):
    """The namespace of the module whose exec step raised `error`, when it holds the functions
    already: the traceback entry of the exec step has it as its globals."""
    for frame, _ in traceback.walk_tb(error.__traceback__):
        if "_bits" in frame.f_globals and frame.f_globals is not globals():
            return frame.f_globals
    return None


def sweep_left_behind():
    """Fails one allocation of the import at a time until the exec step fails after making the
    functions; calls them, so that their state watches a module's dict, imports the module
    anew, lets that dict go and then the functions. Prints the point and the answers."""
    module_spec = importlib.util.find_spec("pyveka.veka_call")
    for point in range(LIMIT):
        try:
            try:
                _testcapi.set_nomemory(point, point + 1)
                _imp.exec_dynamic(_imp.create_dynamic(module_spec))
            finally:
                _testcapi.remove_mem_hooks()
        except MemoryError as error:
            namespace = namespace_left_behind(error)
            if namespace is None:
                continue
            break
        raise SystemExit("the import succeeded before any failure left its functions behind")
    doomed = ModuleType("doomed")  # an exact module: the functions watch its dict
    doomed.sys = SimpleNamespace(maxsize=1)
    namespace["os"] = doomed
    answers = [namespace["_bits"]()]
    import pyveka.veka_call

    answers.append(pyveka.veka_call._bits())
    del doomed
    namespace["os"] = SimpleNamespace(sys=SimpleNamespace(maxsize=2**40))  # the dict ends
    gc.collect()
    answers.append(namespace["_bits"]())
    namespace.clear()  # and so do the functions and their state
    gc.collect()
    print(json.dumps({"point": point, "answers": answers}))


# ---- The calls ----------------------------------------------------------------------


def host_candidates(vc):
    """Path components of the files this host's solver, mesh generator and remote launcher
    lookups try, as the lookups form them: the table itself is the other tests' business."""
    namespace = vars(vc)
    saved = dict(namespace)
    namespace["os"] = SimpleNamespace(environ={}, path=os.path, sys=sys)  # no overrides
    namespace["_resolve_path"] = lambda *parts: "/".join(parts)
    try:
        return [getattr(vc, lookup)().split("/") for lookup in LOOKUPS]
    finally:
        namespace.update(saved)


def stubbed_host(file, present, system, machine):
    """os and platform made of C builtins alone, as in the benchmark; the joined paths of
    `present` exist."""
    exists = frozenset(max(file, *parts) for parts in present).__contains__
    path = SimpleNamespace(join=max, abspath=sys.intern, dirname=sys.intern, exists=exists)
    stub_os = SimpleNamespace(environ={}, path=path, sys=SimpleNamespace(maxsize=sys.maxsize))
    return stub_os, SimpleNamespace(system=system.strip, machine=machine.strip)


LOOKUPS_FAILING_UNINSTALLED = ("veka_call_builtin", "grelvin_call_builtin", "veka_call_no_remote")


def send_down_failure_path(name, namespace, options, args):
    """Changes the namespace so that `name` fails; the arguments to call it with, `args` unless
    the arguments are what makes it fail."""
    if name == "_bits":
        del namespace["os"]
    elif name in ("_system", "_machine"):
        namespace["platform"] = SimpleNamespace(system=b"X".strip, machine=b"X".strip)
    elif name == "_package_root":
        namespace["__file__"] = b"/x/veka_call.so"
    elif name == "_resolve_path":
        return ("bin", 1)
    elif name == "veka_remote_script":
        del namespace["_resolve_path"]
    elif name == "veka_call_no_remote":
        options.veka_set_option("veka.call", "remote")
    return args


def sweep_call(name):
    import pyveka.options as options
    import pyveka.veka_call as vc

    namespace = vars(vc)
    original = dict(namespace)
    rows = host_candidates(vc)
    system, machine = vc.platform.system(), vc.platform.machine()
    for host in ("real", "stubbed"):
        for path in ("normal", "failure"):
            root = tempfile.mkdtemp()
            namespace.clear()
            namespace.update(original, __file__=os.path.join(root, "veka_call.so"))
            options.veka_set_option("veka.call", None)
            # On the failure path the lookups find nothing installed; the others fail otherwise.
            nothing = path == "failure" and name in LOOKUPS_FAILING_UNINSTALLED
            present = [] if nothing else rows
            for parts in present:
                target = os.path.join(root, *parts)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                open(target, "w").close()
            if host == "stubbed":
                namespace["os"], namespace["platform"] = stubbed_host(
                    namespace["__file__"], present, system, machine
                )
            args = ("bin", "remote", "veka.remote") if name == "_resolve_path" else ()
            if path == "failure":
                args = send_down_failure_path(name, namespace, options, args)
            function = getattr(vc, name)
            operation = functools.partial(function, *args)
            normal = ending(operation)
            assert (normal[0] == "raised") == (path == "failure"), (name, host, path, normal)
            everything = answers(vc)
            tally = Tally(f"{name}, {host} host, {path} path")
            for point in range(LIMIT):
                whole = attempt(operation, point, "from")
                tally.count(whole, normal, [point, "from"])
                tally.count(attempt(operation, point, "at"), normal, [point, "at"])
                afterwards = answers(vc)
                if afterwards != everything:
                    tally.report["other"].append([point, "afterwards", afterwards])
                if whole == normal:
                    break
            print(json.dumps(tally.report), flush=True)
            shutil.rmtree(root)
    namespace.clear()
    namespace.update(original)


if __name__ == "__main__":
    command = sys.argv[1]
    if command == "answers":
        import pyveka.veka_call

        print(json.dumps({"answers": answers(pyveka.veka_call)}))
    elif command == "import":
        sweep_import(sys.argv[2], int(sys.argv[3]))
    elif command == "left-behind":
        sweep_left_behind()
    else:
        sweep_call(sys.argv[2])

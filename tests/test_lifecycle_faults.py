"""Where CPython's own tests look hardest: interpreter teardown, objects after tp_clear, finalizers
that run mid-call, borrowed objects freed under the module, and deep recursion."""

import os
import subprocess
import sys
from types import SimpleNamespace

import pytest
from helpers import HOST, LOOKUPS, SUBINTERPRETERS, run_python

# A finalizer that calls the configured-call lookup once the interpreter's sys.modules is gone:
# the object sits in a cycle that the module namespace holds, so it is collected only by the
# last collection of the teardown. It keeps what it needs, since builtins are gone by then.
LATE_CALL = """
import os, pyveka.veka_call as vc

class Late:
    def __init__(self, fd):
        self.call, self.write, self.catch, self.fd, self.cycle = (
            vc.veka_call_no_remote, os.write, BaseException, fd, self)

    def __del__(self):
        try:
            self.call()
            outcome = b"returned"
        except self.catch as error:
            outcome = error.__class__.__name__.encode()
        self.write(self.fd, outcome)

vc.late = Late({fd})
"""


@pytest.mark.parametrize("where", ["subinterpreter", "main interpreter"])
def test_call_during_interpreter_teardown_raises(where):
    if where == "subinterpreter":
        code = f"""{SUBINTERPRETERS}
import os
read, write = os.pipe()
run_in_subinterpreter({LATE_CALL!r}.format(fd=write))  # and its teardown
os.close(write)
print(os.read(read, 100).decode())
"""
        outcome = run_python(code).strip()
    else:
        outcome = run_python(LATE_CALL.format(fd=1))
    assert outcome and outcome != "returned" and outcome.endswith("Error")


class Departing:
    """An override value that is false and, once freed, rebinds the module's _resolve_path."""

    def __init__(self, module):
        self.module = module

    def __bool__(self):
        return False

    def __del__(self):
        self.module._resolve_path = lambda *parts: "rebound by a finalizer"


@pytest.mark.parametrize("lookup", LOOKUPS)
def test_locals_live_until_the_call_returns(vc, installed, lookup):
    expected = installed[lookup]
    vc.os = SimpleNamespace(
        environ=SimpleNamespace(get=lambda key: Departing(vc)), path=os.path, sys=sys
    )
    assert (
        getattr(vc, lookup)() == expected
    )  # as the Python function answers: env outlives the call
    assert vc._resolve_path() == "rebound by a finalizer"  # and its finalizer ran afterwards


# Daemon threads inside the module's functions when the interpreter finalizes: 3.11 to 3.13 end
# such a thread by pthread_exit when it wants the GIL back (in os.stat, here), which glibc does
# by unwinding its stack through the module's frames; 3.14 leaves it waiting. Either way the
# process must end as the same program in Python ends: with status 0.
DAEMONS_AT_EXIT = """
import os, sys, threading, time
{override}
import pyveka.veka_call as vc
{setup}
def loop():
    while True:
        try:
            vc.{lookup}()
        except OSError:  # no bin/ tree here
            pass

for _ in range(2):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.1)
"""


# Where a daemon thread stands when the interpreter ends it: in a call the module makes (the
# override's os.path.exists), or in a finalizer that the module's drop of a reference runs.
IN_A_CALL = ('os.environ["VEKA_BIN"] = sys.executable', "")
IN_A_FINALIZER = (
    'os.environ.pop("VEKA_BIN", None)',
    "class Name(str):\n"
    "    def __del__(self):\n"
    "        time.sleep(0)  # lets the GIL go and takes it back\n"
    'vc._system = lambda: Name("linux")\n',
)


@pytest.mark.parametrize("lookup", ["veka_call_builtin", "veka_call_no_remote"])
@pytest.mark.parametrize(
    "override, setup", [IN_A_CALL, IN_A_FINALIZER], ids=["in a call", "in a finalizer"]
)
def test_daemon_threads_in_a_call_at_exit(lookup, override, setup):
    # The same program in Python loses at exit what its daemon threads hold: not a leak of the
    # module's, so a sanitizer run does not judge it.
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    for _ in range(3):  # where a thread stands at the end varies from run to run
        done = subprocess.run(
            [
                sys.executable,
                "-c",
                DAEMONS_AT_EXIT.format(lookup=lookup, override=override, setup=setup),
            ],
            capture_output=True,
            text=True,
            timeout=60,
            env=env,
        )
        assert (done.returncode, done.stderr) == (0, "")


def test_objects_after_tp_clear():
    assert run_python("""
        import ctypes, gc, pyveka.veka_call as vc

        get_slot = ctypes.pythonapi.PyType_GetSlot
        get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
        TP_CLEAR = 51  # Py_tp_clear in typeslots.h

        def clear(obj):  # what the garbage collector does to each object of a dead cycle
            ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(obj), TP_CLEAR))(obj)

        def outcome(call):
            try:
                return call()
            except Exception as error:
                return f"{type(error).__name__}: {error}"

        solver, remote = vc.veka_call_builtin, vc.veka_remote_script
        state = next(o for o in gc.get_referents(solver) if type(o).__name__ == "shared_state")
        clear(solver)
        print(solver.__name__, solver.__qualname__, solver.__code__.co_name,
              repr(solver).split(" at ")[0])
        print(solver.__doc__, solver.__annotations__, solver.__globals__, solver.__dict__)
        print(outcome(solver))
        print(outcome(remote) == outcome(vc.veka_remote_script) != outcome(solver))
        clear(state)
        print(outcome(remote))
        print(remote.__name__, remote.__doc__.strip())
    """).splitlines() == [
        # name and qualname are the empty str, as on a cleared Python function: a str subclass
        # set there could close a cycle
        "  veka_call_builtin <function ",
        "None {} None {}",
        "RuntimeError: veka_call_builtin() was called after its module was torn down",
        "True",
        "RuntimeError: veka_remote_script() was called after its module was torn down",
        "veka_remote_script Return the path to the remote launcher script if present, else None.",
    ]


def test_version_info_freed_while_it_is_read():
    assert (
        run_python("""
        import sys
        real = sys.version_info

        class Fickle(tuple):  # its only owner is sys.version_info, which it replaces when read
            def __getitem__(self, index):
                sys.version_info = real
                return real[index]

        sys.version_info = Fickle(real)
        import pyveka.veka_call as vc
        print(vc._bits() in ("32", "64"), sys.version_info is real)
    """)
        == "True True\n"
    )


# Each rebinding closes a cycle of the module's functions calling each other, directly or
# through a Python function.
CYCLES = {  # the rebinding, and the call that enters the cycle
    "solver lookup": ("vc._system = vc.veka_call_builtin", "vc.veka_call_builtin()"),
    "solver lookup and Python": (
        "vc._system = lambda: vc.veka_call_builtin()",
        "vc.veka_call_builtin()",
    ),
    "solver lookup, from its path resolution, and Python": (  # its deepest frames
        "vc._resolve_path = lambda *parts: vc.veka_call_builtin()",
        "vc.veka_call_builtin()",
    ),
    "path resolution and Python": (
        "vc._package_root = lambda: vc._resolve_path()",
        "vc._resolve_path()",
    ),
    "path resolution": ("vc._package_root = vc._resolve_path", "vc._resolve_path('bin')"),
    "configured call": (
        "vc.veka_call_builtin = vc.veka_call_no_remote",
        "vc.veka_call_no_remote()",
    ),
    "remote script": ("vc._package_root = vc.veka_remote_script", "vc.veka_remote_script()"),
    "mesher lookup": ("vc._bits = vc.grelvin_call_builtin", "vc.grelvin_call_builtin()"),
}

# Where a recursion runs: the main thread (its stack as the system gives it, 8 MiB here), or
# a thread of a 4 MiB stack.
STACKS = {"main thread": None, "4 MiB thread": 4 << 20}

RECURSION = """
import os, sys, threading
os.environ.pop("VEKA_BIN", None)
{setup}
def run():
    sys.setrecursionlimit({limit})
    try:
        {call}
    except RecursionError:
        print("RecursionError")
if {stack}:
    threading.stack_size({stack})
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
else:
    run()
"""

BUILTIN_CHAIN = ("import operator\ndef chain():\n    return operator.call(chain)", "chain()")


def survives(setup, call, limit, stack):
    # A probe that overflows the C stack is expected, not a finding of a sanitizer run.
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":handle_segv=0"
    code = RECURSION.format(setup=setup, call=call, limit=limit, stack=stack)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    return done.returncode == 0 and done.stdout == "RecursionError\n"


@pytest.fixture(scope="module", params=STACKS.values(), ids=STACKS)
def stack_and_limit(request):
    """A stack, and the highest recursion limit (to within 1%) at which a recursion through a
    C builtin (operator.call) ends in RecursionError rather than in a C stack overflow on it."""
    stack, low, high = request.param, 1_000, 1_000_000
    if not survives(*BUILTIN_CHAIN, low, stack):
        pytest.skip("no recursion limit worth testing survives on this C stack")
    while high - low > low // 100:
        middle = (low + high) // 2
        low, high = (middle, high) if survives(*BUILTIN_CHAIN, middle, stack) else (low, middle)
    return stack, low


@pytest.mark.parametrize("rebinding, call", CYCLES.values(), ids=CYCLES)
def test_recursion_ends_where_a_c_builtin_survives(rebinding, call, stack_and_limit):
    stack, limit = stack_and_limit
    setup = f"import pyveka.veka_call as vc\n{rebinding}"
    assert survives(setup, call, limit, stack)


# A partial object calls what it stores with no reference of its own, passing its stored
# arguments in place: replacing its state mid-call frees the running function and its
# arguments, unless the call holds them as a Python frame does.
PARTIAL_REPLACED_MID_CALL = """
import functools, os
import pyveka.veka_call as vc

def python_resolve_path(*parts):
    path = os.path.join(_package_root(), *parts)
    return path if os.path.exists(path) else None

_package_root = vc._package_root
for resolve in (vc.__dict__.pop("_resolve_path"), python_resolve_path):
    held = functools.partial(resolve, *(f"missing{{index}}" for index in range({count})))
    del resolve

    def replacing_root():
        held.__setstate__((print, (), None, None))
        return _package_root()

    vc._package_root = replacing_root
    print(held())
"""


@pytest.mark.parametrize("count", [1, 25])
def test_a_call_owns_its_function_and_arguments(count):
    assert run_python(PARTIAL_REPLACED_MID_CALL.format(count=count)) == "None\nNone\n"


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers came with 3.12")
def test_without_a_free_dict_watcher_every_lookup_is_made_afresh():
    assert (
        run_python("""
        import _testcapi, sys
        while True:  # take every watcher the interpreter has left
            try:
                _testcapi.add_dict_watcher(0)
            except RuntimeError:
                break
        import pyveka.veka_call as vc
        answers = [vc._bits()]
        vc.os = type(sys)("stand_in")
        vc.os.sys = type(sys)("sys")
        for maxsize in (1, 2**40, 2):
            vc.os.sys.maxsize = maxsize
            answers.append(vc._bits())
        print(answers)
    """)
        == f"[{HOST[1]!r}, '32', '64', '32']\n"  # the real os first: this host's word size
    )


# Other code may take the module's watcher away: clear it by its id, or unwatch the dicts. The id
# is the lowest free one when the module is imported, found by taking it and giving it back.
WATCHER_TAKEN_AWAY = """
import _testcapi, sys
from types import SimpleNamespace as Space
module_id = _testcapi.add_dict_watcher(0)
_testcapi.clear_dict_watcher(module_id)
import pyveka.veka_call as vc

vc.os = Space(sys=Space(maxsize=2**63 - 1))
answers = [vc._bits(), vc._bits()]
{take_away}
vc.os = Space(sys=Space(maxsize=2**31 - 1))  # frees the namespace the module read last
reuse = [Space(sys=None) for _ in range(100)]  # and new objects take its memory
answers.append(vc._bits())
print(answers)
"""

TAKE_AWAY = {
    "watcher cleared": "_testcapi.clear_dict_watcher(module_id)",
    "namespace unwatched": "_testcapi.unwatch_dict(module_id, vars(vc))",
}


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers came with 3.12")
@pytest.mark.parametrize("take_away", TAKE_AWAY.values(), ids=TAKE_AWAY)
def test_watcher_taken_away_never_hands_out_a_freed_object(take_away):
    pytest.importorskip("_testcapi", reason="_testcapi clears and unwatches other watchers")
    answers = eval(run_python(WATCHER_TAKEN_AWAY.format(take_away=take_away)))
    # What the namespace held when the module last heard of it, or what it holds now.
    assert answers[:2] == ["64", "64"] and answers[2] in ("64", "32")


def test_a_cleared_watcher_is_noticed_at_the_next_fresh_lookup():
    pytest.importorskip("_testcapi", reason="_testcapi clears other watchers")
    if sys.version_info < (3, 12):
        pytest.skip("dict watchers came with 3.12")
    take_away = "_testcapi.clear_dict_watcher(module_id); vc._system()"
    answers = eval(run_python(WATCHER_TAKEN_AWAY.format(take_away=take_away)))
    assert answers == ["64", "64", "32"]


# A watcher added after the module's is called after it, before the store: when it fails, the
# interpreter reports the failure through sys.unraisablehook, whose default writes to
# sys.stderr. A call of the module made there sees the value being replaced, and must not
# remember it.
LATER_FAILING_WATCHER = """
import _testcapi, sys
from types import SimpleNamespace as Space
import pyveka.veka_call as vc

seen = []
failing = _testcapi.add_dict_watcher(1)  # raises RuntimeError at every event
_testcapi.watch_dict(failing, vars(vc))

class Writer:
    def write(self, text):
        seen.append(vc._bits())
        return len(text)

    def flush(self):
        pass

def hook(unraisable):
    seen.append(vc._bits())

{report}
for maxsize in (2**63 - 1, 2**31 - 1, 2**63 - 1, 2**31 - 1):
    vc.os = Space(sys=Space(maxsize=maxsize))  # frees the namespace before it
    reuse = [Space(sys=None) for _ in range(100)]
    seen.append(vc._bits())
    seen.append(vc._bits())
_testcapi.clear_dict_watcher(failing)
sys.stderr = sys.__stderr__
print((sorted(set(seen[:-2])), seen[-2:]))
"""

REPORTS = {
    "unraisable hook": "sys.unraisablehook = hook",
    "stderr": "sys.stderr = Writer()",
}


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers came with 3.12")
@pytest.mark.parametrize("report", REPORTS.values(), ids=REPORTS)
def test_call_between_a_change_and_its_store_remembers_nothing(report):
    pytest.importorskip("_testcapi", reason="_testcapi adds a failing watcher")
    seen, last = eval(run_python(LATER_FAILING_WATCHER.format(report=report)))
    assert seen == sorted({HOST[1], "64", "32"}) and last == ["32", "32"]

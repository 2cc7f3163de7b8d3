"""The configured solver call (option "veka.call") and its wiring into pyveka.options."""

import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from helpers import LINUX_HOST, Shouting, Text, check, not_found

from pyveka import options

SOLVER, SAME = "the solver", "the value itself"


@pytest.fixture(autouse=True)
def unset_options():
    yield
    for key in ("veka.call", "veka.other"):
        options.veka_set_option(key, None)


@pytest.fixture
def solver(installed):
    return installed["veka_call_builtin"]


@pytest.mark.parametrize(
    "value, answer",
    [
        *[
            (value, SOLVER)
            for value in (
                None,
                "remote",
                "REMOTE",
                "Remote",
                "veka.remote",
                "VEKA.REMOTE",
                "Veka.Remote",
                Shouting(),
                Text("Remote"),
            )
        ],
        *[
            (value, SAME)
            for value in (
                " remote",
                "remote ",
                "remote\n",
                "/x/veka.remote",
                "remoteX",
                "xremote",
                "veka.remotes",
                "",
                "/Opt/VEKA/Veka.Run -T 4",
            )
        ],
        *[
            (value, TypeError)
            for value in (Path("/opt/veka"), b"remote", 0, False, Text("/opt/veka"))
        ],
    ],
)
def test_configured_call(vc, solver, monkeypatch, value, answer):
    looked_up, lookup = [], vc.veka_call_builtin

    def counted_lookup():
        looked_up.append(1)
        return lookup()

    vc.veka_call_builtin = counted_lookup
    # Whatever the getter answers, which veka_set_option refuses for what is not a str.
    monkeypatch.setattr(options, "veka_get_option", {"veka.call": value}.get)
    if answer is TypeError:
        with pytest.raises(TypeError, match=f"^Expected str, got {type(value).__name__}$"):
            vc.veka_call_no_remote()
    else:
        for ask in (vc.veka_call_no_remote, lambda: options.get("veka.call")):
            assert (ask() == solver) if answer is SOLVER else (ask() is value)
    # the solver is looked up only when needed
    assert len(looked_up) == (2 if answer is SOLVER else 0)


def test_no_solver_installed(vc, tree, host):
    host(*LINUX_HOST)
    options.veka_set_option("veka.call", "remote")
    check(vc.veka_call_no_remote, not_found("veka_call_builtin"))
    options.veka_set_option("veka.call", "/opt/veka/veka.run")
    assert vc.veka_call_no_remote() == "/opt/veka/veka.run"


def test_getter_is_imported_at_every_call(vc, solver, monkeypatch):
    asked = []
    for stored, answer in (("/first", "/first"), ("Remote", solver)):

        def getter(*args, stored=stored):
            asked.append(args)
            return stored

        monkeypatch.setattr(options, "veka_get_option", getter)
        assert vc.veka_call_no_remote() == answer
    assert asked == [("veka.call",), ("veka.call",)]
    monkeypatch.delattr(options, "veka_get_option")
    with pytest.raises(ImportError, match="^cannot import name veka_get_option$"):
        vc.veka_call_no_remote()


@pytest.mark.parametrize("value", [Path("/opt/veka"), b"remote", 0, Shouting(), Text("remote")])
def test_set_option_refuses_a_call_that_is_not_a_str(value):
    options.veka_set_option("veka.call", "/opt/veka/veka.run")
    message = (
        "option 'veka.call' must be a str (the solver's path or command, or 'remote'), "
        f"not {type(value).__name__}"
    )
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        options.veka_set_option("veka.call", value)
    assert options.veka_get_option("veka.call") == "/opt/veka/veka.run"  # left as it was
    options.veka_set_option("veka.other", value)  # other options hold what they are given
    assert options.veka_get_option("veka.other") is value


def test_options_get_answers_other_keys_as_stored(solver):
    options.veka_set_option("veka.other", "remote")
    assert options.get("veka.other") == "remote"


@pytest.mark.parametrize("package", [None, "json"], ids=["own package", "package rebound"])
def test_getter_supplied_by_the_options_module_getattr(vc, monkeypatch, package):
    # The module found in sys.modules answers through its own attribute lookup,
    # __getattr__ included, before any import is tried.
    def supplied(name):
        if name == "veka_get_option":
            return lambda key: "/opt/custom"
        raise KeyError(name)  # the import system's probes would fail loudly

    monkeypatch.delattr(options, "veka_get_option")
    monkeypatch.setattr(options, "__getattr__", supplied, raising=False)
    if package:
        vc.__package__ = package
    assert vc.veka_call_no_remote() == "/opt/custom"


def test_call_from_a_finalizer_late_in_shutdown_does_not_abort():
    script = textwrap.dedent("""
        import sys, pyveka.veka_call as v
        class Late:
            def __del__(self):
                try:
                    self.f()
                except BaseException:
                    pass
        late = Late()
        late.f = v.veka_call_no_remote
        late.cycle = late
        sys.late_holder = late
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert (done.returncode, "Fatal Python error" in done.stderr) == (0, False), done.stderr

"""Calls repeated many times, whether they succeed or fail, leave nothing behind."""
import gc, sys
from types import SimpleNamespace as NS

import pytest

import pyveka.veka_call

FUNCTIONS = {name: getattr(pyveka.veka_call, name) for name in (
    "_bits", "_system", "_machine", "_package_root", "_resolve_path", "veka_call_builtin",
    "veka_call_no_remote", "grelvin_call_builtin", "veka_remote_script")}
Text = type("Text", (str,), {})


def churn(call, times):
    for _ in range(times):
        try:
            call()
        except Exception:
            pass


def rebind(name, value):
    return lambda vc, monkeypatch: setattr(vc, name, value)


CASES = [(name, (), {}, None) for name in FUNCTIONS] + [
    ("_resolve_path", ("bin", "linux", "64bit", "veka.mkl.run"), {}, None),
    ("_resolve_path", ("bin", "missing"), {}, None),
    ("_resolve_path", (1,), {}, None),  # TypeError from os.path.join
    ("veka_call_builtin", (), {}, lambda vc, monkeypatch: monkeypatch.setenv("VEKA_BIN", sys.executable)),
    ("_bits", (1, 2), {}, None),  # refusals
    ("veka_remote_script", (1,), {"x": 1}, None),
    ("_resolve_path", ("bin",), {"sep": "/"}, None),
    ("_package_root", (), {}, lambda vc, monkeypatch: delattr(vc, "__file__")),  # NameError
    ("veka_call_no_remote", (), {}, lambda vc, monkeypatch: delattr(vc, "_package_root")),
    ("veka_remote_script", (), {}, rebind("_resolve_path", lambda *parts: 7)),  # result check
    ("_system", (), {}, rebind("platform", NS(system=lambda: NS(lower=lambda: Text("linux"))))),
    ("veka_call_builtin", (), {}, rebind("__file__", "/no/such/dir/m.so")),  # FileNotFoundError
    ("grelvin_call_builtin", (), {}, rebind("__file__", "/no/such/dir/m.so")),
    ("grelvin_call_builtin", (), {}, rebind("_system", lambda: "plan9")),  # Unknown OS
]


@pytest.mark.parametrize("name, args, kwargs, setup", CASES)
def test_repeated_calls_do_not_leak(vc, tree, host, monkeypatch, name, args, kwargs, setup):
    host("linux", "64", "x86_64")
    for relative in ("bin/linux/64bit/veka.mkl.run", "bin/linux/64bit/grelvin.run", "bin/remote/veka.remote"):
        tree(relative)
    if setup:
        setup(vc, monkeypatch)
    call = lambda: FUNCTIONS[name](*args, **kwargs)  # noqa: E731
    try:
        result = call()
    except Exception:
        result = None
    watched = [o for o in (FUNCTIONS[name], vars(vc), result, *args) if o is not None]
    churn(call, 200)
    gc.collect()
    blocks, references = sys.getallocatedblocks(), [sys.getrefcount(o) for o in watched]
    churn(call, 2000)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 10
    assert [sys.getrefcount(o) for o in watched] == references

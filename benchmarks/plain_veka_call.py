"""The nine functions of pyveka.veka_call written as plain Python, for the benchmark.

The benchmark runs them as Python, and compiles this file with Cython: what a user who
wanted the same logic without the native module would otherwise pick.
"""

import os
import platform


def _bits() -> "str":
    return "64" if os.sys.maxsize > 2**32 else "32"


def _system() -> "str":
    return platform.system().lower()


def _machine() -> "str":
    return platform.machine().lower()


def _package_root() -> "str":
    return os.path.dirname(os.path.abspath(__file__))


def _resolve_path(*parts: "str") -> "str | None":
    path = os.path.join(_package_root(), *parts)
    if os.path.exists(path):
        return path
    return None


def veka_call_builtin() -> "str":
    env = os.environ.get("VEKA_BIN")
    if env and os.path.exists(env):
        return env
    sysname = _system()
    bits = _bits()
    mach = _machine()
    if sysname == "darwin":
        if mach == "arm64" or mach == "aarch64":
            path = _resolve_path("bin", "mac.arm64", "veka.run")
        else:
            path = _resolve_path("bin", "mac", f"{bits}bit", "veka.run")
    elif sysname == "linux":
        path = _resolve_path("bin", "linux", f"{bits}bit", "veka.mkl.run")
    elif sysname.startswith("win"):
        path = _resolve_path("bin", "windows", f"{bits}bit", "veka.exe")
    else:
        raise RuntimeError("Unknown OS")
    if path:
        return path
    raise FileNotFoundError("VEKA installation error; veka binary not found for this OS/arch.")


def veka_call_no_remote() -> "str":
    from pyveka.options import veka_get_option

    call = veka_get_option("veka.call")
    if call is None:
        return veka_call_builtin()
    lowered = (call if type(call) is str else str(call)).lower()
    if lowered == "remote" or lowered == "veka.remote":
        return veka_call_builtin()
    return call


def grelvin_call_builtin() -> "str":
    env = os.environ.get("GRELVIN_BIN")
    if env and os.path.exists(env):
        return env
    sysname = _system()
    bits = _bits()
    mach = _machine()
    if sysname == "darwin":
        if mach == "arm64" or mach == "aarch64":
            path = _resolve_path("bin", "mac.arm64", "grelvin.run")
        else:
            path = _resolve_path("bin", "mac", f"{bits}bit", "grelvin.run")
    elif sysname == "linux":
        path = _resolve_path("bin", "linux", f"{bits}bit", "grelvin.run")
    elif sysname.startswith("win"):
        path = _resolve_path("bin", "windows", f"{bits}bit", "grelvin.exe")
    else:
        raise RuntimeError("Unknown OS")
    if path:
        return path
    raise FileNotFoundError("VEKA installation error; grelvin binary not found for this OS/arch.")


def veka_remote_script() -> "str | None":
    env = os.environ.get("VEKA_REMOTE_BIN")
    if env and os.path.exists(env):
        return env
    return _resolve_path("bin", "remote", "veka.remote")

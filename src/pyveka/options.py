"""Package options, held in memory for the life of the process.

``get("veka.call")`` answers through :func:`pyveka.veka_call.veka_call_no_remote`,
which reads the stored value through :func:`veka_get_option` and replaces an
unset or remote value by the built-in solver path. Reading the stored value
through the getter (never through ``get``) is what keeps the two from
recursing into each other.
"""

from __future__ import annotations

from typing import Any

from . import veka_call

_store: dict[str, Any] = {}
# The options whose values must be text, as what reads them needs: veka_call_no_remote()
# answers a stored "veka.call" only when it is exactly a str.
_TEXT_OPTIONS = ("veka.call",)


def veka_get_option(key: str) -> Any:
    """The value stored under ``key``, or None when the option is not set."""
    return _store.get(key)


def veka_set_option(key: str, value: Any) -> None:
    """Store ``value`` under ``key``; None unsets the option.

    "veka.call" takes only a str (the solver's path or command, or "remote"): anything else
    is refused here with TypeError, rather than by the lookup that would read it later."""
    if key in _TEXT_OPTIONS and value is not None and type(value) is not str:
        raise TypeError(
            f"option {key!r} must be a str (the solver's path or command, or 'remote'), "
            f"not {type(value).__name__}"
        )
    if value is None:
        _store.pop(key, None)
    else:
        _store[key] = value


def get(key: str) -> Any:
    """The option as the package uses it: "veka.call" resolved, others as stored."""
    if key == "veka.call":
        return veka_call.veka_call_no_remote()
    return veka_get_option(key)

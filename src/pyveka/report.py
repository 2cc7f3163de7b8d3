"""The report on how this host finds each program, as data: what the module answers and
what the file system holds, gathered without changing anything the lookups do.

Every answer comes from :mod:`pyveka.veka_call` itself. The candidate file is the one the
table of programs (:mod:`pyveka.programs`) names for the host that the module's own
classifiers report, below the module's own package root; a test holds the table equal to
the lookups. The report only reads, and rebinds nothing in the module.

Each record's ``to_json()`` gives it with the keys the README documents.
"""

from __future__ import annotations

import builtins
import os
import shlex
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from . import __version__, options, veka_call
from .programs import PROGRAMS, REMOTE_PARTS, UNKNOWN_OS, Program

CONFIGURED_CALL = "veka.call"  # the option veka_call_no_remote() reads


def called(call: Callable[[], object]) -> tuple[object, str | None]:
    """What call() returns and None, or None and the exception it raised, as text."""
    try:
        return call(), None
    except Exception as error:  # reported, not handled
        return None, f"{type(error).__name__}: {error}"


def lookup_of(program: Program) -> Callable[[], str | None]:
    """The program's lookup in pyveka.veka_call, as the module binds it now."""
    lookup: Callable[[], str | None] = getattr(veka_call, program.function)
    return lookup


def lookups_os() -> Any:
    """The `os` the lookups use: the module's own binding, else the builtins' one,
    as the module's call-time name resolution finds it."""
    namespace = vars(veka_call)
    # getattr, as the name is not one builtins declares to type checkers.
    return namespace["os"] if "os" in namespace else getattr(builtins, "os")  # noqa: B009


def shown_value(value: object) -> str | None:
    """A value as JSON can carry it: a str or None as it is, anything else as its repr."""
    return value if value is None or isinstance(value, str) else repr(value)


# ---- The records ------------------------------------------------------------------------


@dataclass(frozen=True)
class Answer:
    """A lookup's own answer: a path (None for no remote launcher), or the error it raised."""

    path: Any  # a str or None from the lookups; whatever a stand-in put in their place answers
    error: str | None

    @classmethod
    def of(cls, lookup: Callable[[], object]) -> Answer:
        return cls(*called(lookup))

    def to_json(self) -> dict[str, object]:
        return {"path": self.path, "error": self.error}


@dataclass(frozen=True)
class Host:
    """The host as the module's classifiers report it; a classifier's error in its place."""

    system: object
    machine: object
    bits: object

    def to_json(self) -> dict[str, object]:
        return {"system": self.system, "machine": self.machine, "bits": self.bits}


@dataclass(frozen=True)
class Override:
    """The override variable as the lookup sees it: unset, empty, ignored or used, or unknown
    when the lookups' os cannot be read; for a used one, what is there and the fix."""

    variable: str
    value: str | None
    state: str
    file: str | None = None
    fix: str | None = None

    def to_json(self) -> dict[str, object]:
        return {
            "variable": self.variable,
            "value": self.value,
            "state": self.state,
            "file": self.file,
            "fix": self.fix,
        }


@dataclass(frozen=True)
class Candidate:
    """The one built-in file the lookup tries, and what is there; or why there is none."""

    path: str | None
    state: str
    reason: str | None = None
    fix: str | None = None

    def to_json(self) -> dict[str, object]:
        return {"path": self.path, "state": self.state, "reason": self.reason, "fix": self.fix}


@dataclass(frozen=True)
class ProgramReport:
    function: str
    override: Override
    candidate: Candidate
    answer: Answer

    def to_json(self) -> dict[str, object]:
        return {
            "function": self.function,
            "override": self.override.to_json(),
            "candidate": self.candidate.to_json(),
            "answer": self.answer.to_json(),
        }


@dataclass(frozen=True)
class ConfiguredCall:
    option: str
    value: str | None
    answer: Answer

    def to_json(self) -> dict[str, object]:
        return {"option": self.option, "value": self.value, "answer": self.answer.to_json()}


@dataclass(frozen=True)
class Report:
    version: str
    host: Host
    package_root: object
    programs: dict[str, ProgramReport]
    configured_call: ConfiguredCall

    def to_json(self) -> dict[str, object]:
        return {
            "version": self.version,
            "host": self.host.to_json(),
            "package_root": self.package_root,
            "programs": {key: entry.to_json() for key, entry in self.programs.items()},
            "configured_call": self.configured_call.to_json(),
        }


# ---- Gathering them ---------------------------------------------------------------------


def file_state(path: str) -> tuple[str, str | None]:
    """found, missing, dangling-link, directory or not-executable, and the fix."""
    if os.path.islink(path) and not os.path.exists(path):
        return "dangling-link", None
    if not os.path.exists(path):
        return "missing", None
    if os.path.isdir(path):
        return "directory", None
    if os.name != "nt" and not os.access(path, os.X_OK):
        return "not-executable", f"chmod +x {shlex.quote(path)}"
    return "found", None


def candidate_of(program: Program) -> Candidate:
    """The one built-in candidate the lookup tries on this host, found or not: the table's
    file for the host the module's own classifiers report, below the module's package root."""
    try:
        if program.files is None:  # the same file on every host: the lookup classifies none
            parts: tuple[str, ...] | None = REMOTE_PARTS
        else:
            host = (veka_call._system(), veka_call._machine(), veka_call._bits())
            parts = program.candidate(*host)
        if parts is None:
            return Candidate(None, "none", UNKNOWN_OS)
        path = os.path.join(veka_call._package_root(), *parts)
    except Exception as error:  # reported, not handled
        return Candidate(None, "none", f"{type(error).__name__}: {error}")
    state, fix = file_state(path)
    return Candidate(path, state, fix=fix)


def override_of(program: Program) -> Override:
    """The override as the lookup sees it, through the lookups' own os; when it is used,
    what is there, as for a candidate."""
    value = None
    try:
        used_os = lookups_os()
        value = used_os.environ.get(program.variable)
        if value is None:
            state = "unset"
        elif not value:
            state = "empty"
        elif not used_os.path.exists(value):
            state = "ignored"
        else:
            state = "used"
    except Exception as error:  # reported, not handled
        state = f"unknown: {type(error).__name__}: {error}"
    if state == "used" and isinstance(value, str):
        return Override(program.variable, value, state, *file_state(value))
    return Override(program.variable, shown_value(value), state)


def program_report(program: Program) -> ProgramReport:
    return ProgramReport(
        program.function,
        override_of(program),
        candidate_of(program),
        Answer.of(lookup_of(program)),
    )


def report() -> Report:
    def classified(classifier: Callable[[], object]) -> object:
        value, error = called(classifier)
        return value if error is None else error

    return Report(
        version=__version__,
        host=Host(*map(classified, (veka_call._system, veka_call._machine, veka_call._bits))),
        package_root=called(veka_call._package_root)[0],
        programs={program.key: program_report(program) for program in PROGRAMS},
        configured_call=ConfiguredCall(
            CONFIGURED_CALL,
            shown_value(options.veka_get_option(CONFIGURED_CALL)),
            Answer.of(veka_call.veka_call_no_remote),
        ),
    )

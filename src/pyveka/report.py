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
import dataclasses
import errno
import os
import shlex
import shutil
import stat
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from . import __version__, executables, options, veka_call
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
class FileState:
    """What is at a path, as running it would find it: found, missing, dangling-link, link-loop,
    permission-denied, directory or not-executable; what it depends on, and the fix."""

    state: str
    detail: str | None = None
    fix: str | None = None


@dataclass(frozen=True)
class Override:
    """The override variable as the lookup sees it: unset, empty, ignored or used, or unknown
    when the lookups' os cannot be read; for a used one, what is there and the fix; for an
    ignored one, what it was probably meant to name, which the lookup does not use."""

    variable: str
    value: str | None
    state: str
    file: str | None = None
    fix: str | None = None
    meant: str | None = None
    meant_because: str | None = None  # how `meant` differs from the value, for the text
    detail: str | None = None  # what the file's state comes from, as for a candidate

    def to_json(self) -> dict[str, object]:
        return {
            "variable": self.variable,
            "value": self.value,
            "state": self.state,
            "file": self.file,
            "detail": self.detail,
            "fix": self.fix,
            "meant": self.meant,
        }


@dataclass(frozen=True)
class Candidate:
    """The one built-in file the lookup tries, and what is there; or why there is none."""

    path: str | None
    state: str
    reason: str | None = None
    fix: str | None = None
    detail: str | None = None

    def to_json(self) -> dict[str, object]:
        return {
            "path": self.path,
            "state": self.state,
            "reason": self.reason,
            "detail": self.detail,
            "fix": self.fix,
        }


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


def file_state(path: str, host: executables.Host | None = None) -> FileState:
    """What is at `path`, as starting it would find it, and the fix where there is one; with a
    `host`, a program built for another one is told as such ("foreign")."""
    try:
        status = os.stat(path)
    except OSError as error:
        return not_there(path, error)
    if stat.S_ISDIR(status.st_mode):
        return FileState("directory")
    if os.name == "nt" or can_execute(path):
        elsewhere = None if host is None else built_for_another(path, host)
        return FileState("found") if elsewhere is None else FileState("foreign", elsewhere)
    if os.name == "posix" and runs_for_me(status):  # the mode says yes, the system says no
        return FileState("not-executable", "its mode allows it, but the system refuses to run it")
    return FileState("not-executable", *changed_by_its_owner(path, status, "a+x", "+x"))


def built_for_another(path: str, host: executables.Host) -> str | None:
    """What the program at `path` is and what `host` runs, when its header says that host
    cannot start it ("x86-64 ELF, this host is aarch64"); None for one it can start, and for
    a file that is no program at all, which running it tells."""
    try:
        found = executables.describe(path)
    except OSError:
        return None
    return found.can_run_on(host) if found.program else None


def this_host() -> executables.Host | None:
    """The host as the module's classifiers report it, for reading a program's header; None
    when a classifier fails or answers what is not text."""
    try:
        host = (veka_call._system(), veka_call._machine(), veka_call._bits())
    except Exception:  # the report shows the classifiers' errors elsewhere
        return None
    if not all(isinstance(part, str) for part in host):
        return None
    return executables.Host.of(*host)


def not_there(path: str, error: OSError) -> FileState:
    """Why stat() finds nothing usable at `path`."""
    if error.errno == errno.ELOOP:
        return FileState("link-loop")
    if error.errno == errno.EACCES:
        closed = closed_directory(path)
        if closed is None:
            return FileState("permission-denied", str(error.strerror))
        detail, fix = changed_by_its_owner(closed, os.stat(closed), "a+x", "u+x")
        entered = f"{closed} cannot be entered"
        return FileState("permission-denied", f"{entered} ({detail})" if detail else entered, fix)
    if os.path.islink(path):
        try:
            target = os.readlink(path)
        except OSError:
            return FileState("dangling-link")
        return FileState("dangling-link", f"it points to {target}")
    return FileState("missing")


def can_execute(path: str) -> bool:
    """Whether this process may run `path`, by its effective ids as exec judges."""
    if os.access in os.supports_effective_ids:
        return os.access(path, os.X_OK, effective_ids=True)
    return os.access(path, os.X_OK)


def runs_for_me(status: os.stat_result) -> bool:
    """Whether the file's mode lets this process run it: the owner's, the group's or the
    others' execute bit, whichever class this process falls in (root: any of them)."""
    mode = status.st_mode
    if os.geteuid() == 0:
        return bool(mode & (stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH))
    if status.st_uid == os.geteuid():
        return bool(mode & stat.S_IXUSR)
    if status.st_gid == os.getegid() or status.st_gid in os.getgroups():
        return bool(mode & stat.S_IXGRP)
    return bool(mode & stat.S_IXOTH)


def closed_directory(path: str) -> str | None:
    """The first directory on the way to `path` that this process may not enter."""
    directory = os.path.dirname(os.path.abspath(path))
    on_the_way = []
    while True:
        on_the_way.append(directory)
        parent = os.path.dirname(directory)
        if parent == directory:
            break
        directory = parent
    for directory in reversed(on_the_way):
        if not can_execute(directory):
            return directory
    return None


def changed_by_its_owner(
    path: str, status: os.stat_result, theirs: str, mine: str
) -> tuple[str | None, str]:
    """Whose `path` is when it is another user's, and the fix: `chmod mine` for one's own
    file (or as root), else what to ask its owner to run."""
    if os.name != "posix" or os.geteuid() in (0, status.st_uid):
        return None, f"chmod {mine} {shlex.quote(path)}"
    owner = owner_name(status.st_uid)
    return (
        f"mode {stat.filemode(status.st_mode)}, owned by {owner}",
        f"ask {owner}, who owns it, to run: chmod {theirs} {shlex.quote(path)}",
    )


def owner_name(uid: int) -> str:
    try:
        import pwd

        return pwd.getpwuid(uid).pw_name
    except (ImportError, KeyError):
        return f"user {uid}"


def not_usable_fix(program: Program, found: FileState) -> str | None:
    """The fix for a candidate that gives the lookup nothing (or a file it cannot run): what
    mends the file where that is known, and setting the override in every case."""
    instead = f"set {program.variable} to the {program.title}'s path"
    if found.state == "found":
        return None
    if found.state in ("directory", "not-executable"):
        return found.fix
    if found.fix is not None:
        return f"{found.fix}; or {instead}"
    if found.state == "dangling-link":
        return f"point the link at the {program.title}, or {instead}"
    if found.state == "link-loop":
        return f"replace the link by the {program.title}, or {instead}"
    if found.state == "foreign":
        return f"install the pyveka built for this host, or {instead}"
    return f"{instead}, or install pyveka with a bin/ tree that holds it"


def candidate_of(program: Program) -> Candidate:
    """The one built-in candidate the lookup tries on this host, found or not: the table's
    file for the host the module's own classifiers report, below the module's package root."""
    try:
        if program.files is None:  # the same file on every host: the lookup classifies none
            parts: tuple[str, ...] | None = REMOTE_PARTS
        else:
            host = (veka_call._system(), veka_call._machine(), veka_call._bits())
            parts = program.candidate(*host)
        if parts is None:  # no file to mend or install: only the override helps
            fix = f"set {program.variable} to the {program.title}'s path"
            return Candidate(None, "none", UNKNOWN_OS, fix=fix)
        path = os.path.join(veka_call._package_root(), *parts)
    except Exception as error:  # reported, not handled
        return Candidate(None, "none", f"{type(error).__name__}: {error}")
    found = file_state(path, this_host())
    return Candidate(path, found.state, fix=not_usable_fix(program, found), detail=found.detail)


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
        found = file_state(value, this_host())
        fix = found.fix
        if found.state == "foreign":
            fix = f"set {program.variable} to a {program.title} built for this host"
        return Override(program.variable, value, state, found.state, fix, detail=found.detail)
    if state == "ignored" and isinstance(value, str):
        meant = probably_meant(value)
        if meant is not None:
            path, because = meant
            fix = f"{SET_VARIABLE}{program.variable}={shlex.quote(path)}"
            return Override(
                program.variable, value, state, fix=fix, meant=path, meant_because=because
            )
    return Override(program.variable, shown_value(value), state)


# How a shell sets a variable for the commands after it.
SET_VARIABLE = "set " if os.name == "nt" else "export "


def probably_meant(value: str) -> tuple[str, str] | None:
    """What an override that names nothing was probably meant to name, and how it differs from
    the value: the value without white space around it, with ``~`` expanded, or a bare name
    found on PATH. None unless that exists. The lookup takes the value as it is written."""
    path, changes = value.strip(), []
    if path != value:
        changes.append("stripped of white space")
    if path.startswith("~"):
        expanded = os.path.expanduser(path)
        if expanded != path:
            path = expanded
            changes.append("~ expanded")
    separators = [separator for separator in (os.sep, os.altsep) if separator]
    if path and not any(separator in path for separator in separators):
        found = shutil.which(path)
        if found is not None and not os.path.exists(path):
            path = found
            changes.append("found on PATH")
    if not changes or not os.path.exists(path):
        return None
    return path, ", ".join(changes)


def program_report(program: Program) -> ProgramReport:
    override = override_of(program)
    candidate = candidate_of(program)
    if override.state == "used" and candidate.state not in ("directory", "not-executable"):
        # the override answers: nothing to mend in the candidate the lookup does not use
        candidate = dataclasses.replace(candidate, fix=None)
    return ProgramReport(program.function, override, candidate, Answer.of(lookup_of(program)))


def host_of() -> Host:
    """The host as the module's classifiers report it; a classifier's error in its place."""

    def classified(classifier: Callable[[], object]) -> object:
        value, error = called(classifier)
        return value if error is None else error

    return Host(*map(classified, (veka_call._system, veka_call._machine, veka_call._bits)))


def report() -> Report:
    return Report(
        version=__version__,
        host=host_of(),
        package_root=called(veka_call._package_root)[0],
        programs={program.key: program_report(program) for program in PROGRAMS},
        configured_call=ConfiguredCall(
            CONFIGURED_CALL,
            shown_value(options.veka_get_option(CONFIGURED_CALL)),
            Answer.of(veka_call.veka_call_no_remote),
        ),
    )

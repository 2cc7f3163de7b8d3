"""Where are the executables? ``python -m pyveka`` reports how this host finds them.

    python -m pyveka                    the report, for people
    python -m pyveka --json             the same report as one JSON object
    python -m pyveka path solver        only the path (solver, mesher or remote), for scripts
    python -m pyveka --json path solver that program's part of the JSON report
    python -m pyveka run solver -- ARGS run what the solver lookup answers, with ARGS

Exit status: 0 when the lookup asked for (the solver's, for the report)
answers a path, 1 when it does not, 2 for a usage error, 74 when the output
cannot be written (a closed pipe, a full disk, text the output's encoding
cannot carry): a command never ends with 0 without having written its output.
``run`` ends with the program's own status; 126 when the file the lookup
answers cannot be executed, 127 when the lookup answers none.

Every answer comes from :mod:`pyveka.veka_call` itself. The candidate file is
the one the table of programs (:mod:`pyveka.programs`) names for the host that
the module's own classifiers report, below the module's own package root; a
test holds the table equal to the lookups. The report only reads; it changes
nothing the lookups do, and rebinds nothing in the module.
"""

from __future__ import annotations

import argparse
import builtins
import errno
import json
import os
import shlex
import subprocess
import sys
from collections.abc import Callable
from typing import Any, TextIO

from . import __version__, options, veka_call
from .programs import BY_KEY, PROGRAMS, REMOTE_PARTS, UNKNOWN_OS, Program


def lookup_of(program: Program) -> Callable[[], str | None]:
    """The program's lookup in pyveka.veka_call, as the module binds it now."""
    lookup: Callable[[], str | None] = getattr(veka_call, program.function)
    return lookup


# ---- What the module answers ------------------------------------------------


def answer(lookup: Callable[[], Any]) -> dict[str, Any]:
    """The lookup's own answer: a path, None, or the exception it raised."""
    try:
        return {"path": lookup(), "error": None}
    except Exception as error:  # reported, not handled
        return {"path": None, "error": f"{type(error).__name__}: {error}"}


def lookups_os() -> Any:
    """The `os` the lookups use: the module's own binding, else the builtins' one,
    as the module's call-time name resolution finds it."""
    namespace = vars(veka_call)
    # getattr, as the name is not one builtins declares to type checkers.
    return namespace["os"] if "os" in namespace else getattr(builtins, "os")  # noqa: B009


def no_candidate(reason: str) -> dict[str, Any]:
    return {"path": None, "state": "none", "reason": reason, "fix": None}


def candidate_of(program: Program) -> dict[str, Any]:
    """The one built-in candidate the lookup tries on this host, found or not: the table's
    file for the host the module's own classifiers report, below the module's package root."""
    try:
        if program.files is None:  # the same file on every host: the lookup classifies none
            parts: tuple[str, ...] | None = REMOTE_PARTS
        else:
            host = (veka_call._system(), veka_call._machine(), veka_call._bits())
            parts = program.candidate(*host)
        if parts is None:
            return no_candidate(UNKNOWN_OS)
        path = os.path.join(veka_call._package_root(), *parts)
    except Exception as error:  # reported, not handled
        return no_candidate(f"{type(error).__name__}: {error}")
    state, fix = file_state(path)
    return {"path": path, "state": state, "reason": None, "fix": fix}


# ---- What the file system holds -------------------------------------------------


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


def override_of(program: Program) -> dict[str, Any]:
    """The override as the lookup sees it, through the lookups' own os; when it is used,
    what is there, as for a candidate."""
    entry: dict[str, Any] = {"variable": program.variable, "value": None}
    value = None
    try:
        used_os = lookups_os()
        value = used_os.environ.get(program.variable)
        entry["value"] = shown_value(value)
        if value is None:
            entry["state"] = "unset"
        elif not value:
            entry["state"] = "empty"
        elif not used_os.path.exists(value):
            entry["state"] = "ignored"
        else:
            entry["state"] = "used"
    except Exception as error:  # reported, not handled
        entry["state"] = f"unknown: {type(error).__name__}: {error}"
    if entry["state"] == "used" and isinstance(value, str):
        entry["file"], entry["fix"] = file_state(value)
    else:
        entry["file"] = entry["fix"] = None
    return entry


# ---- The report -------------------------------------------------------------------


def report() -> dict[str, Any]:
    host = {name: answer(getattr(veka_call, "_" + name)) for name in ("system", "machine", "bits")}
    return {
        "version": __version__,
        "host": {
            name: (got["path"] if got["error"] is None else got["error"])
            for name, got in host.items()
        },
        "package_root": answer(veka_call._package_root)["path"],
        "programs": {program.key: program_report(program) for program in PROGRAMS},
        "configured_call": {
            "option": "veka.call",
            "value": shown_value(options.veka_get_option("veka.call")),
            "answer": answer(veka_call.veka_call_no_remote),
        },
    }


def program_report(program: Program) -> dict[str, Any]:
    return {
        "function": program.function,
        "override": override_of(program),
        "candidate": candidate_of(program),
        "answer": answer(lookup_of(program)),
    }


def shown_value(value: object) -> str | None:
    """The option as JSON can carry it: a str or None as it is, anything else as its repr."""
    return value if value is None or isinstance(value, str) else repr(value)


OVERRIDE_TEXT = {
    "unset": "unset",
    "empty": "set but empty: ignored",
    "ignored": "ignored: nothing exists there",
    "used": "used",
}
# What is wrong with a file the lookup answers all the same, for a candidate or an override.
UNRUNNABLE_TEXT = {
    "directory": "but it is a directory (the lookup still answers it)",
    "not-executable": "but not executable (the lookup still answers it)",
}
CANDIDATE_TEXT = {
    "found": "found",
    "missing": "missing",
    "dangling-link": "a symbolic link whose target is missing",
    **{state: f"found, {text}" for state, text in UNRUNNABLE_TEXT.items()},
}


def as_text(data: dict[str, Any]) -> str:
    host = data["host"]
    lines = [
        f"pyveka {data['version']}",
        f"host          {host['system']} {host['machine']}, {host['bits']}-bit",
        f"package root  {data['package_root']}",
    ]
    for program in PROGRAMS:
        entry = data["programs"][program.key]
        override, candidate = entry["override"], entry["candidate"]
        lines += ["", f"{program.title} ({entry['function']})"]
        lines.append(f"  override    {override_text(override)}")
        if override["fix"]:
            lines.append(f"  fix         {override['fix']}")
        lines.append(f"  candidate   {candidate_text(candidate)}")
        if candidate["fix"]:
            lines.append(f"  fix         {candidate['fix']}")
        lines.append(f"  answer      {answer_text(entry['answer'])}")
    call = data["configured_call"]
    value = "unset" if call["value"] is None else repr(call["value"])
    lines += ["", f'configured call (option "{call["option"]}")', f"  value       {value}"]
    lines.append(f"  resolves to {answer_text(call['answer'])}")
    return "\n".join(lines)


def override_text(override: dict[str, Any]) -> str:
    shown = "" if override["value"] is None else f"={override['value']!r}"
    state = OVERRIDE_TEXT.get(override["state"], override["state"])
    if override["file"] in UNRUNNABLE_TEXT:
        state += ", " + UNRUNNABLE_TEXT[override["file"]]
    return f"{override['variable']}{shown}: {state}"


def candidate_text(candidate: dict[str, Any]) -> str:
    if candidate["path"] is None:
        return f"none: {candidate['reason']}"
    return f"{candidate['path']}: {CANDIDATE_TEXT[candidate['state']]}"


def answer_text(got: dict[str, Any]) -> str:
    return str(got["error"] if got["error"] is not None else got["path"])


# ---- Exit statuses and running a program -----------------------------------------

EXIT_OUTPUT_FAILED = 74  # sysexits.h's EX_IOERR
EXIT_CANNOT_EXECUTE = 126  # the shell's statuses for "not executable" and "not found"
EXIT_NOT_FOUND = 127
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as a shell reports Ctrl-C


def not_answered(program: Program, got: dict[str, Any]) -> str:
    """The lookup's error text, or what stands for it when the lookup answers None."""
    return str(got["error"] or f"no {program.title} script found")


def diagnosis(program: Program, entry: dict[str, Any]) -> str:
    """The report on one program in one line: override, candidate and its state, the fix."""
    override, candidate = entry["override"], entry["candidate"]
    fix = candidate["fix"] or (
        f"set {override['variable']} to the {program.title}'s path, "
        "or install pyveka with a bin/ tree that holds it"
    )
    return (
        f"{program.title}: override {override_text(override)}; "
        f"candidate {candidate_text(candidate)}; fix: {fix}"
    )


def run(program: Program, args: list[str]) -> int:
    """Runs what the lookup answers with `args`: in place of this process on POSIX, so that the
    program's exit status and signals are the caller's to see; as a child elsewhere."""
    got = answer(lookup_of(program))
    path = got["path"]
    if path is None:
        warn(f"pyveka: {not_answered(program, got)}")
        warn(f"pyveka: {diagnosis(program, program_report(program))}")
        return EXIT_NOT_FOUND
    try:
        if os.name == "nt":
            return run_child([path, *args])
        os.execv(path, [path, *args])
    except OSError as error:
        return cannot_run(program, path, error)


def run_child(argv: list[str]) -> int:
    """The program's exit status, from a child process; Ctrl-C ends the wait with 130."""
    try:
        return subprocess.call(argv)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED


def cannot_run(program: Program, path: str, error: OSError) -> int:
    """Says why the file the lookup answered did not start, and how to fix it."""
    if not os.path.lexists(path):  # gone since the lookup found it
        warn(f"pyveka: cannot run the {program.title} {path}: {error.strerror}")
        return EXIT_NOT_FOUND
    state, fix = file_state(path)
    if state == "directory":
        reason = "it is a directory, not a program"
    elif state == "not-executable":
        reason = "it is not executable"
    elif error.errno == errno.ENOEXEC:
        reason = f"{error.strerror}: not a program this host can start"
    elif error.errno == errno.ENOENT:
        reason = f"{error.strerror}: the interpreter or loader it names is missing"
    else:
        reason = str(error.strerror or error)
    warn(f"pyveka: cannot run the {program.title} {path}: {reason}")
    if fix:
        warn(f"pyveka: fix: {fix}")
    return EXIT_CANNOT_EXECUTE


# ---- Output -----------------------------------------------------------------------


class OutputFailed(Exception):
    """The output could not be written: a closed pipe, a full disk, text its encoding lacks."""


def write(text: str, stream: TextIO | None = None) -> None:
    """Writes `text` and flushes it, so that a failure shows here and not at exit."""
    stream = sys.stdout if stream is None else stream
    try:
        if stream is None:  # no standard output at all
            raise OSError(errno.EBADF, "no standard output")
        stream.write(text)
        stream.flush()
    except (OSError, ValueError) as error:  # UnicodeEncodeError is a ValueError
        raise OutputFailed(error) from error


def warn(text: str) -> None:
    """A line on stderr, if stderr takes it: there is nowhere else to say it."""
    try:
        print(text, file=sys.stderr, flush=True)
    except (OSError, ValueError, AttributeError):
        pass


def output_failed(failure: OutputFailed) -> int:
    cause = failure.__cause__
    if not isinstance(cause, BrokenPipeError):  # a reader that has gone needs no message
        warn(f"pyveka: cannot write the output: {cause}")
    # What is left in stdout's buffer would fail once more at exit, with a traceback.
    try:
        target = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return EXIT_OUTPUT_FAILED
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, target)
    os.close(null)
    return EXIT_OUTPUT_FAILED


# ---- Command line -----------------------------------------------------------------

EPILOG = """\
PROGRAM is solver, mesher (the mesh generator) or remote (the remote launcher).

environment variables:
  VEKA_BIN          the solver to use instead of the package's own
  GRELVIN_BIN       the mesh generator to use instead of the package's own
  VEKA_REMOTE_BIN   the remote launcher to use instead of the package's own
  Each is used when it is not empty and something exists at its path.

exit status:
  0    the lookup asked for (the solver's, for the report) answers a path
  1    it does not
  2    usage error (--json with run, among others)
  74   the output could not be written: a closed pipe, a full disk, or a path
       the output's encoding cannot show
  run: the program's own exit status (on POSIX the program replaces this
  process); 126 when the file is there but cannot be executed, 127 when the
  lookup answers no file, 130 when Ctrl-C ends the wait (Windows)
"""


class Parser(argparse.ArgumentParser):
    """argparse, except that help and usage that cannot be written fail as other output does."""

    def _print_message(self, message: str, file: Any = None) -> None:
        # argparse names the stream each time; it passes None where sys.stdout is None
        if message:
            write(message, file)


def parser() -> argparse.ArgumentParser:
    top = Parser(
        prog="pyveka",
        usage="%(prog)s [-h] [--version] [--json] [COMMAND ...]",
        description="Without a command: report how this host finds each of pyveka's executables.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    top.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    top.add_argument(
        "--json",
        action="store_true",
        help="print the report, or with path that program's part of it, as one JSON object",
    )
    commands = top.add_subparsers(
        dest="command", title="commands", metavar="COMMAND", prog="pyveka"
    )
    keys = list(BY_KEY)
    path = commands.add_parser("path", help="print only the path one lookup answers")
    path.add_argument("program", choices=keys, metavar="PROGRAM", help=", ".join(keys))
    run = commands.add_parser(
        "run",
        help="run the program one lookup answers, with ARGS as given",
        usage="pyveka run [-h] PROGRAM [--] ARGS...",
    )
    run.add_argument("program", choices=keys, metavar="PROGRAM", help=", ".join(keys))
    run.add_argument("args", nargs=argparse.REMAINDER, metavar="ARGS", help="passed on verbatim")
    return top


def parse(argv: list[str] | None) -> argparse.Namespace:
    top = parser()
    arguments = top.parse_args(argv)
    if arguments.json and arguments.command == "run":
        top.error("--json does not apply to run")
    return arguments


def main(argv: list[str] | None = None) -> int:
    try:
        try:
            arguments = parse(argv)
        except SystemExit as stop:  # after --help, --version or a usage error
            return stop.code if isinstance(stop.code, int) else 2
        if arguments.command is None:
            return print_report(arguments.json)
        program = BY_KEY[arguments.program]
        if arguments.command == "run":
            return run(program, arguments.args)
        return print_path(program, arguments.json)
    except OutputFailed as failure:
        return output_failed(failure)


def print_report(as_json: bool) -> int:
    data = report()
    write((json.dumps(data, indent=2) if as_json else as_text(data)) + "\n")
    return 0 if data["programs"]["solver"]["answer"]["error"] is None else 1


def print_path(program: Program, as_json: bool) -> int:
    """The path alone, or with --json that program's part of the report."""
    if as_json:
        entry = program_report(program)
        write(json.dumps(entry, indent=2) + "\n")
        return 0 if entry["answer"]["path"] is not None else 1
    got = answer(lookup_of(program))
    if got["path"] is None:
        warn(not_answered(program, got))
        return 1
    write(got["path"] + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())

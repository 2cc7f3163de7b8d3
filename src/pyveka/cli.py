"""Where are the executables? ``python -m pyveka`` reports how this host finds them.

    python -m pyveka                    the report, for people
    python -m pyveka --json             the same report as one JSON object
    python -m pyveka path solver        only the path (solver, mesher or remote), for scripts
    python -m pyveka --json path solver that program's part of the JSON report
    python -m pyveka run solver -- ARGS run what the solver lookup answers, with ARGS

``path`` and ``run`` warn on stderr about an override that is set but ignored, or
that names what cannot run (``-q``: not); the answer stays the lookup's own.

Exit status: 0 when the lookup asked for (the solver's, for the report)
answers a path, 1 when it does not, 2 for a usage error, 74 when the output
cannot be written (a closed pipe, a full disk, text the output's encoding
cannot carry): a command never ends with 0 without having written its output.
``run`` ends with the program's own status; 126 when the file the lookup
answers cannot be executed, 127 when the lookup answers none.
"""

from __future__ import annotations

import argparse
import errno
import json
import os
import subprocess
import sys
from typing import Any, TextIO

from . import __version__
from .programs import BY_KEY, Program
from .render import as_text, diagnosis, not_answered, override_warning
from .report import Answer, file_state, lookup_of, override_of, program_report, report

# ---- Exit statuses and running a program -----------------------------------------

EXIT_OUTPUT_FAILED = 74  # sysexits.h's EX_IOERR
EXIT_CANNOT_EXECUTE = 126  # the shell's statuses for "not executable" and "not found"
EXIT_NOT_FOUND = 127
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as a shell reports Ctrl-C


def run(program: Program, args: list[str], quiet: bool = False) -> int:
    """Runs what the lookup answers with `args`: in place of this process on POSIX, so that the
    program's exit status and signals are the caller's to see; as a child elsewhere."""
    got = Answer.of(lookup_of(program))
    path = got.path
    if path is None:  # the diagnosis tells of the override as well
        warn(f"pyveka: {not_answered(program, got)}")
        warn(f"pyveka: {diagnosis(program, program_report(program))}")
        return EXIT_NOT_FOUND
    if not quiet:
        warn_about_override(program)
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
        named = interpreter(path)
        if named is not None and not os.path.lexists(named):
            reason = f"{error.strerror}: the interpreter its #! line names is missing: {named}"
        else:
            reason = f"{error.strerror}: the interpreter or loader it names is missing"
    else:
        reason = str(error.strerror or error)
    warn(f"pyveka: cannot run the {program.title} {path}: {reason}")
    if fix:
        warn(f"pyveka: fix: {fix}")
    return EXIT_CANNOT_EXECUTE


def interpreter(path: str) -> str | None:
    """The interpreter a script's #! line names, as the kernel reads it; None without one."""
    try:
        with open(path, "rb") as script:
            first = script.read(256).split(b"\n", 1)[0]  # what Linux reads of the line
    except OSError:
        return None
    words = first[2:].split() if first.startswith(b"#!") else []
    return os.fsdecode(words[0]) if words else None


def warn_about_override(program: Program) -> None:
    """A line on stderr when the program's override is set but ignored, or names what cannot
    run: the lookup's answer stays what it is, and the user acts on it."""
    line = override_warning(program, override_of(program))
    if line is not None:
        warn(f"pyveka: {line}")


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
  Each is used when it is not empty and something exists at its path; path
  and run warn on stderr when one is set but ignored, or names a directory or
  a file without execute permission (-q, --quiet: no warning).

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
        usage="%(prog)s [-h] [-V] [--json] [COMMAND ...]",
        description="Without a command: report how this host finds each of pyveka's executables.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    top.add_argument("-V", "--version", action="version", version=f"%(prog)s {__version__}")
    top.add_argument(
        "--json",
        action="store_true",
        help="print the report, or with path that program's part of it, as one JSON object",
    )
    commands = top.add_subparsers(
        dest="command", title="commands", metavar="COMMAND", prog="pyveka"
    )
    keys = list(BY_KEY)
    quiet = "no warning about an override that is ignored or names what cannot run"
    path = commands.add_parser("path", help="print only the path one lookup answers")
    path.add_argument("-q", "--quiet", action="store_true", help=quiet)
    path.add_argument("program", choices=keys, metavar="PROGRAM", help=", ".join(keys))
    run = commands.add_parser(
        "run",
        help="run the program one lookup answers, with ARGS as given",
        usage="pyveka run [-h] [-q] PROGRAM [--] [ARGS ...]",
    )
    run.add_argument("-q", "--quiet", action="store_true", help=quiet)
    run.add_argument("program", choices=keys, metavar="PROGRAM", help=", ".join(keys))
    remainder = run.add_argument(
        "args", nargs=argparse.REMAINDER, metavar="ARGS", help="optional; passed on verbatim"
    )
    remainder.required = False  # argparse takes a positional for required, whatever its nargs
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
            return run(program, arguments.args, arguments.quiet)
        return print_path(program, arguments.json, arguments.quiet)
    except OutputFailed as failure:
        return output_failed(failure)


def print_report(as_json: bool) -> int:
    data = report()
    write((json.dumps(data.to_json(), indent=2) if as_json else as_text(data)) + "\n")
    return 0 if data.programs["solver"].answer.error is None else 1


def print_path(program: Program, as_json: bool, quiet: bool = False) -> int:
    """The path alone, or with --json that program's part of the report (which tells of the
    override itself)."""
    if as_json:
        entry = program_report(program)
        write(json.dumps(entry.to_json(), indent=2) + "\n")
        return 0 if entry.answer.path is not None else 1
    if not quiet:
        warn_about_override(program)
    got = Answer.of(lookup_of(program))
    if got.path is None:
        warn(not_answered(program, got))
        return 1
    write(got.path + "\n")
    return 0

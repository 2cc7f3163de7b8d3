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
import difflib
import errno
import json
import os
import subprocess
import sys
from argparse import SUPPRESS
from typing import Any, TextIO

from . import __version__, executables
from .programs import BY_KEY, PROGRAMS, REMOTE_PARTS, Program
from .render import as_text, diagnosis, not_answered, override_warning
from .report import (
    Answer,
    FileState,
    file_state,
    host_of,
    lookup_of,
    not_usable_fix,
    override_of,
    program_report,
    report,
    this_host,
)

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
    if path is None:
        not_found(program, got)
        return EXIT_NOT_FOUND
    if not quiet:
        warn_about_override(program)
    try:
        if os.name == "nt":
            return run_child([path, *args])
        os.execv(path, [path, *args])
    except OSError as error:
        return cannot_run(program, path, error)


def not_found(program: Program, got: Answer) -> None:
    """The lookup's error (or that there is no remote launcher), then the report's diagnosis in
    one line, which tells of the override as well: what was tried, on which host, and the fix."""
    host = host_of()
    warn(f"pyveka: {not_answered(program, got, host)}")
    warn(f"pyveka: {diagnosis(program, program_report(program), host)}")


def run_child(argv: list[str]) -> int:
    """The program's exit status, from a child process; Ctrl-C ends the wait with 130, once the
    child, killed, has been waited for: none is left running or unreaped."""
    child = subprocess.Popen(argv)
    try:
        return child.wait()
    except KeyboardInterrupt:
        child.kill()
        while True:  # a second Ctrl-C must not leave it behind either
            try:
                child.wait()
                return EXIT_INTERRUPTED
            except KeyboardInterrupt:
                pass


def cannot_run(program: Program, path: str, error: OSError) -> int:
    """Says why the file the lookup answered did not start, and how to fix it."""
    if not os.path.lexists(path):  # gone since the lookup found it
        warn(f"pyveka: cannot run the {program.title} {path}: {error.strerror}")
        return EXIT_NOT_FOUND
    found = file_state(path)
    fix = found.fix
    if found.state == "directory":
        reason = "it is a directory, not a program"
    elif found.state == "not-executable":
        reason = "it is not executable"
        if found.detail:
            reason += f" for this user: {found.detail}"
    elif error.errno == errno.ENOEXEC:
        reason, fix = not_a_program(program, path, error)
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


def not_a_program(program: Program, path: str, error: OSError) -> tuple[str, str | None]:
    """Why the system would not start `path` (ENOEXEC), from its header, and the fix: a program
    built for another host, as such ("x86-64 ELF, this host is aarch64"), and a file that is no
    program, with what it lacks."""
    try:
        found = executables.describe(path)
    except OSError:
        return f"{error.strerror}: not a program this host can start", None
    host = this_host()
    elsewhere = None if host is None else found.can_run_on(host)
    if found.program and elsewhere is not None:
        override = override_of(program)
        if override.state == "used" and override.value == path:  # the user's own choice
            return elsewhere, override.fix
        return elsewhere, not_usable_fix(program, FileState("foreign"))
    if found.detail == executables.NO_HEADER:  # text, most likely: a script without its line
        fix = "make its first line a #! line that names its interpreter, such as #!/bin/sh"
        return f"{error.strerror}: {found}", fix
    if not found.program:
        return f"{error.strerror}: {found}", None
    return f"{error.strerror}: not a program this host can start", None


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


def named(program: Program) -> str:
    return program.key if program.key == program.title else f"{program.key} (the {program.title})"


PROGRAM_LIST = ", ".join(named(program) for program in PROGRAMS[:-1])
VARIABLE_LINES = "".join(
    f"  {program.variable:<16}  the {program.title} to use instead of the package's own\n"
    for program in PROGRAMS
)
EPILOG = f"""\
PROGRAM is {PROGRAM_LIST} or {named(PROGRAMS[-1])}.

environment variables:
{VARIABLE_LINES}\
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
    keys = ", ".join(BY_KEY)
    quiet = "no warning about an override that is ignored or names what cannot run"
    path = commands.add_parser("path", help="print only the path one lookup answers")
    path.add_argument("-q", "--quiet", action="store_true", help=quiet)
    path.add_argument("program", type=program_key, metavar="PROGRAM", help=keys)
    run = commands.add_parser(
        "run",
        help="run the program one lookup answers, with ARGS as given",
        usage="pyveka run [-h] [-q] PROGRAM [--] [ARGS ...]",
    )
    run.add_argument("-q", "--quiet", action="store_true", help=quiet)
    run.add_argument("program", type=program_key, metavar="PROGRAM", help=keys)
    for command in (path, run):  # in the wrong place: refused with a hint, not as unknown
        command.add_argument("--json", dest="late_json", action="store_true", help=SUPPRESS)
    remainder = run.add_argument(
        "args", nargs=argparse.REMAINDER, metavar="ARGS", help="optional; passed on verbatim"
    )
    remainder.required = False  # argparse takes a positional for required, whatever its nargs
    return top


def parse(argv: list[str] | None) -> argparse.Namespace:
    top = parser()
    arguments = top.parse_args(argv)
    if arguments.command == "run" and (arguments.json or arguments.late_json):
        top.error("--json does not apply to run")
    if arguments.command == "path" and arguments.late_json:
        top.error(f"--json goes before the command: pyveka --json path {arguments.program}")
    return arguments


def program_key(word: str) -> str:
    """PROGRAM as the table of programs names it; refused with the likely spelling, found among
    the names a user may reach for: the keys, the words of the titles, the names of the files,
    the variables and the lookups (grelvin, mesh, VEKA_BIN, veka_call_builtin)."""
    if word in BY_KEY:
        return word
    meant = likely_program(word)
    hint = f"; did you mean {meant!r}?" if meant else ""
    raise argparse.ArgumentTypeError(
        f"unknown program {word!r}{hint} (PROGRAM is {', '.join(BY_KEY)})"
    )


def likely_program(word: str) -> str | None:
    names: dict[str, str] = {}
    for program in PROGRAMS:
        files = program.files or (REMOTE_PARTS[-1],)
        spellings = [
            *program.title.split(),
            *(file.split(".")[0] for file in files),
            program.variable,
            program.function,
        ]
        for spelling in spellings:  # the first program to claim a name keeps it
            names.setdefault(spelling.lower(), program.key)
        names[program.key] = program.key
    close = difflib.get_close_matches(word.lower(), names, n=1, cutoff=0.6)
    return names[close[0]] if close else None


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
    write((json_text(data.to_json()) if as_json else as_text(data)) + "\n")
    return 0 if data.programs["solver"].answer.error is None else 1


def json_text(data: dict[str, object]) -> str:
    return json.dumps(faithful(data), indent=2)


def faithful(data: dict[str, object]) -> dict[str, object]:
    """`data` with each text that holds bytes no UTF-8 text can (a path the file system gives
    undecoded, as os.fsdecode does) shown with U+FFFD in their place, and its bytes, in
    hexadecimal, under the same key with "_hex" added: JSON carries only Unicode."""
    shown: dict[str, object] = {}
    for key, value in data.items():
        if isinstance(value, dict):
            value = faithful(value)
        elif isinstance(value, str) and not utf8(value):
            # Windows' names are UTF-16, possibly with lone surrogates: WTF-8 then
            raw = os.fsencode(value) if os.name != "nt" else value.encode("utf-8", "surrogatepass")
            shown[key] = raw.decode("utf-8", "replace")
            shown[f"{key}_hex"] = raw.hex()
            continue
        shown[key] = value
    return shown


def utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def print_path(program: Program, as_json: bool, quiet: bool = False) -> int:
    """The path alone, or with --json that program's part of the report (which tells of the
    override itself)."""
    if as_json:
        entry = program_report(program)
        write(json_text(entry.to_json()) + "\n")
        return 0 if entry.answer.path is not None else 1
    got = Answer.of(lookup_of(program))
    if got.path is None:  # the diagnosis tells of the override as well
        not_found(program, got)
        return 1
    if not quiet:
        warn_about_override(program)
    write(got.path + "\n")
    return 0

"""``python -m pyveka`` as a user runs it: a fresh interpreter on a copy of the installed
package."""

import importlib.metadata
import json
import os
import re
import shlex
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import traceback
from pathlib import Path
from types import SimpleNamespace

import pytest
from helpers import (
    HOST,
    NO_REMOTE,
    NOT_INSTALLED,
    UNKNOWN_OS,
    VARIABLES,
    candidate,
    package_copy,
)

import pyveka
from pyveka.executables import arch_of
from pyveka.programs import BY_KEY

pytestmark = pytest.mark.skipif(
    candidate("veka_call_builtin", *HOST) is None or HOST[0] == "windows",
    reason="no POSIX bin/ row for this host",
)
# What runs pyveka in a fresh interpreter, on a copy of the package.
SLOW = pytest.mark.slow
# The programs as pyveka names them, and their lookups.
PROGRAMS = {key: program.function for key, program in BY_KEY.items()}
VARIABLE = {key: program.variable for key, program in BY_KEY.items()}
NOT_FOUND = {  # what pyveka says when a program is not installed
    key: f"FileNotFoundError: {NOT_INSTALLED[lookup]}" if lookup in NOT_INSTALLED else NO_REMOTE
    for key, lookup in PROGRAMS.items()
}
HOST_TEXT = f"{HOST[0]} {HOST[2]}, {HOST[1]}-bit"
UNKNOWN = f"RuntimeError: {UNKNOWN_OS}"
UNKNOWN_SHOWN = f"{UNKNOWN} (no bin/ row for this host's OS, 'plan9')"  # what the text adds
PLAN9 = "import pyveka.veka_call as v\nv._system = lambda: 'plan9'"
MAIN = "import sys\n{}\nfrom pyveka.__main__ import main\nraise SystemExit(main(sys.argv[1:]))"
# Without site-packages, so that the copy is what imports: an editable install's import hook
# would answer from the source tree ahead of PYTHONPATH.
PYTHON = [sys.executable, "-S"]


@pytest.fixture
def package(tmp_path):
    """The copy's root, below a directory whose name holds a space, and its three files."""
    root = tmp_path / "site dir" / "pyveka"
    paths = package_copy(root)
    return root, {program: paths[lookup] for program, lookup in PROGRAMS.items()}


def run(root, *argv, before=None, command=None, stdout=subprocess.PIPE, **env):
    """pyveka's status, output and error output; the code `before` runs first."""
    environ = {k: v for k, v in os.environ.items() if k not in VARIABLES.values()}
    environ.update(env, PYTHONPATH=str(root.parent))
    command = command or [*PYTHON, *(["-c", MAIN.format(before)] if before else ["-m", "pyveka"])]
    done = subprocess.run(
        [*command, *argv],
        cwd=root.parent.parent,
        env=environ,
        stdout=stdout,
        stderr=subprocess.PIPE,
        text=True,
    )
    return done.returncode, done.stdout, done.stderr


def report(root, **kwargs):
    """The JSON, the exit status (the same for the text) and the text's lines."""
    code, out, _ = run(root, "--json", **kwargs)
    text_code, text, _ = run(root, **kwargs)
    assert code == text_code
    return json.loads(out), code, text.splitlines()


def solver_answer(files, present=True):
    return (
        {"path": files["solver"], "error": None}
        if present
        else {"path": None, "error": NOT_FOUND["solver"]}
    )


# A machine this host is not, nor runs through an emulator binfmt_misc registers, and the
# header of an ELF executable for it (class 64-bit, little-endian; e_type, e_machine).
FOREIGN = "s390x" if arch_of(HOST[2], HOST[1]) == "riscv64" else "riscv64"
FOREIGN_ELF = b"\x7fELF\x02" + (b"\x02" if FOREIGN == "s390x" else b"\x01") + b"\x01" + bytes(9)
FOREIGN_ELF += struct.pack(">HH", 2, 22) if FOREIGN == "s390x" else struct.pack("<HH", 2, 243)
FOREIGN_ELF += bytes(64 - len(FOREIGN_ELF))
BUILT_ELSEWHERE = f"{FOREIGN} ELF, this host is {arch_of(HOST[2], HOST[1])}"

SET_VEKA_BIN = "set VEKA_BIN to the solver's path"
INSTALL = f"{SET_VEKA_BIN}, or install pyveka with a bin/ tree that holds it"


@SLOW
@pytest.mark.parametrize(
    "state, shown, status, fix",
    [
        ("found", "found", 0, None),
        ("missing", "missing", 1, INSTALL),
        (
            "dangling-link",
            "a symbolic link whose target is missing: it points to {}.gone",
            1,
            f"point the link at the solver, or {SET_VEKA_BIN}",
        ),
        (
            "link-loop",
            "a symbolic link that loops: following it leads back to it",
            1,
            f"replace the link by the solver, or {SET_VEKA_BIN}",
        ),
        ("directory", "found, but it is a directory (the lookup still answers it)", 0, None),
        (
            "foreign",
            f"found, but built for another host (the lookup still answers it): {BUILT_ELSEWHERE}",
            0,
            f"install the pyveka built for this host, or {SET_VEKA_BIN}",
        ),
        (
            "not-executable",
            "found, but not executable (the lookup still answers it)",
            0,
            "chmod +x {}",
        ),
    ],
)
def test_solver_candidate_states(package, state, shown, status, fix):
    root, files = package
    solver = files["solver"]
    if state == "not-executable":
        os.chmod(solver, 0o644)  # no x bit at all: even root may not run it
    elif state == "foreign":
        with open(solver, "wb") as binary:
            binary.write(FOREIGN_ELF)
    elif state != "found":
        os.remove(solver)
        # a link to nothing, a link to itself, or a directory, in the file's place
        if state == "dangling-link":
            os.symlink(solver + ".gone", solver)
        elif state == "link-loop":
            os.symlink(os.path.basename(solver), solver)
        elif state == "directory":
            os.mkdir(solver)
    data, code, lines = report(root)
    entry = data["programs"]["solver"]
    assert (code, entry["candidate"]["path"], entry["candidate"]["state"]) == (
        status,
        solver,
        state,
    )
    assert entry["answer"] == data["configured_call"]["answer"] == solver_answer(files, status == 0)
    assert f"  candidate   {solver}: {shown.format(solver)}" in lines
    assert f"  answer      {solver if status == 0 else NOT_FOUND['solver']}" in lines
    fixes = [line.split("fix", 1)[1].strip() for line in lines if line.startswith("  fix ")]
    fix = fix and fix.format(shlex.quote(solver))
    assert entry["candidate"]["fix"] == fix and fixes == ([] if fix is None else [fix])
    if state == "not-executable":  # pasted into a shell as it stands, the fix makes it executable
        assert fixes[0].startswith("chmod +x ")
        done = subprocess.run(fixes[0], shell=True)
        assert done.returncode == 0
        assert report(root)[0]["programs"]["solver"]["candidate"]["state"] == "found"


@SLOW
@pytest.mark.parametrize("program", PROGRAMS)
@pytest.mark.parametrize(
    "state, words",
    [
        ("unset", "unset"),
        ("empty", "set but empty"),
        ("ignored", "nothing exists there"),
        ("used", "used"),
    ],
)
def test_override_states(package, tmp_path, program, state, words):
    root, files = package
    variable, builtin = VARIABLE[program], files[program]
    value = {
        "unset": None,
        "empty": "",
        "ignored": str(tmp_path / "nowhere"),
        "used": str(tmp_path / "mine"),
    }[state]
    env = {} if value is None else {variable: value}
    if state == "used":  # the override answers even when the built-in file is gone
        os.close(os.open(value, os.O_CREAT | os.O_WRONLY, 0o755))
        os.remove(builtin)
    data, code, lines = report(root, **env)
    entry = data["programs"][program]
    file = "found" if state == "used" else None
    assert code == 0 and entry["override"] == {
        "variable": variable,
        "value": value,
        "state": state,
        "file": file,
        "detail": None,
        "fix": None,
        "meant": None,
    }
    assert entry["candidate"]["path"] == builtin
    assert entry["candidate"]["state"] == ("missing" if state == "used" else "found")
    assert entry["answer"] == {"path": value if state == "used" else builtin, "error": None}
    assert data["configured_call"]["answer"] == data["programs"]["solver"]["answer"]
    line = next(line for line in lines if line.startswith(f"  override    {variable}"))
    assert words in line and (value is None or repr(value) in line)
    # path warns of an override that is set but ignored, in the report's words
    title = BY_KEY[program].title
    warned = (
        f"pyveka: {title}: override {line.split(maxsplit=1)[1]}\n" if state == "ignored" else ""
    )
    assert run(root, "path", program, **env) == (0, entry["answer"]["path"] + "\n", warned)


@SLOW
@pytest.mark.parametrize(
    "program, made, warning",
    [
        ("solver", "directory", "used, but it is a directory (the lookup still answers it)"),
        ("remote", "not-executable", "used, but not executable (the lookup still answers it)"),
        (
            "mesher",
            "foreign",
            "used, but built for another host (the lookup still answers it): " + BUILT_ELSEWHERE,
        ),
    ],
)
def test_override_that_cannot_run_is_warned_about(package, tmp_path, program, made, warning):
    root, files = package
    variable, value = VARIABLE[program], str(tmp_path / "mine")
    if made == "directory":
        os.mkdir(value)
    else:
        with open(value, "wb") as made_file:
            made_file.write(FOREIGN_ELF if made == "foreign" else b"")
        os.chmod(value, 0o755 if made == "foreign" else 0o644)
    data, code, lines = report(root, **{variable: value})
    fix = {
        "not-executable": f"chmod +x {value}",
        "foreign": f"set {variable} to a mesh generator built for this host",
    }.get(made)
    entry = data["programs"][program]
    assert entry["override"] == {
        "variable": variable,
        "value": value,
        "state": "used",
        "file": made,
        "detail": BUILT_ELSEWHERE if made == "foreign" else None,
        "fix": fix,
        "meant": None,
    }
    assert entry["answer"] == {"path": value, "error": None}  # still answered
    after = lines[lines.index(f"  override    {variable}={value!r}: {warning}") + 1]
    assert after == f"  fix         {fix}" if fix else after.startswith("  candidate ")
    if made == "foreign":  # run says why it cannot start it, and what the user can change
        code, out, err = run(root, "run", "-q", program, **{variable: value})
        assert (code, out, err.splitlines()) == (
            126,
            "",
            [
                f"pyveka: cannot run the mesh generator {value}: {BUILT_ELSEWHERE}",
                f"pyveka: fix: {fix}",
            ],
        )


@SLOW
@pytest.mark.parametrize("program", PROGRAMS)
def test_path_answers_where_the_report_points(package, program):
    root, files = package
    os.remove(files[program])
    entry = report(root)[0]["programs"][program]
    assert (entry["candidate"]["path"], entry["candidate"]["state"]) == (files[program], "missing")
    assert entry["answer"] == {
        "path": None,
        "error": None if program == "remote" else NOT_FOUND[program],
    }
    # the lookup's error, then what was tried, on which host, and the fix
    on_host = "" if program == "remote" else f" on {HOST_TEXT}"
    title, variable = BY_KEY[program].title, VARIABLE[program]
    assert run(root, "path", program) == (
        1,
        "",
        f"pyveka: {NOT_FOUND[program]}\n"
        f"pyveka: {title}{on_host}: override {variable}: unset; tried {files[program]}: missing; "
        f"fix: set {variable} to the {title}'s path, or install pyveka with a bin/ tree that "
        "holds it\n",
    )
    open(entry["candidate"]["path"], "w").close()
    assert run(root, "path", program) == (0, entry["candidate"]["path"] + "\n", "")


@SLOW
@pytest.mark.parametrize("override", [False, True])
def test_unknown_os(package, override):
    root, files = package
    env = {"VEKA_BIN": files["solver"]} if override else {}
    data, code, lines = report(root, before=PLAN9, **env)
    assert data["host"]["system"] == "plan9" and code == (0 if override else 1)
    unknown = {"path": None, "error": UNKNOWN}  # the JSON keeps the lookup's own text
    for program in ("solver", "mesher"):
        fix = None if override and program == "solver" else VARIABLE[program]
        assert data["programs"][program]["candidate"] == {
            "path": None,
            "state": "none",
            "reason": UNKNOWN,
            "detail": None,
            "fix": fix and f"set {fix} to the {BY_KEY[program].title}'s path",
        }
    assert data["programs"]["mesher"]["answer"] == unknown
    assert data["programs"]["solver"]["answer"] == (solver_answer(files) if override else unknown)
    assert data["configured_call"]["answer"] == data["programs"]["solver"]["answer"]
    assert data["programs"]["remote"]["candidate"]["state"] == "found"
    assert f"  candidate   none: {UNKNOWN_SHOWN}" in lines  # the text names the OS
    assert f"  answer      {UNKNOWN_SHOWN}" in lines


@SLOW
@pytest.mark.parametrize("present", [True, False])
@pytest.mark.parametrize("value", [None, "REMOTE", "/opt/Veka/veka --threads 4"])
def test_configured_call(package, value, present):
    root, files = package
    if not present:
        os.remove(files["solver"])
    before = None
    if value is not None:
        before = f"import pyveka.options as o\no.veka_set_option('veka.call', {value!r})"
    data, code, lines = report(root, before=before)
    resolved = (
        {"path": value, "error": None}
        if value and value != "REMOTE"
        else solver_answer(files, present)
    )
    assert data["configured_call"] == {"option": "veka.call", "value": value, "answer": resolved}
    assert code == (0 if present else 1)
    shown = "unset" if value is None else repr(value)
    assert lines[-2:] == [
        f"  value       {shown}",
        f"  resolves to {resolved['path'] or resolved['error']}",
    ]


@SLOW
@pytest.mark.parametrize(
    "argv", [["path", "bogus"], ["path"], ["path", "solver", "extra"], ["--bogus"]]
)
def test_usage_errors(package, argv):
    code, out, err = run(package[0], *argv)
    assert (code, out) == (2, "") and "usage:" in err


@SLOW
def test_console_script_runs_the_same_command(package):
    script = os.path.join(os.path.dirname(sys.executable), "pyveka")
    if not os.path.exists(script):
        script = shutil.which("pyveka")
    if script is None:
        pytest.skip("no pyveka console script")
    root, files = package
    os.remove(files["mesher"])
    for argv in (["path", "mesher"], ["path", "solver"], ["--json"]):
        assert run(root, *argv, command=[*PYTHON, script]) == run(root, *argv)
    data = json.loads(run(root, "--json", command=[*PYTHON, script])[1])
    assert data["package_root"] == str(root)  # the copy


@SLOW
def test_version_help_and_one_programs_json(package):
    root, files = package
    os.remove(files["mesher"])
    assert run(root, "--version") == (0, f"pyveka {pyveka.__version__}\n", "")
    code, shown, _ = run(root, "--help")
    assert code == 0 and all(
        word in shown for word in ("path", "run", *VARIABLES.values(), "74", "126", "127")
    )
    data = report(root)[0]
    for program, status in (("solver", 0), ("mesher", 1)):
        code, out, err = run(root, "--json", "path", program)
        assert (code, json.loads(out), err) == (status, data["programs"][program], "")


def test_installed_version_is_the_packages():
    try:
        installed = importlib.metadata.version("pyveka")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("pyveka is not installed")
    assert installed == pyveka.__version__


OUTPUTS = {  # how to start pyveka with an output it cannot write, and what it says on stderr
    "closed pipe": ({}, ""),  # the reader has gone: nothing to tell it
    "full disk": (
        {"stdout": "/dev/full"},
        "pyveka: cannot write the output: [Errno 28] No space left on device\n",
    ),
    "no stdout": (
        {"command": ["sh", "-c", 'exec "$@" >&-', "sh", *PYTHON, "-m", "pyveka"]},
        "pyveka: cannot write the output: [Errno 9] no standard output\n",
    ),
}


# the report, a path and argparse's own output
@SLOW
@pytest.mark.parametrize("argv", [[], ["path", "solver"], ["--help"]], ids=" ".join)
@pytest.mark.parametrize("output", OUTPUTS)
def test_output_that_cannot_be_written_ends_with_74(package, argv, output):
    if output == "full disk" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    how, said = OUTPUTS[output]
    read, write = os.pipe()
    os.close(read)
    with open(how.get("stdout", os.devnull), "w") as full:
        stdout = write if output == "closed pipe" else full
        assert run(package[0], *argv, command=how.get("command"), stdout=stdout) == (74, None, said)
    os.close(write)


@SLOW
@pytest.mark.parametrize("argv", [[], ["path", "solver"]], ids=" ".join)
def test_path_the_output_encoding_cannot_show(package, tmp_path, argv):
    unshown = tmp_path / "veka-\N{LATIN SMALL LETTER E WITH ACUTE}"
    unshown.touch(mode=0o755)
    code, out, err = run(package[0], *argv, VEKA_BIN=str(unshown), PYTHONIOENCODING="ascii")
    assert (code, out) == (74, "")  # nothing, rather than a part or a mangled path
    assert re.fullmatch(
        r"pyveka: cannot write the output: 'ascii' codec can't encode character '\\xe9' .*\n", err
    )


RUN = {  # what stands in the solver's place, the exit status, and why it did not start
    "script": ('#!/bin/sh\necho "$@"\nexit 3\n', 3, None),
    "no #! line": (
        'echo "$@"\n',
        126,
        "Exec format error: not a program: no #! line and no executable header\n"
        "pyveka: fix: make its first line a #! line that names its interpreter, such as #!/bin/sh",
    ),
    "empty": ("", 126, "Exec format error: not a program: an empty file"),
    "another host's": (
        FOREIGN_ELF,
        126,
        f"{BUILT_ELSEWHERE}\n"
        f"pyveka: fix: install the pyveka built for this host, or {SET_VEKA_BIN}",
    ),
    "no interpreter": (
        "#!/nonexistent/sh\n",
        126,
        "No such file or directory: the interpreter its #! line names is missing: /nonexistent/sh",
    ),
    "directory": (None, 126, "it is a directory, not a program"),
}


@SLOW
@pytest.mark.parametrize("case", RUN)
def test_run_starts_the_solver_or_says_why_not(package, case):
    root, files = package
    text, status, why = RUN[case]
    solver = files["solver"]
    if text is None:
        os.remove(solver)
        os.mkdir(solver)
    else:
        with open(solver, "wb") as script:  # keeps its mode, 0755
            script.write(text if isinstance(text, bytes) else text.encode())
    said = (
        ("-x a b --json\n", "")
        if why is None
        else ("", f"pyveka: cannot run the solver {solver}: {why}\n")
    )
    assert run(root, "run", "solver", "-x", "a b", "--json") == (status, *said)  # no "--" needed


@SLOW
def test_run_without_a_program_to_run(package):
    root, files = package
    code, out, err = run(root, "run", "mesher", before=PLAN9)
    assert (code, out) == (127, "") and err.splitlines() == [
        f"pyveka: {UNKNOWN_SHOWN}",
        (
            f"pyveka: mesh generator on plan9 {HOST[2]}, {HOST[1]}-bit: override GRELVIN_BIN: "
            f"unset; no file to try: {UNKNOWN_SHOWN}; "
            "fix: set GRELVIN_BIN to the mesh generator's path"
        ),
    ]
    assert run(root, "--json", "run", "solver")[:2] == (2, "")


WARNINGS = {  # what VEKA_BIN names, and what path and run say of it after "override VAR=VALUE: "
    "nothing": "ignored: nothing exists there",
    "directory": "used, but it is a directory (the lookup still answers it)",
    "not-executable": "used, but not executable (the lookup still answers it); fix: chmod +x {}",
    "another host's program": "used, but built for another host (the lookup still answers it): "
    f"{BUILT_ELSEWHERE}; fix: set VEKA_BIN to a solver built for this host",
    "empty": None,  # set but empty: the same as unset
    "a program": None,
}


@SLOW
@pytest.mark.parametrize("quiet", [False, True], ids=["", "quiet"])
@pytest.mark.parametrize("named", WARNINGS)
@pytest.mark.parametrize("command", ["path", "run"])
def test_path_and_run_warn_of_an_override_they_cannot_use(package, tmp_path, command, named, quiet):
    root, files = package
    with open(files["solver"], "w") as script:  # keeps its mode, 0755
        script.write('#!/bin/sh\necho built-in "$@"\n')
    value = "" if named == "empty" else str(tmp_path / "mine")
    if named == "directory":
        os.mkdir(value)
    elif named in ("not-executable", "a program"):
        with open(value, "w") as script:
            script.write('#!/bin/sh\necho override "$@"\n')
        os.chmod(value, 0o755 if named == "a program" else 0o644)
    elif named == "another host's program":
        with open(value, "wb") as binary:
            binary.write(FOREIGN_ELF)
        os.chmod(value, 0o755)
    warning = WARNINGS[named]
    said = ""
    if warning is not None and not quiet:
        said = f"pyveka: solver: override VEKA_BIN={value!r}: {warning.format(value)}\n"
    code, out, err = run(root, command, *(["-q"] if quiet else []), "solver", VEKA_BIN=value)
    answered = files["solver"] if named in ("nothing", "empty") else value  # the lookup's answer
    if command == "path":
        assert (code, out, err) == (0, answered + "\n", said)
    elif named in ("directory", "not-executable", "another host's program"):  # then why not
        assert (code, out, err.startswith(said + "pyveka: cannot run the solver")) == (
            126,
            "",
            True,
        )
    else:  # without ARGS
        ran = "override" if named == "a program" else "built-in"
        assert (code, out, err) == (0, ran + "\n", said)


RUN_USAGE = "usage: pyveka run [-h] [-q] PROGRAM [--] [ARGS ...]"
NO_PROGRAM = "pyveka run: error: the following arguments are required: PROGRAM"


@SLOW
@pytest.mark.parametrize(
    "argv, status, shown",
    [
        (["run"], 2, [RUN_USAGE, NO_PROGRAM]),
        (["run", "-q"], 2, [RUN_USAGE, NO_PROGRAM]),
        (["run", "--help"], 0, [RUN_USAGE, ""]),
        (["-V"], 0, [f"pyveka {pyveka.__version__}"]),
        (["-V", "path", "solver"], 0, [f"pyveka {pyveka.__version__}"]),
    ],
    ids=["run", "run -q", "run --help", "-V", "-V path solver"],
)
def test_usage_texts(package, argv, status, shown):
    code, out, err = run(package[0], *argv)
    said, nothing = (out, err) if code == 0 else (err, out)
    assert (code, said.splitlines()[: len(shown)], nothing) == (status, shown, "")


@SLOW
@pytest.mark.parametrize(
    "child, status",
    [
        ("raise SystemExit(5)", 5),  # the child's status is the command's
        # Ctrl-C
        ("import os, signal, time\nos.kill(os.getppid(), signal.SIGINT)\ntime.sleep(30)", 130),
    ],
)
def test_child_process_run_as_on_windows(package, child, status):
    waits = (  # Ctrl-C raises KeyboardInterrupt even where the test runs with SIGINT ignored
        "import os, signal, sys, pyveka.cli as cli\n"
        "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
        f"status = cli.run_child([sys.executable, '-c', {child!r}])\n"
        "try:\n"  # the child has been waited for: none is left, not even a zombie
        "    os.waitpid(-1, os.WNOHANG)\n"
        "    print('a child is left')\n"
        "except ChildProcessError:\n"
        "    pass\n"
        "sys.exit(status)"
    )
    # A Popen dropped while its child runs warns "subprocess N is still running".
    command = [*PYTHON, "-W", "error::ResourceWarning", "-c", waits]
    assert run(package[0], command=command) == (status, "", "")  # no traceback, no warning


class Env:
    """An environ with nothing but the `get` the lookups use."""

    def __init__(self, values):
        self.get = values.get


def answer(lookup):
    try:
        return {"path": lookup(), "error": None}
    except Exception as error:
        return {"path": None, "error": f"{type(error).__name__}: {error}"}


@pytest.mark.parametrize(
    "make_os",
    [
        lambda file: SimpleNamespace(environ=Env({}), path=os.path, sys=sys),
        lambda file: SimpleNamespace(environ={"VEKA_BIN": file}, path=os.path, sys=sys),
        None,  # the module's os deleted: neither namespace nor builtins has it
    ],
    ids=["get-only environ", "own environ with an override", "no os"],
)
def test_report_follows_the_lookups_own_os(vc, tmp_path, make_os):
    from pyveka.report import report

    file = str(tmp_path / "veka")
    open(file, "w").close()
    if make_os:
        vc.os = make_os(file)
    else:
        del vc.os
    solver = report().to_json()["programs"]["solver"]
    expected = answer(vc.veka_call_builtin)
    assert solver["answer"] == expected
    assert (solver["override"]["state"] == "used") == (expected["path"] == file)
    assert ("os" in vars(vc)) == bool(make_os)


@SLOW
@pytest.mark.parametrize(
    "value, meant, because",
    [
        (" {mine}", "{mine}", "stripped of white space"),
        ("{mine}\n", "{mine}", "stripped of white space"),
        ("~/mine", "{mine}", "~ expanded"),
        (" ~/mine\n", "{mine}", "stripped of white space, ~ expanded"),
        ("sh", shutil.which("sh"), "found on PATH"),
        (" /nowhere/veka", None, None),  # nothing there either way: nothing to suggest
    ],
    ids=["leading space", "trailing newline", "~", "both", "bare name", "nothing"],
)
def test_override_almost_right_is_named_but_not_used(package, tmp_path, value, meant, because):
    root, files = package
    mine = tmp_path / "mine"
    mine.touch(mode=0o755)
    value, meant = value.format(mine=mine), meant and meant.format(mine=mine)
    env = {"VEKA_BIN": value, "HOME": str(tmp_path)}  # cwd: tmp_path, which has no "sh"
    fix = meant and f"export VEKA_BIN={shlex.quote(meant)}"
    entry = report(root, **env)[0]["programs"]["solver"]
    assert entry["override"] == {
        "variable": "VEKA_BIN",
        "value": value,
        "state": "ignored",
        "file": None,
        "detail": None,
        "fix": fix,
        "meant": meant,
    }
    assert entry["answer"] == {"path": files["solver"], "error": None}  # the rule stays
    override = f"VEKA_BIN={value!r}: ignored: nothing exists there"
    if meant:
        override += (
            f"; probably meant {meant!r} ({because}), which the lookup does not use: it takes "
            "the value as written"
        )
    said = f"pyveka: solver: override {override}" + (f"; fix: {fix}" if fix else "")
    assert run(root, "path", "solver", **env) == (0, files["solver"] + "\n", said + "\n")
    # without the built-in file: said once, in the diagnosis, whose fix is the meant one
    os.remove(files["solver"])
    fix = (
        fix or "set VEKA_BIN to the solver's path, or install pyveka with a bin/ tree that holds it"
    )
    assert run(root, "path", "solver", **env) == (
        1,
        "",
        f"pyveka: {NOT_FOUND['solver']}\n"
        f"pyveka: solver on {HOST_TEXT}: override {override}; tried {files['solver']}: missing; "
        f"fix: {fix}\n",
    )


@SLOW
@pytest.mark.skipif(sys.getfilesystemencoding() != "utf-8", reason="file names are not UTF-8")
def test_json_carries_a_path_that_is_not_utf8(package, tmp_path):
    raw = os.fsencode(tmp_path / "veka-") + b"\xff"
    with open(raw, "wb"):
        pass
    os.chmod(raw, 0o755)
    root, _ = package
    code, out, _ = run(root, "--json", "path", "solver", VEKA_BIN=os.fsdecode(raw))
    entry = json.loads(out)
    shown = raw.decode("utf-8", "replace")  # the bytes themselves under <key>_hex
    assert code == 0 and "\\udcff" not in out
    assert (entry["override"]["value"], bytes.fromhex(entry["override"]["value_hex"])) == (
        shown,
        raw,
    )
    assert entry["answer"] == {"path": shown, "path_hex": raw.hex(), "error": None}


LATE_JSON = "pyveka: error: --json goes before the command: pyveka --json path {}"
UNKNOWN_PROGRAM = "pyveka {}: error: argument PROGRAM: unknown program {!r}{}"
CHOICES = " (PROGRAM is solver, mesher, remote)"


@pytest.mark.parametrize(
    "argv, said",
    [
        (["path", "--json", "solver"], LATE_JSON.format("solver")),
        (["path", "mesher", "--json"], LATE_JSON.format("mesher")),
        (["run", "--json", "solver"], "pyveka: error: --json does not apply to run"),
        (["path", "mesh"], UNKNOWN_PROGRAM.format("path", "mesh", "; did you mean 'mesher'?")),
        (
            ["path", "grelvin"],
            UNKNOWN_PROGRAM.format("path", "grelvin", "; did you mean 'mesher'?"),
        ),
        (["run", "Veka"], UNKNOWN_PROGRAM.format("run", "Veka", "; did you mean 'solver'?")),
        (
            ["run", "launcher"],
            UNKNOWN_PROGRAM.format("run", "launcher", "; did you mean 'remote'?"),
        ),
        (["path", "bogus"], UNKNOWN_PROGRAM.format("path", "bogus", "")),
    ],
    ids=" ".join,
)
def test_usage_errors_say_what_was_meant(capsys, argv, said):
    from pyveka.cli import main

    assert main(argv) == 2
    out, err = capsys.readouterr()
    assert (out, err.splitlines()[-1]) == ("", said + ("" if "json" in said else CHOICES))


def another_user():
    """The uid and gid of the user nobody, if this process may become it."""
    if os.name != "posix" or os.geteuid() != 0:
        return None
    try:
        import pwd

        nobody = pwd.getpwnam("nobody")
    except (ImportError, KeyError):
        return None
    return nobody.pw_uid, nobody.pw_gid


def closed_ancestor(path):
    """The nearest directory above `path` that users other than its owner may not enter."""
    for above in Path(path).resolve().parents:
        if not os.stat(above).st_mode & stat.S_IXOTH:
            return above
    return None


@pytest.fixture
def shared_package():
    """A package copy that another user may read, with this host's three programs."""
    closed = closed_ancestor(Path(tempfile.gettempdir(), "x"))
    if closed is not None:
        pytest.skip(f"other users may not enter {closed}, above the temporary directory")
    top = tempfile.mkdtemp(prefix="pyveka-shared-")
    os.chmod(top, 0o755)
    root = Path(top, "pyveka")
    paths = package_copy(root)
    yield root, {program: paths[lookup] for program, lookup in PROGRAMS.items()}
    shutil.rmtree(top)


def as_another_user(root, *argv):
    """pyveka's status, output and error output for `argv`, as the user nobody, in a fork of
    this process (that user may not reach this interpreter's files to start one afresh)."""
    uid, gid = another_user()
    outputs = [os.pipe(), os.pipe()]
    child = os.fork()
    if child == 0:  # never returns into pytest
        status = 70
        try:
            sys.stdout, sys.stderr = (open(write, "w") for _, write in outputs)
            pyveka.veka_call.__file__ = str(root / "veka_call.so")
            os.setgroups([])
            os.setgid(gid)
            os.setuid(uid)
            from pyveka.cli import main

            status = main(list(argv))
            sys.stdout.flush()
        except BaseException:
            traceback.print_exc()
        finally:
            sys.stderr.flush()
            os._exit(status)
    said = []
    for _, write in outputs:
        os.close(write)
    for read, _ in outputs:
        with open(read) as stream:
            said.append(stream.read())
    return (os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]), *said)


@pytest.mark.skipif(another_user() is None, reason="becoming another user needs root")
@pytest.mark.parametrize("closed", ["bin/ directory", "solver"])
def test_another_users_file_is_diagnosed_with_whom_to_ask(shared_package, closed):
    root, files = shared_package
    solver, bin_dir = files["solver"], str(root / "bin")
    ask = "ask root, who owns it, to run: chmod a+x {}"
    if closed == "solver":
        os.chmod(solver, 0o700)  # root may run it, nobody else
        fix = ask.format(solver)
        said = (
            f"pyveka: cannot run the solver {solver}: it is not executable for this user: "
            f"mode -rwx------, owned by root\npyveka: fix: {fix}\n"
        )
        assert as_another_user(root, "run", "solver") == (126, "", said)
        candidate = json.loads(as_another_user(root, "--json", "path", "solver")[1])["candidate"]
        assert (candidate["state"], candidate["detail"], candidate["fix"]) == (
            "not-executable",
            "mode -rwx------, owned by root",
            fix,
        )
    else:
        os.chmod(bin_dir, 0o700)  # nobody else may enter it
        fix = ask.format(bin_dir)
        said = (
            f"pyveka: {NOT_FOUND['solver']}\n"
            f"pyveka: solver on {HOST_TEXT}: override VEKA_BIN: unset; tried {solver}: cannot "
            f"be reached: permission denied: {bin_dir} cannot be entered (mode drwx------, "
            f"owned by root); fix: {fix}; or {SET_VEKA_BIN}\n"
        )
        assert as_another_user(root, "path", "solver") == (1, "", said)
    # what the owner is asked to run is what lets the other user run the solver
    assert subprocess.run(fix.split(": ", 1)[1], shell=True).returncode == 0
    assert as_another_user(root, "path", "solver") == (0, solver + "\n", "")

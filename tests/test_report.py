"""``python -m pyveka`` as a user runs it: a fresh interpreter on a copy of the installed
package."""

import json
import os
import re
import shutil
import subprocess
import sys
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
from pyveka.programs import BY_KEY

pytestmark = pytest.mark.skipif(
    candidate("veka_call_builtin", *HOST) is None or HOST[0] == "windows",
    reason="no POSIX bin/ row for this host",
)
# The programs as pyveka names them, and their lookups.
PROGRAMS = {
    "solver": "veka_call_builtin",
    "mesher": "grelvin_call_builtin",
    "remote": "veka_remote_script",
}
VARIABLE = {program: VARIABLES[lookup] for program, lookup in PROGRAMS.items()}
NOT_FOUND = {  # what pyveka says when a program is not installed
    "solver": f"FileNotFoundError: {NOT_INSTALLED['veka_call_builtin']}",
    "mesher": f"FileNotFoundError: {NOT_INSTALLED['grelvin_call_builtin']}",
    "remote": NO_REMOTE,
}
UNKNOWN = f"RuntimeError: {UNKNOWN_OS}"
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


@pytest.mark.parametrize(
    "state, shown, status",
    [
        ("found", "found", 0),
        ("missing", "missing", 1),
        ("dangling-link", "a symbolic link whose target is missing", 1),
        ("directory", "found, but it is a directory (the lookup still answers it)", 0),
        ("not-executable", "found, but not executable (the lookup still answers it)", 0),
    ],
)
def test_solver_candidate_states(package, state, shown, status):
    root, files = package
    solver = files["solver"]
    if state == "not-executable":
        os.chmod(solver, 0o644)  # no x bit at all: even root may not run it
    elif state != "found":
        os.remove(solver)
        # a link to nothing, or a directory, in the file's place
        if state == "dangling-link":
            os.symlink(solver + ".gone", solver)
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
    assert f"  candidate   {solver}: {shown}" in lines
    assert f"  answer      {solver if status == 0 else NOT_FOUND['solver']}" in lines
    fixes = [line.split("fix", 1)[1].strip() for line in lines if line.startswith("  fix ")]
    assert fixes == ([entry["candidate"]["fix"]] if state == "not-executable" else [])
    if fixes:  # pasted into a shell as it stands, the fix makes the file executable
        assert fixes[0].startswith("chmod +x ")
        done = subprocess.run(fixes[0], shell=True)
        assert done.returncode == 0
        assert report(root)[0]["programs"]["solver"]["candidate"]["state"] == "found"


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
        "fix": None,
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


@pytest.mark.parametrize(
    "program, made, warning",
    [
        ("solver", "directory", "used, but it is a directory (the lookup still answers it)"),
        ("remote", "not-executable", "used, but not executable (the lookup still answers it)"),
    ],
)
def test_override_that_cannot_run_is_warned_about(package, tmp_path, program, made, warning):
    root, files = package
    variable, value = VARIABLE[program], str(tmp_path / "mine")
    if made == "directory":
        os.mkdir(value)
    else:
        open(value, "w").close()
    data, code, lines = report(root, **{variable: value})
    fix = f"chmod +x {value}" if made == "not-executable" else None
    entry = data["programs"][program]
    assert entry["override"] == {
        "variable": variable,
        "value": value,
        "state": "used",
        "file": made,
        "fix": fix,
    }
    assert entry["answer"] == {"path": value, "error": None}  # still answered
    after = lines[lines.index(f"  override    {variable}={value!r}: {warning}") + 1]
    assert after == f"  fix         {fix}" if fix else after.startswith("  candidate ")


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
    assert run(root, "path", program) == (1, "", NOT_FOUND[program] + "\n")
    open(entry["candidate"]["path"], "w").close()
    assert run(root, "path", program) == (0, entry["candidate"]["path"] + "\n", "")


@pytest.mark.parametrize("override", [False, True])
def test_unknown_os(package, override):
    root, files = package
    env = {"VEKA_BIN": files["solver"]} if override else {}
    data, code, lines = report(root, before=PLAN9, **env)
    assert data["host"]["system"] == "plan9" and code == (0 if override else 1)
    unknown, none = (
        {"path": None, "error": UNKNOWN},
        {"path": None, "state": "none", "reason": UNKNOWN, "fix": None},
    )
    assert (
        data["programs"]["solver"]["candidate"] == data["programs"]["mesher"]["candidate"] == none
    )
    assert data["programs"]["mesher"]["answer"] == unknown
    assert data["programs"]["solver"]["answer"] == (solver_answer(files) if override else unknown)
    assert data["configured_call"]["answer"] == data["programs"]["solver"]["answer"]
    assert data["programs"]["remote"]["candidate"]["state"] == "found"
    assert f"  candidate   none: {UNKNOWN}" in lines


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


@pytest.mark.parametrize(
    "argv", [["path", "bogus"], ["path"], ["path", "solver", "extra"], ["--bogus"]]
)
def test_usage_errors(package, argv):
    code, out, err = run(package[0], *argv)
    assert (code, out) == (2, "") and "usage:" in err


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
    "no #! line": ("", 126, "Exec format error: not a program this host can start"),
    "no interpreter": (
        "#!/nonexistent/sh\n",
        126,
        "No such file or directory: the interpreter its #! line names is missing: /nonexistent/sh",
    ),
    "directory": (None, 126, "it is a directory, not a program"),
}


@pytest.mark.parametrize("case", RUN)
def test_run_starts_the_solver_or_says_why_not(package, case):
    root, files = package
    text, status, why = RUN[case]
    solver = files["solver"]
    if text is None:
        os.remove(solver)
        os.mkdir(solver)
    else:
        with open(solver, "w") as script:  # keeps its mode, 0755
            script.write(text)
    said = (
        ("-x a b --json\n", "")
        if why is None
        else ("", f"pyveka: cannot run the solver {solver}: {why}\n")
    )
    assert run(root, "run", "solver", "-x", "a b", "--json") == (status, *said)  # no "--" needed


def test_run_without_a_program_to_run(package):
    root, files = package
    code, out, err = run(root, "run", "mesher", before=PLAN9)
    assert (code, out) == (127, "") and err.splitlines() == [
        f"pyveka: {UNKNOWN}",
        (
            f"pyveka: mesh generator: override GRELVIN_BIN: unset; candidate none: {UNKNOWN}; "
            "fix: set GRELVIN_BIN to the mesh generator's path, "
            "or install pyveka with a bin/ tree that holds it"
        ),
    ]
    assert run(root, "--json", "run", "solver")[:2] == (2, "")


WARNINGS = {  # what VEKA_BIN names, and what path and run say of it after "override VAR=VALUE: "
    "nothing": "ignored: nothing exists there",
    "directory": "used, but it is a directory (the lookup still answers it)",
    "not-executable": "used, but not executable (the lookup still answers it); fix: chmod +x {}",
    "empty": None,  # set but empty: the same as unset
    "a program": None,
}


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
    warning = WARNINGS[named]
    said = ""
    if warning is not None and not quiet:
        said = f"pyveka: solver: override VEKA_BIN={value!r}: {warning.format(value)}\n"
    code, out, err = run(root, command, *(["-q"] if quiet else []), "solver", VEKA_BIN=value)
    answered = files["solver"] if named in ("nothing", "empty") else value  # the lookup's answer
    if command == "path":
        assert (code, out, err) == (0, answered + "\n", said)
    elif named in ("directory", "not-executable"):  # what run then says of the file follows
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
        "import signal, sys, pyveka.__main__ as m\n"
        "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
        f"sys.exit(m.run_child([sys.executable, '-c', {child!r}]))"
    )
    assert run(package[0], command=[*PYTHON, "-c", waits]) == (status, "", "")  # no traceback


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
    from pyveka.__main__ import report

    file = str(tmp_path / "veka")
    open(file, "w").close()
    if make_os:
        vc.os = make_os(file)
    else:
        del vc.os
    solver = report()["programs"]["solver"]
    expected = answer(vc.veka_call_builtin)
    assert solver["answer"] == expected
    assert (solver["override"]["state"] == "used") == (expected["path"] == file)
    assert ("os" in vars(vc)) == bool(make_os)

"""The report as people read it: the whole report, and the one-line diagnoses that the
commands print on stderr."""

from __future__ import annotations

from .programs import PROGRAMS, UNKNOWN_OS, Program
from .report import Answer, Candidate, Host, Override, ProgramReport, Report

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
    "foreign": "but built for another host (the lookup still answers it)",
}
CANDIDATE_TEXT = {
    "found": "found",
    "missing": "missing",
    "dangling-link": "a symbolic link whose target is missing",
    "link-loop": "a symbolic link that loops: following it leads back to it",
    "permission-denied": "cannot be reached: permission denied",
    **{state: f"found, {text}" for state, text in UNRUNNABLE_TEXT.items()},
}


def as_text(data: Report) -> str:
    host = data.host
    lines = [
        f"pyveka {data.version}",
        f"host          {host_text(host)}",
        f"package root  {data.package_root}",
    ]
    for program in PROGRAMS:
        entry = data.programs[program.key]
        override, candidate = entry.override, entry.candidate
        lines += ["", f"{program.title} ({entry.function})"]
        lines.append(f"  override    {override_text(override)}")
        if override.fix:
            lines.append(f"  fix         {override.fix}")
        lines.append(f"  candidate   {candidate_text(candidate, host)}")
        if candidate.fix:
            lines.append(f"  fix         {candidate.fix}")
        lines.append(f"  answer      {answer_text(entry.answer, host)}")
    call = data.configured_call
    value = "unset" if call.value is None else repr(call.value)
    lines += ["", f'configured call (option "{call.option}")', f"  value       {value}"]
    lines.append(f"  resolves to {answer_text(call.answer, host)}")
    return "\n".join(lines)


def host_text(host: Host) -> str:
    return f"{host.system} {host.machine}, {host.bits}-bit"


def override_text(override: Override) -> str:
    shown = "" if override.value is None else f"={override.value!r}"
    state = OVERRIDE_TEXT.get(override.state, override.state)
    if override.file in UNRUNNABLE_TEXT:
        state += ", " + UNRUNNABLE_TEXT[override.file]
        if override.detail:
            state += f": {override.detail}"
    if override.meant is not None:
        state += (
            f"; probably meant {override.meant!r} ({override.meant_because}), "
            "which the lookup does not use: it takes the value as written"
        )
    return f"{override.variable}{shown}: {state}"


def candidate_text(candidate: Candidate, host: Host) -> str:
    if candidate.path is None:
        return f"none: {error_text(candidate.reason, host)}"
    detail = f": {candidate.detail}" if candidate.detail else ""
    return f"{candidate.path}: {CANDIDATE_TEXT[candidate.state]}{detail}"


def error_text(error: str | None, host: Host) -> str | None:
    """A lookup's error as the report shows it: "Unknown OS" with the OS it does not know."""
    if error == UNKNOWN_OS:
        return f"{error} (no bin/ row for this host's OS, {host.system!r})"
    return error


def answer_text(got: Answer, host: Host) -> str:
    return str(error_text(got.error, host) if got.error is not None else got.path)


def not_answered(program: Program, got: Answer, host: Host) -> str:
    """The lookup's error text, or what stands for it when the lookup answers None."""
    return str(error_text(got.error, host) or f"no {program.title} script found")


def override_warning(program: Program, override: Override) -> str | None:
    """The report's override line, with its fix, when the override is set but ignored or names
    what cannot run; None when it is unset, empty, unknown or used as it should be."""
    if override.state != "ignored" and override.file not in UNRUNNABLE_TEXT:
        return None
    fix = f"; fix: {override.fix}" if override.fix else ""
    return f"{program.title}: override {override_text(override)}{fix}"


def diagnosis(program: Program, entry: ProgramReport, host: Host) -> str:
    """The report on one program in one line: the host where its file depends on it, the
    override, the candidate and its state, the fix."""
    override, candidate = entry.override, entry.candidate
    # What the user probably meant by an override set but ignored fixes it sooner than the file.
    meant = override.fix if override.state == "ignored" and override.meant is not None else None
    fix = (
        meant
        or candidate.fix
        or (
            f"set {override.variable} to the {program.title}'s path, "
            "or install pyveka with a bin/ tree that holds it"
        )
    )
    on_host = "" if program.files is None else f" on {host_text(host)}"
    if candidate.path is None:
        tried = f"no file to try: {error_text(candidate.reason, host)}"
    else:
        tried = f"tried {candidate_text(candidate, host)}"
    return f"{program.title}{on_host}: override {override_text(override)}; {tried}; fix: {fix}"

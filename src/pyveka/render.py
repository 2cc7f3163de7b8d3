"""The report as people read it: the whole report, and the one-line diagnoses that the
commands print on stderr."""

from __future__ import annotations

from .programs import PROGRAMS, Program
from .report import Answer, Candidate, Override, ProgramReport, Report

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


def as_text(data: Report) -> str:
    host = data.host
    lines = [
        f"pyveka {data.version}",
        f"host          {host.system} {host.machine}, {host.bits}-bit",
        f"package root  {data.package_root}",
    ]
    for program in PROGRAMS:
        entry = data.programs[program.key]
        override, candidate = entry.override, entry.candidate
        lines += ["", f"{program.title} ({entry.function})"]
        lines.append(f"  override    {override_text(override)}")
        if override.fix:
            lines.append(f"  fix         {override.fix}")
        lines.append(f"  candidate   {candidate_text(candidate)}")
        if candidate.fix:
            lines.append(f"  fix         {candidate.fix}")
        lines.append(f"  answer      {answer_text(entry.answer)}")
    call = data.configured_call
    value = "unset" if call.value is None else repr(call.value)
    lines += ["", f'configured call (option "{call.option}")', f"  value       {value}"]
    lines.append(f"  resolves to {answer_text(call.answer)}")
    return "\n".join(lines)


def override_text(override: Override) -> str:
    shown = "" if override.value is None else f"={override.value!r}"
    state = OVERRIDE_TEXT.get(override.state, override.state)
    if override.file in UNRUNNABLE_TEXT:
        state += ", " + UNRUNNABLE_TEXT[override.file]
    return f"{override.variable}{shown}: {state}"


def candidate_text(candidate: Candidate) -> str:
    if candidate.path is None:
        return f"none: {candidate.reason}"
    return f"{candidate.path}: {CANDIDATE_TEXT[candidate.state]}"


def answer_text(got: Answer) -> str:
    return str(got.error if got.error is not None else got.path)


def not_answered(program: Program, got: Answer) -> str:
    """The lookup's error text, or what stands for it when the lookup answers None."""
    return str(got.error or f"no {program.title} script found")


def override_warning(program: Program, override: Override) -> str | None:
    """The report's override line, with its fix, when the override is set but ignored or names
    what cannot run; None when it is unset, empty, unknown or used as it should be."""
    if override.state != "ignored" and override.file not in UNRUNNABLE_TEXT:
        return None
    fix = f"; fix: {override.fix}" if override.fix else ""
    return f"{program.title}: override {override_text(override)}{fix}"


def diagnosis(program: Program, entry: ProgramReport) -> str:
    """The report on one program in one line: override, candidate and its state, the fix."""
    override, candidate = entry.override, entry.candidate
    fix = candidate.fix or (
        f"set {override.variable} to the {program.title}'s path, "
        "or install pyveka with a bin/ tree that holds it"
    )
    return (
        f"{program.title}: override {override_text(override)}; "
        f"candidate {candidate_text(candidate)}; fix: {fix}"
    )

"""Checks of the release wheels that run on this machine, though most of the wheels cannot be
built here.

    python release_checks.py audit WHEEL   auditwheel's report on a wheel built here, the
                                           policy it meets, and the libraries its modules need
    python release_checks.py builds        cibuildwheel's build list for each platform, and
                                           the release workflow's: its jobs together build
                                           exactly the plan, and it publishes on a tag

Exit status 1 when a check fails.
"""

from __future__ import annotations

import re
import subprocess
import sys
import tempfile
import tomllib
import zipfile
from pathlib import Path
from typing import Any

import yaml
from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

ROOT = Path(__file__).resolve().parent.parent
WORKFLOW = ROOT / ".github" / "workflows" / "release.yml"

# The dynamic loader of each Linux machine the release builds for, with glibc and with musl.
# The 32-bit x86 one has no machine in its name: a module built there needs ld-linux.so.2 (for
# ___tls_get_addr, the thread-local storage of the C++ runtime linked in).
LOADERS = {
    "x86_64": ("ld-linux-x86-64.so.2", "ld-musl-x86_64.so.1"),
    "i686": ("ld-linux.so.2", "ld-musl-i386.so.1"),
    "aarch64": ("ld-linux-aarch64.so.1", "ld-musl-aarch64.so.1"),
}
# What a module may need at run time: the C library (glibc's, or musl's libc.so), its dynamic
# loader and the shared unwinder libgcc_s, which every manylinux and musllinux policy allows
# (glibc itself unwinds an ending thread with it, so the module does not link a copy of its
# own). The interpreter's own symbols are resolved from the process; the C++ runtime is linked
# in (CMakeLists.txt).
ALLOWED_NEEDED = {"libc.so.6", "libc.so", "libgcc_s.so.1"} | {
    loader for loaders in LOADERS.values() for loader in loaders
}

# The wheels a release publishes, as cibuildwheel names the builds, by platform.
VERSIONS = ("cp311", "cp312", "cp313", "cp314", "cp315")
PLATFORMS = {
    "linux": tuple(f"{libc}_{arch}" for libc in ("manylinux", "musllinux") for arch in LOADERS),
    "macos": ("macosx_x86_64", "macosx_arm64"),
    "windows": ("win_amd64", "win32"),
}


def needed(module: Path) -> list[str]:
    """The DT_NEEDED entries of an ELF file."""
    with module.open("rb") as stream:
        elf = ELFFile(stream)
        return [
            tag.needed
            for section in elf.iter_sections()
            if isinstance(section, DynamicSection)
            for tag in section.iter_tags()
            if tag.entry.d_tag == "DT_NEEDED"
        ]


def audit(wheel: Path) -> int:
    # -v: the whole report, the external libraries included, even when the symbol
    # versions already constrain the policy.
    command = [sys.executable, "-m", "auditwheel", "-v", "show", str(wheel)]
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    print(done.stdout, end="")
    if done.returncode != 0:
        print(done.stderr, end="", file=sys.stderr)
        return 1
    text = " ".join(done.stdout.split())  # auditwheel wraps its lines
    failures = []
    policy = re.search(r'consistent with the following platform tag: "([^"]+)"', text)
    if policy and policy.group(1).startswith("manylinux"):
        print(f"policy met: {policy.group(1)}")
    else:
        failures.append("the wheel meets no manylinux policy")
    if "The wheel requires no external shared libraries" not in text:
        failures.append("auditwheel finds external shared libraries")
    with tempfile.TemporaryDirectory() as unpacked, zipfile.ZipFile(wheel) as archive:
        archive.extractall(unpacked)
        modules = sorted(Path(unpacked).rglob("*.so"))
        if not modules:
            failures.append("the wheel holds no module")
        for module in modules:
            entries = needed(module)
            print(f"{module.relative_to(unpacked)} needs: {', '.join(entries) or 'nothing'}")
            failures += [
                f"{module.name} needs {entry}: only the C library, its loader and libgcc_s"
                " are allowed"
                for entry in entries
                if entry not in ALLOWED_NEEDED
            ]
    for failure in failures:
        print(f"FAILED: {failure}", file=sys.stderr)
    return 1 if failures else 0


def identifiers(platform: str, archs: str | None = None) -> set[str] | None:
    """cibuildwheel's builds for a platform (and archs), as it prints them; None on failure."""
    command = [sys.executable, "-m", "cibuildwheel", "--print-build-identifiers"]
    command += ["--platform", platform, *(["--archs", archs] if archs else [])]
    done = subprocess.run(command, capture_output=True, text=True, check=False, cwd=ROOT)
    print(f"{platform}{f' ({archs})' if archs else ''}:\n{done.stdout}", end="")
    if done.returncode != 0:
        print(done.stderr, end="", file=sys.stderr)
        return None
    return set(done.stdout.split())


def compare(what: str, planned: set[str], configured: set[str]) -> list[str]:
    return [f"{what}: {build} is not built" for build in sorted(planned - configured)] + [
        f"{what}: {build} is built but not planned" for build in sorted(configured - planned)
    ]


def steps_using(job: dict[str, Any], action: str) -> list[dict[str, Any]]:
    return [step for step in job.get("steps", []) if str(step.get("uses", "")).startswith(action)]


def workflow(plan: dict[str, set[str]]) -> list[str]:
    """The release workflow's failures: it must parse, its wheel jobs together build exactly
    the plan with the cibuildwheel the checks pin, and it must build the sdist and publish
    both on a tag by trusted publishing."""
    try:
        document = yaml.safe_load(WORKFLOW.read_text(encoding="utf-8"))
    except (OSError, yaml.YAMLError) as error:
        return [f"{WORKFLOW.relative_to(ROOT)}: {error}"]
    if not isinstance(document, dict) or not isinstance(document.get("jobs"), dict):
        return [f"{WORKFLOW.relative_to(ROOT)}: no jobs"]
    failures = []
    jobs = document["jobs"]
    triggers = document.get("on", document.get(True))  # YAML 1.1 reads a bare on as true
    if "v*" not in (triggers or {}).get("push", {}).get("tags", []):
        failures.append("the workflow does not run on a pushed tag v*")

    wheels = [job for job in jobs.values() if steps_using(job, "pypa/cibuildwheel@")]
    groups = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
    pinned = next(
        requirement.partition("==")[2]
        for requirement in groups["dependency-groups"]["release-checks"]
        if requirement.startswith("cibuildwheel==")
    )
    built: dict[str, set[str]] = {platform: set() for platform in plan}
    for job in wheels:
        for step in steps_using(job, "pypa/cibuildwheel@"):
            if step["uses"] != f"pypa/cibuildwheel@v{pinned}":
                failures.append(f"{step['uses']}: the checks pin cibuildwheel {pinned}")
        for entry in job.get("strategy", {}).get("matrix", {}).get("include", []):
            got = identifiers(entry["platform"], entry["archs"])
            if got is None:
                failures.append(f"cibuildwheel fails for {entry}")
                continue
            built.setdefault(entry["platform"], set()).update(got)
    for platform in sorted(built):
        failures += compare(f"workflow: {platform}", plan.get(platform, set()), built[platform])

    if not any(
        "build --sdist" in str(step.get("run", "")) for j in jobs.values() for step in j["steps"]
    ):
        failures.append("the workflow builds no sdist")
    publishing = [job for job in jobs.values() if steps_using(job, "pypa/gh-action-pypi-publish@")]
    if len(publishing) != 1:
        failures.append("the workflow must have one job that publishes to PyPI")
    else:
        (publish,) = publishing
        needs = publish.get("needs", [])
        names = {name for name, job in jobs.items() if job in wheels or "sdist" in name}
        if not names <= set([needs] if isinstance(needs, str) else needs):
            failures.append(f"publishing must wait for the wheels and the sdist: {sorted(names)}")
        if "refs/tags/v" not in str(publish.get("if", "")):
            failures.append("publishing must run on a tag only")
        if publish.get("permissions", {}).get("id-token") != "write":
            failures.append("trusted publishing needs the id-token: write permission")
    return failures


def builds() -> int:
    failures = []
    plan = {
        platform: {f"{v}-{tag}" for v in VERSIONS for tag in tags}
        for platform, tags in PLATFORMS.items()
    }
    for platform, planned in plan.items():
        configured = identifiers(platform)
        if configured is None:
            failures.append(f"cibuildwheel fails for {platform}")
        else:
            failures += compare(platform, planned, configured)
    failures += workflow(plan)
    for failure in failures:
        print(f"FAILED: {failure}", file=sys.stderr)
    return 1 if failures else 0


def main(argv: list[str]) -> int:
    if argv[:1] == ["audit"] and len(argv) == 2:
        return audit(Path(argv[1]))
    if argv == ["builds"]:
        return builds()
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

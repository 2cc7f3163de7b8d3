"""Checks of the release wheels that run on this machine, though most of the wheels cannot be
built here.

    python release_checks.py audit WHEEL   auditwheel's report on a wheel built here, the
                                           policy it meets, and the libraries its modules need
    python release_checks.py builds        cibuildwheel's build list for each platform

Exit status 1 when a check fails.
"""

from __future__ import annotations

import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

# What a module may need at run time: the C library and its dynamic loader. The
# interpreter's own symbols are resolved from the process; the C++ runtime is linked
# in (CMakeLists.txt).
ALLOWED_NEEDED = re.compile(r"libc\.so\.6|ld-linux-[\w-]+\.so\.\d+|ld-musl-\w+\.so\.1")

# The wheels a release publishes, as cibuildwheel names the builds, by platform.
VERSIONS = ("cp311", "cp312", "cp313", "cp314")
PLATFORMS = {
    "linux": ("manylinux_x86_64", "manylinux_aarch64", "musllinux_x86_64", "musllinux_aarch64"),
    "macos": ("macosx_x86_64", "macosx_arm64"),
    "windows": ("win_amd64",),
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
                f"{module.name} needs {entry}: only the C library and its loader are allowed"
                for entry in entries
                if not ALLOWED_NEEDED.fullmatch(entry)
            ]
    for failure in failures:
        print(f"FAILED: {failure}", file=sys.stderr)
    return 1 if failures else 0


def builds() -> int:
    failed = False
    for platform, tags in PLATFORMS.items():
        command = [sys.executable, "-m", "cibuildwheel", "--print-build-identifiers"]
        done = subprocess.run(
            [*command, "--platform", platform], capture_output=True, text=True, check=False
        )
        print(f"{platform}:\n{done.stdout}", end="")
        if done.returncode != 0:
            print(done.stderr, end="", file=sys.stderr)
            failed = True
            continue
        planned = {f"{version}-{tag}" for version in VERSIONS for tag in tags}
        configured = set(done.stdout.split())
        for build in sorted(planned - configured):
            print(f"FAILED: {platform}: {build} is not built", file=sys.stderr)
        for build in sorted(configured - planned):
            print(f"FAILED: {platform}: {build} is built but not planned", file=sys.stderr)
        failed = failed or planned != configured
    return 1 if failed else 0


def main(argv: list[str]) -> int:
    if argv[:1] == ["audit"] and len(argv) == 2:
        return audit(Path(argv[1]))
    if argv == ["builds"]:
        return builds()
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

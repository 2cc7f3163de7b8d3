"""The build's account of the bin/ tree: it names the candidates the lookups try, carries the
part of the tree the wheel's platform can choose, follows links, and refuses what the platform
cannot run or the wheel cannot hold."""

import importlib.util
import os
import re
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path
from types import ModuleType

import pytest
from helpers import HOST
from test_executables import elf, mach_o, pe, universal

SCRIPT = Path(__file__).resolve().parent.parent / "cmake" / "bin_tree.py"
SH = b"#!/bin/sh\nexit 0\n"
X86_64_ELF, AARCH64_ELF, X86_ELF = elf(2, 1, 62), elf(2, 1, 183), elf(1, 1, 3)
ARM64_MACH_O = mach_o(b"\xcf\xfa\xed\xfe", 0x0100000C)
X86_64_MACH_O = mach_o(b"\xcf\xfa\xed\xfe", 0x01000007)
UNIVERSAL2 = universal([0x01000007, 0x0100000C])
X86_64_PE, X86_PE = pe(0x8664), pe(0x14C)


@pytest.fixture(scope="module")
def bin_tree() -> ModuleType:
    if not SCRIPT.is_file():
        pytest.skip("the tests run without the source tree")
    spec = importlib.util.spec_from_file_location("bin_tree", SCRIPT)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # where dataclasses look their module up
    spec.loader.exec_module(module)
    return module


def named(lookup: Callable[[], str | None]) -> str | None:
    try:
        return lookup()
    except RuntimeError:  # Unknown OS
        return None


@pytest.mark.parametrize(
    "system, machine, bits",
    [
        ("darwin", "arm64", "64"),
        ("darwin", "aarch64", "64"),
        ("darwin", "x86_64", "32"),
        ("linux", "aarch64", "64"),
        ("linux", "i686", "32"),
        ("windows", "amd64", "64"),
        ("win32", "x86", "32"),
        ("cygwin_nt-10.0", "x86_64", "64"),
        ("freebsd", "amd64", "64"),
    ],
)
def test_build_report_names_the_lookups_candidates(bin_tree, vc, host, system, machine, bits):
    host(system, bits, machine)
    vc._resolve_path = lambda *parts: "/".join(parts)  # the candidate, whether it exists or not
    lookups = (vc.veka_call_builtin, vc.grelvin_call_builtin, vc.veka_remote_script)
    expected = dict(zip(bin_tree.PROGRAMS, map(named, lookups), strict=True))
    assert bin_tree.candidates(system, machine, bits) == expected


def make(root: Path, files: dict[str, bytes | str]) -> Path:
    """A tree at root: bytes are a file's content, a str a symbolic link's target."""
    for relative, content in files.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, str):
            path.symlink_to(content)
        else:
            path.write_bytes(content)
    return root


def report(tree: Path | str, *options: str) -> tuple[int, list[str], list[str], list[str]]:
    """Exit status, the report's lines past the tree's (with the 16-wide titles), stderr's
    lines, and what the manifest installs, as paths inside the package."""
    manifest = Path(str(tree) + ".cmake")
    done = subprocess.run(
        [sys.executable, str(SCRIPT), *options, "--manifest", str(manifest), str(tree)],
        capture_output=True,
        text=True,
        timeout=60,  # a loop must end as an error
    )
    installs = []
    if manifest.exists():
        for source, destination, name in re.findall(
            r'install\(FILES "([^"]*)" DESTINATION "pyveka/([^"]*)" RENAME "([^"]*)"',
            manifest.read_text(),
        ):
            assert os.path.isfile(source) and not os.path.islink(source)
            installs.append(f"{destination}/{name}")
    lines = [line.strip() for line in done.stdout.splitlines()[1:]]
    return done.returncode, lines, done.stderr.splitlines(), sorted(installs)


LINUX_X86_64 = ("--system", "linux", "--bits", "64", "--machine", "x86_64")
LINUX_AARCH64 = ("--system", "linux", "--bits", "64", "--machine", "aarch64")
LINUX_I686 = ("--system", "linux", "--bits", "32", "--machine", "i686")
MAC_UNIVERSAL2 = ("--system", "darwin", "--bits", "64", "--machine", "arm64", "--machine", "x86_64")
MAC_ARM64 = ("--system", "darwin", "--bits", "64", "--machine", "arm64")
WIN_AMD64 = ("--system", "windows", "--bits", "64", "--machine", "AMD64")
WIN32 = ("--system", "windows", "--bits", "32", "--machine", "x86")
FREEBSD = ("--system", "freebsd", "--bits", "64", "--machine", "amd64")

# A tree for every platform, each binary of its own platform's architecture (x86 and arm64 for
# the macOS and Windows of the 32-bit and arm rows), with a library and a data file beside it.
EVERY_PLATFORM = {
    "linux/64bit/veka.mkl.run": X86_64_ELF,
    "linux/64bit/grelvin.run": SH,
    "linux/64bit/lib/libsolver.so": X86_64_ELF,
    "linux/32bit/veka.mkl.run": X86_ELF,
    "linux/32bit/grelvin.run": X86_ELF,
    "mac/64bit/veka.run": X86_64_MACH_O,
    "mac/64bit/grelvin.run": UNIVERSAL2,
    "mac.arm64/veka.run": ARM64_MACH_O,
    "mac.arm64/grelvin.run": SH,
    "windows/64bit/veka.exe": X86_64_PE,
    "windows/64bit/grelvin.exe": X86_PE,  # WoW64 runs it
    "windows/64bit/veka.dll": X86_64_PE,
    "windows/32bit/veka.exe": X86_PE,
    "windows/32bit/grelvin.exe": X86_PE,
    "remote/veka.remote": SH,
    "remote/README": b"how to run the solver remotely\n",
    "LICENSE": b"the executables' licence\n",
}
EVERY_FILE = sorted(f"bin/{relative}" for relative in EVERY_PLATFORM)


@pytest.mark.parametrize(
    "platform, carried",
    [
        (LINUX_X86_64, ["linux/64bit"]),
        (LINUX_I686, ["linux/32bit"]),
        (MAC_UNIVERSAL2, ["mac.arm64", "mac/64bit"]),
        (MAC_ARM64, ["mac.arm64"]),
        (WIN_AMD64, ["windows/64bit"]),
        (WIN32, ["windows/32bit"]),
        (FREEBSD, []),  # the lookups know no such OS: the remote launcher alone
    ],
    ids=["linux x86_64", "linux i686", "universal2", "macos arm64", "win_amd64", "win32", "bsd"],
)
@pytest.mark.parametrize("everything", [False, True], ids=["own part", "PYVEKA_BIN_ALL"])
def test_wheel_carries_its_platforms_part(tmp_path, platform, carried, everything):
    tree = make(tmp_path / "bin", EVERY_PLATFORM)
    status, lines, errors, installs = report(tree, *platform, *(["--all"] if everything else []))
    expected = [
        f"bin/{relative}"
        for relative in EVERY_PLATFORM
        if relative.startswith(("remote/", *(f"{part}/" for part in carried)))
    ]
    assert (status, errors) == (0, []), lines
    assert installs == (EVERY_FILE if everything else sorted(expected))
    assert any(line.endswith(f": {len(installs)} files") for line in lines), lines


def test_report_says_what_is_carried_and_left_out(tmp_path):
    status, lines, _, _ = report(make(tmp_path / "bin", EVERY_PLATFORM), *WIN_AMD64)
    assert (status, lines) == (
        0,
        [
            "this wheel: windows amd64, 64-bit",
            "solver           bin/windows/64bit/veka.exe: carried: x86-64 PE",
            "mesh generator   bin/windows/64bit/grelvin.exe: carried: x86 PE",
            "remote launcher  bin/remote/veka.remote: carried, but it cannot run: #!/bin/sh "
            "script, which Windows cannot start",
            "carried          bin/remote, bin/windows/64bit: 5 files",
            "left out         bin/LICENSE, bin/linux, bin/mac, bin/mac.arm64, bin/windows/32bit: "
            "for other platforms (PYVEKA_BIN_ALL=ON carries them)",
        ],
    )


@pytest.mark.parametrize(
    "platform, files, refused",
    [
        (
            LINUX_X86_64,
            {"linux/64bit/veka.mkl.run": AARCH64_ELF},
            "bin/linux/64bit/veka.mkl.run: aarch64 ELF, this wheel is x86-64",
        ),
        (
            LINUX_AARCH64,
            {"linux/64bit/veka.mkl.run": X86_64_ELF, "linux/64bit/lib/libsolver.so": AARCH64_ELF},
            "bin/linux/64bit/veka.mkl.run: x86-64 ELF, this wheel is aarch64",
        ),
        (
            LINUX_I686,
            {"linux/32bit/grelvin.run": X86_64_ELF},
            "bin/linux/32bit/grelvin.run: x86-64 ELF, this wheel is x86",
        ),
        (
            LINUX_X86_64,
            {"linux/64bit/lib/libsolver.so": AARCH64_ELF},
            "bin/linux/64bit/lib/libsolver.so: aarch64 ELF, this wheel is x86-64",
        ),
        (
            LINUX_X86_64,
            {"linux/64bit/veka.mkl.run": X86_64_PE},
            "bin/linux/64bit/veka.mkl.run: x86-64 PE, this wheel is linux x86-64",
        ),
        (
            MAC_UNIVERSAL2,
            {"mac.arm64/veka.run": X86_64_MACH_O},
            "bin/mac.arm64/veka.run: x86-64 Mach-O, this wheel is aarch64",
        ),
        (  # the launcher serves both halves of a universal wheel
            MAC_UNIVERSAL2,
            {"remote/veka.remote": ARM64_MACH_O},
            "bin/remote/veka.remote: aarch64 Mach-O, this wheel is x86-64",
        ),
        (
            WIN32,
            {"windows/32bit/veka.exe": X86_64_PE},
            "bin/windows/32bit/veka.exe: x86-64 PE, this wheel is x86",
        ),
    ],
)
@pytest.mark.parametrize("foreign", [False, True], ids=["refused", "PYVEKA_BIN_FOREIGN"])
def test_binaries_the_platform_cannot_run_are_refused(tmp_path, platform, files, refused, foreign):
    tree = make(tmp_path / "bin", {**EVERY_PLATFORM, **files})
    status, lines, errors, installs = report(tree, *platform, *(["--foreign"] if foreign else []))
    inside, _, reason = refused.partition(": ")
    # a candidate's line says it; any other file has a line of its own
    said = {
        f"{inside}: {'carried anyway' if foreign else 'refused'}: {reason}",
        f"{'carried anyway' if foreign else 'refused':<16} {inside}: {reason}",
    }
    assert any(line.endswith(tuple(said)) for line in lines), lines
    if foreign:
        assert (status, errors) == (0, [])
        assert inside in installs
    else:
        assert (status, errors) == (
            1,
            [
                "the bin/ tree holds executables this wheel's platform cannot run:",
                f"  {refused}",
                "ship the tree built for this platform, or carry them anyway with "
                "PYVEKA_BIN_FOREIGN=ON",
            ],
        )


@pytest.mark.parametrize(
    "content, shown, runnable",
    [
        (SH, "carried: #!/bin/sh script", True),
        (X86_64_ELF, "carried: x86-64 ELF", True),
        (b"", "carried, but it cannot run: not a program: an empty file", False),
        (
            b"exit 0\n",
            "carried, but it cannot run: not a program: no #! line and no executable header",
            False,
        ),
        (
            b"#!\n",
            "carried, but it cannot run: not a program: a '#!' line that names no interpreter",
            False,
        ),
    ],
)
def test_require_wants_programs_that_run(tmp_path, content, shown, runnable):
    tree = make(tmp_path / "bin", {"linux/64bit/veka.mkl.run": content})
    tree.joinpath("linux/64bit/grelvin.run").write_bytes(SH)
    status, lines, errors, _ = report(tree, *LINUX_X86_64, "--require")
    assert lines[1] == f"solver           bin/linux/64bit/veka.mkl.run: {shown}"
    assert (status, errors[:1]) == (
        (0, [])
        if runnable
        else (1, ["PYVEKA_BIN_REQUIRE is ON, and this wheel's programs are not all there:"])
    )


def test_links_are_carried_as_the_files_they_name(tmp_path):
    """A tree given as a link, holding links to files and to directories, inside and outside
    it: the manifest installs real files under the links' names."""
    outside = make(tmp_path / "outside", {"solver": X86_64_ELF, "lib/libsolver.so": X86_64_ELF})
    real = make(
        tmp_path / "real",
        {
            "linux/64bit/veka.mkl.run": str(outside / "solver"),
            "linux/64bit/grelvin.run": SH,
            "linux/64bit/lib": "../../../outside/lib",
            "remote": "linux/64bit",  # a directory link inside the tree
        },
    )
    (tmp_path / "bin").symlink_to(real)
    status, lines, errors, installs = report(tmp_path / "bin", *LINUX_X86_64, "--require")
    assert (status, errors) == (0, [])
    assert installs == [
        "bin/linux/64bit/grelvin.run",
        "bin/linux/64bit/lib/libsolver.so",
        "bin/linux/64bit/veka.mkl.run",
        "bin/remote/grelvin.run",
        "bin/remote/lib/libsolver.so",
        "bin/remote/veka.mkl.run",
    ]
    assert lines[1] == "solver           bin/linux/64bit/veka.mkl.run: carried: x86-64 ELF"


@pytest.mark.parametrize(
    "files, given, error",
    [
        (
            {"linux/64bit/loop": "."},
            "bin",
            "bin/linux/64bit/loop: a symbolic link back to bin/linux/64bit, a loop",
        ),
        (
            {"linux/64bit/up": "../.."},
            "bin",
            "bin/linux/64bit/up: a symbolic link back to bin, a loop",
        ),
        (
            {"linux/64bit/veka.mkl.run": "veka.mkl.run"},
            "bin",
            "bin/linux/64bit/veka.mkl.run: a loop of symbolic links",
        ),
        (
            {"linux/64bit/a": "b", "linux/64bit/b": "a"},
            "bin",
            "bin/linux/64bit/a: a loop of symbolic links",
        ),
        (
            {"linux/64bit/veka.mkl.run": "/nonexistent/veka"},
            "bin",
            "bin/linux/64bit/veka.mkl.run: a symbolic link whose target is missing: "
            "/nonexistent/veka",
        ),
        ({"../link": "link"}, "link", "{tree}/link: a loop of symbolic links"),
        ({"../link": "gone"}, "link", "{tree}/link: a symbolic link whose target is missing: gone"),
        ({"../file": SH}, "file", "{tree}/file: not a directory"),
    ],
    ids=[
        "self",
        "ancestor",
        "file itself",
        "two files",
        "dangling",
        "tree loop",
        "tree dangling",
        "tree a file",
    ],
)
@pytest.mark.parametrize("in_place", [False, True], ids=["wheel", "in place"])
def test_links_a_wheel_cannot_hold_stop_the_build(tmp_path, files, given, error, in_place):
    make(tmp_path / "bin", {"linux/64bit/grelvin.run": SH, **files})
    options = (*LINUX_X86_64, *(["--in-place"] if in_place else []))
    status, _, errors, installs = report(tmp_path / given, *options)
    assert (status, errors, installs) == (
        1,
        [f"the bin/ tree cannot be shipped: {error.format(tree=tmp_path)}"],
        [],
    )


@pytest.mark.parametrize("in_place", [False, True], ids=["wheel", "in place"])
def test_build_report_says_what_an_empty_directory_ships(bin_tree, tmp_path, in_place):
    """A wheel carries files only: an empty directory, in a candidate's place or elsewhere, is
    not shipped, and the build says so; an in-place build leaves it where it is."""
    solver, _, remote = bin_tree.candidates(*(HOST[i] for i in (0, 2, 1))).values()
    if solver is None:
        pytest.skip(f"no bin/ row for {HOST[0]}")
    for relative in (remote, f"{solver.rpartition('/')[0]}/nothing"):
        tmp_path.joinpath(relative.removeprefix("bin/")).mkdir(parents=True)
    (tmp_path / solver.removeprefix("bin/")).write_bytes(SH)
    (tmp_path / solver.removeprefix("bin/")).chmod(0o755)
    status, lines, _, _ = report(tmp_path, *(["--in-place"] if in_place else []))
    assert (status, lines[1], [line[17:] for line in lines[3:]]) == (
        0,
        f"solver           {solver}: carried: #!/bin/sh script",
        [f"{remote}: not executable: it is a directory"]
        if in_place
        else [
            f"{remote}: empty: not shipped",
            f"{solver.rpartition('/')[0]}/nothing: {'empty: not shipped'}",
            "bin/remote: empty: not shipped",
            f"{solver.rpartition('/')[0]}, bin/remote: 1 files",
        ],
    )

"""What an executable file is, read from its header, and whether a host can run it.

    >>> executable = describe("bin/linux/64bit/veka.mkl.run")
    >>> str(executable)
    'x86-64 ELF'
    >>> executable.can_run_on(Host.of("linux", "aarch64", "64", label="this wheel"))
    'x86-64 ELF, this wheel is aarch64'

The build reads every file it ships with this (``cmake/bin_tree.py``, which loads this file by
its path before the module is built), and the command line uses it to name a program that the
host cannot start. So this file imports nothing of the package.

Binaries are told by their headers: ELF (machine and class), Mach-O (CPU type, thin or
universal) and PE (machine). A script is told by its ``#!`` line, which any POSIX host can
follow and Windows cannot. Anything else is not a program.
"""

from __future__ import annotations

import os
import struct
from collections.abc import Iterable
from dataclasses import dataclass
from typing import BinaryIO

# The formats, as the descriptions name them.
ELF, MACH_O, PE, SCRIPT = "ELF", "Mach-O", "PE", "script"
BINARIES = (ELF, MACH_O, PE)
# Why a file that is neither a binary nor a script is not a program: text, most likely.
NO_HEADER = "no #! line and no executable header"

# ---- Hosts ------------------------------------------------------------------------------------

# A machine name as platform reports it (lower-cased), and the architecture it runs by the
# interpreter's word size: a 32-bit interpreter on a 64-bit machine runs the 32-bit one.
_MACHINES = {
    **dict.fromkeys(("x86_64", "amd64", "x64", "em64t"), ("x86-64", "x86")),
    **dict.fromkeys(("i386", "i486", "i586", "i686", "x86", "i86pc"), ("x86", "x86")),
    **dict.fromkeys(("aarch64", "arm64", "armv8l", "armv8b"), ("aarch64", "arm")),
    "ppc64le": ("ppc64le", "ppc64le"),
    "ppc64": ("ppc64", "ppc64"),
    "s390x": ("s390x", "s390x"),
    "riscv64": ("riscv64", "riscv64"),
    "loongarch64": ("loongarch64", "loongarch64"),
}
# What a host runs beside its own architecture: Windows carries its emulation layers in
# every installation (WoW64), which Linux and macOS do not (IA32 support and Rosetta 2 are
# optional there).
_ALSO_RUNS = {
    ("windows", "x86-64"): ("x86",),
    ("windows", "aarch64"): ("x86", "x86-64"),
}


def arch_of(machine: str, bits: str) -> str:
    """The architecture a host runs, from its machine name (lower-cased) and the word size
    ("64" or "32") of the interpreter that asks; an unknown machine as it is named."""
    if machine in _MACHINES:
        wide, narrow = _MACHINES[machine]
        return wide if bits == "64" else narrow
    if machine.startswith("arm"):  # armv7l, armv6l, ...
        return "arm"
    return machine


def is_windows(system: str) -> bool:
    """As the lookups tell a Windows host: an OS name that starts with "win"."""
    return system.startswith("win")


@dataclass(frozen=True)
class Host:
    """Where a program is to run: the OS name (lower-cased, as the lookups classify it) and the
    architecture; ``label`` names it in a reason ("this host", "this wheel")."""

    system: str
    arch: str
    label: str = "this host"

    @classmethod
    def of(cls, system: str, machine: str, bits: str, label: str = "this host") -> Host:
        return cls(system, arch_of(machine, bits), label)

    def runs(self) -> tuple[str, ...]:
        """The architectures this host runs: its own first."""
        return (self.arch, *_ALSO_RUNS.get((_family(self.system), self.arch), ()))

    def format(self) -> str:
        """The binary format this host's programs have."""
        if self.system == "darwin":
            return MACH_O
        return PE if is_windows(self.system) else ELF


def _family(system: str) -> str:
    return "windows" if is_windows(system) else system


# ---- Executables ------------------------------------------------------------------------------


@dataclass(frozen=True)
class Executable:
    """What a file's header says it is.

    ``format`` is ELF, Mach-O, PE or script, or "" for a file that is not a program;
    ``arches`` the architectures of a binary (more than one for a universal Mach-O file);
    ``detail`` a script's ``#!`` line, or why a file is not a program."""

    format: str
    arches: tuple[str, ...] = ()
    detail: str = ""

    @property
    def binary(self) -> bool:
        return self.format in BINARIES

    @property
    def program(self) -> bool:
        """Whether some host can start it: a binary, or a script that names its interpreter."""
        return self.format != ""

    def __str__(self) -> str:
        if self.format == SCRIPT:
            return f"{self.detail} script"
        if not self.binary:
            return f"not a program: {self.detail}"
        if len(self.arches) > 1:
            return f"universal {self.format} ({', '.join(self.arches)})"
        return f"{self.arches[0]} {self.format}"

    def can_run_on(self, host: Host) -> str | None:
        """Why `host` cannot start this file, as "<what it is>, <host> is <what it runs>";
        None when it can."""
        if not self.program:
            return str(self)
        if self.format == SCRIPT:
            if is_windows(host.system):
                return f"{self}, which Windows cannot start"
            return None
        if self.format != host.format():
            return f"{self}, {host.label} is {host.system} {host.arch}"
        if any(arch in host.runs() for arch in self.arches):
            return None
        return f"{self}, {host.label} is {host.arch}"


def describe(path: str | os.PathLike[str]) -> Executable:
    """What the file at `path` is, from its first bytes; OSError when it cannot be read."""
    with open(path, "rb") as stream:
        return read(stream)


def read(stream: BinaryIO) -> Executable:
    """What the file open in `stream` (at its start, seekable) is."""
    head = stream.read(64)
    if not head:
        return Executable("", detail="an empty file")
    if head.startswith(b"\x7fELF"):
        return _elf(head)
    if head[:4] in _MACH_O_THIN:
        return _mach_o_thin(head)
    if head[:4] in (b"\xca\xfe\xba\xbe", b"\xca\xfe\xba\xbf"):
        universal = _mach_o_universal(stream, head)
        if universal is not None:
            return universal
    if head.startswith(b"MZ"):
        return _pe(stream, head)
    if head.startswith(b"#!"):
        return _script(stream)
    return Executable("", detail=NO_HEADER)


def _short(header: str) -> Executable:
    return Executable("", detail=f"{header} header cut short")


# ELF: e_ident[EI_CLASS] (1: 32-bit, 2: 64-bit), e_ident[EI_DATA] (1: little-endian,
# 2: big-endian), then e_type and e_machine, in the file's byte order.
_ELF_MACHINES = {  # e_machine: the architecture by class (32-bit, 64-bit) and byte order
    3: {(1, 1): "x86"},
    62: {(2, 1): "x86-64", (1, 1): "x32"},
    40: {(1, 1): "arm", (1, 2): "armeb"},
    183: {(2, 1): "aarch64", (2, 2): "aarch64_be", (1, 1): "aarch64-ilp32"},
    20: {(1, 2): "ppc"},
    21: {(2, 1): "ppc64le", (2, 2): "ppc64"},
    22: {(2, 2): "s390x", (1, 2): "s390"},
    243: {(2, 1): "riscv64", (1, 1): "riscv32"},
    258: {(2, 1): "loongarch64"},
    8: {(1, 2): "mips", (1, 1): "mipsel", (2, 2): "mips64", (2, 1): "mips64el"},
    43: {(2, 2): "sparc64"},
    50: {(2, 1): "ia64"},
}


def _elf(head: bytes) -> Executable:
    if len(head) < 20:
        return _short("an ELF")
    word, order = head[4], head[5]
    if word not in (1, 2) or order not in (1, 2):
        return Executable("", detail=f"an ELF header of unknown class {word} or order {order}")
    (machine,) = struct.unpack_from("<H" if order == 1 else ">H", head, 18)
    names = _ELF_MACHINES.get(machine, {})
    bits = "64" if word == 2 else "32"
    return Executable(ELF, (names.get((word, order), f"{bits}-bit machine {machine}"),))


# Mach-O: the magic in the file's byte order, then cputype. CPU_ARCH_ABI64 marks the 64-bit
# variant of a CPU family, CPU_ARCH_ABI64_32 its 64-bit one with 32-bit pointers.
_MACH_O_THIN = {
    b"\xfe\xed\xfa\xce": ">",
    b"\xce\xfa\xed\xfe": "<",
    b"\xfe\xed\xfa\xcf": ">",
    b"\xcf\xfa\xed\xfe": "<",
}
_ABI64, _ABI64_32 = 0x01000000, 0x02000000
_MACH_O_CPUS = {
    7: "x86",
    7 | _ABI64: "x86-64",
    12: "arm",
    12 | _ABI64: "aarch64",
    12 | _ABI64_32: "arm64_32",
    18: "ppc",
    18 | _ABI64: "ppc64",
}


def _mach_o_cpu(cputype: int) -> str:
    return _MACH_O_CPUS.get(cputype, f"CPU type {cputype:#x}")


def _mach_o_thin(head: bytes) -> Executable:
    if len(head) < 8:
        return _short("a Mach-O")
    (cputype,) = struct.unpack_from(_MACH_O_THIN[head[:4]] + "I", head, 4)
    return Executable(MACH_O, (_mach_o_cpu(cputype),))


def _mach_o_universal(stream: BinaryIO, head: bytes) -> Executable | None:
    """A universal ("fat") file: big-endian, a count, then one record per architecture
    (20 bytes, or 32 with 64-bit offsets), each starting with its cputype. None for what only
    shares the magic: a Java class file, whose version numbers read as a count of 45 or more."""
    if len(head) < 8:
        return None
    (count,) = struct.unpack_from(">I", head, 4)
    if not 0 < count < 45:
        return None
    size = 32 if head[3] == 0xBF else 20
    stream.seek(8)
    records = stream.read(count * size)
    if len(records) < count * size:
        return _short("a universal Mach-O")
    cpus = (struct.unpack_from(">I", records, i * size)[0] for i in range(count))
    return Executable(MACH_O, _unique(_mach_o_cpu(cputype) for cputype in cpus))


def _unique(names: Iterable[str]) -> tuple[str, ...]:
    return tuple(dict.fromkeys(names))


# PE: an MS-DOS header whose e_lfanew (at 0x3c) gives the offset of "PE\0\0" and the COFF
# header, which starts with the machine.
_PE_MACHINES = {
    0x14C: "x86",
    0x8664: "x86-64",
    0xAA64: "aarch64",
    0x1C0: "arm",
    0x1C2: "arm",
    0x1C4: "arm",
    0x200: "ia64",
}


def _pe(stream: BinaryIO, head: bytes) -> Executable:
    if len(head) < 0x40:
        return _short("an MS-DOS")
    (offset,) = struct.unpack_from("<I", head, 0x3C)
    stream.seek(offset)
    coff = stream.read(6)
    if len(coff) < 6 or not coff.startswith(b"PE\0\0"):
        return Executable("", detail="an MS-DOS header without a PE header")
    (machine,) = struct.unpack_from("<H", coff, 4)
    return Executable(PE, (_PE_MACHINES.get(machine, f"machine {machine:#x}"),))


def _script(stream: BinaryIO) -> Executable:
    """A ``#!`` line: the kernel reads at most its first 255 bytes or so; an interpreter is the
    first word after the ``#!``."""
    stream.seek(0)
    line = stream.readline(256).rstrip(b"\r\n")
    shown = line.decode("utf-8", "backslashreplace")
    if not line[2:].split():
        return Executable("", detail=f"a {shown!r} line that names no interpreter")
    return Executable(SCRIPT, detail=shown)

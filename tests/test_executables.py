"""The header reader tells each format and architecture from a file's first bytes, and which
hosts can start it."""

import struct

import pytest

from pyveka.executables import Host, arch_of, describe


def elf(word: int, order: int, machine: int) -> bytes:
    ident = b"\x7fELF" + bytes([word, order, 1, 0]) + bytes(8)
    return ident + struct.pack("<HH" if order == 1 else ">HH", 2, machine) + bytes(44)


def mach_o(magic: bytes, cputype: int) -> bytes:
    order = "<" if magic[0] in (0xCE, 0xCF) else ">"
    return magic + struct.pack(order + "Ii", cputype, 3) + bytes(20)


def universal(cputypes: list[int], wide: bool = False) -> bytes:
    magic = b"\xca\xfe\xba\xbf" if wide else b"\xca\xfe\xba\xbe"
    record = ">iiQQII" if wide else ">iiIII"
    fields = (0, 4096, 4096, 14, 0) if wide else (0, 4096, 4096, 14)
    records = b"".join(struct.pack(record, cputype, *fields) for cputype in cputypes)
    return magic + struct.pack(">I", len(cputypes)) + records


def pe(machine: int, at: int = 0x80) -> bytes:
    dos = b"MZ" + bytes(0x3A) + struct.pack("<I", at) + bytes(at - 0x40)
    return dos + b"PE\0\0" + struct.pack("<HH", machine, 3) + bytes(16)


HEADERS = {
    "ELF x86": (elf(1, 1, 3), "x86 ELF"),
    "ELF x86-64": (elf(2, 1, 62), "x86-64 ELF"),
    "ELF x32": (elf(1, 1, 62), "x32 ELF"),
    "ELF aarch64": (elf(2, 1, 183), "aarch64 ELF"),
    "ELF arm": (elf(1, 1, 40), "arm ELF"),
    "ELF ppc64 big-endian": (elf(2, 2, 21), "ppc64 ELF"),
    "ELF ppc64le": (elf(2, 1, 21), "ppc64le ELF"),
    "ELF s390x": (elf(2, 2, 22), "s390x ELF"),
    "ELF riscv64": (elf(2, 1, 243), "riscv64 ELF"),
    "ELF unknown machine": (elf(2, 1, 0x1234), "64-bit machine 4660 ELF"),
    "ELF bad class": (elf(3, 1, 62), "not a program: an ELF header of unknown class 3 or order 1"),
    "ELF cut short": (elf(2, 1, 62)[:19], "not a program: an ELF header cut short"),
    "Mach-O x86-64": (mach_o(b"\xcf\xfa\xed\xfe", 0x01000007), "x86-64 Mach-O"),
    "Mach-O arm64": (mach_o(b"\xcf\xfa\xed\xfe", 0x0100000C), "aarch64 Mach-O"),
    "Mach-O i386": (mach_o(b"\xce\xfa\xed\xfe", 7), "x86 Mach-O"),
    "Mach-O big-endian ppc": (mach_o(b"\xfe\xed\xfa\xce", 18), "ppc Mach-O"),
    "universal2": (universal([0x01000007, 0x0100000C]), "universal Mach-O (x86-64, aarch64)"),
    "universal, 64-bit offsets": (universal([0x0100000C], wide=True), "aarch64 Mach-O"),
    "universal cut short": (
        universal([7, 12])[:20],
        "not a program: a universal Mach-O header cut short",
    ),
    "Java class file": (
        b"\xca\xfe\xba\xbe\x00\x00\x00\x34" + bytes(56),
        "not a program: no #! line and no executable header",
    ),
    "PE x86": (pe(0x14C), "x86 PE"),
    "PE x86-64": (pe(0x8664), "x86-64 PE"),
    "PE arm64, header far out": (pe(0xAA64, at=0x400), "aarch64 PE"),
    "PE ARMv7": (pe(0x1C4), "arm PE"),
    "MS-DOS only": (
        b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40) + b"not PE",
        "not a program: an MS-DOS header without a PE header",
    ),
    "script": (b"#!/bin/sh\nexit 0\n", "#!/bin/sh script"),
    "script through env": (
        b"#! /usr/bin/env python3\r\nprint()\n",
        "#! /usr/bin/env python3 script",
    ),
    "#! alone": (b"#!\nexit\n", "not a program: a '#!' line that names no interpreter"),
    "#! and blanks": (b"#!  \t\n", "not a program: a '#!  \\t' line that names no interpreter"),
    "text": (b"echo hello\n", "not a program: no #! line and no executable header"),
    "empty": (b"", "not a program: an empty file"),
}


@pytest.mark.parametrize("header, shown", HEADERS.values(), ids=HEADERS)
def test_header_reader_names_format_and_architecture(tmp_path, header, shown):
    path = tmp_path / "program"
    path.write_bytes(header)
    assert str(describe(path)) == shown


LINUX_ARM = Host.of("linux", "aarch64", "64", label="this wheel")
LINUX_X64 = Host.of("linux", "x86_64", "64")
LINUX_I686 = Host.of("linux", "x86_64", "32")  # a 32-bit interpreter on a 64-bit kernel
MAC_ARM = Host.of("darwin", "arm64", "64")
WINDOWS_X64 = Host.of("windows", "amd64", "64")
WINDOWS_ARM = Host.of("windows", "arm64", "64")
WINDOWS_X86 = Host.of("windows", "x86", "32")


@pytest.mark.parametrize(
    "header, host, reason",
    [
        (elf(2, 1, 62), LINUX_X64, None),
        (elf(2, 1, 62), LINUX_ARM, "x86-64 ELF, this wheel is aarch64"),
        (elf(2, 1, 62), LINUX_I686, "x86-64 ELF, this host is x86"),
        (elf(1, 1, 3), LINUX_I686, None),
        (elf(1, 1, 3), LINUX_X64, "x86 ELF, this host is x86-64"),  # IA32 support is optional
        (elf(2, 1, 183), LINUX_ARM, None),
        (elf(2, 1, 183), MAC_ARM, "aarch64 ELF, this host is darwin aarch64"),
        (mach_o(b"\xcf\xfa\xed\xfe", 0x0100000C), MAC_ARM, None),
        (mach_o(b"\xcf\xfa\xed\xfe", 0x01000007), MAC_ARM, "x86-64 Mach-O, this host is aarch64"),
        (universal([0x01000007, 0x0100000C]), MAC_ARM, None),
        (pe(0x8664), WINDOWS_X64, None),
        (pe(0x14C), WINDOWS_X64, None),  # WoW64
        (pe(0x8664), WINDOWS_X86, "x86-64 PE, this host is x86"),
        (pe(0x8664), WINDOWS_ARM, None),  # emulated
        (pe(0x8664), LINUX_X64, "x86-64 PE, this host is linux x86-64"),
        (b"#!/bin/sh\n", LINUX_ARM, None),
        (b"#!/bin/sh\n", MAC_ARM, None),
        (b"#!/bin/sh\n", WINDOWS_X64, "#!/bin/sh script, which Windows cannot start"),
        (b"echo\n", LINUX_X64, "not a program: no #! line and no executable header"),
    ],
)
def test_can_run_on_names_why_a_host_cannot(tmp_path, header, host, reason):
    path = tmp_path / "program"
    path.write_bytes(header)
    assert describe(path).can_run_on(host) == reason


@pytest.mark.parametrize(
    "machine, bits, arch",
    [
        ("x86_64", "64", "x86-64"),
        ("amd64", "64", "x86-64"),
        ("x86_64", "32", "x86"),
        ("i686", "32", "x86"),
        ("aarch64", "64", "aarch64"),
        ("arm64", "64", "aarch64"),
        ("armv8l", "32", "arm"),
        ("armv7l", "32", "arm"),
        ("ppc64le", "64", "ppc64le"),
        ("sparc64", "64", "sparc64"),
    ],
)
def test_architecture_of_a_host(machine, bits, arch):
    assert arch_of(machine, bits) == arch


def test_unreadable_file_is_an_error(tmp_path):
    with pytest.raises(OSError):
        describe(tmp_path)

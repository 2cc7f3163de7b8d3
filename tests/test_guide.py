"""The contributor's guide names the C++ sources as they are: a file added, renamed or removed
without its line in "How the C++ is written" fails here."""

import re
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parent.parent  # absent where the tests run from a copy
GUIDE = SOURCE / "CONTRIBUTING.md"
CPP = SOURCE / "src" / "pyveka"


def test_guide_names_every_cpp_source():
    if not GUIDE.exists():
        pytest.skip("CONTRIBUTING.md is not beside the tests")
    section = GUIDE.read_text(encoding="utf-8").split("## How the C++ is written", 1)[1]
    files = section.split("\n- ", 2)[1]  # the first item: the files by concern
    named = set()
    for stem, suffix in re.findall(r"`(\w+)\.(\*|cpp|hpp)`", files):
        named |= {f"{stem}.cpp", f"{stem}.hpp"} if suffix == "*" else {f"{stem}.{suffix}"}
    present = {path.name for pattern in ("*.cpp", "*.hpp") for path in CPP.glob(pattern)}
    assert named == present

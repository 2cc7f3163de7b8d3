"""Generated hosts, overrides and installed files: the lookups answer what the bin/ table names."""

import os
import tempfile

from helpers import (
    CANDIDATES,
    NOT_INSTALLED,
    UNKNOWN_OS,
    VARIABLES,
    candidate,
    os_with_maxsize,
    outcome,
    platform_reporting,
)
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pyveka.veka_call

CLASSIFIERS = pyveka.veka_call._system, pyveka.veka_call._machine


def examples(count):  # fixtures are set up once per test: every example sets all it relies on
    return settings(
        max_examples=count,
        deadline=None,
        suppress_health_check=[HealthCheck.function_scoped_fixture],
    )


def names(*known):  # a known name in some letter case, or any text
    return st.builds(
        lambda name, case, text: text if name is None else case(name),
        st.sampled_from([*known, None]),
        st.sampled_from([str, str.upper, str.title]),
        st.text(max_size=8),
    )


systems = names("darwin", "linux", "windows", "win32", "cygwin")
machines = names("arm64", "aarch64", "x86_64", "i686")
tokens = st.sampled_from(["64", "32"]) | st.integers(-(2**70), 2**70)
overrides = st.sampled_from([None, "", "file", "directory", "missing"])


def expected_answer(lookup, system, bits, machine, present, root):
    """The file the host's row names when it is present, else the lookup's error (or None)."""
    relative = candidate(lookup, system, bits, machine)
    if relative is None:
        return RuntimeError, UNKNOWN_OS
    if relative in present:
        return os.path.join(root, *relative.split("/"))
    if lookup in NOT_INSTALLED:
        return FileNotFoundError, NOT_INSTALLED[lookup]
    return None


@examples(400)
@given(
    system=systems,
    machine=machines,
    bits=tokens,
    through_platform=st.booleans(),
    absent=st.sets(st.sampled_from(CANDIDATES)),
    chosen=st.tuples(overrides, overrides, overrides),
)
def test_lookup_answers_the_row_of_the_host(
    vc, monkeypatch, system, machine, bits, through_platform, absent, chosen
):
    present = set(CANDIDATES) - absent  # mostly all: the rows differ in which file they name
    if through_platform:  # the classifiers lower-case the report; the rows compare exactly
        vc.platform = platform_reporting(system, machine)
        vc._system, vc._machine = CLASSIFIERS
        system, machine = system.lower(), machine.lower()
    else:
        vc._system, vc._machine = (lambda: system), (lambda: machine)
    vc._bits = lambda: bits
    with tempfile.TemporaryDirectory() as root:
        vc.__file__ = os.path.join(root, "veka_call.so")
        for relative in present | {"over/file"}:
            os.makedirs(os.path.dirname(os.path.join(root, relative)), exist_ok=True)
            open(os.path.join(root, relative), "w").close()
        values = {
            "file": os.path.join(root, "over", "file"),
            "directory": os.path.join(root, "over"),
            "missing": os.path.join(root, "over", "absent"),
        }
        expected = {}
        for (lookup, variable), override in zip(VARIABLES.items(), chosen, strict=True):
            monkeypatch.delenv(variable, raising=False)
            if override is not None:
                monkeypatch.setenv(variable, values.get(override, override))
            expected[lookup] = (
                values[override]
                if override in ("file", "directory")
                else expected_answer(lookup, system, bits, machine, present, root)
            )
        expected["veka_call_no_remote"] = expected["veka_call_builtin"]  # the option is unset
        assert {lookup: outcome(getattr(vc, lookup)) for lookup in expected} == expected


@examples(300)
@given(
    system=st.text(),
    machine=st.text(),
    maxsize=st.sampled_from([2**32, 2**32 + 1]) | st.integers(-(2**70), 2**70),
)
def test_classifiers_report_the_host_lower_cased(vc, system, machine, maxsize):
    vc.platform = platform_reporting(system, machine)
    vc.os = os_with_maxsize(maxsize)
    answers = vc._system(), vc._machine(), vc._bits()
    assert answers == (system.lower(), machine.lower(), "64" if maxsize > 2**32 else "32")
    assert [type(answer) for answer in answers] == [str] * 3

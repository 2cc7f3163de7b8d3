"""Host classification (_bits, _system, _machine) and the package paths."""

import os
import struct
from types import SimpleNamespace as NS

import pytest
from helpers import Text, check, os_with_maxsize, platform_reporting


@pytest.mark.parametrize("maxsize, token", [(2**32, "32"), (2**32 + 1, "64"), (2**63 - 1, "64")])
def test_word_size_follows_maxsize(vc, maxsize, token):
    vc.os = os_with_maxsize(maxsize)
    assert vc._bits() == token


def test_word_size_of_this_interpreter_is_one_shared_token(vc):
    assert vc._bits() == str(struct.calcsize("P") * 8)
    assert vc._bits() is vc._bits()


@pytest.mark.parametrize("function", ["_system", "_machine"])
@pytest.mark.parametrize(
    "reported, answer",
    [
        ("Linux", "linux"),
        ("AMD64", "amd64"),
        ("", ""),
        (" Darwin\n", " darwin\n"),
        (NS(lower=lambda: None), None),
        (b"Linux", TypeError("Expected str, got bytes")),
        (NS(lower=lambda: Text("linux")), TypeError("Expected str, got Text")),
        (None, AttributeError("'NoneType' object has no attribute 'lower'")),
    ],
)
def test_classifier_lower_cases_the_platform_report(vc, function, reported, answer):
    vc.platform = platform_reporting(reported, reported)
    check(getattr(vc, function), answer)


@pytest.mark.parametrize(
    "made, parts, found",
    [
        (None, (), True),
        ("bin/remote/veka.remote", ("bin", "remote", "veka.remote"), True),
        ("bin/remote/veka.remote", ("bin", "remote", "veka.run"), False),
        ("bin/remote/veka.remote", ("bin", "remote", "..", "remote"), True),
        ("bin/linux/", ("bin", "linux", ""), True),
        (None, ("bin",), False),
        (None, ("bin", os.sep), True),
        (None, ("bin", 7), True),
        (None, (b"bin",), True),  # join refuses these
    ],
)
def test_resolve_path_joins_onto_the_root_when_something_exists(
    vc, tree, tmp_path, made, parts, found
):
    if made:
        tree(made.rstrip("/"), directory=made.endswith("/"))
    try:
        expected = os.path.join(str(tmp_path), *parts) if found else None
    except TypeError as refusal:
        expected = refusal
    check(lambda: vc._resolve_path(*parts), expected)


def test_dangling_symlink_counts_as_missing(vc, tree, tmp_path):
    tree("bin", directory=True)
    (tmp_path / "bin" / "veka.run").symlink_to(tmp_path / "nowhere")
    assert vc._resolve_path("bin", "veka.run") is None


def test_relative_module_file_resolves_against_the_cwd_of_the_call(vc, tmp_path, monkeypatch):
    vc.__file__ = os.path.join("pkg", "veka_call.so")
    (tmp_path / "pkg" / "bin").mkdir(parents=True)
    monkeypatch.chdir(tmp_path)
    assert vc._resolve_path("bin") == str(tmp_path / "pkg" / "bin")
    monkeypatch.chdir(tmp_path / "pkg")
    assert vc._package_root() == str(tmp_path / "pkg" / "pkg")


def test_resolve_path_asks_the_package_root_bound_at_call_time(vc, tree, tmp_path_factory):
    other = tmp_path_factory.mktemp("other")
    (other / "veka.run").touch()
    assert vc._resolve_path("veka.run") is None
    vc._package_root = lambda: str(other)
    assert vc._resolve_path("veka.run") == str(other / "veka.run")
    vc._package_root = lambda: Text(other)
    check(vc._resolve_path, TypeError("Expected str, got Text"))


@pytest.mark.parametrize("function", ["_package_root", "_resolve_path"])
def test_module_file_as_bytes_is_refused(vc, tmp_path, function):
    vc.__file__ = os.fsencode(tmp_path / "veka_call.so")
    check(getattr(vc, function), TypeError("Expected str, got bytes"))

# Shell functions the CI scripts share; sourced from the project root.
# shellcheck shell=bash

say() { printf '%s\n' "$*" >&2; }
fail() {
    say "error: $*"
    exit 1
}

# The list at a dotted key of pyproject.toml, one item a line
# ("dependency-groups.lint"). The venvs' pip predates `pip install --group`.
pyproject_list() {
    python3 -c 'import sys, tomllib
value = tomllib.load(open("pyproject.toml", "rb"))
for key in sys.argv[1].split("."):
    value = value[key]
print("\n".join(value))' "$1"
}

# Installs Debian packages on this machine (as root, or through sudo).
install_host_packages() {
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get install -y "$@" || { $sudo apt-get update && $sudo apt-get install -y "$@"; }
}

# The path of CPython VERSION ("3.12"): python3.12 on PATH, else pyenv's newest
# 3.12.x (pyenv's shims are not always active). Each candidate must run and be
# that version; none found is an error that names the version.
find_python() {
    local version=$1 pyenv_root=${PYENV_ROOT:-$HOME/.pyenv} candidate found
    local candidates=("python$version")
    if command -v pyenv >/dev/null; then
        candidates+=("$(pyenv prefix "$version" 2>/dev/null)/bin/python$version")
    fi
    # Newest first.
    mapfile -t found < <(compgen -G "$pyenv_root/versions/$version.*/bin/python$version" | sort -rV)
    candidates+=("${found[@]}")
    for candidate in "${candidates[@]}"; do
        if "$candidate" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$version'" \
            >/dev/null 2>&1; then
            "$candidate" -c 'import sys; print(sys.executable)'
            return 0
        fi
    done
    fail "CPython $version not found: tried python$version on PATH, pyenv prefix $version" \
        "and $pyenv_root/versions/$version.*; install it (pyenv install $version)"
}

# The whole suite on CPython VERSION of this machine, in the venv .ci-venv-VERSION,
# built with compiler warnings as errors. Further arguments go to pytest.
suite_on_host() {
    local version=$1 python venv
    shift
    python=$(find_python "$version")
    venv=.ci-venv-$version
    "$python" -m venv --clear "$venv"
    SKBUILD_CMAKE_DEFINE="PYVEKA_WERROR=ON" "$venv/bin/pip" install ".[test]"
    "$venv/bin/python" -VV
    "$venv/bin/python" -m pytest -p no:cacheprovider "$@"
}

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

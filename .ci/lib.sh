# Shell functions the CI scripts share; sourced from the project root.
# shellcheck shell=bash

# The Debian unstable root that carries the CPython versions this machine has
# no interpreter of (3.14, 3.15, their debug builds, and a newer 3.13 than
# pyenv's). It is kept between runs and made with debootstrap when missing.
sid_root=${PYVEKA_SID_ROOT:-/work/cache/sid-root}
sid_packages=(python3.13-dev python3.13-venv python3.14-dev python3.14-venv python3.14-dbg
    python3.15-dev python3.15-venv python3.15-dbg g++ binutils)

# Roots of other Debian architectures, beside it (/work/cache/sid-root-i386,
# /work/cache/sid-root-arm64), for the suite on a real 32-bit x86 host and on
# aarch64. The functions below act on the root of the architecture in
# sid_arch, amd64 when unset; set it for one call: `sid_arch=i386
# prepare_sid_root`. Their CMake and Ninja come from PyPI's wheels, as on amd64.
sid_foreign_packages=(python3.14-dev python3.14-venv g++ binutils)
# What pip downloads for each architecture's root: its manylinux platforms.
declare -A sid_pip_platforms=([i386]="manylinux_2_28_i686 manylinux2014_i686"
    [arm64]="manylinux_2_28_aarch64 manylinux2014_aarch64")

# Sets the locals sid_root and sid_packages of the calling function to those of
# the root of sid_arch.
sid_arch_root() {
    case ${sid_arch:-amd64} in
    amd64) return 0 ;;
    i386 | arm64) ;;
    *) fail "no Debian root for the architecture $sid_arch (amd64, i386 or arm64)" ;;
    esac
    sid_root=${PYVEKA_SID_ROOT:-/work/cache/sid-root}-$sid_arch
    sid_packages=("${sid_foreign_packages[@]}")
}

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
    # Stages that run side by side may install at once: each waits for the other's lock.
    local apt=(apt-get -o DPkg::Lock::Timeout=600)
    [ "$(id -u)" = 0 ] || apt=(sudo "${apt[@]}")
    "${apt[@]}" install -y "$@" || { "${apt[@]}" update && "${apt[@]}" install -y "$@"; }
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

# Lets this machine run aarch64 programs, by qemu's user-mode emulation: the
# kernel's binfmt_misc entry qemu-aarch64, with the F flag (the kernel opens
# the emulator now, so that it runs inside the root as well, where there is
# none). The entry stays until the machine restarts.
register_qemu_aarch64() {
    local entries=/proc/sys/fs/binfmt_misc qemu
    [ -e "$entries/register" ] || mount -t binfmt_misc binfmt_misc "$entries"
    if [ -e "$entries/qemu-aarch64" ]; then
        grep -qx 'flags: .*F.*' "$entries/qemu-aarch64" ||
            fail "$entries/qemu-aarch64 lacks the F flag: the root cannot reach its emulator"
        return 0
    fi
    command -v qemu-aarch64-static >/dev/null || install_host_packages qemu-user-static
    qemu=$(command -v qemu-aarch64-static)
    say "registering $qemu for aarch64 programs"
    # The ELF header of an aarch64 executable, and the mask of the bytes that tell it.
    local magic='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
    local mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf '%s' ":qemu-aarch64:M::$magic:$mask:$qemu:F" >"$entries/register"
}

# Runs a command inside the Debian root as root, with a clean environment plus
# the VAR=value words that come before the command. /proc and /dev are mounted
# for it in a mount namespace of its own: other users of the root never see
# them, and they go when the command ends, however it ends. With
# sid_personality=linux32 the command runs in the 32-bit personality, in which
# uname (and so platform.machine()) reports i686 rather than x86_64.
in_sid_root() {
    local sid_root=$sid_root
    sid_arch_root
    # shellcheck disable=SC2016 # expanded by the inner shell
    ${sid_personality:+"$sid_personality"} unshare --mount --propagation private bash -c '
        root=$1
        shift
        trap "umount -R \"\$root/dev\"; umount \"\$root/proc\"" EXIT
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
            LANG=C.UTF-8 "$@"
    ' in-sid-root "$sid_root" "$@"
}

# The packages of sid_packages that the root lacks (all of them when there is no root).
sid_missing_packages() {
    local package sid_root=$sid_root sid_packages=("${sid_packages[@]}")
    sid_arch_root
    for package in "${sid_packages[@]}"; do
        # shellcheck disable=SC2016 # a dpkg-query format
        if [ ! -x "$sid_root/usr/bin/dpkg-query" ] ||
            [ "$(chroot "$sid_root" dpkg-query -W -f '${db:Status-Status}' "$package" 2>/dev/null)" \
                != installed ]; then
            echo "$package"
        fi
    done
}

# Makes the Debian root when there is none (debootstrap, about 75 s, and the
# packages, as long again) and installs the packages it lacks. A lock keeps two
# runs from making it at once; an interrupted debootstrap leaves only a
# .partial directory, made anew by the next run.
prepare_sid_root() {
    local missing lock sid_root=$sid_root sid_packages=("${sid_packages[@]}")
    sid_arch_root
    [ "${sid_arch:-amd64}" != arm64 ] || register_qemu_aarch64
    mkdir -p "$(dirname "$sid_root")"
    exec {lock}>"$sid_root.lock"
    flock "$lock"
    if [ ! -x "$sid_root/usr/bin/apt-get" ]; then
        command -v debootstrap >/dev/null || install_host_packages debootstrap
        say "making the Debian unstable root at $sid_root"
        rm -rf --one-file-system "$sid_root.partial"
        # In a mount namespace of its own: the mounts debootstrap makes in the
        # target go with it, even when it is interrupted.
        unshare --mount --propagation private \
            debootstrap --variant=minbase --arch="${sid_arch:-amd64}" unstable "$sid_root.partial"
        mv "$sid_root.partial" "$sid_root"
    fi
    mapfile -t missing < <(sid_missing_packages)
    if [ "${#missing[@]}" -gt 0 ]; then
        say "installing into the Debian root: ${missing[*]}"
        # The mirror may serve a snapshot whose Release file has passed its
        # Valid-Until date (this machine's own apt is set up the same way);
        # the signatures are still checked.
        in_sid_root DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::Check-Valid-Until=false update
        in_sid_root DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
            "${missing[@]}"
    fi
    [ -z "$(sid_missing_packages)" ] || fail "the Debian root at $sid_root lacks: $(sid_missing_packages)"
    flock -u "$lock"
    if [ "${sid_arch:-amd64}" != amd64 ]; then
        say "Debian $sid_arch root at $sid_root: $(chroot "$sid_root" python3.14 -V)"
        return 0
    fi
    say "Debian root at $sid_root:" "$(chroot "$sid_root" python3.15 -V)," \
        "$(chroot "$sid_root" python3.14 -V), $(chroot "$sid_root" python3.13 -V)"
}

# The whole suite on the root's CPython VERSION (3.13, 3.14, 3.15, or the
# debug build 3.14d or 3.15d), built with compiler warnings as errors from a
# copy of the work tree's files (tracked and new, not ignored). A debug build's
# module must be compiled with Py_DEBUG, which its reference-count calls show. PyPI's wheels for that version are downloaded by this
# machine's pip, since pip in the root does not trust this machine's
# certificates, and installed from there, the build's own requirements
# included. Further arguments go to pytest.
suite_in_sid_root() {
    local version=$1 requirements scratch inside platform platforms=()
    local sid_root=$sid_root sid_packages=("${sid_packages[@]}")
    sid_arch_root
    shift
    local missing
    missing=$(sid_missing_packages)
    [ -z "$missing" ] || fail "the Debian root at $sid_root is not ready (lacks: ${missing//$'\n'/ })"
    scratch=$(mktemp -d "$sid_root/tmp/pyveka-suite.XXXXXX")
    # shellcheck disable=SC2064 # the directory is known now
    trap "rm -rf --one-file-system '$scratch'" EXIT
    # Open to other users, as /tmp is: the suite's tests as the user nobody reach through it.
    chmod 755 "$scratch"
    mkdir "$scratch/source" "$scratch/tmp"
    git ls-files -z --cached --others --exclude-standard |
        tar --null --files-from=- --ignore-failed-read -c | tar -x -C "$scratch/source"
    requirements=$(pyproject_list build-system.requires && pyproject_list project.optional-dependencies.test)
    for platform in ${sid_pip_platforms[${sid_arch:-amd64}]-}; do platforms+=(--platform "$platform"); done
    # shellcheck disable=SC2086 # one requirement a word
    python3 -m pip download --quiet --disable-pip-version-check --dest "$scratch/wheels" \
        --only-binary=:all: --python-version "${version%d}" "${platforms[@]}" $requirements
    inside=/tmp/${scratch##*/}
    # TMPDIR: pytest's and the build's temporary files go with the scratch directory.
    local environment=(PIP_NO_INDEX=1 "PIP_FIND_LINKS=$inside/wheels" PIP_DISABLE_PIP_VERSION_CHECK=1
        SKBUILD_CMAKE_DEFINE=PYVEKA_WERROR=ON "TMPDIR=$inside/tmp")
    [ -z "${CI+set}" ] || environment+=("CI=$CI")
    # Under emulation pip's byte-compiling of every module it installs (mypy's thousands)
    # takes minutes; Python compiles what the tests import.
    [ "${sid_arch:-amd64}" != arm64 ] || environment+=(PIP_NO_COMPILE=1)
    # The host the caller says the root is, which a test holds the module's answers to.
    [ -z "${PYVEKA_EXPECTED_HOST-}" ] || environment+=("PYVEKA_EXPECTED_HOST=$PYVEKA_EXPECTED_HOST")
    # shellcheck disable=SC2016 # expanded inside the root
    in_sid_root "${environment[@]}" bash -euc '
        cd "$1/source"
        venv=$1/venv
        "python$2" -m venv "$venv"
        "$venv/bin/pip" install ".[test]"
        "$venv/bin/python" -VV
        if [ "${2%d}" != "$2" ]; then
            module=$("$venv/bin/python" -c "import pyveka.veka_call as m; print(m.__file__)")
            nm -D --undefined-only "$module" | grep -q _Py_DECREF_DecRefTotal || {
                echo "error: $module was compiled without Py_DEBUG for a debug interpreter" >&2
                exit 1
            }
            echo "$module: compiled with Py_DEBUG"
        fi
        shift 2
        exec "$venv/bin/python" -m pytest -p no:cacheprovider "$@"
    ' suite "$inside" "$version" "$@"
}

#!/usr/bin/env bash
# The interpreters the test matrix runs on, prepared once into a cache folder
# and reused while they are present:
#
#   DIR/sid              a Debian sid tree made by debootstrap, with sid's
#                        python3.14 and python3.15 (and -dev, -venv), g++,
#                        cmake and make
#   DIR/sid/opt/python3.13t
#                        CPython 3.13 built with --disable-gil from Debian's
#                        python3.13 source package, inside that tree
#   DIR/run              this script, so that `DIR/run CMD...` works from any
#                        checkout
#
# Everything runs inside the tree (chroot), because sid's interpreters need
# sid's C library and build bitloom with sid's compiler against their own
# headers; the host only needs debootstrap and root.  `run` enters the tree in
# a private mount namespace with /proc, /dev and one host folder (the current
# git checkout, or $BITLOOM_SRC; none for no folder) mounted at the same path, so paths inside and
# outside agree and nothing stays mounted afterwards.
#
#   scripts/interpreters.sh prepare DIR     make DIR (skips what is there)
#   scripts/interpreters.sh run DIR CMD...  run CMD inside DIR/sid, from the
#                                           current folder
#   DIR/run CMD...                          the same
set -euo pipefail

MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
# What the tree holds: the interpreters, the compiler and CMake that build
# bitloom, and what the free-threaded build needs (ssl and zlib for pip).
PACKAGES=python3.14,python3.14-dev,python3.14-venv,python3.15,python3.15-dev,python3.15-venv,g++,make,cmake,ca-certificates,dpkg-dev,pkgconf,libssl-dev,zlib1g-dev,libffi-dev,libbz2-dev,liblzma-dev,libsqlite3-dev,libexpat1-dev,uuid-dev,patch,xz-utils
FT_PREFIX=/opt/python3.13t

self=$(readlink -f "$0")

die() { echo "interpreters: $*" >&2; exit 1; }

need_root() {
    [ "$(id -u)" = 0 ] || die "needs root (debootstrap, chroot and mounts); run it as root or with sudo"
}

# Runs "$@" inside the tree, with the host folder $src visible at its own path.
enter() {
    local root=$1 src=$2; shift 2
    need_root
    [ -x "$root/usr/bin/python3.14" ] || die "$root is not prepared; run: $self prepare $(dirname "$root")"
    exec unshare --mount --propagation private "$self" _inside "$root" "$src" "$PWD" "$@"
}

inside() {
    local root=$1 src=$2 cwd=$3; shift 3
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/dev/shm" 2>/dev/null || true
    if [ -n "$src" ]; then
        mkdir -p "$root$src"
        mount --bind "$src" "$root$src"
    fi
    # The host's name servers, certificate authorities (a proxy's own
    # included) and pip configuration (an index mirror), so that pip inside
    # reaches what pip outside reaches.
    cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    cp -L /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt" 2>/dev/null || true
    cp -L /etc/pip.conf "$root/etc/pip.conf" 2>/dev/null || true
    if [ -z "$src" ]; then cwd=/; else case "$cwd" in "$src"|"$src"/*) ;; *) cwd=/ ;; esac; fi
    exec env -u LD_PRELOAD -u VIRTUAL_ENV -u PYTHONHOME -u PYTHONPATH -u PIP_FIND_LINKS \
        PATH=$FT_PREFIX/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        chroot "$root" /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$cwd" "$@"
}

source_folder() {
    if [ "${BITLOOM_SRC:-}" = none ]; then echo ""
    elif [ -n "${BITLOOM_SRC:-}" ]; then readlink -f "$BITLOOM_SRC"
    else git rev-parse --show-toplevel 2>/dev/null || pwd
    fi
}

prepare() {
    local dir root
    need_root
    mkdir -p "$1"
    dir=$(readlink -f "$1")
    root=$dir/sid
    if [ -e "$root/.bitloom-tree" ] && [ ! -e "$root/etc/apt/apt.conf.d/99bitloom-snapshot" ]; then
        echo 'Acquire::Check-Valid-Until "false";' > "$root/etc/apt/apt.conf.d/99bitloom-snapshot"
    fi
    if [ ! -e "$root/.bitloom-tree" ]; then
        command -v debootstrap >/dev/null 2>&1 || {
            command -v apt-get >/dev/null 2>&1 || die "debootstrap is missing"
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
        }
        echo "interpreters: debootstrap sid into $root"
        rm -rf "$root"
        # sid's keys may be newer than the host's keyring; the mirror is
        # reached over the network either way, and the tree only runs tests.
        debootstrap --variant=minbase --no-check-gpg --include="$PACKAGES" \
            sid "$root" "$MIRROR" > "$dir/debootstrap.log" 2>&1 \
            || { tail -20 "$dir/debootstrap.log" >&2; die "debootstrap failed (log: $dir/debootstrap.log)"; }
        echo "deb-src $MIRROR sid main" > "$root/etc/apt/sources.list.d/sid-src.list"
        # A mirror may be a frozen snapshot, whose Release file has expired.
        echo 'Acquire::Check-Valid-Until "false";' > "$root/etc/apt/apt.conf.d/99bitloom-snapshot"
        touch "$root/.bitloom-tree"
    fi
    cp "$self" "$dir/run"
    chmod +x "$dir/run"
    if [ ! -x "$root$FT_PREFIX/bin/python3.13t" ]; then
        echo "interpreters: building free-threaded CPython 3.13 into $root$FT_PREFIX"
        BITLOOM_SRC=none "$self" run "$dir" /bin/sh -ec "
            apt-get update -qq
            rm -rf /build && mkdir -p /build && cd /build
            # The newest listed version that the mirror still holds.
            for version in \$(apt-cache showsrc python3.13 | sed -n 's/^Version: //p' | sort -rV | uniq); do
                apt-get source -qq --download-only python3.13=\$version >/dev/null && break
            done
            dpkg-source --no-check -x python3.13_*.dsc src >/dev/null
            cd src
            ./configure --quiet --disable-gil --prefix=$FT_PREFIX --with-ensurepip=no >/dev/null
            nice make -j2 -s >/dev/null 2>&1 || make -s
            make -s install >/dev/null
            cd / && rm -rf /build
        " > "$dir/python3.13t.log" 2>&1 \
            || { tail -30 "$dir/python3.13t.log" >&2; die "the free-threaded build failed (log: $dir/python3.13t.log)"; }
    fi
    cat > "$dir/HOW.txt" <<EOF
As root, from inside a git checkout (mounted into the sid tree $root at its own path): $dir/run python3.14 -m venv .venv-3.14 (or python3.15, python3.13t) makes a venv, then $dir/run .venv-3.14/bin/pip install --no-build-isolation . and $dir/run env PYTHON_GIL=0 .venv-3.13t/bin/pytest -q tests run in it (PYTHON_GIL=0 only for 3.13t).
EOF
    for python in python3.14 python3.15 python3.13t; do
        gil=()
        case $python in *t) gil=(PYTHON_GIL=0) ;; esac
        BITLOOM_SRC=none "$self" run "$dir" env "${gil[@]}" $python -c \
            'import sys; print("interpreters:", sys.executable, sys.version.split()[0], "GIL" if sys._is_gil_enabled() else "free-threaded")'
    done
}

case "${1:-}" in
    prepare) [ $# = 2 ] || die "usage: $0 prepare DIR"; prepare "$2" ;;
    run) [ $# -ge 3 ] || die "usage: $0 run DIR CMD..."
         dir=$(readlink -f "$2"); shift 2; enter "$dir/sid" "$(source_folder)" "$@" ;;
    _inside) shift; inside "$@" ;;
    *)
        # Copied into the cache folder as `run`: DIR/run CMD...
        if [ "$(basename "$self")" = run ] && [ $# -ge 1 ]; then
            enter "$(dirname "$self")/sid" "$(source_folder)" "$@"
        fi
        die "usage: $0 prepare DIR | run DIR CMD..." ;;
esac

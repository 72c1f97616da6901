#!/usr/bin/env bash
# What the OpenSSL builds of scripts/ (MinGW, sanitized) share: Debian's own
# openssl source package, fetched once into $VEK4KIVOSMIME_DEPS/openssl-source
# (default ~/.cache/vek4kivosmime), configured with the given arguments, and
# only its libraries built and installed into PREFIX, which is printed. A
# PREFIX that already holds a finished build is reused as it is.
#
#   scripts/openssl-build.sh PREFIX NAME COMPILER CONFIGURE_ARGUMENT...
#
# NAME names the build folder, so that several builds share one source;
# COMPILER is the command the build needs; CC and the like come from the
# environment.
set -euo pipefail

prefix=${1:?usage: $0 PREFIX NAME COMPILER CONFIGURE_ARGUMENT...}
name=${2:?usage: $0 PREFIX NAME COMPILER CONFIGURE_ARGUMENT...}
compiler=${3:?usage: $0 PREFIX NAME COMPILER CONFIGURE_ARGUMENT...}
shift 3
stamp="$prefix/.built"
if [ -f "$stamp" ]; then
    echo "$prefix"
    exit 0
fi
command -v "$compiler" >/dev/null || { echo "$compiler not found: the OpenSSL build '$name' needs it" >&2; exit 1; }

deps=${VEK4KIVOSMIME_DEPS:-$HOME/.cache/vek4kivosmime}
sources_dir="$deps/openssl-source"
if [ ! -d "$sources_dir" ] || ! ls -d "$sources_dir"/openssl-*/ >/dev/null 2>&1; then
    # Debian's source package needs a deb-src entry; add one beside the
    # binary entries when there is none.
    if ! apt-get source --print-uris openssl >/dev/null 2>&1; then
        if [ "$(id -u)" -ne 0 ]; then
            echo "apt has no deb-src entry and this is not root: add one for Debian's sources" >&2
            exit 1
        fi
        sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            > /etc/apt/sources.list.d/vek4kivosmime-src.sources
        apt-get update -qq
    fi
    command -v dpkg-source >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dpkg-dev
    rm -rf "$sources_dir"
    mkdir -p "$sources_dir"
    # The newest version the mirrors still hold: an index can name a version
    # whose files are already gone.
    fetched=no
    for version in $(apt-cache showsrc openssl | sed -n 's/^Version: //p' | sort -rV); do
        if (cd "$sources_dir" && apt-get source -qq "openssl=$version" >/dev/null 2>&1); then
            fetched=yes
            break
        fi
        rm -rf "${sources_dir:?}"/*
    done
    [ "$fetched" = yes ] || { echo "no version of Debian's openssl source package could be fetched" >&2; exit 1; }
fi
source_tree=$(ls -d "$sources_dir"/openssl-*/ | head -n 1)

work="$deps/openssl-build-$name"
rm -rf "$work" "$prefix"
mkdir -p "$work"
cp -a "$source_tree/." "$work/"
cd "$work"
./Configure "$@" --prefix="$prefix" --libdir=lib >configure.log 2>&1 || { cat configure.log >&2; exit 1; }
make -j "$(nproc)" build_libs >build.log 2>&1 || { tail -n 50 build.log >&2; exit 1; }
make install_dev >install.log 2>&1 || { tail -n 50 install.log >&2; exit 1; }
cd /
rm -rf "$work"
touch "$stamp"
echo "$prefix"

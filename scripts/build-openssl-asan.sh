#!/usr/bin/env bash
# Builds OpenSSL's libraries with AddressSanitizer (clang, no assembly), from
# Debian's own source package, into a folder outside the source tree, and
# prints that folder. The fuzz build links it so that a write by libcrypto
# into freed or foreign memory is reported where it happens, not later as a
# damaged heap. A folder that already holds a finished build is reused.
#
#   scripts/build-openssl-asan.sh [folder]
#
# The folder defaults to $VEK4KIVOSMIME_DEPS/openssl-asan, and
# $VEK4KIVOSMIME_DEPS to ~/.cache/vek4kivosmime. It receives include/ and
# lib/ (shared libcrypto and libssl, instrumented).
set -euo pipefail

deps=${VEK4KIVOSMIME_DEPS:-$HOME/.cache/vek4kivosmime}
prefix=${1:-$deps/openssl-asan}
stamp="$prefix/.built"
if [ -f "$stamp" ]; then
    echo "$prefix"
    exit 0
fi
compiler=${CC:-clang-14}
command -v "$compiler" >/dev/null || { echo "$compiler not found: the sanitized build needs clang" >&2; exit 1; }

source_tree=$("$(dirname "$0")/openssl-source.sh")
work="$deps/openssl-build-asan"
rm -rf "$work" "$prefix"
mkdir -p "$work"
cp -a "$source_tree/." "$work/"
cd "$work"
# no-asm: the sanitizer sees only what the compiler emits, so every routine
# must be C. Frame pointers keep the reports' stacks whole. The system's
# OpenSSL folder, so that its configuration and trusted certificates are
# the ones the library meets in use.
openssldir=$(openssl version -d 2>/dev/null | sed -n 's/^OPENSSLDIR: "\(.*\)"$/\1/p')
CC="$compiler" ./Configure linux-x86_64 shared no-asm no-tests enable-asan -g -O1 -fno-omit-frame-pointer \
    --prefix="$prefix" --openssldir="${openssldir:-$prefix/ssl}" --libdir=lib >configure.log 2>&1 ||
    { cat configure.log >&2; exit 1; }
make -j "$(nproc)" build_libs >build.log 2>&1 || { tail -n 50 build.log >&2; exit 1; }
make install_dev >install.log 2>&1 || { tail -n 50 install.log >&2; exit 1; }
cd /
rm -rf "$work"
touch "$stamp"
echo "$prefix"

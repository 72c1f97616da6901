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
compiler=${CC:-clang-14}
# no-asm: the sanitizer sees only what the compiler emits, so every routine
# must be C. Frame pointers keep the reports' stacks whole. The system's
# OpenSSL folder, so that its configuration and trusted certificates are
# the ones the library meets in use.
openssldir=$(openssl version -d 2>/dev/null | sed -n 's/^OPENSSLDIR: "\(.*\)"$/\1/p')
prefix=${1:-$deps/openssl-asan}
CC="$compiler" exec "$(dirname "$0")/openssl-build.sh" "$prefix" asan "$compiler" \
    linux-x86_64 shared no-asm no-tests enable-asan -g -O1 -fno-omit-frame-pointer --openssldir="${openssldir:-$prefix/ssl}"

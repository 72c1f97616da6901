#!/usr/bin/env bash
# Builds OpenSSL's libraries for Windows with MinGW-w64, from Debian's own
# source package, into a folder outside the source tree, and prints that
# folder. A folder that already holds a finished build is reused as it is.
#
#   scripts/build-openssl-mingw.sh x86_64|i686 [folder]
#
# The folder defaults to $VEK4KIVOSMIME_DEPS/openssl-mingw-<arch>, and
# $VEK4KIVOSMIME_DEPS to ~/.cache/vek4kivosmime. It receives include/, lib/
# (libcrypto.dll.a, the import library) and bin/ (the libcrypto DLL).
set -euo pipefail

arch=${1:?usage: $0 x86_64|i686 [folder]}
case "$arch" in
    x86_64) target=mingw64 ;;
    i686) target=mingw ;;
    *) echo "unknown architecture '$arch' (x86_64 or i686)" >&2; exit 2 ;;
esac
deps=${VEK4KIVOSMIME_DEPS:-$HOME/.cache/vek4kivosmime}
cross="$arch-w64-mingw32-"
# The -posix compilers, the same runtime the library is built with (on
# Debian: g++-mingw-w64-x86-64-posix or g++-mingw-w64-i686-posix).
CC=gcc-posix CXX=g++-posix exec "$(dirname "$0")/openssl-build.sh" "${2:-$deps/openssl-mingw-$arch}" "$arch" \
    "${cross}gcc-posix" "$target" shared no-asm no-tests --cross-compile-prefix="$cross"

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
prefix=${2:-$deps/openssl-mingw-$arch}
stamp="$prefix/.built"

if [ -f "$stamp" ]; then
    echo "$prefix"
    exit 0
fi

cross="$arch-w64-mingw32-"
if ! command -v "${cross}gcc-posix" >/dev/null; then
    echo "${cross}gcc-posix not found: install g++-mingw-w64-${arch/_/-}-posix" >&2
    exit 1
fi

source_tree=$("$(dirname "$0")/openssl-source.sh")

# Each architecture builds in a copy of its own, so that both can be built
# one after the other (or at once) from one unpacked source.
work="$deps/openssl-build-$arch"
rm -rf "$work" "$prefix"
mkdir -p "$work"
cp -a "$source_tree/." "$work/"
cd "$work"
# The -posix compilers, the same runtime the library is built with.
CC=gcc-posix CXX=g++-posix ./Configure "$target" shared no-asm no-tests \
    --cross-compile-prefix="$cross" --prefix="$prefix" --libdir=lib >configure.log 2>&1 ||
    { cat configure.log >&2; exit 1; }
# Only the libraries: the command-line program is not needed.
make -j "$(nproc)" build_libs >build.log 2>&1 || { tail -n 50 build.log >&2; exit 1; }
make install_dev >install.log 2>&1 || { tail -n 50 install.log >&2; exit 1; }
cd /
rm -rf "$work"
touch "$stamp"
echo "$prefix"

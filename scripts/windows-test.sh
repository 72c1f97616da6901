#!/usr/bin/env bash
# The Windows builds, end to end: OpenSSL for MinGW-w64 (built once, then
# reused), then the libraries, the smime tool and the tests for 32-bit
# (build-win32) and 64-bit (build-win64) Windows, with no compiler or linker
# warning and export tables that hold the public interface only. The 64-bit
# build's tests then run under Wine, the example is built against its
# installed package and run, and its messages are checked against openssl on
# Linux both ways. This kernel runs no 32-bit code, so the 32-bit build is
# built and linked only; its twin's tests stand for it.
#
#   scripts/windows-test.sh [LINUX_BUILD_DIR]
#
# LINUX_BUILD_DIR (default build) holds or gets a Linux build of the smime
# tool for the interop checks.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$(pwd)
linux_build=${1:-build}
jobs=$(nproc)

scripts/install-deps.sh windows

# build_windows ARCH FOLDER: configures and builds one target from scratch
# of its output (a build that skips up-to-date files would hide warnings).
build_windows() {
    local arch=$1 folder=$2 openssl
    openssl=$(scripts/build-openssl-mingw.sh "$arch")
    echo "=== $arch: build in $folder (OpenSSL from $openssl)"
    cmake --no-warn-unused-cli -S . -B "$folder" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-$arch.cmake" -DOPENSSL_ROOT_DIR="$openssl" \
          -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK4KIVOSMIME_WERROR=ON -DVEK4KIVOSMIME_BUILD_BENCHMARKS=OFF >/dev/null
    cmake --build "$folder" --target clean
    cmake --build "$folder" -j "$jobs" >"$folder/build.log" 2>&1 || { tail -n 60 "$folder/build.log"; return 1; }
    if grep -i 'warning' "$folder/build.log"; then
        echo "$arch: the build printed warnings (above)" >&2
        return 1
    fi
    echo "$arch: built with no warnings"
    scripts/check-dll-exports.sh "$folder/bin"
}
build_windows i686 build-win32
build_windows x86_64 build-win64

if [ ! -x "$linux_build/tools/smime/smime" ]; then
    cmake -S . -B "$linux_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$linux_build" -j "$jobs" --target smime
fi

# A Wine prefix for this run only, and one Wine server for all of it, so
# that no program waits for a server to start.
work=$(mktemp -d)
export VEK4KIVOSMIME_WINEPREFIX="$work/wine" WINEPREFIX="$work/wine"
stop_wine() {
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap stop_wine EXIT
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver -p
scripts/wine-run.sh wineboot.exe --init >/dev/null 2>&1

echo "=== x86_64: the test suite under Wine"
ctest --test-dir build-win64 --output-on-failure -j "$jobs"

echo "=== x86_64: the example built against the installed package"
cmake --install build-win64 --prefix "$work/prefix" >/dev/null
cmake -S examples -B "$work/examples" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
      -Dvek4kivosmime_DIR="$work/prefix/lib/cmake/vek4kivosmime" >/dev/null
cmake --build "$work/examples" >/dev/null
# As a user ships it: the program beside the DLLs of bin/, with keys the installed tool makes.
cp "$work/examples/tour.exe" "$work/prefix/bin/"
(cd "$work" && "$source_dir/scripts/wine-run.sh" prefix/bin/smime.exe demo --keep keys >/dev/null &&
    "$source_dir/scripts/wine-run.sh" prefix/bin/tour.exe keys/alice.p12 "$(cat keys/alice.pass)" keys/bob.pem >/dev/null) ||
    { echo "the example built against the installed package failed" >&2; exit 1; }
echo "the installed package builds and runs the example"

echo "=== x86_64: interop with openssl on Linux"
scripts/windows-interop.sh build-win64/bin "$linux_build/tools/smime/smime"

#!/usr/bin/env bash
# Installs the build into a throwaway prefix, then builds the example program
# (examples/) against it twice, through find_package and through pkg-config,
# and runs each with keys that the installed smime tool makes.
# Usage: install_test.sh BUILD_DIR EXAMPLES_DIR
set -euo pipefail
build=$1
examples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
"$work/prefix/bin/smime" demo --keep "$work/keys" >/dev/null
run_tour() { "$@" "$work/keys/alice.p12" "$(cat "$work/keys/alice.pass")" "$work/keys/bob.pem" >/dev/null; }

cmake -S "$examples" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
run_tour "$work/cmake-build/tour" || { echo "the example built with find_package failed" >&2; exit 1; }

pcdir=$(dirname "$(find "$work/prefix" -name vek4kivosmime.pc)")
export PKG_CONFIG_PATH=$pcdir
# shellcheck disable=SC2046 # the flags are meant to split into words
g++ -std=c++17 "$examples/tour.cpp" $(pkg-config --cflags --libs vek4kivosmime) -o "$work/pc-tour"
run_tour env LD_LIBRARY_PATH="$(pkg-config --variable=libdir vek4kivosmime)" "$work/pc-tour" ||
    { echo "the example built with pkg-config failed" >&2; exit 1; }
echo "installed package works through find_package and pkg-config"

#!/usr/bin/env bash
# Installs the build into a throwaway prefix, then builds and runs an
# application against it twice: through find_package and through pkg-config.
# Usage: install_test.sh BUILD_DIR CONSUMER_SOURCE_DIR
set -euo pipefail
build=$1
consumer=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null

cmake -S "$consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
printed=$("$work/cmake-build/consumer")
[ "$printed" = "YWJj" ] || { echo "find_package consumer printed '$printed'" >&2; exit 1; }

pcdir=$(dirname "$(find "$work/prefix" -name vek4kivosmime.pc)")
export PKG_CONFIG_PATH=$pcdir
# shellcheck disable=SC2046 # the flags are meant to split into words
g++ -std=c++17 "$consumer/main.cpp" $(pkg-config --cflags --libs vek4kivosmime) -o "$work/pc-consumer"
printed=$(LD_LIBRARY_PATH="$(pkg-config --variable=libdir vek4kivosmime)" "$work/pc-consumer")
[ "$printed" = "YWJj" ] || { echo "pkg-config consumer printed '$printed'" >&2; exit 1; }
echo "installed package works through find_package and pkg-config"

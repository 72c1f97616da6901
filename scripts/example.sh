#!/usr/bin/env bash
# Installs the build in build/ into a temporary prefix, builds examples/
# against the installed package with find_package, and runs the example
# with a throwaway CA and identities made by the installed smime tool.
set -euo pipefail
cd "$(dirname "$0")/.."

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install build --prefix "$scratch/prefix" >/dev/null
cmake -S examples -B "$scratch/build" -DCMAKE_PREFIX_PATH="$scratch/prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$scratch/build" -j "$(nproc)"
"$scratch/prefix/bin/smime" demo --keep "$scratch/keys" >/dev/null
"$scratch/build/tour" "$scratch/keys/alice.p12" "$(cat "$scratch/keys/alice.pass")" "$scratch/keys/bob.pem"

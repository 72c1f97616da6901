#!/usr/bin/env bash
# Builds the library and the smime tool in build/ and runs `smime demo`: a
# throwaway CA and two identities, every operation end to end. Arguments go
# to the demo, e.g. scripts/demo.sh --keep demo-files.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK4KIVOSMIME_WERROR=ON >/dev/null
cmake --build build -j "$(nproc)" --target smime
build/tools/smime/smime demo "$@"

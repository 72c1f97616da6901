#!/usr/bin/env bash
# Checks the export tables of the four Windows DLLs against the headers
# that declare their interface: every exported name must belong to a class
# or function that the header marks with the DLL's export macro (its
# members, vtable and typeinfo included), and each such class and function
# must be exported (plain structs may be wholly inline and export nothing).
#
#   scripts/check-dll-exports.sh FOLDER [OBJDUMP]
#
# FOLDER holds the DLLs; OBJDUMP defaults to x86_64-w64-mingw32-objdump,
# which reads the DLLs of either target.
set -euo pipefail
folder=${1:?usage: $0 FOLDER [OBJDUMP]}
objdump=${2:-x86_64-w64-mingw32-objdump}
source_dir=$(cd "$(dirname "$0")/.." && pwd)

# The names a header marks with macro: "class X", "struct X" and functions.
declared() {
    local macro=$1; shift
    sed -n -E "s/^(class|struct) $macro ([A-Za-z_0-9]+).*/\\1 \\2/p; \
               s/^$macro [^(]*[ *]([A-Za-z_0-9]+)\\(.*/function \\1/p" "$@"
}

# The owner of each exported name: X for "X::member", "vtable for X",
# "typeinfo for X", "typeinfo name for X"; the name itself for a function.
exported_owners() {
    "$objdump" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk 'NR > 1 && NF { print $NF }' |
        c++filt | sed -E 's/^(vtable|typeinfo|typeinfo name) for //; s/\(.*//; s/::.*//' | sort -u
}

failures=0
check() {
    local dll=$1 macro=$2; shift 2
    local expected owners before=$failures
    expected=$(declared "$macro" "$@")
    [ -n "$expected" ] || { echo "$dll: no declarations marked $macro found" >&2; failures=$((failures + 1)); return; }
    owners=$(exported_owners "$folder/$dll")
    local unexpected
    unexpected=$(comm -23 <(echo "$owners") <(echo "$expected" | awk '{ print $2 }' | sort -u))
    if [ -n "$unexpected" ]; then
        echo "$dll exports names outside its interface:" >&2
        echo "$unexpected" | sed 's/^/  /' >&2
        failures=$((failures + 1))
    fi
    while read -r kind name; do
        if ! grep -qx "$name" <<<"$owners" && [ "$kind" != struct ]; then
            echo "$dll does not export $kind $name" >&2
            failures=$((failures + 1))
        fi
    done <<<"$expected"
    if [ "$failures" -eq "$before" ]; then
        echo "$dll: exports $(wc -l <<<"$owners") classes and functions, each declared with $macro"
    fi
}

check vek4kivosmime.dll VEK4KIVOSMIME_API "$source_dir/include/vek4kivosmime.h"
check vek4cms.dll VEK4CMS_API "$source_dir"/platform/vek{buffer,kryutility,mutex,trace}.h
check vek4kivoidup.dll VEK4KIVOIDUP_API "$source_dir/platform/vek4kivoidup.h"
check vek4kivooidtable.dll VEK4KIVOOIDTABLE_API "$source_dir/platform/vek4kivooidtable.h"
[ "$failures" -eq 0 ] || { echo "$failures export table problem(s)" >&2; exit 1; }

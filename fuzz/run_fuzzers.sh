#!/usr/bin/env bash
# Runs fuzz targets one after another, each for a bounded time, on a copy of
# its seeds and regression inputs in a temporary folder, so that nothing in
# the repository changes. Any finding (crash, sanitizer report, failed check,
# leak, timeout, memory limit) fails the run; the input that caused it is
# printed in base64 and kept in KEEP_DIR/<target>/ when KEEP_DIR is set.
#
# The MIME targets (scanner, parser, unprotect, mail) spend the second half of
# their time on inputs of up to 1 MiB, offered from the start rather than
# grown to slowly, with a per-input timeout (3 s; 10 s for unprotect, which
# makes keys and runs the cryptography): a scan that is quadratic in its
# input takes far longer than that on 1 MiB, while a linear one takes a few
# milliseconds even under the sanitizers.
#
# usage: fuzz/run_fuzzers.sh BUILD_DIR SECONDS_PER_TARGET [TARGET...]
#        (targets: scanner parser base64 printable unprotect mail; default all)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 2 ] || { sed -n '15,16p' "$0" >&2; exit 2; }
build=$1
seconds=$2
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(scanner parser base64 printable unprotect mail)

is_mime_target() {
    case $1 in
    scanner | parser | unprotect | mail) return 0 ;;
    *) return 1 ;;
    esac
}

dictionary_of() {
    if is_mime_target "$1"; then echo "$here/mime.dict"; else echo "$here/$1.dict"; fi
}

# One libFuzzer run on the target's corpus: fuzz_for TARGET SECONDS OPTION...
# (never with 0 seconds, which libFuzzer takes as no limit).
fuzz_for() {
    local target=$1 limit=$2
    shift 2
    [ "$limit" -gt 0 ] || return 0
    echo "--- ${target}_fuzz for ${limit} s $*"
    "$program" -max_total_time="$limit" -rss_limit_mb=2048 -print_final_stats=1 "$@" \
        -dict="$(dictionary_of "$target")" -artifact_prefix="$artifacts/" "$corpus" >>"$log" 2>&1
    local run_status=$?
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 3
    return $run_status
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=()
for target in "${targets[@]}"; do
    program=$build/fuzz/${target}_fuzz
    [ -x "$program" ] || { echo "no fuzz target $program" >&2; exit 2; }
    corpus=$work/$target/corpus
    artifacts=$work/$target/artifacts
    mkdir -p "$corpus" "$artifacts"
    for kept in "$here/corpus/$target" "$here/regressions/$target"; do
        [ -d "$kept" ] && cp -R "$kept/." "$corpus/"
    done
    log=$work/$target/log
    : >"$log"
    if is_mime_target "$target"; then
        limit=3
        [ "$target" = unprotect ] && limit=10
        short=$((seconds / 2))
        # Short inputs first (the long seeds cut to 4 KiB), then long ones.
        fuzz_for "$target" "$short" -timeout=$limit -max_len=4096 &&
            fuzz_for "$target" $((seconds - short)) -timeout=$limit -max_len=1048576 -len_control=0
    else
        fuzz_for "$target" "$seconds" -timeout=10
    fi
    status=$?
    if [ $status -ne 0 ] || [ -n "$(ls -A "$artifacts")" ]; then
        failed+=("$target")
        echo "*** ${target}_fuzz found a fault (exit status $status):"
        grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)' "$log" | tail -n 80
        for artifact in "$artifacts"/*; do
            [ -e "$artifact" ] || continue
            echo "input $(basename "$artifact"), base64:"
            base64 -w 76 "$artifact"
            if [ -n "${KEEP_DIR:-}" ]; then
                mkdir -p "$KEEP_DIR/$target" && cp "$artifact" "$KEEP_DIR/$target/"
            fi
        done
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzzing found faults in: ${failed[*]}"
    exit 1
fi
echo "fuzzing found nothing"

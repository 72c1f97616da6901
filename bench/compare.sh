#!/usr/bin/env bash
# Compares the smime tool with `openssl cms`, whole process, on the same random
# content and the same keys: signing (opaque and detached), verifying, encrypting
# to one and five recipients and decrypting, with AES-256-CBC and with
# AES-256-GCM. Prints a Markdown table of median wall, user and system times
# and of peak memory.
#
# usage: bench/compare.sh [--smime PATH] [--against PATH] [--runs N] [--sizes "1K 1M 64M"] [--ops "..."] [--out FILE]
#
# Each tool verifies and decrypts the messages it made itself: smime reads
# messages whose headers end in CR LF, and OpenSSL writes LF headers.
set -euo pipefail
export LC_ALL=C # EPOCHREALTIME and printf must use '.' as decimal point

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_root=$(cd "$script_dir/.." && pwd)

smime=$repo_root/build/tools/smime/smime
against=""           # another smime tool to time beside this one (--against)
runs=""              # empty: 11 runs for content under 1 MiB, 5 above
sizes="1K 1M 64M"
out_file=""

operations=(sign-opaque sign-detached verify-opaque verify-detached encrypt-1 encrypt-5 decrypt encrypt-gcm decrypt-gcm)
# Runs alternate between these so that drift in machine load hits all alike.
variants=(smime openssl openssl-hugetlb)

die() {
    printf 'compare.sh: %s\n' "$*" >&2
    exit 1
}

progress() {
    printf '%s\n' "$*" >&2
}

usage() {
    cat <<'EOF'
usage: bench/compare.sh [--smime PATH] [--against PATH] [--runs N] [--sizes "1K 1M 64M"] [--ops "..."] [--out FILE]
Times smime against `openssl cms` on random content of each size and prints a
Markdown table of medians (wall ms, user+sys ms, peak MiB) to standard output.
  --smime PATH   the smime tool (default: build/tools/smime/smime in the repository)
  --against PATH another build of the smime tool (say, of the last release), timed
                 in the same runs; a second table compares the two
  --runs N       runs per cell (default: 11 below 1 MiB of content, 5 from 1 MiB)
  --sizes LIST   content sizes, e.g. "1K 1M 64M" (suffixes K, M, G are powers of 1024)
  --ops LIST     operations to time (default: all of sign-opaque sign-detached
                 verify-opaque verify-detached encrypt-1 encrypt-5 decrypt
                 encrypt-gcm decrypt-gcm; list a verify or decrypt after the
                 sign or encrypt that makes its message)
  --out FILE     also write the report to FILE
EOF
}

parse_args() {
    while (($#)); do
        case $1 in
            --smime) (($# >= 2)) || die "--smime needs a path"; smime=$2; shift 2 ;;
            --against) (($# >= 2)) || die "--against needs a path"; against=$2; shift 2 ;;
            --runs) (($# >= 2)) || die "--runs needs a number"; runs=$2; shift 2 ;;
            --sizes) (($# >= 2)) || die "--sizes needs a list"; sizes=$2; shift 2 ;;
            --ops) (($# >= 2)) || die "--ops needs a list"; read -ra operations <<<"$2"; shift 2 ;;
            --out) (($# >= 2)) || die "--out needs a file"; out_file=$2; shift 2 ;;
            -h | --help) usage; exit 0 ;;
            *) usage >&2; exit 2 ;;
        esac
    done
    if [[ -n $runs && ! $runs =~ ^[1-9][0-9]*$ ]]; then
        die "--runs must be a positive number, not '$runs'"
    fi
    [[ -x $smime ]] || die "no smime tool at $smime (build it, or pass --smime PATH)"
    smime=$(cd "$(dirname "$smime")" && pwd)/$(basename "$smime")
    if [[ -n $against ]]; then
        [[ -x $against ]] || die "no smime tool at $against"
        against=$(cd "$(dirname "$against")" && pwd)/$(basename "$against")
        variants+=(before)
    fi
    command -v openssl >/dev/null || die "openssl is not on PATH"
    [[ -x /usr/bin/time ]] || die "/usr/bin/time (GNU time) is missing"
    local s
    for s in $sizes; do size_bytes "$s" >/dev/null; done
}

# Prints the byte count of a size such as 1K, 64M, 2G or 1000.
size_bytes() {
    local n unit
    [[ ${1^^} =~ ^([0-9]+)([KMG]?)(I?B)?$ ]] || die "bad size '$1' (use e.g. 1K, 1M, 64M)"
    n=$((10#${BASH_REMATCH[1]}))
    unit=${BASH_REMATCH[2]}
    case $unit in
        K) n=$((n << 10)) ;;
        M) n=$((n << 20)) ;;
        G) n=$((n << 30)) ;;
    esac
    ((n > 0)) || die "size '$1' is empty"
    echo "$n"
}

runs_for() {
    local bytes=$1
    if [[ -n $runs ]]; then
        echo "$runs"
    elif ((bytes < 1 << 20)); then
        echo 11
    else
        echo 5
    fi
}

# --- keys -------------------------------------------------------------------

# Makes the CA, Alice's and Bob's key stores (via `smime demo`), Alice's private
# key as PEM for OpenSSL, and three more RSA-2048 recipients.
make_keys() {
    pki=$work/pki
    if ! "$smime" demo --keep "$pki" >"$work/demo.log" 2>&1; then
        cat "$work/demo.log" >&2
        die "smime demo failed"
    fi
    alice_pass=$(head -n1 "$pki/alice.pass")
    # Without -legacy first: OpenSSL 3 refuses old PKCS#12 ciphers unless asked.
    if ! openssl pkcs12 -in "$pki/alice.p12" -passin "file:$pki/alice.pass" \
        -nocerts -nodes -out "$pki/alice.key" 2>"$work/stderr.txt"; then
        openssl pkcs12 -legacy -in "$pki/alice.p12" -passin "file:$pki/alice.pass" \
            -nocerts -nodes -out "$pki/alice.key" 2>"$work/stderr.txt" ||
            { cat "$work/stderr.txt" >&2; die "cannot extract Alice's key from alice.p12"; }
    fi
    recipients=("$pki/alice.pem" "$pki/bob.pem")
    local i
    for i in 3 4 5; do
        openssl req -x509 -newkey rsa:2048 -nodes -days 2 \
            -subj "/CN=Recipient $i/O=Bench" \
            -addext keyUsage=keyEncipherment,digitalSignature \
            -keyout "$pki/r$i.key" -out "$pki/r$i.pem" 2>"$work/stderr.txt" ||
            { cat "$work/stderr.txt" >&2; die "cannot make recipient $i"; }
        recipients+=("$pki/r$i.pem")
    done
}

# --- commands ---------------------------------------------------------------

# Sets CMD to TOOL's command line for OP on CONTENT, CHECK to the file that
# must equal CONTENT byte for byte afterwards (empty when there is none), and
# INPUT to the file the command reads. Verify and decrypt read the message
# that TOOL's own sign or encrypt left.
build_cmd() {
    local tool=$1 op=$2 content=$3
    local out=$work/$tool.$op
    # "before" is another build of the smime tool, run as smime is.
    local bin=$smime kind=$tool
    [[ $tool == before ]] && bin=$against kind=smime
    CHECK=""
    INPUT=$content
    case $op in
        verify-*) INPUT=$work/$tool.sign-${op#verify-} ;;
        decrypt) INPUT=$work/$tool.encrypt-1 ;;
        decrypt-gcm) INPUT=$work/$tool.encrypt-gcm ;;
    esac
    case $kind:$op in
        smime:sign-opaque)
            CMD=("$bin" sign -k "$pki/alice.p12" -p "$alice_pass" -i "$content" -o "$out") ;;
        smime:sign-detached)
            CMD=("$bin" sign --detached -k "$pki/alice.p12" -p "$alice_pass" -i "$content" -o "$out") ;;
        smime:verify-opaque | smime:verify-detached)
            CMD=("$bin" verify --trust "$pki/ca.pem" -i "$work/$tool.sign-${op#verify-}" -o "$out")
            CHECK=$out ;;
        smime:encrypt-1)
            CMD=("$bin" encrypt -r "$pki/alice.pem" -i "$content" -o "$out") ;;
        smime:encrypt-5)
            CMD=("$bin" encrypt)
            local r
            for r in "${recipients[@]}"; do CMD+=(-r "$r"); done
            CMD+=(-i "$content" -o "$out") ;;
        smime:decrypt | smime:decrypt-gcm)
            local made=encrypt-1
            [[ $op == decrypt-gcm ]] && made=encrypt-gcm
            CMD=("$bin" decrypt -k "$pki/alice.p12" -p "$alice_pass" -i "$work/$tool.$made" -o "$out")
            CHECK=$out ;;
        smime:encrypt-gcm)
            CMD=("$bin" encrypt --cipher aes256-gcm -r "$pki/alice.pem" -i "$content" -o "$out") ;;
        openssl:sign-opaque)
            CMD=(openssl cms -sign -nodetach -binary -signer "$pki/alice.pem" -inkey "$pki/alice.key"
                -in "$content" -out "$out") ;;
        openssl:sign-detached)
            CMD=(openssl cms -sign -binary -signer "$pki/alice.pem" -inkey "$pki/alice.key"
                -in "$content" -out "$out") ;;
        openssl:verify-opaque | openssl:verify-detached)
            # -binary: without it OpenSSL turns LF into CR LF before digesting
            # the detached content, and binary content no longer verifies.
            CMD=(openssl cms -verify -binary -CAfile "$pki/ca.pem" -in "$work/openssl.sign-${op#verify-}"
                -out "$out")
            CHECK=$out ;;
        openssl:encrypt-1)
            CMD=(openssl cms -encrypt -binary -aes256 -in "$content" -out "$out" "$pki/alice.pem") ;;
        openssl:encrypt-5)
            CMD=(openssl cms -encrypt -binary -aes256 -in "$content" -out "$out" "${recipients[@]}") ;;
        openssl:decrypt | openssl:decrypt-gcm)
            local made=encrypt-1
            [[ $op == decrypt-gcm ]] && made=encrypt-gcm
            CMD=(openssl cms -decrypt -inkey "$pki/alice.key" -recip "$pki/alice.pem"
                -in "$work/openssl.$made" -out "$out")
            CHECK=$out ;;
        openssl:encrypt-gcm)
            CMD=(openssl cms -encrypt -binary -aes-256-gcm -in "$content" -out "$out" "$pki/alice.pem") ;;
        *) die "no command for $tool $op" ;;
    esac
}

# Environment assignments for a variant, one per line (none for most).
variant_env() {
    case $1 in
        openssl-hugetlb) echo "GLIBC_TUNABLES=glibc.malloc.hugetlb=1" ;;
    esac
}

# --- measuring --------------------------------------------------------------

# Runs CMD once with the given environment assignments (NAME=VALUE) and stops
# the script with the tool's standard error when it fails or when CONTENT does
# not come out unchanged. The subshell execs CMD, so no extra process starts.
run_checked() {
    local content=$1
    shift
    if ! (
        # shellcheck disable=SC2163 # the arguments are NAME=VALUE assignments
        if (($#)); then export "$@"; fi
        exec "${CMD[@]}"
    ) >/dev/null 2>"$work/stderr.txt"; then
        printf 'compare.sh: failed: %s\n' "${CMD[*]}" >&2
        cat "$work/stderr.txt" >&2
        exit 1
    fi
    if [[ -n $CHECK ]] && ! cmp -s "$content" "$CHECK"; then
        printf 'compare.sh: content changed by: %s\n' "${CMD[*]}" >&2
        cmp "$content" "$CHECK" >&2 || true
        exit 1
    fi
}

# Runs CMD once and sets RUN_US to its wall time in microseconds, process
# start included, and RUN_USER_MS and RUN_SYS_MS to the CPU time it spent in
# user space and in the kernel (on every core). Timed runs go without
# /usr/bin/time: starting one more process costs several milliseconds on
# some machines, as much as a whole operation on small content; the shell's
# own `time` reads the child's usage instead.
timed_run() {
    local t0 t1 user sys
    local TIMEFORMAT='%3U %3S'
    t0=${EPOCHREALTIME/./}
    { time run_checked "$@" 2>&4; } 4>&2 2>"$work/usage.txt"
    t1=${EPOCHREALTIME/./}
    RUN_US=$((10#$t1 - 10#$t0))
    read -r user sys <"$work/usage.txt"
    RUN_USER_MS=$((10#${user/./}))
    RUN_SYS_MS=$((10#${sys/./}))
}

# Runs CMD once under /usr/bin/time and sets RUN_KIB to its peak RSS.
memory_run() {
    CMD=(/usr/bin/time -f '%M' -o "$work/time.txt" "${CMD[@]}")
    run_checked "$@"
    RUN_KIB=$(tail -n1 "$work/time.txt")
}

# Measures every operation on SIZE for every variant and appends lines
# "op size variant time|peak value" to the sample file. Each cell starts with
# one run per variant under /usr/bin/time for the peak memory, which also
# warms the caches; then come the timed runs, alternating the variants.
measure_size() {
    local size=$1 bytes n op run variant
    local -a env_args
    local content=$work/content.bin
    bytes=$(size_bytes "$size")
    n=$(runs_for "$bytes")
    head -c "$bytes" /dev/urandom >"$content"
    for op in "${operations[@]}"; do
        progress "  $size $op: $n runs"
        for ((run = 0; run <= n; run++)); do
            for variant in "${variants[@]}"; do
                build_cmd "${variant%%-*}" "$op" "$content"
                mapfile -t env_args < <(variant_env "$variant")
                if ((run == 0)); then
                    memory_run "$content" "${env_args[@]}"
                    echo "$op $size $variant peak $RUN_KIB" >>"$samples"
                    echo "$op $size $variant input $(wc -c <"$INPUT")" >>"$samples"
                else
                    timed_run "$content" "${env_args[@]}"
                    {
                        echo "$op $size $variant time $RUN_US"
                        echo "$op $size $variant user $((RUN_USER_MS * 1000))"
                        echo "$op $size $variant sys $((RUN_SYS_MS * 1000))"
                    } >>"$samples"
                fi
            done
        done
    done
    rm -f "$content" "$work"/smime.* "$work"/openssl.* "$work"/before.*
}

# Runs every operation once per tool on a small content: catches a wrong
# setup (say, a recipient the tool refuses) before any measuring.
smoke_test() {
    local content=$work/content.bin op tool
    head -c 1000 /dev/urandom >"$content"
    for op in "${operations[@]}"; do
        for tool in smime openssl ${against:+before}; do
            build_cmd "$tool" "$op" "$content"
            run_checked "$content"
        done
    done
    rm -f "$content" "$work"/smime.* "$work"/openssl.* "$work"/before.*
}

# Median wall time, in microseconds, of starting /bin/true: the floor below
# which no whole-process time can go on this machine.
process_floor_us() {
    local i
    CMD=(/bin/true)
    CHECK=""
    for ((i = 0; i < 11; i++)); do
        timed_run /dev/null
        echo "$RUN_US"
    done | median
}

# --- report -----------------------------------------------------------------

median() {
    sort -n | awk '{ v[NR] = $1 }
        END { if (NR == 0) exit 1
              if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Prints the samples of KIND (time: microseconds, peak: KiB) for OP, SIZE, VARIANT.
samples_of() {
    awk -v op="$1" -v size="$2" -v variant="$3" -v kind="$4" \
        '$1 == op && $2 == size && $3 == variant && $4 == kind { print $5 }' "$samples"
}

op_label() {
    case $1 in
        sign-opaque) echo "sign, opaque" ;;
        sign-detached) echo "sign, detached" ;;
        verify-opaque) echo "verify, opaque" ;;
        verify-detached) echo "verify, detached" ;;
        encrypt-1) echo "encrypt, 1 recipient" ;;
        encrypt-5) echo "encrypt, 5 recipients" ;;
        decrypt) echo "decrypt, 1 recipient" ;;
        encrypt-gcm) echo "encrypt, AES-256-GCM" ;;
        decrypt-gcm) echo "decrypt, AES-256-GCM" ;;
    esac
}

machine_header() {
    local cpu thp
    cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || true)
    thp=$(cat /sys/kernel/mm/transparent_hugepage/enabled 2>/dev/null || echo unknown)
    local run_list="" s
    for s in $sizes; do run_list+="${run_list:+, }$s: $(runs_for "$(size_bytes "$s")")"; done
    cat <<EOF
## smime vs openssl cms

- date: $(date -u '+%Y-%m-%d %H:%M UTC')
- machine: $(nproc) CPUs, ${cpu:-unknown CPU}, kernel $(uname -r)
- OpenSSL: $(openssl version)
- transparent huge pages: $thp
- smime: $("$smime" --version 2>/dev/null || echo unknown) ($smime)
- load average: $load_before at start, $load_after at end
- timed runs per cell: $run_list, alternating smime, openssl, openssl+hugetlb${against:+, before}
- times: median whole-process wall time, process start included
  (starting /bin/true takes $(fmt_ms "$floor_us") ms on this machine)
- user+sys: median CPU time of the same runs in user space and in the
  kernel, in ms, summed over the cores
- peaks: peak RSS of one more run per cell under /usr/bin/time, untimed,
  which also warms the caches; "input" is the file the operation reads (the
  content to sign or encrypt, the message to verify or decrypt)
- ratio > 1 means smime is faster

EOF
}

# awk function formatting microseconds as milliseconds, two decimals below 10 ms.
awk_ms='function ms(us) { return sprintf(us < 10000 ? "%.2f" : "%.1f", us / 1000) }'

fmt_ms() {
    awk -v us="$1" "$awk_ms"' BEGIN { print ms(us) }'
}

# awk functions the tables share: milliseconds, "wall (user+sys)", a multiple.
awk_cells=$awk_ms'
    function cpu(wall, user, sys) { return sprintf("%s (%.0f+%.0f)", ms(wall), user / 1000, sys / 1000) }
    function multiple(kib, of) { m = kib * 1024 / of; return sprintf(m < 100 ? "%.2f" : "%.0f", m) }'

# Prints one variant's figures of a cell on one line: the medians of wall,
# user and system time (microseconds), then the peak (KiB).
cell() {
    local kind
    for kind in time user sys; do samples_of "$1" "$2" "$3" "$kind" | median; done
    samples_of "$1" "$2" "$3" peak
}

table() {
    echo "| operation | size | smime ms (user+sys) | openssl ms (user+sys) | openssl/smime | openssl+hugetlb ms (user+sys) | hugetlb/smime | smime peak MiB | smime peak / input | smime peak / content | openssl peak MiB | openssl+hugetlb peak MiB |"
    echo "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|"
    local op size s su ss sk o ou os ok h hu hs hk
    for op in "${operations[@]}"; do
        for size in $sizes; do
            read -r s su ss sk < <(cell "$op" "$size" smime | paste -sd' ')
            read -r o ou os ok < <(cell "$op" "$size" openssl | paste -sd' ')
            read -r h hu hs hk < <(cell "$op" "$size" openssl-hugetlb | paste -sd' ')
            awk -v op="$(op_label "$op")" -v size="$size" -v bytes="$(size_bytes "$size")" \
                -v input="$(samples_of "$op" "$size" smime input)" \
                -v s="$s" -v su="$su" -v ss="$ss" -v sk="$sk" -v o="$o" -v ou="$ou" -v os="$os" -v ok="$ok" \
                -v h="$h" -v hu="$hu" -v hs="$hs" -v hk="$hk" "$awk_cells"'
                BEGIN {
                    printf "| %s | %s | %s | %s | %.2f | %s | %.2f | %.1f | %s | %s | %.1f | %.1f |\n",
                        op, size, cpu(s, su, ss), cpu(o, ou, os), o / s, cpu(h, hu, hs), h / s, sk / 1024,
                        multiple(sk, input), multiple(sk, bytes), ok / 1024, hk / 1024
                }'
        done
    done
}

# This smime against the other build (--against), cell by cell.
before_table() {
    echo
    echo "### Against the other build ($against)"
    echo
    echo "| operation | size | smime ms (user+sys) | before ms (user+sys) | before/smime | smime peak MiB | before peak MiB |"
    echo "|---|---|--:|--:|--:|--:|--:|"
    local op size s su ss sk b bu bs bk
    for op in "${operations[@]}"; do
        for size in $sizes; do
            read -r s su ss sk < <(cell "$op" "$size" smime | paste -sd' ')
            read -r b bu bs bk < <(cell "$op" "$size" before | paste -sd' ')
            awk -v op="$(op_label "$op")" -v size="$size" -v s="$s" -v su="$su" -v ss="$ss" -v sk="$sk" \
                -v b="$b" -v bu="$bu" -v bs="$bs" -v bk="$bk" "$awk_cells"'
                BEGIN {
                    printf "| %s | %s | %s | %s | %.2f | %.1f | %.1f |\n",
                        op, size, cpu(s, su, ss), cpu(b, bu, bs), b / s, sk / 1024, bk / 1024
                }'
        done
    done
}

load_average() {
    cut -d' ' -f1-3 /proc/loadavg
}

main() {
    parse_args "$@"
    work=$(mktemp -d "${TMPDIR:-/tmp}/smime-compare.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    samples=$work/samples.txt
    : >"$samples"

    load_before=$(load_average)
    progress "making keys in $work"
    make_keys
    smoke_test
    floor_us=$(process_floor_us)
    local size
    for size in $sizes; do
        progress "measuring $size"
        measure_size "$size"
    done
    load_after=$(load_average)

    local report=$work/report.md
    { machine_header; table; if [[ -n $against ]]; then before_table; fi; } >"$report"
    cat "$report"
    if [[ -n $out_file ]]; then
        cp "$report" "$out_file"
    fi
}

main "$@"

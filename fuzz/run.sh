#!/bin/sh
# Coverage-guided fuzzing of the request and answer parsers, the answer stream, host
# names and the HTML rules with clang's libFuzzer, under AddressSanitizer and
# UndefinedBehaviorSanitizer.
# Usage: run.sh BUILD_DIR SECONDS_PER_TARGET
#   Configures BUILD_DIR (clang, TARNWICK_FUZZ=ON, Debug: Qt's inline range assertions
#   stay live, and the fuzz configuration adds -O1) unless it is configured already,
#   builds the fuzz targets, and runs each for the given seconds over a temporary copy
#   of its seeds in fuzz/corpus, which is never written to. Prints per target the
#   executions, exec/s and the coverage gained. Inputs that fail are kept in a temporary
#   directory whose path is printed, and the exit status is then 1.
# FUZZ_TARGETS picks targets (default: all eight, one after the other); FUZZ_JOBS sets
# the build's parallel jobs (default: every core).
# Exits 77 (skipped) when clang or libFuzzer is not installed.
set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR SECONDS_PER_TARGET" >&2
    exit 2
fi
BUILD=$1
SECONDS_PER_TARGET=$2
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
TARGETS=${FUZZ_TARGETS:-requestrewrite requesttarget answerhead answerstream hostname htmlrules htmlsplit contentdecoder}

CXX=
for candidate in clang++-14 clang++; do
    if command -v "$candidate" >/dev/null 2>&1; then
        CXX=$(command -v "$candidate")
        break
    fi
done
if [ -z "$CXX" ]; then
    echo "SKIP: clang++ not installed (Debian: clang-14)"
    exit 77
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-fuzz.XXXXXX")
# The settings store syncs its file at every write: keep it in memory where possible.
SETTINGS=$(mktemp -d /dev/shm/tarnwick-fuzz-settings.XXXXXX 2>/dev/null || mktemp -d "$WORK/settings.XXXXXX")
FINDINGS=
cleanup() {
    rm -rf "$WORK" "$SETTINGS"
    if [ -n "$FINDINGS" ] && [ -z "$(ls -A "$FINDINGS" 2>/dev/null)" ]; then
        rm -rf "$FINDINGS"
    fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# libFuzzer comes with clang's runtime libraries; a one-line target tells whether it links.
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
    >"$WORK/probe.cpp"
if ! "$CXX" -fsanitize=fuzzer,address,undefined "$WORK/probe.cpp" -o "$WORK/probe" \
        >"$WORK/probe.log" 2>&1; then
    echo "SKIP: libFuzzer not available to $CXX (Debian: libclang-rt-14-dev)"
    tail -n 5 "$WORK/probe.log"
    exit 77
fi

if [ -f "$BUILD/CMakeCache.txt" ]; then
    if ! grep -q '^TARNWICK_FUZZ:BOOL=ON$' "$BUILD/CMakeCache.txt"; then
        echo "FAIL: $BUILD holds another configuration; give run.sh a directory of its own" >&2
        exit 2
    fi
    # Configured again, so that targets added since the last run are there too.
    if ! cmake -S "$ROOT" -B "$BUILD" >"$WORK/configure.log" 2>&1; then
        cat "$WORK/configure.log"
        echo "FAIL: configuring $BUILD"
        exit 1
    fi
else
    echo "Configuring $BUILD (clang, TARNWICK_FUZZ=ON)"
    if ! cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_FUZZ=ON \
            -DCMAKE_CXX_COMPILER="$CXX" >"$WORK/configure.log" 2>&1; then
        cat "$WORK/configure.log"
        echo "FAIL: configuring $BUILD"
        exit 1
    fi
fi

echo "Building the fuzz targets in $BUILD"
binaries=
for t in $TARGETS; do binaries="$binaries fuzz_$t"; done
# shellcheck disable=SC2086 # one argument per target
if ! cmake --build "$BUILD" --target $binaries -j "${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}" \
        >"$WORK/build.log" 2>&1; then
    tail -n 60 "$WORK/build.log"
    echo "FAIL: building the fuzz targets"
    exit 1
fi

FINDINGS=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-fuzz-findings.XXXXXX")
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1"
export TARNWICK_FUZZ_TMPDIR="$SETTINGS"

# A field of the last libFuzzer status line holding `tag`: "cov: 231" gives 231.
status_field() { # LOG TAG FIELD
    grep "$2" "$1" | tail -n 1 | sed -n "s/.* $3: \([0-9]*\).*/\1/p"
}
final_stat() { # LOG NAME
    sed -n "s/^stat::$2: *//p" "$1" | tail -n 1
}

failed=0
count=0
for t in $TARGETS; do
    count=$((count + 1))
    mkdir -p "$WORK/$t/corpus" "$WORK/$t/seeds"
    cp "$HERE/corpus/$t/"* "$WORK/$t/seeds/"
    seeds=$(ls "$WORK/$t/seeds" | wc -l)
    # -max_len: request and answer heads are short, and the HTML rules' transcription
    # is quadratic on some inputs.
    options="-max_total_time=$SECONDS_PER_TARGET -max_len=4096 -timeout=25 -print_final_stats=1"
    options="$options -error_exitcode=1 -timeout_exitcode=1 -artifact_prefix=$FINDINGS/$t-"
    case $t in
    requestrewrite)
        # Qt's QSettings keeps 32 bytes more after each file write (reachable, not a
        # leak), so libFuzzer's per-input leak check would scan the whole heap after
        # every input that writes a store: twenty times slower.
        options="$options -detect_leaks=0" ;;
    esac
    log="$WORK/$t.log"
    rc=0
    # shellcheck disable=SC2086 # options are words
    "$BUILD/fuzz/fuzz_$t" $options "$WORK/$t/corpus" "$WORK/$t/seeds" >"$log" 2>&1 || rc=$?

    runs=$(final_stat "$log" number_of_executed_units)
    rate=$(final_stat "$log" average_exec_per_sec)
    added=$(final_stat "$log" new_units_added)
    cov0=$(status_field "$log" INITED cov)
    ft0=$(status_field "$log" INITED ft)
    cov1=$(status_field "$log" ' cov: ' cov)
    ft1=$(status_field "$log" ' ft: ' ft)
    corpus=$(grep ' corp: ' "$log" | tail -n 1 | sed -n 's/.* corp: \([^ ]*\).*/\1/p')
    echo "fuzz_$t: ${runs:-?} runs, ${rate:-?} exec/s; cov ${cov0:-?} -> ${cov1:-?}," \
         "ft ${ft0:-?} -> ${ft1:-?}; ${added:-?} new units, corpus ${corpus:-?} (from $seeds seeds)"
    if [ "$rc" -ne 0 ]; then
        failed=$((failed + 1))
        echo "--- fuzz_$t FOUND A FAULT (exit $rc):"
        # The report from its first line on (sanitizer, broken invariant or Qt assertion).
        first=$(grep -n -m 1 -E 'ERROR:|runtime error|invariant broken|ASSERT' "$log" | cut -d: -f1)
        tail -n +"${first:-1}" "$log" | head -n 80
        for artifact in "$FINDINGS/$t-"*; do
            [ -e "$artifact" ] || continue
            echo "    input: $artifact"
            echo "    again: $BUILD/fuzz/fuzz_$t $artifact"
        done
        echo "---"
    fi
done

if [ "$failed" -ne 0 ]; then
    echo "fuzz: findings in $failed of $count targets, inputs kept in $FINDINGS"
    exit 1
fi
echo "fuzz: no finding in $count targets, ${SECONDS_PER_TARGET} s each"

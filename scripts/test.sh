#!/usr/bin/env bash
# Runs every test on a fresh or prepared machine: the core tests (GoogleTest
# through CTest), the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the module tests (pytest, python -X dev),
# and last the same module tests against the repaired wheel, installed.
#
# Usage: scripts/test.sh [--quick] [--verbose]
#   --quick    the core tests without sanitizers and the module tests only
#   --verbose  every build and test line on the terminal as well
#              (or ZUN_TEST_VERBOSE=1)
# The terminal gets one line per stage with its test counts and time; the
# whole output goes to build/test.log. A failing stage prints its compiler
# errors or its failing tests' output and ends the run.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
verbose=${ZUN_TEST_VERBOSE:-0}
for arg in "$@"; do
    case $arg in
        --quick) quick=1 ;;
        --verbose) verbose=1 ;;
        *) echo "usage: scripts/test.sh [--quick] [--verbose]" >&2; exit 2 ;;
    esac
done

cmake=.venv/bin/cmake
ctest=.venv/bin/ctest
jobs=2
mkdir -p build
log=$PWD/build/test.log
: >"$log"
echo "Full output: $log"

core_tests() {
    local build_dir=$1
    shift
    "$cmake" -S . -B "$build_dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
        -DZUN_BUILD_MODULE=OFF -DZUN_BUILD_TESTS=ON "$@" &&
        "$cmake" --build "$build_dir" -j "$jobs" &&
        "$ctest" --test-dir "$build_dir" --output-on-failure -j "$jobs"
}

sanitized_core_tests() {
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        core_tests build/core-tests-sanitized -DCMAKE_BUILD_TYPE=Debug -DZUN_SANITIZE=ON
}

module_tests() {
    .venv/bin/python -X dev -m pytest -q tests
}

# "N passed, S skipped, F failed" from CTest's summary, in pytest's manner:
# counts of zero left out, except the passed ones.
ctest_counts() {
    local output counts failed total skipped
    output=$(cat)
    counts=$(sed -nE 's/.*tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1 \2/p
                      s/.*tests passed out of ([0-9]+).*/0 \1/p' <<<"$output" | tail -n 1)
    [ -n "$counts" ] || return 0
    read -r failed total <<<"$counts"
    skipped=$(sed -n '/^The following tests did not run:/,/^$/p' <<<"$output" | grep -c '(Skipped)') || true
    printf '%d passed' $((total - failed - skipped))
    [ "$skipped" -eq 0 ] || printf ', %d skipped' "$skipped"
    [ "$failed" -eq 0 ] || printf ', %d failed' "$failed"
    echo
}

# pytest's closing line without its warnings and time, e.g. "812 passed, 3 skipped".
pytest_counts() {
    grep -E '^(=+ )?[0-9]+ (passed|failed|errors?|skipped|deselected|xfailed|xpassed)' |
        tail -n 1 | sed -E 's/^=+ //; s/ in [0-9.]+s.*//; s/, [0-9]+ warnings?//'
}

wheel_tag() {
    sed -n 's/^tag: /tag /p'
}

# The lines of a failed stage's output that say what went wrong: compiler
# and CMake errors, the failing core tests' output, pytest's failure report;
# else its last lines.
relevant_lines() {
    local output lines
    output=$(cat)
    lines=$(sed -n '/^ *FAILED: /,/^ *ninja: build stopped/p; /^ *CMake Error/,/^ *-- Configuring incomplete/p' <<<"$output")
    if [ -z "$lines" ]; then
        lines=$(awk '
            /^ *[0-9]+\/[0-9]+ Test +#[0-9]+: / { show = ($0 !~ /(Passed|Skipped|Disabled) +[0-9.]+ sec/) }
            /^ *Start +[0-9]+: / { show = 0 }
            /tests passed, [0-9]+ tests? failed out of/ { show = 0 }
            /^The following tests FAILED:/ { show = 1 }
            /^Errors while running CTest/ { show = 0 }
            show' <<<"$output")
    fi
    if [ -z "$lines" ]; then
        lines=$(awk '
            /^=+ (FAILURES|ERRORS) =+$/ { show = 1 }
            /^=+ warnings summary =+$/ { show = 0 }
            /^=+ short test summary info =+$/ { show = 1 }
            show' <<<"$output")
    fi
    if [ -z "$lines" ]; then
        lines=$(tail -n 40 <<<"$output")
    fi
    local count
    count=$(wc -l <<<"$lines")
    if [ "$count" -le 80 ]; then
        echo "$lines"
    else
        head -n 60 <<<"$lines"
        echo "[... $((count - 80)) more lines in the log ...]"
        tail -n 20 <<<"$lines"
    fi
}

# Test runs of all stages, a test that runs in two stages counted twice.
passed_total=0
failed_total=0
skipped_total=0

# Adds a stage's "N passed, S skipped, F failed" to the totals; pytest's
# errors count as failures.
add_counts() {
    local summary=$1 word count
    for word in passed failed errors error skipped; do
        count=$(grep -oE "[0-9]+ $word\b" <<<"$summary" | cut -d' ' -f1) || true
        count=${count:-0}
        case $word in
            passed) passed_total=$((passed_total + count)) ;;
            skipped) skipped_total=$((skipped_total + count)) ;;
            *) failed_total=$((failed_total + count)) ;;
        esac
    done
}

duration() {
    local seconds=$1
    if [ "$seconds" -ge 60 ]; then
        printf '%d min %02d s' $((seconds / 60)) $((seconds % 60))
    else
        printf '%d s' "$seconds"
    fi
}

# Runs one stage with its output in the log (and on the terminal when
# verbose) and prints its line; a failed stage prints what went wrong and
# ends the run.
run_stage() {
    local title=$1 summarize=$2
    shift 2
    if [ -s "$log" ] && [ -n "$(tail -c 1 "$log")" ]; then
        echo >>"$log"
    fi
    echo "== $title" >>"$log"
    local first_line start=$SECONDS status=0
    first_line=$(wc -l <"$log")
    if [ "$verbose" = 1 ]; then
        "$@" 2>&1 | tee -a "$log" || status=$?
    else
        "$@" >>"$log" 2>&1 || status=$?
    fi
    local output summary=""
    output=$(tail -n "+$((first_line + 1))" "$log")
    if [ -n "$summarize" ]; then
        summary=$("$summarize" <<<"$output") || true
        add_counts "$summary"
    fi
    printf '%-30s %-36s %12s\n' "$title" "$summary" "$(duration $((SECONDS - start)))"
    if [ "$status" -ne 0 ]; then
        echo "FAILED: $title (exit status $status); what went wrong:"
        relevant_lines <<<"$output"
        echo "FAILED: $title; the whole output is in $log"
        exit 1
    fi
}

run_stage "setup" "" scripts/setup.sh
run_stage "core tests" ctest_counts core_tests build/core-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ "$quick" = 0 ]; then
    run_stage "core tests, sanitizers" ctest_counts sanitized_core_tests
fi
run_stage "module tests" pytest_counts module_tests
if [ "$quick" = 0 ]; then
    run_stage "wheel" wheel_tag scripts/wheel.sh
    run_stage "module tests, installed wheel" pytest_counts scripts/test_wheel.sh
fi
echo "All passed in $(duration "$SECONDS")"
# The closing line in the plain form that CI reads.
echo "total: $passed_total passed, $failed_total failed, $skipped_total skipped"

#!/usr/bin/env bash
# Every test of Kestrin, from a fresh Debian machine: installs what is missing, makes what the
# README ships (the release builds, the .deb and the Windows zip, with the README's own
# commands), then builds and runs the suite three times: the Linux build, the same with
# AddressSanitizer and UndefinedBehaviorSanitizer (any report fails), and the 32-bit Windows
# build under Wine; the package test installs that .deb and the Wine suite runs that zip's
# Kestrin.exe. Each build is the configure, build and test preset of its name in
# CMakePresets.json, so that this command and an IDE build alike. Ends with one line
# "N passed, N failed".
#   scripts/test.sh [release] [linux] [asan] [windows]     (default: all four)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root" || exit 1

bash scripts/setup.sh || { echo "setup failed"; echo "0 passed, 1 failed"; exit 1; }

jobs=$(nproc 2>/dev/null || echo 2)
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(release linux asan windows)

total_pass=0
total_fail=0

# junit_counts FILE: "PASSED FAILED SKIPPED" of a CTest JUnit report, counted as CTest counts
# them: a test that could not run (a failed fixture, a missing program) failed; one that skipped
# itself (SKIP_RETURN_CODE, SKIP_REGULAR_EXPRESSION) did not; a disabled test is not counted.
junit_counts() {
  awk '
    /<testcase / { n++; status[n] = $0; sub(/.* status="/, "", status[n]); sub(/".*/, "", status[n]) }
    /<skipped message="SKIP_/ { own[n] = 1 }
    END {
      for (i = 1; i <= n; i++) {
        if (status[i] == "run") passed++
        else if (status[i] == "disabled") continue
        else if (status[i] == "notrun" && own[i]) skipped++
        else failed++
      }
      printf "%d %d %d\n", passed, failed, skipped
    }' "$1"
}

# run_stage NAME: configures, builds and tests with the presets NAME; adds the test counts, or
# one failure when a step fails without a failing test.
run_stage() {
  local name=$1 log=build/$1 junit=$root/build/$1.junit.xml status pass fail skip
  echo "=== $name: configure and build (preset $name)"
  if ! cmake --preset "$name" >"$log.configure.log" 2>&1; then
    cat "$log.configure.log"
    echo "$name: configure failed"
    total_fail=$((total_fail + 1))
    return
  fi
  if ! cmake --build --preset "$name" -j"$jobs" >"$log.build.log" 2>&1; then
    grep -E 'error|Error' "$log.build.log" | head -50
    echo "$name: build failed (log: $log.build.log)"
    total_fail=$((total_fail + 1))
    return
  fi
  echo "=== $name: tests"
  rm -f "$junit"
  ctest --preset "$name" -j"$jobs" --output-junit "$junit"
  status=$?
  if [ ! -s "$junit" ]; then
    echo "$name: ctest ended with status $status and wrote no report"
    total_fail=$((total_fail + 1))
    return
  fi
  read -r pass fail skip < <(junit_counts "$junit")
  if [ "$status" -ne 0 ] && [ "$fail" -eq 0 ]; then
    echo "$name: ctest ended with status $status without a failed test"
    fail=1
  fi
  echo "$name: $pass passed, $fail failed, $skip skipped"
  total_pass=$((total_pass + pass))
  total_fail=$((total_fail + fail))
}

# ship PRESET PACKAGE: the README's commands for one shipped build, as a user types them
# (cmake --preset, cmake --build --preset -j2, cpack --preset); one failure when a step fails.
ship() {
  local preset=$1 package=$2 log=build/$1.ship.log
  echo "=== release: $preset, then cpack --preset $package"
  rm -f "build/$preset"/*.deb "build/$preset"/*.zip
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j2 &&
    cpack --preset "$package"; } >"$log" 2>&1; then
    grep -E 'error|Error' "$log" | head -50
    echo "release: $preset or its $package failed (log: $log)"
    total_fail=$((total_fail + 1))
    return
  fi
  # Shown, not failed: a newer compiler's false alarm must not stop a release.
  local warnings
  warnings=$(grep -c 'warning:' "$log")
  [ "$warnings" -eq 0 ] || echo "release: $preset built with $warnings warnings (log: $log)"
}

mkdir -p build
for stage in "${stages[@]}"; do
  case "$stage" in
    release) ship release deb; ship release-windows zip ;;
    linux | asan | windows) run_stage "$stage" ;;
    *) echo "unknown stage $stage"; total_fail=$((total_fail + 1)) ;;
  esac
done

echo "${total_pass} passed, ${total_fail} failed"
[ "$total_fail" -eq 0 ]

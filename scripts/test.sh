#!/usr/bin/env bash
# Every test of Kestrin, from a fresh Debian machine: installs what is missing, then builds and
# runs the suite three times: the Linux build, the same with AddressSanitizer and
# UndefinedBehaviorSanitizer (any report fails), and the 32-bit Windows build under Wine.
# Ends with one line "N passed, N failed".
#   scripts/test.sh [linux] [asan] [windows]     (default: all three)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root" || exit 1

bash scripts/setup.sh || { echo "setup failed"; echo "0 passed, 1 failed"; exit 1; }

jobs=$(nproc 2>/dev/null || echo 2)
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(linux asan windows)

total_pass=0
total_fail=0

# run_stage NAME BUILD_DIR CMAKE_ARGS...
run_stage() {
  local name=$1 dir=$2
  shift 2
  echo "=== $name: configure and build ($dir)"
  if ! cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DKESTRIN_SERVER_FROM_ENV=ON "$@" \
      >"$dir.configure.log" 2>&1; then
    mkdir -p "$dir"
    cat "$dir.configure.log"
    echo "$name: configure failed"
    total_fail=$((total_fail + 1))
    return
  fi
  if ! cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1; then
    grep -E 'error|Error' "$dir.build.log" | head -50
    echo "$name: build failed (log: $dir.build.log)"
    total_fail=$((total_fail + 1))
    return
  fi
  echo "=== $name: tests"
  local log="$dir/ctest.log"
  (cd "$dir" && ctest --output-on-failure --timeout 600 -j"$jobs") 2>&1 | tee "$log"
  local summary pass fail count
  summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$summary" ]; then
    echo "$name: ctest gave no summary"
    total_fail=$((total_fail + 1))
    return
  fi
  fail=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
  count=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$summary")
  pass=$((count - fail))
  total_pass=$((total_pass + pass))
  total_fail=$((total_fail + fail))
}

mkdir -p build
for stage in "${stages[@]}"; do
  case "$stage" in
    # The plain builds are optimised, so that the warnings only optimisation finds fail too;
    # the sanitizer build is not.
    linux) run_stage linux build/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo ;;
    asan)
      export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
      export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
      run_stage asan build/asan -DKESTRIN_SANITIZE=ON
      unset ASAN_OPTIONS UBSAN_OPTIONS
      ;;
    windows)
      run_stage windows build/test-windows -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" ;;
    *) echo "unknown stage $stage"; total_fail=$((total_fail + 1)) ;;
  esac
done

echo "${total_pass} passed, ${total_fail} failed"
[ "$total_fail" -eq 0 ]

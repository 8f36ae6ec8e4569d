#!/usr/bin/env bash
# Benchmark (not a test) of the file-list synchronisation: Kestrin against curl on the same
# local FTP server, in the same run.
#
#   scripts/bench_sync.sh [--jobs N] [--build DIR] [--work DIR] [--keep]
#
# Three cases:
#   small     1000 files of 4 KiB, none present locally: all fetched
#   large     5 files of 50 MiB, none present locally: all fetched
#   unchanged a list of 100 000 entries whose files are all present and current: none fetched
# Kestrin is timed for a whole run of the real program (terminal front end, Update pressed
# once, then closed): start-up, login, the version check, the list and the files. curl fetches
# the same files in one process over one control connection, in active mode, binary, without
# CWD, as Kestrin does; for the unchanged case it fetches only the list, the least that any
# synchronisation must transfer. The ratio is Kestrin's time over curl's.
#
# Everything stays on 127.0.0.1. The program is built in build/bench-build (--build), the
# files are made under build/bench (--work), removed at the end unless --keep.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

jobs=2
keep=0
build=$root/build/bench-build
bench=$root/build/bench
while [ $# -gt 0 ]; do
    case $1 in
        --jobs) jobs=$2; shift 2 ;;
        --build) build=$2; shift 2 ;;
        --work) bench=$2; shift 2 ;;
        --keep) keep=1; shift ;;
        *) echo "usage: $0 [--jobs N] [--build DIR] [--work DIR] [--keep]" >&2; exit 2 ;;
    esac
done

# shellcheck source=scripts/sample_server.sh
source scripts/sample_server.sh
for tool in cmake curl "$kestrin_python"; do
    command -v "$tool" >/dev/null || { echo "bench_sync: $tool is needed" >&2; exit 1; }
done

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRIN_SERVER_FROM_ENV=ON \
    -DKESTRIN_BUILD_TESTS=OFF -DKESTRIN_WITH_FLTK=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target kestrin >/dev/null
kestrin=$build/app/kestrin

rm -rf "$bench"
mkdir -p "$bench/root/Update" "$bench/config/Vantorel/Tamwix/FILES" "$bench/tmp" "$bench/home"
printf '%s\n' "$bench/Tamwix" >"$bench/config/Vantorel/Tamwix/FILES/Directory"
# The installed release (the defaults, 1 and A) is the server's: the check shows nothing.
printf 'Tamwix\n1\nA\n' >"$bench/root/Update/Version.txt"
product=$bench/Tamwix/Pelmora

sample_server_pid=
cleanup() {
    if [ -n "$sample_server_pid" ]; then
        kill "$sample_server_pid" 2>/dev/null || true
        wait "$sample_server_pid" 2>/dev/null || true
    fi
    if [ "$keep" = 0 ]; then rm -rf "$bench"; fi
}
trap cleanup EXIT

start_sample_server "$build" "$bench" "$bench/root"
port=$sample_server_port
user=$sample_server_user
password=$sample_server_password

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

# Serves count files of size bytes named f000000... and lists them with the date given.
make_files() {
    local count=$1 size=$2 date=$3
    "$kestrin_python" - "$bench/root/Update" "$count" "$size" "$date" <<'EOF'
import os, sys
directory, count, size, date = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
block = os.urandom(min(size, 1 << 20)) if size else b""
with open(os.path.join(directory, "File_list.txt"), "w", newline="\r\n") as listing:
    for i in range(count):
        name = f"f{i:06d}"
        listing.write(f"{name}\n{date}\n")
        if size:
            with open(os.path.join(directory, name), "wb") as f:
                left = size
                while left:
                    f.write(block[:left])
                    left -= min(left, len(block))
EOF
}

# One run of Kestrin: Update pressed, then the dialog closed. Prints its seconds; the output
# goes to $bench/kestrin.out.
run_kestrin() {
    local start end
    start=$(now)
    printf '\ncancel\n' | env -u DISPLAY -u XDG_RUNTIME_DIR HOME="$bench/home" \
        XDG_CONFIG_HOME="$bench/config" TMPDIR="$bench/tmp" KESTRIN_FRONTEND=terminal \
        KESTRIN_UPDATE_HOST=127.0.0.1 KESTRIN_UPDATE_PORT="$port" "$kestrin" >"$bench/kestrin.out"
    end=$(now)
    elapsed "$start" "$end"
}

# curl fetching the named server files into $bench/curl over one connection. Prints seconds.
run_curl() {
    local config=$bench/curl.config start end name
    rm -rf "$bench/curl"
    mkdir -p "$bench/curl"
    : >"$config"
    for name in "$@"; do
        printf 'url = "ftp://127.0.0.1:%s/Update/%s"\noutput = "%s/curl/%s"\n' \
            "$port" "$name" "$bench" "$name" >>"$config"
    done
    start=$(now)
    curl --silent --show-error --user "$user:$password" --ftp-port - --ftp-method nocwd \
        --config "$config"
    end=$(now)
    elapsed "$start" "$end"
}

expect_lines() {
    local pattern=$1 count=$2 found
    found=$(grep -c -- "$pattern" "$bench/kestrin.out" || true)
    if [ "$found" != "$count" ]; then
        echo "bench_sync: expected $count lines '$pattern', found $found" >&2
        exit 1
    fi
}

results=()
report() {
    local name=$1 kestrin_s=$2 curl_s=$3
    results+=("$(awk -v n="$name" -v k="$kestrin_s" -v c="$curl_s" \
        'BEGIN { printf "%-10s %10.3f %10.3f %8.2f", n, k, c, (c > 0 ? k / c : 0) }')")
}

fetch_case() {
    local name=$1 count=$2 size=$3 names
    rm -rf "$bench/root/Update"/f* "$product"
    make_files "$count" "$size" 2001-01-01
    mkdir -p "$bench/Tamwix"
    k=$(run_kestrin)
    expect_lines '^status: Updated\.\.\.' "$count"
    expect_lines '^status: Failed\.\.\.' 0
    mapfile -t names < <(seq -f 'f%06g' 0 $((count - 1)))
    c=$(run_curl "${names[@]}")
    [ "$(find "$bench/curl" -type f | wc -l)" = "$count" ] ||
        { echo "bench_sync: curl fell short" >&2; exit 1; }
    report "$name" "$k" "$c"
}

fetch_case small 1000 4096
fetch_case large 5 $((50 * 1024 * 1024))

# Unchanged: every listed file is present, made now, after the listed date.
rm -rf "$bench/root/Update"/f* "$product"
make_files 100000 0 2001-01-01
mkdir -p "$product"
(cd "$product" && "$kestrin_python" -c '
for i in range(100000):
    open(f"f{i:06d}", "wb").close()
')
k=$(run_kestrin)
expect_lines '^status: Unchanged\.\.\.' 100000
c=$(run_curl File_list.txt)
report unchanged "$k" "$c"

printf '%-10s %10s %10s %8s\n' case kestrin_s curl_s ratio
printf '%s\n' "${results[@]}"

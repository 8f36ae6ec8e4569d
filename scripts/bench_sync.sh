#!/usr/bin/env bash
# Benchmark (not a test) of the file-list synchronisation: Kestrin against curl on the same
# local FTP servers, in the same run, and how soon Kestrin shows itself.
#
#   scripts/bench_sync.sh [--runs N] [--build DIR] [--work DIR] [--keep] [--no-vsftpd]
#                         [--cases small,large,unchanged,signed,signed-unchanged,startup,rtt,
#                                  rtt-wine] [--rtt-connections N,...] [--wine-build DIR]
#
# Cases (Kestrin's time is a whole run of the real program, terminal front end, Update pressed
# once, then closed: start-up, login, the version check, the list and the files):
#   small      1000 files of 4 KiB, none present locally: all fetched
#   large      5 files of 50 MiB, none present locally: all fetched
#   unchanged  lists of 100 000 and 1 000 000 entries whose files are all present and current
#   signed     the small and large cases as releases that kestrin-publish signs, fetched by the
#              program built with the tests' key (tests/support/test_update_key.pem), which
#              verifies the manifest and hashes every file as it arrives
#   signed-unchanged
#              a signed release of 100 000 files, all present and current: the signed program,
#              which holds each local copy to its recorded size and SHA-256 (hashed once, then
#              known by what the file system says of it), beside the program without a key,
#              which decides by the listed dates alone
#   rtt        100 files of 4 KiB, none present locally, over a link with a round trip of 0, 20,
#              40 and 80 ms (KESTRIN_BENCH_RTTS="40" for some of them; the test server acts them
#              out: --rtt-ms), Kestrin as built (its
#              default connections, two) and, for each N of --rtt-connections, with
#              KESTRIN_TRANSFER_CONNECTIONS=N (which the benchmark's build takes from the
#              environment), beside curl (driven as below, without the sync, which costs next to
#              nothing for 100 small files next to a round trip); once against the test server as
#              it is, once with --announce-size (its 125/150 replies name the size, as vsftpd's
#              and ProFTPD's do). Also the round trips a file each side costs over one
#              connection, from the server's log (see rtt_case), and the most connections each
#              Kestrin row had logged in at once. Not run unless named: it takes some ten
#              minutes at 3 runs, more with each --rtt-connections.
#   rtt-wine   the rtt case at 40 ms for the Windows program under Wine (scripts/bench_wine.py),
#              from the Windows test build that --wine-build names (cmake --preset windows:
#              build/test-windows), on a Wine prefix and Xvfb display of its own. Not run unless
#              named.
# Each file Kestrin lands is flushed to the disk before its rename, so the baseline of the two
# fetch cases is curl fetching the same files (one process, one control connection, active
# mode, binary, no CWD, as Kestrin does) followed by `sync` of those files, which flushes each;
# plain curl is shown beside it, and for the large case a local copy of the same bytes (cp, with
# and without the sync). The unchanged cases are set against curl fetching the list alone, the
# least any synchronisation must transfer, and report Kestrin's peak resident memory and what
# each entry adds to it. In the signed cases sha256sum hashes the files curl fetched, the least
# that verifying them takes, before the sync. The fetch cases run against the Python test server
# (scripts/ftp_server.py) and against vsftpd (Debian's package; the end-to-end suite's
# configuration, tests/support/vsftpd.py, which needs root to make the update account).
#
# The machine is shared and noisy: each case runs in N rounds (5 unless --runs), every side
# once a round, one after the other (hyperfine, one run each), so that a busy moment weighs on
# all sides alike; the table gives the medians and their ratios (Kestrin's over the other's).
# Each data connection of a round leaves a TIME-WAIT socket behind for a minute, and tens of
# thousands of them slow every new connection down: a round of the small case waits (at most
# 70 s) until fewer than 3000 are left.
#
# Everything stays on 127.0.0.1. The program is built in build/bench-build (--build), the trees
# are made under build/bench (--work), removed at the end unless --keep. The packages the
# benchmark needs beyond scripts/setup.sh's (hyperfine, GNU time, curl) are installed when
# missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

runs=5
keep=0
use_vsftpd=1
cases=,small,large,unchanged,signed,signed-unchanged,startup,
rtt_connections=
wine_build=
build=$root/build/bench-build
bench=$root/build/bench
while [ $# -gt 0 ]; do
    case $1 in
        --runs) runs=$2; shift 2 ;;
        --build) build=$2; shift 2 ;;
        --work) bench=$2; shift 2 ;;
        --keep) keep=1; shift ;;
        --no-vsftpd) use_vsftpd=0; shift ;;
        --cases) cases=",$2,"; shift 2 ;;
        --rtt-connections) rtt_connections=$2; shift 2 ;;
        --wine-build) wine_build=$(cd "$2" && pwd); shift 2 ;;
        *) echo "usage: $0 [--runs N] [--build DIR] [--work DIR] [--keep] [--no-vsftpd]" \
                "[--cases small,large,unchanged,signed,signed-unchanged,startup,rtt,rtt-wine]" \
                "[--rtt-connections N,...] [--wine-build DIR]" >&2
           exit 2 ;;
    esac
done

# The benchmark's own packages.
missing=()
for package in hyperfine time curl; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
    echo "bench_sync: installing ${missing[*]}"
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
scripts/setup.sh

# shellcheck source=scripts/sample_server.sh
source scripts/sample_server.sh
if [ "$use_vsftpd" = 1 ] && [ "$(id -u)" -ne 0 ]; then
    echo "bench_sync: vsftpd needs root to make the update account; its rows are left out" >&2
    use_vsftpd=0
fi

# The tested build's settings (optimised, with debugging information), the window included;
# configured with the tests for their signed program, but only the three programs are built.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIN_SERVER_FROM_ENV=ON \
    -DKESTRIN_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j2 --target kestrin kestrin_signed kestrin-publish >/dev/null
kestrin=$build/app/kestrin
signed=$build/tests/signed/kestrin
publish=$build/tools/publish/kestrin-publish

rm -rf "$bench"
mkdir -p "$bench/root/Update" "$bench/config/Vantorel/Tamwix/FILES" "$bench/tmp" "$bench/home" \
    "$bench/json"
chmod 755 "$bench" "$bench/root" "$bench/root/Update"
printf '%s\n' "$bench/Tamwix" >"$bench/config/Vantorel/Tamwix/FILES/Directory"
# The installed release (the defaults, 1 and A) is the server's: the check shows nothing.
printf 'Tamwix\n1\nA\n' >"$bench/root/Update/Version.txt"
product=$bench/Tamwix/Pelmora
served=$bench/root/Update

sample_server_pid=
vsftpd_pid=
rtt_server_pid=
xvfb_state=$bench/xvfb
cleanup() {
    for pid in $sample_server_pid $vsftpd_pid $rtt_server_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    tests/support/xvfb.sh stop "$xvfb_state" 2>/dev/null || true
    if [ "$keep" = 0 ]; then rm -rf "$bench"; fi
}
trap cleanup EXIT

start_sample_server "$build" "$bench" "$bench/root"
user=$sample_server_user
password=$sample_server_password
ports=("test-server:$sample_server_port")
if [ "$use_vsftpd" = 1 ]; then
    # The suite's vsftpd, serving the same tree, until this script stops it.
    "$kestrin_python" - "$bench" "$user" "$password" "$bench/root" <<'EOF' &
import os, signal, sys, time
sys.path.insert(0, os.path.join(os.getcwd(), 'tests', 'support'))
from vsftpd import VsftpdServer
work, user, password, root = sys.argv[1:]
server = VsftpdServer(os.path.join(work, 'vsftpd'), user, password, root)
os.makedirs(server.work, exist_ok=True)
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
try:
    server.start()
    with open(os.path.join(work, 'vsftpd.port.new'), 'w') as f:
        f.write(str(server.port))
    os.rename(os.path.join(work, 'vsftpd.port.new'), os.path.join(work, 'vsftpd.port'))
    while True:
        time.sleep(60)
finally:
    server.stop()
EOF
    vsftpd_pid=$!
    for _ in $(seq 300); do
        [ -s "$bench/vsftpd.port" ] && break
        kill -0 "$vsftpd_pid" 2>/dev/null || break
        sleep 0.1
    done
    [ -s "$bench/vsftpd.port" ] || { echo "bench_sync: vsftpd did not start" >&2; exit 1; }
    ports+=("vsftpd:$(cat "$bench/vsftpd.port")")
fi

# Makes count files of size bytes named <prefix>000000... in the directory given (the served
# one unless given) and, with a date, lists them there with it.
make_files() {
    local prefix=$1 count=$2 size=$3 date=$4 directory=${5:-$served}
    "$kestrin_python" - "$directory" "$prefix" "$count" "$size" "$date" <<'EOF'
import os, sys
directory, prefix, count, size, date = sys.argv[1], sys.argv[2], int(sys.argv[3]), \
    int(sys.argv[4]), sys.argv[5]
block = os.urandom(min(size, 1 << 20)) if size else b""
listing = open(os.path.join(directory, "File_list.txt"), "w", newline="\r\n") if date else None
for i in range(count):
    name = f"{prefix}{i:06d}"
    if listing:
        listing.write(f"{name}\n{date}\n")
    if size and not os.path.exists(os.path.join(directory, name)):
        with open(os.path.join(directory, name), "wb") as f:
            left = size
            while left:
                f.write(block[:left])
                left -= min(left, len(block))
EOF
}

# The command of one run of the program $2 (Kestrin unless given) against the server on port
# $1, with the further environment variables $3 (NAME=VALUE ...): Update pressed, then closed.
kestrin_command() {
    printf '%q ' sh -c "printf '\\ncancel\\n' | env -u DISPLAY -u XDG_RUNTIME_DIR \
HOME=$bench/home XDG_CONFIG_HOME=$bench/config XDG_CACHE_HOME=$bench/tmp KESTRIN_FRONTEND=terminal \
KESTRIN_UPDATE_HOST=127.0.0.1 KESTRIN_UPDATE_PORT=$1 ${3:-} ${2:-$kestrin}"
}

# The curl configuration fetching the named server files from port $1 into $bench/curl.
curl_config() {
    local port=$1 name
    shift
    for name in "$@"; do
        printf 'url = "ftp://127.0.0.1:%s/Update/%s"\noutput = "%s/curl/%s"\n' \
            "$port" "$name" "$bench" "$name"
    done
}
curl_command() {
    printf '%q ' curl --silent --show-error --user "$user:$password" --ftp-port - \
        --ftp-method nocwd --config "$1"
}

# One checked run of Kestrin (or of the program $4, with the environment variables $5), whose
# output must hold count lines of the status given.
check_kestrin() {
    local port=$1 status=$2 count=$3 program=${4:-} found
    eval "$(kestrin_command "$port" "$program" "${5:-}")" >"$bench/kestrin.out"
    found=$(grep -c "^status: $status\\.\\.\\." "$bench/kestrin.out" || true)
    if [ "$found" != "$count" ] || grep -q '^status: Failed' "$bench/kestrin.out"; then
        echo "bench_sync: expected $count lines 'status: $status...', found $found" >&2
        exit 1
    fi
}

time_waits() {
    awk '$4 == "06"' /proc/net/tcp /proc/net/tcp6 2>/dev/null | wc -l
}

# rounds NAME SETTLE PREPARE (LABEL COMMAND)...: the medians of N rounds of one run of each
# command, into $bench/json/NAME.medians ("label seconds" lines).
rounds() {
    local name=$1 settle=$2 prepare=$3 round args=() waited
    shift 3
    while [ $# -gt 0 ]; do
        args+=(--prepare "$prepare" -n "$1" "$2")
        shift 2
    done
    for round in $(seq "$runs"); do
        if [ "$settle" = 1 ]; then
            waited=0
            while [ "$(time_waits)" -ge 3000 ] && [ "$waited" -lt 70 ]; do
                sleep 1
                waited=$((waited + 1))
            done
        fi
        hyperfine --runs 1 --style none --export-json "$bench/json/$name.$round.json" \
            "${args[@]}" >/dev/null
    done
    "$kestrin_python" - "$bench/json" "$name" >"$bench/json/$name.medians" <<'EOF'
import glob, json, os, statistics, sys
times = {}
for path in glob.glob(os.path.join(sys.argv[1], sys.argv[2] + '.*.json')):
    for result in json.load(open(path))['results']:
        times.setdefault(result['command'], []).extend(result['times'])
for label, values in times.items():
    print(label, '%.3f' % statistics.median(values))
EOF
}

median_of() {
    awk -v l="$2" '$1 == l { print $2 }' "$bench/json/$1.medians"
}

# The table's rows, each also told as soon as it is known.
rows=()
row() {
    rows+=("$1")
    echo "bench_sync: $1" >&2
}
ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'
}

# A case that fetches count files of size bytes named <prefix>000000..., none present locally.
# With "signed", the files are a release that kestrin-publish signs (the served tree is made
# afresh), the program with the tests' key verifies it and every file it fetches, and curl's
# files are hashed by sha256sum before they are flushed.
fetch_case() {
    local name=$1 label=$2 prefix=$3 count=$4 size=$5 signed_case=${6:-} names server port id
    local program=$kestrin fetched k cs c extra
    if [ -n "$signed_case" ]; then
        program=$signed
        rm -rf "$bench/release" "$served"
        mkdir -p "$bench/release"
        make_files "$prefix" "$count" "$size" "" "$bench/release"
        # The tests' key is in the sources, readable by all; the publisher's tool wants it private.
        install -m 600 tests/support/test_update_key.pem "$bench/key.pem"
        "$publish" release --from "$bench/release" --to "$bench/root" --product Tamwix \
            --version 1A --key "$bench/key.pem" >/dev/null
        chmod 755 "$served"
    else
        make_files "$prefix" "$count" "$size" 2001-01-01
    fi
    mapfile -t names < <(seq -f "$prefix%06g" 0 $((count - 1)))
    for server in "${ports[@]}"; do
        id=${server%%:*}
        port=${server#*:}
        curl_config "$port" "${names[@]}" >"$bench/$name-$id.curl"
        rm -rf "$product"
        mkdir -p "$bench/Tamwix"
        check_kestrin "$port" Updated "$count" "$program"
        fetched=$(curl_command "$bench/$name-$id.curl")
        if [ -n "$signed_case" ]; then fetched+=" && sha256sum $bench/curl/* >/dev/null"; fi
        extra=()
        if [ "$name" = large ] && [ "$id" = test-server ]; then
            extra=(cp+sync "sh -c 'cp $served/$prefix* $bench/cp/ && sync $bench/cp/*'"
                   cp "sh -c 'cp $served/$prefix* $bench/cp/'")
        fi
        rounds "$name-$id" "$([ "$size" -le 4096 ] && echo 1 || echo 0)" \
            "rm -rf $product $bench/curl $bench/cp && mkdir -p $bench/Tamwix $bench/curl $bench/cp" \
            kestrin "$(kestrin_command "$port" "$program")" \
            baseline+sync "sh -c '$fetched && sync $bench/curl/*'" \
            baseline "sh -c '$fetched'" \
            "${extra[@]}"
        k=$(median_of "$name-$id" kestrin)
        cs=$(median_of "$name-$id" baseline+sync)
        c=$(median_of "$name-$id" baseline)
        row "| $label | $id | $k | $cs | $(ratio "$k" "$cs") | $c | $(ratio "$k" "$c") |"
        if [ ${#extra[@]} -gt 0 ]; then
            cs=$(median_of "$name-$id" cp+sync)
            c=$(median_of "$name-$id" cp)
            row "| $label | local copy (cp) | $k | $cs | $(ratio "$k" "$cs") | $c | $(ratio "$k" "$c") |"
        fi
    done
    rm -f "$served/$prefix"*
}

# Peak resident memory of a Kestrin run in KiB (the median of three).
peak_kib() {
    local i
    for i in 1 2 3; do
        eval "/usr/bin/time -f %M -o $bench/time.out $(kestrin_command "$1")" >/dev/null
        cat "$bench/time.out"
    done | sort -n | sed -n 2p
}

unchanged_case() {
    local count=$1 label=$2 port=$sample_server_port k c
    make_files u "$count" 0 2001-01-01
    rm -rf "$product"
    mkdir -p "$product"
    (cd "$product" && "$kestrin_python" -c "
for i in range($count):
    open(f'u{i:06d}', 'wb').close()
")
    check_kestrin "$port" Unchanged "$count"
    curl_config "$port" File_list.txt >"$bench/list.curl"
    rounds "unchanged-$count" 0 "rm -rf $bench/curl && mkdir -p $bench/curl" \
        kestrin "$(kestrin_command "$port")" \
        curl-list "$(curl_command "$bench/list.curl")"
    k=$(median_of "unchanged-$count" kestrin)
    c=$(median_of "unchanged-$count" curl-list)
    row "| $label | test-server | $k | | | $c (list only) | $(ratio "$k" "$c") |"
    peak[$count]=$(peak_kib "$port")
    rm -rf "$product"
}

# A signed release of count empty files whose local copies are all present: the signed program
# against the program without a key, on the same tree. The first run of the signed program
# hashes every copy; the rounds time the runs after it.
signed_unchanged_case() {
    local count=$1 label=$2 port=$sample_server_port k u
    rm -rf "$bench/release" "$served" "$product"
    mkdir -p "$bench/release"
    (cd "$bench/release" && "$kestrin_python" -c "
for i in range($count):
    open(f'su{i:06d}', 'wb').close()
")
    install -m 600 tests/support/test_update_key.pem "$bench/key.pem"
    "$publish" release --from "$bench/release" --to "$bench/root" --product Tamwix \
        --version 1A --key "$bench/key.pem" >/dev/null
    chmod 755 "$served"
    mkdir -p "$bench/Tamwix"
    cp -r "$bench/release" "$product"
    # A copy changed less than two seconds before it is hashed is hashed again by the next run:
    # the first run comes after that, so that the rounds see the steady state.
    sleep 2
    check_kestrin "$port" Unchanged "$count" "$signed"
    check_kestrin "$port" Unchanged "$count"
    rounds "signed-unchanged-$count" 0 true \
        signed "$(kestrin_command "$port" "$signed")" \
        unsigned "$(kestrin_command "$port")"
    k=$(median_of "signed-unchanged-$count" signed)
    u=$(median_of "signed-unchanged-$count" unsigned)
    row "| $label, signed | test-server | $k | | | $u (no key) | $(ratio "$k" "$u") |"
    rm -rf "$product" "$bench/release"
}

chosen() {
    [[ $cases == *,$1,* ]]
}

declare -A peak
if chosen small; then fetch_case small "1000 × 4 KiB" s 1000 4096; fi
if chosen large; then fetch_case large "5 × 50 MiB" l 5 $((50 * 1024 * 1024)); fi
if chosen unchanged; then
    unchanged_case 100000 "100 000 unchanged"
    unchanged_case 1000000 "1 000 000 unchanged"
fi
if chosen signed; then
    fetch_case small-signed "1000 × 4 KiB, signed" ss 1000 4096 signed
    fetch_case large-signed "5 × 50 MiB, signed" ls 5 $((50 * 1024 * 1024)) signed
fi
if chosen signed-unchanged; then signed_unchanged_case 100000 "100 000 unchanged"; fi

# The rtt case. Round trips a file are counted in the server's log of one run of each side:
# every command whose reply the client waits for is one; a PORT or EPRT is two, since the test
# server connects back before it answers (the data connection's handshake); the RETR's 125/150
# reply and its 226 come in the same round trip as the data, so they add none. The count starts
# after the last file that is not one of the case's (Kestrin's file list) and leaves QUIT out;
# what comes before is the run's fixed part (with two for the greeting: the handshake, then the
# greeting).
rtt_rows=()
rtt_trips() {
    "$kestrin_python" - "$1" "$2" "$3" <<'EOF'
import sys
log, start, files = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
commands = []
with open(log, encoding='utf-8') as f:
    for line in f.readlines()[start:]:
        parts = line.rstrip('\n').split(' ', 2)
        if len(parts) == 3 and parts[1] == 'cmd':
            commands.append(parts[2])
def verb(command):
    return command.split(' ')[0]
def trips(cmds):
    return sum(2 if verb(c) in ('PORT', 'EPRT') else 1 for c in cmds if verb(c) != 'QUIT')
others = [i for i, c in enumerate(commands)
          if verb(c) == 'RETR' and not c.split('/')[-1].startswith('r0')]
first = others[-1] + 1 if others else commands.index('PWD') + 1
asked = sorted({verb(c) for c in commands[first:] if verb(c) != 'QUIT'})
print('%.2f %d %s' % (trips(commands[first:]) / files, trips(commands[:first]) + 2,
                      '+'.join(asked)))
EOF
}
# The most sessions logged in at once in the server log $1 from its line $2 on.
rtt_at_once() {
    tail -n +"$(($2 + 1))" "$1" | awk '$2 == "sessions" && $3 > most { most = $3 } END { print most + 0 }'
}
rtt_case() {
    local count=100 names rtt variant options port lines k c kt ct n sides
    local one=KESTRIN_TRANSFER_CONNECTIONS=1
    declare -A most
    make_files r "$count" 4096 2001-01-01
    mapfile -t names < <(seq -f "r%06g" 0 $((count - 1)))
    for variant in plain announce-size; do
        options=()
        if [ "$variant" = announce-size ]; then options=(--announce-size); fi
        for rtt in ${KESTRIN_BENCH_RTTS:-0 20 40 80}; do
            rm -f "$bench/rtt.port"
            "$kestrin_python" scripts/ftp_server.py --host 127.0.0.1 --port 0 --root "$bench/root" \
                --user "$user" --password "$password" --port-file "$bench/rtt.port" \
                --log "$bench/rtt.log" --rtt-ms "$rtt" "${options[@]}" &
            rtt_server_pid=$!
            for _ in $(seq 100); do
                [ -s "$bench/rtt.port" ] && break
                sleep 0.1
            done
            port=$(cat "$bench/rtt.port")
            curl_config "$port" "${names[@]}" >"$bench/rtt.curl"
            rm -rf "$product" "$bench/curl"
            mkdir -p "$bench/Tamwix" "$bench/curl"
            # The round trips a file over one connection.
            lines=$(wc -l <"$bench/rtt.log")
            check_kestrin "$port" Updated "$count" "" "$one"
            kt=$(rtt_trips "$bench/rtt.log" "$lines" "$count")
            # The most connections logged in at once: the build's own, then each one named.
            sides=()
            for n in "" ${rtt_connections//,/ }; do
                rm -rf "$product"
                mkdir -p "$bench/Tamwix"
                lines=$(wc -l <"$bench/rtt.log")
                check_kestrin "$port" Updated "$count" "" "${n:+KESTRIN_TRANSFER_CONNECTIONS=$n}"
                most[${n:-default}]=$(rtt_at_once "$bench/rtt.log" "$lines")
                sides+=("kestrin${n:+-$n}"
                        "$(kestrin_command "$port" "" "${n:+KESTRIN_TRANSFER_CONNECTIONS=$n}")")
            done
            if [ "${most[default]}" -lt 2 ]; then
                echo "bench_sync: the build's own run had ${most[default]} connection(s) logged in at once" >&2
                exit 1
            fi
            lines=$(wc -l <"$bench/rtt.log")
            eval "$(curl_command "$bench/rtt.curl")"
            ct=$(rtt_trips "$bench/rtt.log" "$lines" "$count")
            rounds "rtt-$variant-$rtt" 1 \
                "rm -rf $product $bench/curl && mkdir -p $bench/Tamwix $bench/curl" \
                "${sides[@]}" curl "$(curl_command "$bench/rtt.curl")"
            kill "$rtt_server_pid" 2>/dev/null || true
            wait "$rtt_server_pid" 2>/dev/null || true
            rtt_server_pid=
            c=$(median_of "rtt-$variant-$rtt" curl)
            for n in "" ${rtt_connections//,/ }; do
                k=$(median_of "rtt-$variant-$rtt" "kestrin${n:+-$n}")
                row "| 100 × 4 KiB, rtt $rtt ms, ${n:-default} connections (${most[${n:-default}]} at once) | test-server${options[*]:+ ${options[*]}} | $k | | | $c | $(ratio "$k" "$c") |"
            done
            read -r -a kt <<<"$kt"
            read -r -a ct <<<"$ct"
            rtt_rows+=("| $rtt | $variant | ${kt[0]} | ${kt[1]} | ${kt[2]} | ${ct[0]} | ${ct[1]} | ${ct[2]} |")
        done
    done
    rm -f "$served"/r0*
}
# The rtt case at 40 ms for the Windows program under Wine, on a prefix of its own on the
# benchmark's Xvfb display; its rows are scripts/bench_wine.py's.
rtt_wine_case() {
    local cache=$wine_build/CMakeCache.txt wine_rows
    if [ -z "$wine_build" ] || [ ! -f "$wine_build/app/Kestrin.exe" ]; then
        echo "bench_sync: rtt-wine needs --wine-build with app/Kestrin.exe (cmake --preset windows)" >&2
        exit 1
    fi
    mkdir -p "$xvfb_state"
    tests/support/xvfb.sh start "$xvfb_state" >/dev/null
    tests/wine/wine_env.sh setup "$bench/wine" "$xvfb_state" "$root" "$kestrin_python" \
        "$(sed -n 's/^KESTRIN_UPDATE_USER:STRING=//p' "$cache")" \
        "$(sed -n 's/^KESTRIN_UPDATE_PASSWORD:STRING=//p' "$cache")"
    wine_rows=$("$kestrin_python" scripts/bench_wine.py --exe "$wine_build/app/Kestrin.exe" \
        --probe "$wine_build/tests/wine/kestrin_probe.exe" --state "$bench/wine" \
        --artifacts "$bench/wine/artifacts" --rtt-ms 40 --runs "$runs") || {
        tests/wine/wine_env.sh teardown "$bench/wine"
        exit 1
    }
    tests/wine/wine_env.sh teardown "$bench/wine"
    mapfile -t -O "${#rows[@]}" rows <<<"$wine_rows"
    printf 'bench_sync: %s\n' "${rows[@]: -2}" >&2
}
if chosen rtt; then rtt_case; fi
if chosen rtt-wine; then rtt_wine_case; fi

# How soon it shows itself: the terminal front end on a pipe, the window on an Xvfb display.
startup=
if chosen startup; then
    mkdir -p "$xvfb_state"
    tests/support/xvfb.sh start "$xvfb_state" >/dev/null
    startup=$("$kestrin_python" scripts/bench_startup.py --kestrin "$kestrin" \
        --home "$bench/startup" --display "$(tests/support/xvfb.sh display "$xvfb_state")" \
        --runs "$runs")
fi

printf '| case | server | kestrin s | curl+sync s | ratio | curl s | ratio |\n'
printf '|---|---|---|---|---|---|---|\n'
printf '%s\n' "${rows[@]}"
if chosen signed-unchanged; then
    printf '\nIn the signed unchanged row, the last column is the same run of the program without a key.\n'
fi
if chosen rtt; then
    printf '\nRound trips over one connection (the rows with more make the same exchanges, spread over them, and log in on each):\n'
    printf '\n| rtt ms | server | kestrin trips a file | fixed | asked a file | curl trips a file | fixed | asked a file |\n'
    printf '|---|---|---|---|---|---|---|---|\n'
    printf '%s\n' "${rtt_rows[@]}"
fi
if chosen signed; then
    printf '\nIn the signed rows, sha256sum hashes the files curl fetched before they are flushed.\n'
fi
if chosen unchanged; then
    awk -v a="${peak[100000]}" -v b="${peak[1000000]}" 'BEGIN {
        printf "\npeak resident memory: %.1f MiB at 100 000 entries, %.1f MiB at 1 000 000: %.1f bytes per entry\n",
            a / 1024, b / 1024, (b - a) * 1024 / 900000 }'
fi
if [ -n "$startup" ]; then
    printf '%s\n' "$startup" | awk '{ printf "start-up to %s: %s ms (median of %d)\n",
        ($1 == "terminal" ? "the terminal front end'"'"'s first line" : "the FLTK dialog on screen"), $2, NF - 2 }'
fi

#!/bin/sh
# Builds the signed program as it was at COMMIT (before it knew of Dropped.txt) into DIR, from the
# sources of that commit as git archive gives them, with the account and keys of this build: the
# end-to-end suite runs it against the publications of today's kestrin-publish, which it must
# still accept. Made once: a later run finds DIR/build/tests/signed/kestrin and builds nothing.
# Without git, or without that commit in the clone (a shallow one), it says why and builds
# nothing; the suite then skips that case.
# usage: old_client.sh SOURCE DIR COMMIT USER PASSWORD
set -u
source=$1 dir=$2 commit=$3 user=$4 password=$5
program=$dir/build/tests/signed/kestrin
[ -x "$program" ] && exit 0
if ! command -v git >/dev/null || ! git -C "$source" cat-file -e "$commit^{commit}" 2>/dev/null; then
    echo "old_client: no commit $commit in $source: the program of before is not built"
    exit 0
fi
rm -rf "$dir/src" && mkdir -p "$dir/src" || exit 1
git -C "$source" archive "$commit" | tar -x -C "$dir/src" || exit 1
cmake -S "$dir/src" -B "$dir/build" -DCMAKE_BUILD_TYPE=Release -DKESTRIN_WITH_FLTK=OFF \
    -DKESTRIN_SERVER_FROM_ENV=ON -DKESTRIN_UPDATE_USER="$user" \
    -DKESTRIN_UPDATE_PASSWORD="$password" >"$dir/configure.log" 2>&1 || {
    cat "$dir/configure.log"
    exit 1
}
cmake --build "$dir/build" --target kestrin_signed -j2 >"$dir/build.log" 2>&1 || {
    tail -50 "$dir/build.log"
    exit 1
}
echo "old_client: built $program"

#!/usr/bin/env bash
# run.sh BUILD-DIR [--quick] - the tests of two hosts over one registry on a
# GlusterFS volume: brings the bed up (scripts/hosts up), runs them with the
# binaries of BUILD-DIR, and brings the bed down again, whatever happened.
#   writers  api_stress Hosts.*: 2 hosts x 3 writer processes x 20 rounds (--quick: 8)
#   stale    hosts_stale: host B's first calls after each change on host A
#            (100 trials of each kind; --quick: 25)
#   corpus   api_corpus with its registries on the volume, against the same goldens
#            (--quick: the users, groups, listings and handle sequences)
#   crash    scripts/crash, writer on host A, reader and recovery on host B
#            (10 kills; --quick: 4)
#   relink   an enable after one that was cut short: GlusterFS then refuses a
#            hard link of the disabled file under the name it was to take
# --quick is what scripts/test runs: every call on the volume costs ten to a
# hundred times what it costs on a local disk.
# Prints "hosts: SKIPPED (reason)" and exits 0 when this machine cannot hold
# the bed (not root, no /dev/fuse, no glusterfs-server); else exits 1 if any failed.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
usage() {
    echo "usage: tests/hosts/run.sh BUILD-DIR [--quick]" >&2
    exit 2
}
[[ $# -eq 1 || ($# -eq 2 && $2 == --quick) ]] && [[ -d $1 ]] || usage
build=$(cd "$1" && pwd)
quick=0
[[ ${2:-} == --quick ]] && quick=1
for f in tests/api_stress tests/api_corpus tests/hosts/hosts_stale tests/crash/crash_writer tolvadm; do
    [[ -x $build/$f ]] || { echo "hosts: $build/$f is not built" >&2; exit 2; }
done

logs=$(mktemp -d "${TMPDIR:-/tmp}/tolvhosts.XXXXXX")
t0=$SECONDS
"$root/scripts/hosts" up >"$logs/up.out" 2>"$logs/up.err"
status=$?
if [[ $status -eq 77 ]]; then
    echo "hosts: SKIPPED ($(grep -h 'cannot run' "$logs/up.err" | sed 's/^scripts\/hosts: //' | tail -n 1))"
    rm -rf "$logs"
    exit 0
fi
down() {
    local t=$SECONDS
    "$root/scripts/hosts" down >/dev/null 2>&1 || echo "hosts: scripts/hosts down failed"
    echo "hosts: bed down in $((SECONDS - t)) s"
    rm -rf "$logs"
}
trap down EXIT
if [[ $status -ne 0 ]]; then
    cat "$logs/up.err"
    echo "hosts: FAILED: the bed did not come up"
    exit 1
fi
a=$(awk '$1 == "host-a" { print $2 }' "$logs/up.out")
b=$(awk '$1 == "host-b" { print $2 }' "$logs/up.out")
echo "hosts: bed up in $((SECONDS - t0)) s: host A $a, host B $b"
export TOLV_HOSTS="$a $b"

failed=()
step() {
    local name=$1 t=$SECONDS
    shift
    local run=(timeout 900)
    declare -F "$1" >/dev/null && run=()  # a function of this script: quick, and timeout cannot run it
    if "${run[@]}" "$@" >"$logs/$name.log" 2>&1; then
        echo "hosts: $name passed ($((SECONDS - t)) s)"
    else
        echo "hosts: $name FAILED ($((SECONDS - t)) s); the end of its output:"
        tail -n 40 "$logs/$name.log" | sed 's/^/  /'
        failed+=("$name")
    fi
    grep -E 'trials|^scripts/crash: rounds' "$logs/$name.log" | sed 's/^/  /'
}

crash_rounds=10
corpus=()
if [[ $quick -eq 1 ]]; then
    export TOLV_HOSTS_TRIALS=25 TOLV_HOSTS_ROUNDS=8
    crash_rounds=4
    corpus=(--gtest_filter='*/users:*/groups:*/listings:*/handle')
fi
step writers "$build/tests/api_stress" --gtest_filter='Hosts.*'
step stale "$build/tests/hosts/hosts_stale"
# The corpus's temporary registries go where TMPDIR says.
mkdir -p "$a/corpus"
step corpus env TMPDIR="$a/corpus" "$build/tests/api_corpus" "${corpus[@]}"
# What an enable killed before its commit leaves on the volume: the disabled
# file linked into the journal's directory under its enabled name, and that
# link replaced there by the rewritten record and removed by recovery.
relink() {
    local conf=$logs/relink.conf reg
    reg=$(mktemp -d "$a/relink.XXXXXX")/reg
    local adm=("$build/tolvadm" --config "$conf")
    "${adm[@]}" init "$reg" && echo pw | "${adm[@]}" user create corp ann --password-stdin &&
        "${adm[@]}" user disable corp ann &&
        ln "$reg/ann@corp.user" "$reg/tolv.journal.idle/corp_ann.QZuser" &&
        echo x >"$reg/tolv.journal.idle/new" &&
        mv "$reg/tolv.journal.idle/new" "$reg/tolv.journal.idle/corp_ann.QZuser" &&
        rm "$reg/tolv.journal.idle/corp_ann.QZuser" &&
        "${adm[@]}" user enable corp ann --registry-id ann@corp
}
step relink relink
step crash "$root/scripts/crash" "$crash_rounds" --seed 1 --build-dir "$build" --host-a "$a" --host-b "$b"

if [[ ${#failed[@]} -gt 0 ]]; then
    echo "hosts: FAILED: ${failed[*]}"
    exit 1
fi
echo "hosts: all 5 passed"

#!/usr/bin/env bash
# run.sh BUILD-DIR [--crash-rounds N] - the tests of two hosts over one registry
# on a GlusterFS volume: brings the bed up (scripts/hosts up), runs them with
# the binaries of BUILD-DIR, and brings the bed down again, whatever happened.
#   writers  api_stress Hosts.*: writer processes on both hosts
#   stale    hosts_stale: host B's first calls after a change on host A
#   corpus   api_corpus with its registries on the volume, against the same goldens
#   crash    scripts/crash with the writer on host A, reader and recovery on host B
# Prints "hosts: SKIPPED (reason)" and exits 0 when this machine cannot hold
# the bed (not root, no /dev/fuse, no glusterfs-server); else exits 1 if any failed.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
usage() {
    echo "usage: tests/hosts/run.sh BUILD-DIR [--crash-rounds N]  (default 10 rounds)" >&2
    exit 2
}
crash_rounds=10
[[ $# -eq 1 || ($# -eq 3 && $2 == --crash-rounds && $3 =~ ^[0-9]+$) ]] || usage
[[ $# -eq 3 ]] && crash_rounds=$3
[[ -d $1 ]] || usage
build=$(cd "$1" && pwd)
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
    if timeout 900 "$@" >"$logs/$name.log" 2>&1; then
        echo "hosts: $name passed ($((SECONDS - t)) s)"
    else
        echo "hosts: $name FAILED ($((SECONDS - t)) s); the end of its output:"
        tail -n 40 "$logs/$name.log" | sed 's/^/  /'
        failed+=("$name")
    fi
    grep -E 'trials|^scripts/crash: rounds' "$logs/$name.log" | sed 's/^/  /'
}

step writers "$build/tests/api_stress" --gtest_filter='Hosts.*'
step stale "$build/tests/hosts/hosts_stale"
# The corpus's temporary registries go where TMPDIR says.
mkdir -p "$a/corpus"
step corpus env TMPDIR="$a/corpus" "$build/tests/api_corpus"
step crash "$root/scripts/crash" "$crash_rounds" --seed 1 --build-dir "$build" --host-a "$a" --host-b "$b"

if [[ ${#failed[@]} -gt 0 ]]; then
    echo "hosts: FAILED: ${failed[*]}"
    exit 1
fi
echo "hosts: all 4 passed"

#!/usr/bin/env bash
# run_blocks.sh TOOL_DIR SOURCE_DIR [FILE.md...] - runs the ```sh blocks of
# README.md and doc/*.md as written, each file's in order in a scratch
# directory of its own (so its first `tolvadm init` makes a fresh registry),
# with TOOL_DIR (where tolvadm is) first on PATH. A block that cannot run here
# carries `<!-- no-test: REASON -->` on the line before its fence and is
# skipped with that reason; ```text and other languages are shown, not run; a
# fence without a language fails, as does a relative link to a missing file.
set -euo pipefail
tools=$(cd "$1" && pwd) src=$(cd "$2" && pwd)
shift 2
cd "$src"
files=("$@")
[[ ${#files[@]} -gt 0 ]] || files=(README.md doc/*.md)
unset TOLV_CONFIG TOLV_PLUGIN
work=$(mktemp -d "${TMPDIR:-/tmp}/tolv-docs.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
    echo "$*" >&2
    failed=1
}

for md in "${files[@]}"; do
    # Relative links must lead to a file of the tree.
    while IFS=: read -r line target; do
        target=${target%%#*}
        [[ -z $target || -e $(dirname "$md")/$target ]] || fail "$md:$line: link to a missing file: $target"
    done < <(grep -noE '\]\([^)#:]*(#[^)]*)?\)' "$md" | sed -E 's/^([0-9]+):\]\(([^)]*)\)$/\1:\2/')

    # Split into blocks: blocks/N holds the code, the manifest "N line kind reason".
    blocks=$work/blocks/${md//\//_}
    mkdir -p "$blocks"
    awk -v dir="$blocks" '
        function flush() { if (out) close(out); out = "" }
        !fence && match($0, /^ *```/) {
            indent = RLENGTH - 3; info = substr($0, RLENGTH + 1); sub(/[ \t].*/, "", info)
            fence = 1; n++; out = dir "/" n
            kind = info == "" ? "bare" : info == "sh" ? (skip != "" ? "skip" : "run") : "show"
            printf "%d\t%d\t%s\t%s\n", n, NR, kind, skip > (dir "/manifest")
            printf "" > out; skip = ""; next
        }
        fence && /^ *```[ \t]*$/ { fence = 0; flush(); next }
        fence { print substr($0, indent + 1) > out; next }
        /^<!-- no-test:/ { skip = $0; sub(/^<!-- no-test: */, "", skip); sub(/ *-->.*/, "", skip); if (skip == "") skip = "-"; next }
        /[^ \t]/ { skip = "" }
    ' "$md"
    [[ -f $blocks/manifest ]] || continue

    scratch=$work/run/${md//\//_}
    mkdir -p "$scratch"
    while IFS=$'\t' read -r n line kind reason; do
        case $kind in
            bare) fail "$md:$line: a fence without a language (\`\`\`sh to run it, \`\`\`text to show it)" ;;
            show) ;;
            skip)
                if [[ $reason == - ]]; then fail "$md:$line: no-test without a reason"; else echo "$md:$line: skipped ($reason)"; fi ;;
            run)
                if (cd "$scratch" && HOME=$scratch TMPDIR=$scratch PATH="$tools:$PATH" \
                    timeout 60 bash -e -o pipefail "$blocks/$n") >"$work/out" 2>&1 </dev/null; then
                    echo "$md:$line: ok"
                else
                    fail "$md:$line: the block failed (exit $?):"
                    sed 's/^/    /' "$work/out" >&2
                fi ;;
        esac
    done <"$blocks/manifest"
done
exit $failed

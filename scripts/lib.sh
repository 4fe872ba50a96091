# lib.sh - shared by the scripts in scripts/ (sourced, not run).
# shellcheck shell=bash

TOLV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Debian packages needed to build and test.
TOLV_PACKAGES=(cmake ninja-build g++ clang uuid-dev libgtest-dev libgmock-dev libbenchmark-dev
               libcli11-dev nlohmann-json3-dev pkg-config libclang-rt-14-dev libmimalloc-dev
               libicu-dev  # tolvadm's LDIF export compares names as LDAP matching rules do
               slapd ldap-utils  # OpenLDAP: the LDIF export test loads into a throw-away slapd
               libpam0g-dev pamtester libpam-wrapper)  # pam_tolv.so and the programs that test it

tolv_installed() {
    dpkg -s "$1" 2>/dev/null | grep -q '^Status: install ok installed'
}

# Installs the missing packages when running as root; otherwise only warns.
tolv_ensure_packages() {
    if ! command -v dpkg >/dev/null 2>&1; then
        echo "note: no dpkg here; make sure these are installed: ${TOLV_PACKAGES[*]}" >&2
        return 0
    fi
    local missing=() p
    for p in "${TOLV_PACKAGES[@]}"; do
        tolv_installed "$p" || missing+=("$p")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    if [[ $(id -u) -ne 0 ]]; then
        echo "warning: missing packages (run as root to install them): ${missing[*]}" >&2
        return 0
    fi
    echo "Installing: ${missing[*]}" >&2
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
}

tolv_jobs() {
    local n
    n=$(nproc 2>/dev/null || echo 2)
    echo "$n"
}

# tolv_build DIR [--target T]... [cmake options...]: configures DIR (relative
# to the source tree) with Ninja and builds it (or only the targets named).
tolv_build() {
    local dir="$TOLV_ROOT/$1"
    shift
    local target=()
    while [[ ${1:-} == --target ]]; do
        target+=(--target "$2")
        shift 2
    done
    # ccache when installed (CI has none): repeated builds of unchanged code are cache hits.
    local launcher=()
    if command -v ccache >/dev/null 2>&1; then
        launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
        export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$TOLV_ROOT}"
    fi
    cmake -S "$TOLV_ROOT" -B "$dir" -G Ninja "${launcher[@]}" "$@" || return 1
    cmake --build "$dir" -j "$(tolv_jobs)" "${target[@]}" || return 1
}

# tolv_fuzz_run TARGET SECONDS [SEED]: builds the libFuzzer targets with clang
# (in build-fuzz/) and runs one from a copy of its seed corpus; non-zero on any
# finding. A fixed SEED makes the run repeat the same inputs on every machine.
tolv_fuzz_run() {
    local target=$1 seconds=$2 seed=${3:-0}
    local name=${target#fuzz_}
    # libFuzzer reads -max_total_time=0 as "no limit".
    if ! [[ $seconds =~ ^[0-9]+$ ]] || [[ $seconds -eq 0 ]]; then
        echo "fuzz: SECONDS must be a positive number, not '$seconds'" >&2
        return 1
    fi
    CC=clang CXX=clang++ tolv_build build-fuzz --target "fuzz_$name" \
        -DTOLV_FUZZ=ON -DTOLV_TESTS=OFF -DTOLV_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo || return 1
    local work="$TOLV_ROOT/build-fuzz/run-$name"
    mkdir -p "$work/corpus" "$work/artifacts"
    cp -n "$TOLV_ROOT/tests/fuzz/corpus/$name/"* "$work/corpus/" 2>/dev/null || true
    echo "=== fuzz_$name for ${seconds}s"
    "$TOLV_ROOT/build-fuzz/tests/fuzz/fuzz_$name" -seed="$seed" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1
    local rc=$?
    if [[ $rc -ne 0 ]]; then
        grep -v '^#\|^INFO\|^\s*"' "$work/log" | tail -n 40
        echo "fuzz_$name found a problem (exit $rc); see $work/log and $work/artifacts/" >&2
        return 1
    fi
    tail -n 6 "$work/log"
}

#!/usr/bin/env bash
# run.sh BUILD_DIR SOURCE_DIR CC "CFLAGS" - installs the build tree into a
# temporary prefix, builds examples/host.c against it with pkg-config and
# examples/CMakeLists.txt with find_package(tolv), and runs both; the installed tolvadm must find its own
# plug-in. CFLAGS carries the sanitizer flags of a sanitizer build.
set -euo pipefail
build=$1 src=$(cd "$2" && pwd) cc=$3
read -ra cflags <<<"${4:-}"
unset TOLV_CONFIG TOLV_PLUGIN LD_LIBRARY_PATH

work=$(mktemp -d "${TMPDIR:-/tmp}/tolv-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() {
    echo "install test: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install failed"; }
pc=$(find "$prefix" -name tolv.pc)
[[ -n $pc ]] || fail "no tolv.pc under $prefix"
libdir=${pc%/pkgconfig/tolv.pc}
export PKG_CONFIG_PATH=${pc%/tolv.pc}
[[ $(pkg-config --variable=prefix tolv) == "$prefix" ]] || fail "tolv.pc names the prefix $(pkg-config --variable=prefix tolv)"

mkdir "$work/registry"
printf 'dir=%s/\n' "$work/registry" >"$work/tolv.conf"

# The build line doc/integrator-guide.md gives; the loader finds the libraries through LD_LIBRARY_PATH.
# shellcheck disable=SC2046
"$cc" "${cflags[@]}" -Wall -Wextra -Werror "$src/examples/host.c" $(pkg-config --cflags --libs tolv) -ldl \
    -o "$work/host-pc" || fail "examples/host.c does not build with pkg-config"
LD_LIBRARY_PATH=$libdir "$work/host-pc" "$work/tolv.conf" || fail "host built with pkg-config failed"

# find_package: the consumer's run path leads the loader and dlopen to the prefix.
cmake -S "$src/tests/install" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="${cflags[*]} -Wall -Wextra -Werror" \
    -DTOLV_EXAMPLES="$src/examples" >"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "find_package(tolv) failed"; }
cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "the find_package consumer does not build"; }
# Under AddressSanitizer dlopen is called from the sanitizer's runtime, whose
# run path does not lead to the prefix.
consumer_env=()
[[ ${#cflags[@]} -eq 0 ]] || consumer_env=(LD_LIBRARY_PATH="$libdir")
out=$(env "${consumer_env[@]}" "$work/consumer/examples/host" "$work/tolv.conf") || fail "host built with find_package failed"
grep -q 'it was there' <<<"$out" || fail "the two hosts did not share the registry: $out"

# The installed tool runs the installed core, found through its run path.
info=$("$prefix/bin/tolvadm" --config "$work/tolv.conf" info) || fail "installed tolvadm info failed"
grep -q "^core: *$libdir/libtolvadmin.so.0$" <<<"$info" || fail "installed tolvadm runs another core: $info"
"$prefix/bin/tolvadm" --config "$work/tolv.conf" user get corp ann >/dev/null || fail "installed tolvadm does not see the user"
# The installed PAM module reaches librspiutil and the plug-in through its run
# path alone (a sanitized one would need the sanitizer preloaded into pamtester).
if [[ -e $libdir/security/pam_tolv.so ]]; then
    [[ -f $prefix/share/man/man8/pam_tolv.8 ]] || fail "no pam_tolv(8) under $prefix"
    extra=$(nm -D --defined-only "$libdir/security/pam_tolv.so" | awk '$3 !~ /^pam_sm_/ { print $3 }')
    [[ -z $extra ]] || fail "pam_tolv.so exports more than pam_sm_*: $extra"
    if [[ ${#cflags[@]} -eq 0 ]] && command -v pamtester >/dev/null; then
        mkdir "$work/pam.d"
        printf 'auth required %s config=%s domain=corp nodelay\n' "$libdir/security/pam_tolv.so" "$work/tolv.conf" \
            >"$work/pam.d/tolv"
        echo s3cret | LD_PRELOAD=libpam_wrapper.so PAM_WRAPPER=1 PAM_WRAPPER_SERVICE_DIR="$work/pam.d" \
            pamtester tolv ann authenticate >/dev/null || fail "the installed pam_tolv.so does not authenticate ann"
    fi
fi
echo "install test: passed ($prefix)"

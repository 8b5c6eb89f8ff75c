#!/usr/bin/env bash
# Runs scripts/deps.sh with stand-ins for id, dpkg-query, apt-get and sudo first on PATH and
# checks the commands it runs: apt-get directly as root and through `sudo env` as a user (sudo
# clears the environment, so the installer's questions must be turned off inside it), only for
# the packages that are missing, and not at all when nothing is.
#
# Usage: deps_test.sh SCRIPTS_DIR
set -euo pipefail

deps="$1/deps.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"

# STUB_UID: the user's id. STUB_MISSING: packages not installed ("*": none is), STUB_REMOVED:
# packages removed with their configuration files left. Each call is logged to STUB_LOG.
cat >"$work/bin/id" <<'STUB'
#!/usr/bin/env bash
[ "$*" = "-u" ] || { echo "id: unexpected arguments: $*" >&2; exit 1; }
echo "$STUB_UID"
STUB
cat >"$work/bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
package="${!#}"
case " $STUB_MISSING " in
    " * " | *" $package "*) echo "dpkg-query: no packages found matching $package" >&2; exit 1 ;;
esac
case " $STUB_REMOVED " in
    *" $package "*) printf 'deinstall ok config-files'; exit 0 ;;
esac
printf 'install ok installed'
STUB
# Logged as "apt-get FRONTEND COMMAND [-y] [PACKAGE...]"; other options are left out.
cat >"$work/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
command="" yes="" packages=()
for arg in "$@"; do
    case "$arg" in
        -y | --yes | --assume-yes) yes=" -y" ;;
        -*) ;;
        *) if [ -z "$command" ]; then command="$arg"; else packages+=("$arg"); fi ;;
    esac
done
echo "apt-get ${DEBIAN_FRONTEND:-(unset)} $command$yes${packages[*]:+ ${packages[*]}}" >>"$STUB_LOG"
STUB
# Like sudo's env_reset: the command sees none of the caller's environment.
cat >"$work/bin/sudo" <<'STUB'
#!/usr/bin/env bash
echo "sudo $*" >>"$STUB_LOG"
exec env -i PATH="$PATH" STUB_LOG="$STUB_LOG" "$@"
STUB
chmod +x "$work/bin/"*

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# run_deps UID MISSING REMOVED [ARGUMENT]: runs deps.sh; sets status, and calls (one a line).
run_deps() {
    : >"$work/log"
    status=0
    env -u DEBIAN_FRONTEND PATH="$work/bin:$PATH" STUB_LOG="$work/log" STUB_UID="$1" \
        STUB_MISSING="$2" STUB_REMOVED="$3" bash "$deps" "${@:4}" >"$work/out" 2>&1 || status=$?
    calls="$(cat "$work/log")"
}

# check NAME [uid=U] [missing=LIST] [removed=LIST] [arg=A] [status=S] -- [CALL...]: each CALL
# is a glob pattern for one logged call, in their order; no other call may happen.
check() {
    local name="$1" uid=0 missing="" removed="" arg="(none)" status=0
    shift
    while [ "$1" != "--" ]; do
        local "${1?}"
        shift
    done
    shift
    local wanted_status="$status" arguments=()
    [ "$arg" = "(none)" ] || arguments=("$arg")
    run_deps "$uid" "$missing" "$removed" "${arguments[@]}"
    local -a got=() want=("$@")
    [ -z "$calls" ] || mapfile -t got <<<"$calls"
    local ok=true i
    [ "$status" = "$wanted_status" ] || ok=false
    [ "${#got[@]}" = "${#want[@]}" ] || ok=false
    for ((i = 0; i < ${#got[@]} && i < ${#want[@]}; ++i)); do
        # shellcheck disable=SC2053 # the expected call is a pattern
        [[ ${got[i]} == ${want[i]} ]] || ok=false
    done
    $ok && return 0
    fail "$name: exit status $status (expected $wanted_status); calls:"
    printf '  %s\n' "${got[@]}" >&2
    echo "expected:" >&2
    printf '  %s\n' "$@" >&2
    sed 's/^/  output: /' "$work/out" >&2
}

root_update="apt-get noninteractive update"
sudo_prefix="sudo env DEBIAN_FRONTEND=noninteractive apt-get"

check "root, packages missing: apt-get directly" missing="libgtest-dev shellcheck" arg=test -- \
    "$root_update" \
    "apt-get noninteractive install -y libgtest-dev shellcheck"
check "user, packages missing: apt-get through sudo env" uid=1000 missing="cmake librtmidi-dev" -- \
    "$sudo_prefix update*" "$root_update" \
    "$sudo_prefix install *cmake librtmidi-dev" "apt-get noninteractive install -y cmake librtmidi-dev"
check "removed with its configuration left counts as missing" removed=qt6-base-dev arg=run -- \
    "$root_update" "apt-get noninteractive install -y qt6-base-dev"
check "nothing missing: no apt-get" uid=1000 arg=test --
check "run leaves out what only the tests need" missing="libgtest-dev shellcheck" arg=run --
check "a bad argument" missing="*" arg=tset status=2 --

# What each set asks for on a machine with nothing installed.
packages_of() {
    run_deps 0 "*" "" "$1"
    [ "$status" = 0 ] || fail "deps.sh $1 on an empty machine: exit status $status"
    sed -n 's/^apt-get noninteractive install -y //p' "$work/log" | tr ' ' '\n' | sort
}
packages_of run >"$work/run"
packages_of test >"$work/test"
[ "$(sort -u "$work/test" | wc -l)" = "$(wc -l <"$work/test")" ] || fail "test names a package twice"
[ -z "$(comm -23 "$work/run" "$work/test")" ] || fail "test leaves out run packages"
[ -n "$(comm -13 "$work/run" "$work/test")" ] || fail "test adds nothing to run"
# What building and running use (run.sh starts jackd, and Xvfb without a display), and what the
# test command calls beyond that.
for p in cmake ninja-build qt6-base-dev librtmidi-dev libjack-jackd2-dev jackd2 xvfb; do
    grep -qx "$p" "$work/run" || fail "run leaves out $p"
done
for p in libgtest-dev libbenchmark-dev clang clang-format shellcheck desktop-file-utils appstream \
    dpkg-dev file groff-base; do
    grep -qx "$p" "$work/test" || fail "test leaves out $p"
    ! grep -qx "$p" "$work/run" || fail "run asks for $p, which only the tests use"
done

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "deps.sh: every case passed"

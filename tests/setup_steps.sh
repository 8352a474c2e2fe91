#!/usr/bin/env bash
# Setup's decisions against a package mirror in mid-sync, without root and
# without the network: fake apt-get, dpkg-query, dpkg and id first on PATH
# play each answer, and each case checks the road taken, the packages asked
# for and what setup said.
# Usage: setup_steps.sh <repository root>
set -uo pipefail
# The road is setup's own choice here: a forced build of the caller (the
# tests run with MORVINDEX_ARCH=x86_64) must not decide it for every case.
unset MORVINDEX_ARCH
root="$(cd "$1" && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fakes="$work/bin"
mkdir -p "$fakes"
failures=0

# apt-get: FAKE_LISTS (ok | one | all) for update; FAKE_I386 (ok | release |
# never) for the i386 set; FAKE_DOWNLOAD_FAILS downloads that fail before one
# works; FAKE_SOURCE (ok | missing). Every call goes to calls.log; what it
# installs goes to installed.txt, which the fake dpkg-query reads.
cat > "$fakes/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >> "$FAKE_STATE/calls.log"
case "$1" in
update)
    case "$FAKE_LISTS" in
    one) echo "E: Failed to fetch http://mirror/debian-security/dists/stable-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]"
         echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
         exit 100 ;;
    all) echo "E: Failed to fetch http://mirror/debian/dists/stable/InRelease  Could not connect to mirror:80"
         echo "E: Failed to fetch http://mirror/debian-security/dists/stable-security/InRelease  Could not connect to mirror:80"
         exit 100 ;;
    esac
    exit 0 ;;
install)
    shift
    release=""
    pkgs=()
    while [ $# -gt 0 ]; do
        case "$1" in
        -t) release="$2"; shift 2 ;;
        -*) shift ;;
        *) pkgs+=("$1"); shift ;;
        esac
    done
    if [ "$FAKE_LISTS" = all ]; then
        echo "E: Unable to locate package ${pkgs[0]}"; exit 100
    fi
    count=$(cat "$FAKE_STATE/downloads" 2>/dev/null || echo 0)
    if [ "$count" -lt "${FAKE_DOWNLOAD_FAILS:-0}" ]; then
        echo $((count + 1)) > "$FAKE_STATE/downloads"
        echo "E: Failed to fetch http://mirror/debian/pool/main/c/cmake/cmake_3.25.1-1_amd64.deb  404  Not Found [IP: 192.0.2.1 80]"
        echo "E: Unable to fetch some archives, maybe run apt-get update or try with --fix-missing?"
        exit 100
    fi
    case " ${pkgs[*]} " in *":i386 "*)
        if [ "$FAKE_I386" = never ] || { [ "$FAKE_I386" = release ] && [ -z "$release" ]; }; then
            echo "Some packages could not be installed."
            echo "The following packages have unmet dependencies:"
            echo " libssl3:i386 : Depends: libc6:i386 (>= 2.34) but it is not going to be installed"
            echo "                Breaks: libssl3 (!= 3.0.20-1~deb12u1) but 3.0.22-1~deb12u1 is to be installed"
            echo "E: Unable to correct problems, you have held broken packages."
            exit 100
        fi ;;
    esac
    printf '%s\n' "${pkgs[@]}" >> "$FAKE_STATE/installed.txt"
    exit 0 ;;
source)
    if [ "$FAKE_SOURCE" = missing ]; then
        echo "E: Unable to find a source package for zlib"; exit 100
    fi
    touch zlib_1.2.13.dfsg.orig.tar.bz2
    exit 0 ;;
esac
EOF
cat > "$fakes/dpkg-query" <<'EOF'
#!/usr/bin/env bash
p="${!#}"
grep -qxF "$p" "$FAKE_STATE/installed.txt" 2>/dev/null && printf 'install ok installed' && exit 0
exit 1
EOF
cat > "$fakes/dpkg" <<'EOF'
#!/usr/bin/env bash
echo "dpkg $*" >> "$FAKE_STATE/calls.log"
[ "$1" = --print-foreign-architectures ] && cat "$FAKE_STATE/arches" 2>/dev/null
[ "$1" = --add-architecture ] && echo "$2" >> "$FAKE_STATE/arches"
exit 0
EOF
printf '#!/bin/sh\necho 0\n' > "$fakes/id"
chmod +x "$fakes"/*

fail() { echo "FAIL [$case_name]: $*" >&2; failures=$((failures + 1)); }
expect_in() { grep -qE -- "$2" "$1" || fail "expected /$2/ in $(basename "$1"):$(printf '\n'; sed 's/^/    /' "$1")"; }
expect_not_in() { ! grep -qE -- "$2" "$1" || fail "did not expect /$2/ in $(basename "$1")"; }

# Runs setup's package step in a shell of its own, as a machine where the
# kernel runs 32-bit programs (or not) and Wine's 32-bit loader never starts.
# Leaves calls.log, out.txt (what setup said), status and road.txt.
run_setup() {
    local kernel32="$1"
    shift
    export FAKE_STATE="$work/$case_name"
    rm -rf "$FAKE_STATE"; mkdir -p "$FAKE_STATE"
    touch "$FAKE_STATE/calls.log"
    (
        set -e   # as in scripts/setup
        export PATH="$fakes:$PATH" MORVINDEX_DEPS="$FAKE_STATE/deps" MORVINDEX_APT_PAUSE=0 "$@"
        source "$root/scripts/wine-env"
        source "$root/scripts/apt-steps"
        kernel_runs_32bit() { [ "$kernel32" = yes ]; }
        wine_env_runs_32bit() { false; }
        release_codename() { echo stable; }
        install_packages "$(wine_env_road_file)"
        wine_env_choose_target && echo "road: $MORVINDEX_TARGET ($MORVINDEX_TARGET_WHY)"
    ) > "$FAKE_STATE/out.txt" 2>&1
    echo $? > "$FAKE_STATE/status"
}

case_name="one list fails"
run_setup yes FAKE_LISTS=one FAKE_I386=ok
s="$work/$case_name"
[ "$(cat "$s/status")" = 0 ] || fail "setup ended"
expect_in "$s/out.txt" "warning: apt could not fetch these package lists"
expect_in "$s/out.txt" "binary-i386/Packages.xz \(File has unexpected size"
# Three tries, then one more once the i386 lists are added: the list already
# given up on is not waited for again.
[ "$(grep -c '^apt-get update' "$s/calls.log")" = 4 ] || fail "the failed list was not tried three times, then once"
expect_in "$s/calls.log" "^dpkg --add-architecture i386"
expect_in "$s/calls.log" "^apt-get install .* wine wine32:i386$"
expect_not_in "$s/calls.log" " -t "
expect_not_in "$s/calls.log" "wine64"

case_name="every list fails"
run_setup yes FAKE_LISTS=all FAKE_I386=ok
s="$work/$case_name"
[ "$(cat "$s/status")" = 1 ] || fail "setup went on without any package"
expect_in "$s/out.txt" "^setup: cannot install cmake: Unable to locate package cmake$"

case_name="i386 set from the release suite"
run_setup yes FAKE_LISTS=one FAKE_I386=release
s="$work/$case_name"
[ "$(cat "$s/status")" = 0 ] || fail "setup ended"
expect_in "$s/calls.log" "^apt-get install .* -t stable wine wine32:i386$"
expect_in "$s/out.txt" "installed wine wine32:i386 from the stable suite"
expect_in "$s/out.txt" "road: x86_64"   # the fake Wine's 32-bit loader never starts
expect_not_in "$s/calls.log" "wine64"
[ ! -e "$s/deps/i686-road-refused" ] || fail "a road installed from the release suite was kept as refused"

case_name="i386 set refused both ways"
run_setup yes FAKE_LISTS=one FAKE_I386=never
s="$work/$case_name"
[ "$(cat "$s/status")" = 0 ] || fail "setup ended instead of taking the x86_64 road"
expect_in "$s/calls.log" "^apt-get install .* wine wine64$"
expect_in "$s/out.txt" "^road: x86_64 \(the i686 road's packages cannot be installed \(wine wine32:i386: libssl3:i386 : Depends: libc6:i386"
run_setup yes FAKE_LISTS=one FAKE_I386=never MORVINDEX_ARCH=i686
s="$work/$case_name"
[ "$(cat "$s/status")" = 1 ] || fail "MORVINDEX_ARCH=i686 went on without the i686 packages"
expect_in "$s/out.txt" "MORVINDEX_ARCH=i686, but its packages cannot be installed: wine wine32:i386: libssl3:i386 : Depends"
expect_not_in "$s/calls.log" "wine64"

case_name="no 32-bit programs"
run_setup no FAKE_LISTS=ok FAKE_I386=ok
s="$work/$case_name"
[ "$(cat "$s/status")" = 0 ] || fail "setup ended"
expect_not_in "$s/calls.log" "i386"
expect_in "$s/calls.log" "^apt-get install .* wine wine64$"
expect_in "$s/out.txt" "^road: x86_64 \(this machine runs no 32-bit program"

case_name="a download fails once"
run_setup yes FAKE_LISTS=ok FAKE_I386=ok FAKE_DOWNLOAD_FAILS=1
s="$work/$case_name"
[ "$(cat "$s/status")" = 0 ] || fail "setup ended"
[ "$(grep -c '^apt-get install .* cmake ' "$s/calls.log")" = 2 ] || fail "the failed download was not tried again"
expect_not_in "$s/calls.log" " -t "

case_name="source package missing"
export FAKE_STATE="$work/$case_name"
mkdir -p "$FAKE_STATE/src"
(
    set -e
    export PATH="$fakes:$PATH" MORVINDEX_APT_PAUSE=0 FAKE_LISTS=ok FAKE_SOURCE=missing
    source "$root/scripts/apt-steps"
    release_codename() { echo stable; }
    add_release_source_list() { echo "source list for $1"; }
    has_source_list() { false; }
    fetch_zlib_source "$FAKE_STATE/src"
) > "$FAKE_STATE/out.txt" 2>&1
[ $? = 1 ] || fail "a missing source package did not end setup"
expect_in "$FAKE_STATE/out.txt" "^source list for stable$"
expect_in "$FAKE_STATE/out.txt" "cannot fetch the zlib source package \(for minizip\) from the stable suite: Unable to find a source package for zlib$"
[ "$(grep -c '^apt-get source .*zlib/stable$' "$FAKE_STATE/calls.log")" = 3 ] || fail "the source package was not tried three times"

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "setup steps: every case as expected"

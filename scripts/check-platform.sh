#!/usr/bin/env bash
# Check that set-up and the tests work on another Debian from a Debian host,
# in a debootstrap chroot kept for re-use. Run as root, by hand; never part
# of `make test` or .ci/run (it needs a chroot and a network).
#
#   scripts/check-platform.sh PLATFORM           pull the committed branch, run
#                                                the steps of .ci/run
#   scripts/check-platform.sh PLATFORM --fresh   same, from a new clone (no
#                                                .venv or build: set-up from nothing)
#   scripts/check-platform.sh PLATFORM --shell   open a shell in the chroot instead
#   scripts/check-platform.sh PLATFORM --no-pull run the clone in the chroot as it
#                                                is (e.g. with local edits for a try-out)
#
# PLATFORM is debian12 (bookworm: GDAL 3.6), debian13 (trixie: GDAL 3.10),
# unstable (sid: the newest GDAL, with sid's python3.13) or unstable-py3.14
# (the same chroot, its own clone /root/vek-py3.14 set up with
# VEK_PYTHON=/usr/bin/python3.14, where vek's wheel with gdal-wheel (make
# check-wheel) also runs).
#
# Environment:
#   VEK_CHROOT          chroot directory (default /var/tmp/vek-PLATFORM)
#   VEK_MIRROR          Debian mirror (default http://deb.debian.org/debian)
#   VEK_CHECK_SUMMARY   a file the summary line is appended to as well
#
# The chroot starts with only what a fresh Debian machine has for a Python
# project (git, make, g++, ca-certificates, python3); setup.sh must install
# the rest. The chroot gets the committed HEAD branch of this repository, not
# the working tree. Each `make` step of .ci/run runs in turn, the later ones
# even after a failure, and the last line printed sums them up:
#
#   check-platform: debian13: GDAL 3.10.3, Python 3.13.5, setup ok,
#     tests 1490 passed 0 failed, test-asan ok, stress ok, valgrind ok, 903 s
#
# (one line). Each step's full output is kept in CHROOT.logs/STEP.log.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

say() { printf 'check-platform: %s\n' "$*"; }
die() { printf 'check-platform: error: %s\n' "$*" >&2; exit 1; }
usage() { die "usage: $0 debian12|debian13|unstable|unstable-py3.14 [--fresh] [--shell] [--no-pull]"; }

platform="" fresh=0 shell=0 pull=1
for a in "$@"; do
    case "$a" in
        --fresh) fresh=1 ;;
        --shell) shell=1 ;;
        --no-pull) pull=0 ;;
        debian12|debian13|unstable|unstable-py3.14)
            [[ -z $platform ]] || usage
            platform=$a ;;
        *) usage ;;
    esac
done
[[ -n $platform ]] || usage
# A platform is a chroot (its Debian suite), a clone in it and the Python
# setup.sh is told to use (none: its own search).
chroot_name=$platform clone=/root/vek python="" extra=()
case "$platform" in
    debian12) suite=bookworm ;;
    debian13) suite=trixie ;;
    # sid's python3 is 3.14, and set-up takes an installed 3.14 over a 3.13
    # it would have to install: the newest GDAL with CPython 3.13 is asked for.
    unstable) suite=sid python=/usr/bin/python3.13 ;;
    # ... and there vek's wheel with GDAL's binary wheel too (make check-wheel).
    unstable-py3.14) suite=sid chroot_name=unstable clone=/root/vek-py3.14 python=/usr/bin/python3.14
        extra=(check-wheel) ;;
esac

CH="${VEK_CHROOT:-/var/tmp/vek-$chroot_name}"
CH="${CH%/}"
MIRROR="${VEK_MIRROR:-http://deb.debian.org/debian}"
CLONE="$CH$clone"
LOGS="$CH${platform#"$chroot_name"}.logs"
BRANCH="$(git -C "$ROOT" rev-parse --abbrev-ref HEAD)"

[[ $(id -u) -eq 0 ]] || die "must run as root (debootstrap, mount, chroot)"
case "$CH" in
    ""|/) die "VEK_CHROOT must name a directory other than /" ;;
    "$ROOT"|"$ROOT"/*) die "VEK_CHROOT must be outside the repository" ;;
esac
# One run at a time per chroot: runs share its mounts and its clone.
mkdir -p "$(dirname "$CH")"
exec 9>"$CH.lock"
flock -n 9 || { say "waiting for another run using $CH"; flock 9; }

# ---------------------------------------------------------------- chroot
if [[ ! -x "$CH/usr/bin/apt-get" ]]; then
    if ! command -v debootstrap >/dev/null; then
        say "installing debootstrap"
        DEBIAN_FRONTEND=noninteractive apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    fi
    say "debootstrap $suite into $CH"
    mkdir -p "$CH"
    debootstrap --variant=minbase "$suite" "$CH" "$MIRROR" >"$CH.debootstrap.log" 2>&1 \
        || { tail -20 "$CH.debootstrap.log" >&2; die "debootstrap failed"; }
fi

mounted=()
cleanup() {
    local i
    for (( i=${#mounted[@]}-1; i>=0; i-- )); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
    done
}
trap cleanup EXIT
mnt() {  # mnt TARGET mount-args...
    local t="$CH$1"; shift
    mountpoint -q "$t" && return
    mkdir -p "$t"
    mount "$@" "$t"
    mounted+=("$t")
}
mnt /proc -t proc proc
mnt /sys --bind /sys
mnt /dev --bind /dev
mnt /dev/pts --bind /dev/pts
mnt /dev/shm --bind /dev/shm
cp -L /etc/resolv.conf "$CH/etc/resolv.conf"

# A mirror snapshot can be older than its Release file's validity; a host
# that accepts such files (Acquire::Check-Valid-Until "false") has its chroot
# accept them too, or apt-get update there fails with "Release file ... is
# expired". Only this setting is carried, not the host's apt configuration.
valid_until=""
eval "$(apt-config shell valid_until Acquire::Check-Valid-Until 2>/dev/null)" || true
conf="$CH/etc/apt/apt.conf.d/99vek-host-valid-until"
if [[ -n $valid_until ]]; then
    printf 'Acquire::Check-Valid-Until "%s";\n' "$valid_until" >"$conf"
else
    rm -f "$conf"
fi

# One line of base64 per certificate in the PEM files given.
pem_lines() {
    awk '/-BEGIN CERTIFICATE-/ {s = ""; b = 1; next}
         /-END CERTIFICATE-/   {print s; b = 0; next}
         b {s = s $0}' "$@" 2>/dev/null
}

in_chroot() { chroot "$CH" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 CI=true ${python:+VEK_PYTHON="$python"} /bin/bash -lc "$1"; }

# The base tools, and the Python a platform names (sid has python3.13 but
# does not install it).
base=(git make g++ ca-certificates python3 ${python:+"${python##*/}"})
missing="$(in_chroot "for p in ${base[*]}; do dpkg-query -W -f='\${Status}' \$p 2>/dev/null \
    | grep -q 'ok installed' || echo \$p; done")"
if [[ -n "$missing" ]]; then
    say "installing the base tools in the chroot:" $missing
    in_chroot "export DEBIAN_FRONTEND=noninteractive; apt-get update -qq && \
        apt-get install -y -qq --no-install-recommends $(echo $missing) >/dev/null"
fi

# Certificate authorities added locally on this host (in its bundle but not
# from a package, e.g. a TLS-inspecting egress proxy) are trusted in the
# chroot too, as on any machine of the same network.
local_cas="$(comm -23 <(pem_lines /etc/ssl/certs/ca-certificates.crt | sort -u) \
                      <(pem_lines $(find /usr/share/ca-certificates -name '*.crt') | sort -u))"
want="$CH/usr/local/share/ca-certificates/vek-host"
if [[ -n "$local_cas" && "$(cat "$want"/*.crt 2>/dev/null | pem_lines | sort -u)" != "$local_cas" ]]; then
    rm -rf "$want"; mkdir -p "$want"
    n=0
    while read -r b64; do
        n=$((n + 1))
        { echo '-----BEGIN CERTIFICATE-----'; fold -w 64 <<<"$b64"
          echo '-----END CERTIFICATE-----'; } >"$want/host-ca-$n.crt"
    done <<<"$local_cas"
    say "trusting $n locally added CA(s) of the host in the chroot"
    in_chroot "update-ca-certificates >/dev/null 2>&1"
fi

# ---------------------------------------------------------------- the repo
if [[ $fresh == 1 ]]; then rm -rf "$CLONE"; fi
if [[ -d "$CLONE/.git" && $pull == 0 ]]; then
    :
elif [[ -d "$CLONE/.git" ]]; then
    git -C "$CLONE" fetch -q "$ROOT" "$BRANCH"
    # The clone is a scratch copy: local edits there are dropped.
    git -C "$CLONE" checkout -q -f -B "$BRANCH" FETCH_HEAD
else
    git clone -q --branch "$BRANCH" "$ROOT" "$CLONE"
fi
say "$platform: testing $(git -C "$CLONE" log -1 --format='%h %s')"

if [[ $shell == 1 ]]; then
    in_chroot "cd $clone && exec bash -i" || true
    exit 0
fi

# ---------------------------------------------------------------- the steps
# Each step's output goes to the terminal and to its log; a failed step
# does not stop the later ones, so the summary has a verdict for each.
rm -rf "$LOGS"; mkdir -p "$LOGS"
step() {  # step NAME: run `make NAME` in the clone
    local rc=0
    say "$platform: make $1"
    in_chroot "cd $clone && make $1" 2>&1 | tee "$LOGS/$1.log" || rc=$?
    return "$rc"
}
# The pytest tally of a log ("1490 passed 2 failed"), or nothing.
tally() {
    local line
    line="$(grep -E '^=*[ ]*[0-9]+ (passed|failed)' "$1" | tail -1 || true)"
    [[ -n $line ]] || return 0
    local p f e
    p="$(grep -oE '[0-9]+ passed' <<<"$line" | cut -d' ' -f1 || true)"
    f="$(grep -oE '[0-9]+ failed' <<<"$line" | cut -d' ' -f1 || true)"
    e="$(grep -oE '[0-9]+ errors?' <<<"$line" | cut -d' ' -f1 || true)"
    printf '%s passed %s failed' "${p:-0}" "$(( ${f:-0} + ${e:-0} ))"
}

start=$(date +%s)
rc=0
parts=()
if step setup; then
    versions="$(in_chroot "cd $clone && .venv/bin/python -c \
        'import sys; from osgeo import gdal; print(\"GDAL\", gdal.__version__ + \",\", \"Python\", sys.version.split()[0])'" \
        2>/dev/null || echo "GDAL ?, Python ?")"
    parts+=("$versions" "setup ok")
    # The make steps of .ci/run, in its order.
    mapfile -t steps < <(sed -nE 's/^[[:space:]]*make[[:space:]]+([A-Za-z0-9_-]+)[[:space:]]*$/\1/p' \
        "$CLONE/.ci/run")
    for s in "${steps[@]}" "${extra[@]}"; do
        if step "$s"; then verdict=ok; else verdict=FAILED; rc=1; fi
        if [[ $s == test || $s == check-wheel ]]; then
            t="$(tally "$LOGS/$s.log")"
            parts+=("${s/#test/tests} ${t:-no tally} ${verdict/ok/}")
        else
            parts+=("$s $verdict")
        fi
    done
else
    rc=1
    parts+=("setup FAILED")
fi
parts+=("$(( $(date +%s) - start )) s")

summary="$platform:"
for p in "${parts[@]}"; do summary+=" ${p% }"; summary+=","; done
summary="${summary%,}"
say "logs in $LOGS"
say "$summary"
if [[ -n "${VEK_CHECK_SUMMARY:-}" ]]; then
    echo "$summary" >>"$VEK_CHECK_SUMMARY"
fi
exit "$rc"

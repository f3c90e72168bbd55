#!/usr/bin/env bash
# Check that set-up and tests work on Debian 13 (trixie: GDAL 3.10, Debian's
# python3.13) from a Debian host, in a debootstrap chroot kept for re-use.
# Run as root, by hand; never part of `make test`.
#
#   scripts/check-debian13.sh           pull the committed branch, run .ci/run
#   scripts/check-debian13.sh --fresh   same, from a new clone (no .venv/build)
#   scripts/check-debian13.sh --shell   open a shell in the chroot instead
#   scripts/check-debian13.sh --no-pull run the clone in the chroot as it is
#                                       (e.g. with local edits for a try-out)
#
# Environment:
#   VEK_D13_ROOT    chroot directory (default /var/tmp/trixie)
#   VEK_D13_MIRROR  Debian mirror (default http://deb.debian.org/debian)
#
# The chroot starts with only what a fresh Debian 13 machine has for a
# Python project (git, make, g++, ca-certificates, python3); setup.sh must
# install the rest. The chroot gets the committed HEAD branch of this
# repository, not the working tree.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CH="${VEK_D13_ROOT:-/var/tmp/trixie}"
MIRROR="${VEK_D13_MIRROR:-http://deb.debian.org/debian}"
CLONE="$CH/root/vek"
BRANCH="$(git -C "$ROOT" rev-parse --abbrev-ref HEAD)"

say() { printf 'check-debian13: %s\n' "$*"; }
die() { printf 'check-debian13: error: %s\n' "$*" >&2; exit 1; }

[[ $(id -u) -eq 0 ]] || die "must run as root (debootstrap, mount, chroot)"
case "$CH" in
    "$ROOT"|"$ROOT"/*) die "VEK_D13_ROOT must be outside the repository" ;;
esac
# One run at a time per chroot: runs share its mounts and its clone.
mkdir -p "$(dirname "$CH")"
exec 9>"${CH%/}.lock"
flock -n 9 || { say "waiting for another run using $CH"; flock 9; }

fresh=0 shell=0 pull=1
for a in "$@"; do
    case "$a" in
        --fresh) fresh=1 ;;
        --shell) shell=1 ;;
        --no-pull) pull=0 ;;
        *) die "unknown argument: $a" ;;
    esac
done

# ---------------------------------------------------------------- chroot
if [[ ! -x "$CH/usr/bin/apt-get" ]]; then
    if ! command -v debootstrap >/dev/null; then
        say "installing debootstrap"
        DEBIAN_FRONTEND=noninteractive apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    fi
    say "debootstrap trixie into $CH"
    mkdir -p "$CH"
    debootstrap --variant=minbase trixie "$CH" "$MIRROR" >"$CH.debootstrap.log" 2>&1 \
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

# One line of base64 per certificate in the PEM files given.
pem_lines() {
    awk '/-BEGIN CERTIFICATE-/ {s = ""; b = 1; next}
         /-END CERTIFICATE-/   {print s; b = 0; next}
         b {s = s $0}' "$@" 2>/dev/null
}

in_chroot() { chroot "$CH" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 CI=true /bin/bash -lc "$1"; }

base=(git make g++ ca-certificates python3)
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
say "testing $(git -C "$CLONE" log -1 --format='%h %s')"

if [[ $shell == 1 ]]; then
    in_chroot "cd /root/vek && exec bash -i" || true
    exit 0
fi
start=$(date +%s)
rc=0
in_chroot "cd /root/vek && bash .ci/run" || rc=$?
say "exit $rc after $(( $(date +%s) - start )) s"
exit "$rc"

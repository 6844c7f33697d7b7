#!/usr/bin/env bash
# Tries the checkout the way a newcomer arrives: a fresh Debian root made from
# Debian's own mirror, the committed tree copied in, and the README's two
# commands (./build.sh, ./test.sh) run there, each one's last line and time
# printed at the end.
#
#   scripts/debian_root.sh 12|13 [--as-root] [--deps] [--bind DIR] [-- COMMAND...]
#
#   --as-root   run as root instead of the ordinary account "dev" (which has
#               password-less sudo, as the README's commands expect)
#   --deps      start from the root with `scripts/deps.sh test` already run
#               (cached too), instead of a bare one
#   --bind DIR  share the host folder DIR read-write at /src
#   COMMAND     run this in the root (from /src when bound) instead of the
#               two commands
#
# Needs root. The bare root is made once with mmdebstrap (scripts/deps.sh
# roots) and kept under $WELLHAVEN_ROOTS (default /var/cache/wellhaven-roots),
# made again when missing or unfinished. Every run works in a throw-away
# overlay of it, inside its own mount and process namespaces: whatever ends
# the run, Ctrl-C included, its mounts go with it and the kept root is left as
# it was.
set -euo pipefail

usage() { sed -n '7,15s/^# \{0,1\}//p' "$0" >&2; exit 2; }
die() { echo "debian_root: $*" >&2; exit 1; }

release=${1:-}
case "$release" in
  12) suite=bookworm ;;
  13) suite=trixie ;;
  *) usage ;;
esac
shift
account=dev deps=no bind="" command=()
while [ $# -gt 0 ]; do
  case "$1" in
    --as-root) account=root ;;
    --deps) deps=yes ;;
    --bind) [ $# -ge 2 ] || usage; bind=$(realpath "$2"); shift ;;
    --) shift; command=("$@"); break ;;
    *) usage ;;
  esac
  shift
done
[ "$(id -u)" -eq 0 ] || die "needs root (it mounts and chroots)"
[ -z "$bind" ] || [ -d "$bind" ] || die "no folder $bind"
checkout=$(cd "$(dirname "$0")/.." && pwd)
"$checkout/scripts/deps.sh" roots

# The mirror apt already uses here; the security archive sits beside it.
mirror=${DEBIAN_MIRROR:-$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.{list,sources} 2>/dev/null |
  awk '/^(URIs:|deb) *https?:\/\/[^ ]*\/debian\/?( |$)/ {print $2; exit}' || true)}
mirror=${mirror:-http://deb.debian.org/debian}
mirror=${mirror%/}

cache=${WELLHAVEN_ROOTS:-/var/cache/wellhaven-roots}
mkdir -p "$cache"
exec 9>"$cache/debian-$release.lock"

# A layer is kept as a folder and a stamp written once it is whole; a folder
# without its stamp is the remains of an interrupted making and is made again,
# as is a root that no longer runs a program.
whole() { [ -e "$1.ok" ] && [ -d "$1" ]; }

base=$cache/debian-$release
flock 9
if ! whole "$base" || ! chroot "$base" true; then
  echo "Making a fresh Debian $release ($suite) root from $mirror in $base"
  rm -rf "$base" "$base.ok"
  mmdebstrap --variant=important --include=sudo,ca-certificates \
    --customize-hook='chroot "$1" useradd -m -s /bin/bash -G sudo dev' \
    --customize-hook='echo "dev ALL=(ALL) NOPASSWD:ALL" >"$1/etc/sudoers.d/dev"; chmod 0440 "$1/etc/sudoers.d/dev"' \
    "$suite" "$base" \
    "deb $mirror $suite main" "deb $mirror $suite-updates main" "deb $mirror-security $suite-security main"
  touch "$base.ok"
fi
flock -u 9

run=$(mktemp -d "$cache/run.XXXXXX")
trap 'rm -rf "$run"' EXIT
trap 'exit 130' INT TERM HUP
mkdir "$run/upper" "$run/work" "$run/root"

# Runs its arguments as root in a throw-away overlay of the given layers
# (lowest last, colon-separated); the overlay's changes stay in $run/upper.
in_root() {
  local lower=$1; shift
  unshare --mount --pid --fork --kill-child --propagation private \
    bash -euo pipefail -c '
      m=$1 lower=$2 run=$3 bind=$4; shift 4
      mount -t overlay overlay -o "lowerdir=$lower,upperdir=$run/upper,workdir=$run/work" "$m"
      mount -t proc proc "$m/proc"
      mount --rbind /sys "$m/sys"
      mount --rbind /dev "$m/dev"
      mount -t tmpfs -o mode=1777 tmpfs "$m/dev/shm"
      mount -t tmpfs -o mode=1777 tmpfs "$m/tmp"
      rm -f "$m/etc/resolv.conf"; cp -L /etc/resolv.conf "$m/etc/resolv.conf"
      echo "127.0.1.1 $(hostname)" >>"$m/etc/hosts"
      if [ -n "$bind" ]; then mkdir -p "$m/src"; mount --bind "$bind" "$m/src"; fi
      exec chroot "$m" "$@"
    ' in_root "$run/root" "$lower" "$run" "$bind" "$@"
}

lower=$base
if [ "$deps" = yes ]; then
  # Keyed by the package list it installed, so a changed list makes a new one.
  layer=$cache/debian-$release-deps-$(sha256sum <"$checkout/scripts/deps.sh" | cut -c1-12)
  flock 9
  if ! whole "$layer"; then
    echo "Installing the test packages in a Debian $release root, kept as $layer"
    rm -rf "$layer" "$layer.ok"
    bind="" in_root "$base" bash -s test <"$checkout/scripts/deps.sh"
    bind="" in_root "$base" apt-get clean
    mv "$run/upper" "$layer"
    mkdir "$run/upper"
    rm -rf "$run/work"; mkdir "$run/work"
    touch "$layer.ok"
  fi
  flock -u 9
  lower=$layer:$base
fi

as_account() {
  in_root "$lower" runuser -l "$account" -c "$1"
}

if [ ${#command[@]} -gt 0 ]; then
  quoted=$(printf '%q ' "${command[@]}")
  as_account "cd ${bind:+/src}; $quoted"
  exit
fi

# What a newcomer has: Git, and a clone of the committed tree (the tests that
# rebuild commits need both).
git -C "$checkout" diff --quiet HEAD || echo "Note: uncommitted changes are not copied; the run tries HEAD"
git clone -q --no-local "$checkout" "$run/wellhaven"
account=root as_account 'apt-get update -qq && apt-get install -y -qq git >/dev/null'
tar -C "$run" -c wellhaven | as_account 'tar -x -C ~'

status=0 summary=()
for step in ./build.sh ./test.sh; do
  echo "=== Debian $release, as $account: $step"
  start=$(date +%s)
  rc=0
  as_account "cd ~/wellhaven && $step" 2>&1 | tee "$run/log" || rc=$?
  summary+=("$step: exit $rc after $(( $(date +%s) - start )) s; last line: $(tail -n1 "$run/log")")
  [ "$rc" -eq 0 ] || status=1
done
echo "=== Debian $release ($suite), as $account, $(git -C "$checkout" rev-parse --short HEAD):"
printf '  %s\n' "${summary[@]}"
exit "$status"

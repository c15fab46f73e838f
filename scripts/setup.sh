#!/bin/sh
# setup.sh [PACKAGE-LIST]
# Installs every Debian package of the list (default scripts/packages.txt:
# what the build, the tests and the sandbox need). Packages named
# NAME:ARCH bring their architecture into dpkg first. Idempotent: packages
# already present are left as they are, and nothing installed is ever
# removed to make room (--no-remove). Needs root.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
list=${1:-$here/packages.txt}
packages=$(grep -v '^[[:space:]]*#' "$list" | grep -v '^[[:space:]]*$' | tr '\n' ' ')

missing=
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
if [ -z "$missing" ]; then
  echo "setup: all packages of $(basename "$list") present"
  exit 0
fi

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "setup: installing$missing"
export DEBIAN_FRONTEND=noninteractive
for arch in $(printf '%s\n' $missing | sed -n 's/^[^:]*:\(.*\)$/\1/p' | sort -u); do
  dpkg --print-foreign-architectures | grep -qx "$arch" || $SUDO dpkg --add-architecture "$arch"
done
# Installed, not started: a package's service (the SSH server among them,
# whose program the tests run in namespaces of their own) does not start on
# this machine. A policy already in place is left as it is.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod 755 "$policy"
  trap '$SUDO rm -f "$policy"' EXIT
fi
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends --no-remove $missing

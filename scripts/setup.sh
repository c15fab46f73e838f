#!/bin/sh
# Installs every Debian package that the build, the tests and the sandbox need.
# Idempotent: packages already present are left as they are. Needs root.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
packages=$(grep -v '^[[:space:]]*#' "$here/packages.txt" | grep -v '^[[:space:]]*$' | tr '\n' ' ')

missing=
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
if [ -z "$missing" ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "setup: installing$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing

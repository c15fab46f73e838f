#!/bin/sh
# make-root.sh DIR
# Makes a minimal Debian 12 root with systemd in DIR for the real-systemd
# tests: debootstrap from Debian's packages, the libraries the daemon links,
# python3 for the stand-ins, the group "admin" and the technician's account
# "tech" in it. Units a controller does not run (timers, login prompts) are
# masked so that a boot is short. The root is built beside DIR and renamed
# into place when complete, so a cut-off run leaves no half root behind.
# Needs root and the network (KV_DEBIAN_MIRROR overrides the mirror).
set -eu
dest=${1:?usage: make-root.sh DIR}
mirror=${KV_DEBIAN_MIRROR:-http://deb.debian.org/debian}
[ -e "$dest/.complete" ] && exit 0

tmp="$dest.partial"
rm -rf "$tmp" "$dest"
mkdir -p "$(dirname "$dest")"
packages=systemd,systemd-sysv,dbus,python3,procps,libssl3,libcjson1,libiniparser1,libarchive13,libsystemd0
debootstrap --variant=minbase --include="$packages" bookworm "$tmp" "$mirror"

chroot "$tmp" groupadd --system admin
chroot "$tmp" useradd --create-home --groups admin --shell /bin/sh tech
for unit in apt-daily.timer apt-daily-upgrade.timer dpkg-db-backup.timer e2scrub_all.timer fstrim.timer \
            systemd-tmpfiles-clean.timer console-getty.service getty@.service systemd-logind.service; do
  ln -sf /dev/null "$tmp/etc/systemd/system/$unit"
done
# Every boot makes a machine id of its own; the journal keeps to memory.
: > "$tmp/etc/machine-id"
mkdir -p "$tmp/etc/systemd/journald.conf.d"
printf '[Journal]\nStorage=volatile\n' > "$tmp/etc/systemd/journald.conf.d/volatile.conf"
rm -rf "$tmp/var/cache/apt/archives"/*.deb "$tmp/var/lib/apt/lists"/*
touch "$tmp/.complete"
mv "$tmp" "$dest"

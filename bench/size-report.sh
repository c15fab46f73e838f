#!/bin/sh
# Stripped sizes of the programs that ship on the controller, against their
# targets (kvupdaterd under 400 KB, KV2TPCBATest under 100 KB; 1 KB = 1024
# bytes). The programs are stripped into a temporary folder with the strip of
# their own architecture; the build is not changed.
#   bench/size-report.sh [BUILD_DIR]     (default build/armhf)
# Exit status: 0 when both are within their targets, 1 when one is over, 2 on
# a missing program.
set -eu
build=${1:-build/armhf}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# e_machine of the ELF header: 40 is 32-bit ARM, 62 is x86-64.
machine_of() { od -An -tu2 -j18 -N2 "$1" | tr -d ' '; }

status=0
printf '%-14s %-8s %10s %10s %8s  %s\n' program arch stripped target share verdict
for entry in "updater/kvupdaterd 400" "pcbatest/KV2TPCBATest 100"; do
  path=$build/${entry% *}
  target_kb=${entry#* }
  name=$(basename "$path")
  if [ ! -f "$path" ]; then
    echo "size-report: $path not built" >&2
    exit 2
  fi
  case "$(machine_of "$path")" in
    40) arch=armhf strip=arm-linux-gnueabihf-strip ;;
    62) arch=x86-64 strip=strip ;;
    *) arch=other strip=strip ;;
  esac
  "$strip" -o "$tmp/$name" "$path"
  bytes=$(stat -c %s "$tmp/$name")
  target=$((target_kb * 1024))
  share=$((bytes * 100 / target))
  if [ "$bytes" -lt "$target" ]; then verdict=ok; else verdict=OVER; status=1; fi
  printf '%-14s %-8s %10s %10s %7s%%  %s\n' "$name" "$arch" "$bytes" "$target" "$share" "$verdict"
done
exit $status

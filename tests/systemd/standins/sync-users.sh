#!/bin/sh
# Stand-in for the device's user sync script: records each run.
mkdir -p /var/lib/kvtest
cat /proc/sys/kernel/random/boot_id >> /var/lib/kvtest/sync-users

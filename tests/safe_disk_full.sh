#!/usr/bin/env bash
# Runs the safe update's disk-full tests against a real small file system: a fresh 256 KiB tmpfs
# as the install folder. Exits 77 (skipped) where mounting is not allowed.
set -uo pipefail
wine_run=$1
test_exe=$2

dir=$(mktemp -d /tmp/boot-safe-small-XXXXXX)
cleanup() { umount "$dir" 2>/dev/null; rmdir "$dir"; rm -f "$dir.out"; }
trap cleanup EXIT
if ! mount -t tmpfs -o size=256k tmpfs "$dir" 2>/dev/null; then
  echo "skipped: cannot mount a tmpfs here (needs root)"
  exit 77
fi

BOOT_SMALL_DIR="Z:${dir//\//\\}" "$wine_run" "$test_exe" \
  --gtest_filter='SafeDiskFullTest.*' 2>&1 | tee "$dir.out"
status=${PIPESTATUS[0]}
if grep -q '\[  SKIPPED \]' "$dir.out"; then status=77; fi
exit "$status"

#!/usr/bin/env bash
# Runs the log-write failure test against a real full file system: a 64 KiB tmpfs holding an
# empty DebugLogs folder and a filler file that takes every free block. Creating the log file
# still works (it needs no data block); its first WriteFile fails with ERROR_DISK_FULL.
# Exits 77 (skipped) where mounting is not allowed.
set -uo pipefail
wine_run=$1
test_exe=$2

dir=$(mktemp -d /tmp/boot-full-XXXXXX)
cleanup() { umount "$dir" 2>/dev/null; rmdir "$dir"; }
trap cleanup EXIT
if ! mount -t tmpfs -o size=64k tmpfs "$dir" 2>/dev/null; then
  echo "skipped: cannot mount a tmpfs here (needs root)"
  exit 77
fi
mkdir "$dir/DebugLogs"
dd if=/dev/zero of="$dir/filler" bs=4k 2>/dev/null
# Any partial block left over is used up too.
head -c 4096 /dev/zero >>"$dir/filler" 2>/dev/null

BOOT_FULL_DIR="Z:${dir//\//\\}" "$wine_run" "$test_exe" \
  --gtest_filter='StubRunTest.ReportsTheFirstFailedLogWriteOnceAndDropsTheRest' 2>&1 |
  tee "$dir.out"
status=${PIPESTATUS[0]}
if grep -q '\[  SKIPPED \]' "$dir.out"; then status=77; fi
rm -f "$dir.out"
exit "$status"

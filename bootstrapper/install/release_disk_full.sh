#!/usr/bin/env bash
# Runs the write-failure test of the file release against a real small file system: a fresh
# 64 KiB tmpfs as the install directory, too small for the payload written there.
# Exits 77 (skipped) where mounting is not allowed.
set -uo pipefail
wine_run=$1
test_exe=$2

dir=$(mktemp -d /tmp/boot-small-XXXXXX)
cleanup() { umount "$dir" 2>/dev/null; rmdir "$dir"; rm -f "$dir.out"; }
trap cleanup EXIT
if ! mount -t tmpfs -o size=64k tmpfs "$dir" 2>/dev/null; then
  echo "skipped: cannot mount a tmpfs here (needs root)"
  exit 77
fi

BOOT_SMALL_DIR="Z:${dir//\//\\}" "$wine_run" "$test_exe" \
  --gtest_filter='ReleaseFilesTest.APayloadThatDoesNotFitIsAWriteFail' 2>&1 | tee "$dir.out"
status=${PIPESTATUS[0]}
if grep -q '\[  SKIPPED \]' "$dir.out"; then status=77; fi
exit "$status"

#!/usr/bin/env bash
# Size of the bare stub, the fixed cost of every update exe.
set -euo pipefail
stub=$BOOT_WINDOWS_DIR/bootstrapper/bootstrapper.exe
size=$(stat -c %s "$stub")
awk -v s="$size" 'BEGIN { printf "bootstrapper.exe: %d bytes (%.1f KiB)\n", s, s / 1024 }'

#!/usr/bin/env bash
# LZNT1: compressed size per level against the optimal parse, compression and decoding speed.
set -euo pipefail
exec "$BOOT_RELEASE_DIR/lznt1/lznt1_bench" "$@"

#!/usr/bin/env bash
# Delta encoder: speed and compressed body size against the compressed new file, on a synthetic
# rebuild (and on OLD NEW when given), and speed on repeating and unmatched input.
# usage: delta_encoder.sh [--mb N] [OLD NEW]
set -euo pipefail
exec "$BOOT_RELEASE_DIR/bench/delta_encoder_bench" "$@"

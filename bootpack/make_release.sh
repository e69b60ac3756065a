#!/usr/bin/env bash
# Writes a small release into folder $1 for the packer's script checks: a copy of the
# program $2 (binary), text files, a one-byte file in a nested folder, plus
# package.json naming a launcher and cleans. Deterministic: the same bytes on every run.
set -euo pipefail
dir=$1
program=$2
mkdir -p "$dir/release/data/sub"
cp "$program" "$dir/release/app.exe"
for i in $(seq 1 3000); do echo "notes line $i: the update carries its files as resources"; done \
  > "$dir/release/data/notes.txt"
printf 'x' > "$dir/release/data/sub/tiny.bin"
head -c 20000 "$program" | od -An -tx1 > "$dir/release/dump.txt"
cat > "$dir/package.json" <<'JSON'
{"version": "3.1.4", "launcher": "app.exe",
 "cleans": [{"path": "old\\", "fail_ok": true, "type": "dir"},
            {"path": "HKEY_CURRENT_USER\\Software\\BootpackCheck", "fail_ok": true, "type": "registry"}]}
JSON

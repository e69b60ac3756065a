#!/usr/bin/env bash
# Big manifests: packing and inspecting an update of 200,000 file cleans (distinct paths), and
# one of 65,535 small files (the most resource ids allow), then the stub's own manifest reader
# on each packed manifest. Baselines from the same run: the same package with one clean (pack,
# inspect) and cJSON parsing the same text alone (reader).
# usage: manifest.sh [ENTRIES]   (default 200000 cleans; the file variant takes up to 65535)
set -euo pipefail
source "$(dirname "$0")/common.bash"
bootpack=$BOOT_RELEASE_DIR/bootpack/bootpack
harness=$BOOT_RELEASE_DIR/bench/manifest_bench
stub=$BOOT_WINDOWS_DIR/bootstrapper/bootstrapper.exe
entries=${1:-200000}
files=$(( entries < 65535 ? entries : 65535 ))

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo 'payload' > "$work/app.bin"

# clean_package COUNT: a package of COUNT file cleans and one update.
clean_package() {
  awk -v n="$1" 'BEGIN {
    printf "{\"version\": \"1.0.0\", \"launcher\": \"app.bin\", \"cleans\": [\n"
    for (i = 0; i < n; ++i)
      printf "%s{\"path\": \"old\\\\dir%d\\\\file%d.dll\", \"fail_ok\": true, \"type\": \"file\"}\n", (i ? "," : " "), i % 997, i
    printf "], \"updates\": [{\"path\": \"app.bin\", \"source\": \"app.bin\"}]}\n"
  }'
}

# timed LABEL COMMAND...: runs the command, prints its wall time and peak memory.
timed() {
  local label=$1
  shift
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" >/dev/null
  read -r wall peak < "$work/time"
  awk -v l="$label" -v w="$wall" -v p="$peak" 'BEGIN { printf "  %-34s %7.2f s, peak %6.1f MiB\n", l, w, p / 1024 }'
}

clean_package 1 > "$work/one.json"
clean_package "$entries" > "$work/cleans.json"
echo "$entries file cleans (package $(( $(stat -c %s "$work/cleans.json") / 1048576 )) MiB):"
timed "pack, 1 clean (baseline)" "$bootpack" pack --stub "$stub" --package "$work/one.json" -o "$work/one.exe"
timed "pack, $entries cleans" "$bootpack" pack --stub "$stub" --package "$work/cleans.json" -o "$work/cleans.exe"
timed "inspect, 1 clean (baseline)" "$bootpack" inspect "$work/one.exe"
timed "inspect, $entries cleans" "$bootpack" inspect "$work/cleans.exe"
"$harness" "$work/cleans.exe"

# The same with many small files: each a few bytes of its own, delivered with --from.
mkdir "$work/files"
awk -v n="$files" -v dir="$work/files" 'BEGIN {
  for (i = 0; i < n; ++i) {
    name = sprintf("%s/f%05d.txt", dir, i)
    printf "file %d\n", i > name
    close(name)
  }
}'
echo '{"version": "1.0.0"}' > "$work/from.json"
mkdir "$work/onefile"
echo 'file 0' > "$work/onefile/f00000.txt"
echo "$files small files:"
timed "pack, 1 file (baseline)" "$bootpack" pack --stub "$stub" --package "$work/from.json" --from "$work/onefile" -o "$work/onefile.exe"
timed "pack, $files files" "$bootpack" pack --stub "$stub" --package "$work/from.json" --from "$work/files" -o "$work/files.exe"
timed "inspect, 1 file (baseline)" "$bootpack" inspect "$work/onefile.exe"
timed "inspect, $files files" "$bootpack" inspect "$work/files.exe"
"$harness" "$work/files.exe"

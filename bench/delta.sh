#!/usr/bin/env bash
# A delta update against a full one, for a release whose next build changed a few files:
#  - old release: Windows DLLs in name order (Wine's PE builds, or copies of the stub where
#    Wine's are missing) up to 32 MiB, and a 2.6 MB text table;
#  - new release: the same, with the largest files rebuilt by bench/rebuild_release.cpp (a
#    4-byte address moved every 32 bytes, three blocks of random bytes of 3 % of the file each
#    inserted, everything behind them shifted) until 5 % of the release's bytes are changed or
#    inserted;
#  - full: bootpack pack --from NEW; delta: the same with --previous OLD (both at the default
#    level, timed);
#  - apply: each update run under Wine on a copy of the old release (-update -base=<it>, no
#    parent to wait for), timed by the harness from process start to exit, best of three; the
#    result is compared with the new release byte for byte.
set -euo pipefail
source "$(dirname "$0")/common.bash"
setup_wine_bench
rebuild=${BOOT_RELEASE_DIR:-$top/build/release}/bench/rebuild_release
percent=${DELTA_PERCENT:-5}

old=$work/old new=$work/new
mkdir -p "$old"
collect_pe_files "$old" $((32 * 1024 * 1024)) "$stub" >/dev/null
seq 1 400000 > "$old/table.txt"
total=$(cat "$old"/* | wc -c)
cp -r "$old" "$new"
read -r changed_files changed_bytes < <(
  "$rebuild" "$percent" "$total" $(ls -S "$new"/* | grep -v table.txt))
files=$(ls "$old" | wc -l)
awk -v f="$files" -v b="$total" -v c="$changed_files" -v x="$changed_bytes" 'BEGIN {
  printf "release: %d files, %.1f MiB; next build: %d files rebuilt, %.1f MiB (%.1f %%) changed or inserted\n",
    f, b / 1048576, c, x / 1048576, 100 * x / b }'

echo '{"version": "1.0.0"}' > "$work/package.json"
seconds() { local start=$1; awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.2f", e - s }'; }
start=$(date +%s.%N)
"$bootpack" pack --stub "$stub" --package "$work/package.json" --from "$new" -o "$work/full.exe" >/dev/null
full_pack=$(seconds "$start")
start=$(date +%s.%N)
"$bootpack" pack --stub "$stub" --package "$work/package.json" --from "$new" --previous "$old" \
  -o "$work/delta.exe" > "$work/delta.txt"
delta_pack=$(seconds "$start")
grep -E '^  delta:' "$work/delta.txt"
full_size=$(stat -c %s "$work/full.exe") delta_size=$(stat -c %s "$work/delta.exe")
stub_size=$(stat -c %s "$stub")

best() { sort -g | head -n 1; }
apply() {
  local exe=$1 t
  rm -rf "$work/install" "$work/run"
  cp -r "$old" "$work/install"
  mkdir -p "$work/run"
  t=$(timed_run "$work/run" "$exe" -update "-base=$(win "$work/install")")
  if ! diff -r -q "$new" "$work/install" >/dev/null; then
    echo "delta: ${exe##*/} did not leave the new release" >&2
    iconv -f UTF-16LE -t UTF-8 "$work"/run/DebugLogs/*_upd.txt >&2 || true
    exit 1
  fi
  echo "$t"
}
full_times=() delta_times=()
for run in 1 2 3; do
  full_times+=("$(apply "$work/full.exe")")
  delta_times+=("$(apply "$work/delta.exe")")
done
full_apply=$(printf '%s\n' "${full_times[@]}" | best)
delta_apply=$(printf '%s\n' "${delta_times[@]}" | best)

awk -v f="$full_size" -v d="$delta_size" -v s="$stub_size" -v fp="$full_pack" -v dp="$delta_pack" \
    -v fa="$full_apply" -v da="$delta_apply" 'BEGIN {
  printf "full update exe:  %7.2f MiB   packed in %5.2f s   applied in %5.2f s\n", f / 1048576, fp, fa
  printf "delta update exe: %7.2f MiB   packed in %5.2f s   applied in %5.2f s\n", d / 1048576, dp, da
  printf "delta / full: %.1f %% of the exe (%.1f %% without the %.0f KiB stub both carry)\n",
    100 * d / f, 100 * (d - s) / (f - s), s / 1024 }'

# Every file rebuilt, and one replaced by bytes that match nothing of its old version: the delta
# must still never be larger than the full update.
worst=$work/worst
cp -r "$old" "$worst"
"$rebuild" 100 "$total" $(ls -S "$worst"/* | grep -v table.txt) >/dev/null
head -c "$(stat -c %s "$old/table.txt")" /dev/urandom > "$worst/table.txt"
"$bootpack" pack -q --stub "$stub" --package "$work/package.json" --from "$worst" -o "$work/worst-full.exe"
"$bootpack" pack -q --stub "$stub" --package "$work/package.json" --from "$worst" --previous "$old" \
  -o "$work/worst-delta.exe"
awk -v f="$(stat -c %s "$work/worst-full.exe")" -v d="$(stat -c %s "$work/worst-delta.exe")" 'BEGIN {
  printf "every file rebuilt: full %.2f MiB, delta %.2f MiB (%.1f %%; %s)\n", f / 1048576, d / 1048576,
    100 * d / f, d <= f ? "not larger" : "LARGER than the full update" }'

#!/usr/bin/env bash
# Applying an update of about 64 MB of PE files under Wine, in the safe mode (bootpack's
# default) and in the compatible mode (--compat), next to copying the same bytes.
#  - release: Windows DLLs in name order (Wine's PE builds, or copies of the stub where Wine's
#    are missing) up to 64 MiB, packed by the optimised bootpack at its default level;
#  - apply: the update exe run as an application starts it (-update -base=<empty folder>, no
#    parent to wait for), timed from process start to exit by a small harness under Wine;
#  - copy: the same files copied by the harness under Wine, one read and one write per file;
#  - start: the bare stub started the same way (no update), the fixed cost of a Wine process;
#  - decoding alone: the harness decodes the update's payloads as the stub does and keeps
#    nothing: with the start, the part of an apply that the system's decoder sets;
#  - writing alone: the harness reads the files into memory first and times only their writes,
#    one per file, as the compatible mode releases them. That mode decodes everything before
#    its first clean and writes only after its last, so start + decoding + writing is its floor
#    (below what it also needs: every file hashed before the first clean, and all the files'
#    new memory touched);
#  - peak memory: the highest VmHWM of the update's Wine process, read from /proc while it runs
#    (GetProcessMemoryInfo on another process does not report it reliably under Wine), next to
#    the bare stub's. Best of five runs for every time (this machine's times vary by a third from run
#    to run, the copy's as much as the rest). The update's log and install folder
#    are on the same file system as the copy (mktemp -d); the log flushes every line. Every step
#    starts with nothing left to write back from the one before.
set -euo pipefail
source "$(dirname "$0")/common.bash"
setup_wine_bench

release=$work/release
mkdir -p "$release"
total=$(collect_pe_files "$release" $((64 * 1024 * 1024)) "$stub")
files=$(ls "$release" | wc -l)
echo '{"version": "1.0.0", "cleans": []}' > "$work/package.json"
"$bootpack" pack --stub "$stub" --package "$work/package.json" --from "$release" \
  -o "$work/safe.exe" >/dev/null
"$bootpack" pack --compat --stub "$stub" --package "$work/package.json" --from "$release" \
  -o "$work/compat.exe" >/dev/null 2>&1
update_size=$(stat -c %s "$work/safe.exe")
awk -v f="$files" -v b="$total" -v u="$update_size" 'BEGIN {
  printf "release: %d PE files, %.1f MiB; update exe %.1f MiB\n", f, b / 1048576, u / 1048576 }'

# Empty folders, and nothing of the last step left to write back: a step that flushes (the log,
# the safe mode's files) would otherwise wait for the disk to take the step before it.
fresh() {
  rm -rf "$work/install" "$work/run" "$work/copy"
  mkdir -p "$work/install" "$work/run" "$work/copy"
  sync
}
best() { sort -g | head -n 1; }
first=$(ls "$release" | head -n 1)
cp "$stub" "$work/bare.exe"

safe_times=() compat_times=() start_times=() copy_times=() decode_times=() write_times=()
for run in 1 2 3 4 5; do
  for mode in safe compat; do
    fresh
    t=$(timed_run "$work/run" "$work/$mode.exe" -update "-base=$(win "$work/install")")
    if ! cmp -s "$release/$first" "$work/install/$first"; then
      echo "apply: the $mode update did not write its files" >&2
      iconv -f UTF-16LE -t UTF-8 "$work"/run/DebugLogs/*_upd.txt >&2 || true
      exit 1
    fi
    if [ "$mode" = safe ]; then safe_times+=("$t"); else compat_times+=("$t"); fi
  done
  fresh
  start_times+=("$(timed_run "$work/run" "$work/bare.exe")")
  fresh
  copy_times+=("$("$wine_run" "$harness" copy "$(win "$release")" "$(win "$work/copy")" |
                  awk '/^seconds/ {print $2}')")
  fresh
  decode_times+=("$("$wine_run" "$harness" decode "$(win "$work/safe.exe")" | awk '/^seconds/ {print $2}')")
  fresh
  write_times+=("$("$wine_run" "$harness" write "$(win "$release")" "$(win "$work/copy")" |
                   awk '/^seconds/ {print $2}')")
done
safe=$(printf '%s\n' "${safe_times[@]}" | best)
compat=$(printf '%s\n' "${compat_times[@]}" | best)
start=$(printf '%s\n' "${start_times[@]}" | best)
copy=$(printf '%s\n' "${copy_times[@]}" | best)
decode=$(printf '%s\n' "${decode_times[@]}" | best)
write=$(printf '%s\n' "${write_times[@]}" | best)
fresh
safe_peak=$(peak_run "$work/run" "$work/safe.exe" -update "-base=$(win "$work/install")")
fresh
compat_peak=$(peak_run "$work/run" "$work/compat.exe" -update "-base=$(win "$work/install")")
# The bare stub ends within a few samples of the watch, which can miss its last growth: the
# highest of five runs (a high-water mark is never overstated).
start_peak=$(for run in 1 2 3 4 5; do peak_run "$work/run" "$work/bare.exe"; done | sort -n | tail -n 1)

awk -v a="$safe" -v m="$compat" -v s="$start" -v c="$copy" -v d="$decode" -v w="$write" -v b="$total" 'BEGIN {
  printf "apply, safe mode:       %6.2f s (%5.1f MB/s of written files)   safe / copy = %.1fx\n", a, b / 1048576 / a, a / c
  printf "apply, compatible mode: %6.2f s (%5.1f MB/s of written files)   compat / copy = %.1fx\n", m, b / 1048576 / m, m / c
  printf "copy same bytes:        %6.2f s (%5.1f MB/s)\n", c, b / 1048576 / c
  printf "bare stub start:        %6.2f s\n", s
  printf "decoding alone:         %6.2f s (the payloads by RtlDecompressBuffer on every processor, as the stub\n", d
  printf "                                 cuts them, nothing kept); start + decoding = %.1fx the copy\n", (s + d) / c
  printf "writing alone:          %6.2f s (the files from memory, one write each, as the compatible mode\n", w
  printf "                                 releases them); start + decoding + writing = %.1fx the copy,\n", (s + d + w) / c
  printf "                                 before the compatible mode hashes a file or touches its new memory\n"
}'
for mode in safe compat; do
  peak=${mode}_peak
  if (( ${!peak} > 0 )); then
    awk -v m="$mode" -v p="${!peak}" -v s="$start_peak" -v b="$total" 'BEGIN {
      printf "peak memory (VmHWM), %-6s: %.1f MiB, bare stub %.1f MiB; difference %.1f MiB = %.2fx the files\n",
        m, p / 1024, s / 1024, (p - s) / 1024, (p - s) * 1024 / b }'
  else
    echo "peak memory, $mode: not readable (the update's process was not found in /proc)"
  fi
done

#!/usr/bin/env bash
# Packing a release of about 64 MB: wall time, CPU time and peak memory of the optimised packer
# at each level, the size it writes, and copying the same bytes with cp as the floor; then the
# peak memory of packing one large file of random bytes.
# The release is made the same way on every run: Windows DLLs in name order (Wine's PE builds,
# or copies of the stub where Wine is missing) up to 48 MiB, and 16 MiB of generated text.
set -euo pipefail
source "$(dirname "$0")/common.bash"
bootpack=$BOOT_RELEASE_DIR/bootpack/bootpack
stub=$BOOT_WINDOWS_DIR/bootstrapper/bootstrapper.exe

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
release=$work/release
mkdir -p "$release/bin" "$release/docs"

total=$(collect_pe_files "$release/bin" $((48 * 1024 * 1024)) "$stub")
for part in $(seq -w 1 16); do
  awk -v part="$part" 'BEGIN {
    srand(part);
    split("update stub payload resource manifest release install launcher clean registry", w, " ");
    for (n = 0; n < 1048576;) {
      line = sprintf("%s %s(%d) -> %s %d;", w[int(rand() * 10) + 1], w[int(rand() * 10) + 1],
                     int(rand() * 100000), w[int(rand() * 10) + 1], int(rand() * 1000));
      print line; n += length(line) + 1
    }
  }' > "$release/docs/part$part.txt"
  truncate -s 1048576 "$release/docs/part$part.txt"
done
echo '{"version": "1.0.0"}' > "$work/package.json"

files=$(find "$release" -type f | wc -l)
bytes=$(du -sb "$release" | cut -f1)
awk -v f="$files" -v b="$bytes" 'BEGIN { printf "release: %d files, %.1f MiB\n", f, b / 1048576 }'

# The floor: copying the same bytes onto the disk (bootpack also flushes what it writes).
start=$(date +%s.%N)
cp -r "$release" "$work/copy"
find "$work/copy" -type f -exec sync {} +
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" 'BEGIN { printf "cp -r + sync:            %6.2f s wall\n", e - s }'

for level in fast default max; do
  /usr/bin/time -f '%e %U %S %M' -o "$work/time" \
    "$bootpack" pack --stub "$stub" --package "$work/package.json" --from "$release" \
    -o "$work/update-$level.exe" --level "$level" >/dev/null
  read -r wall user sys peak < "$work/time"
  out=$(stat -c %s "$work/update-$level.exe")
  awk -v l="$level" -v w="$wall" -v u="$user" -v s="$sys" -v p="$peak" -v o="$out" -v b="$bytes" 'BEGIN {
    printf "pack --level %-7s %6.2f s wall, %6.2f s CPU, %5.1f MiB/s, peak %6.1f MiB, exe %5.1f MiB (%.1f%%)\n",
      l, w, u + s, b / 1048576 / (w > 0 ? w : 0.01), p / 1024, o / 1048576, 100 * o / b
  }'
done

# best_time CMD...: the shortest wall time of three runs of CMD, in seconds.
best_time() {
  for run in 1 2 3; do
    /usr/bin/time -f '%e' -o "$work/time" "$@" >/dev/null
    cat "$work/time"
  done | sort -g | head -n 1
}

# What a pack at the default level does besides compressing: it checks the written exe as
# inspect does (reads it back, decodes every payload, compares every SHA-256) and writes and
# flushes the exe. Timed alone, next to the copy: what is left of twice the copy for reading,
# hashing and compressing the release.
cp_sync=$(awk -v s="$start" -v e="$end" 'BEGIN { print e - s }')
check=$(best_time "$bootpack" inspect --quiet "$work/update-default.exe")
start=$(date +%s.%N)
cp "$work/update-default.exe" "$work/written.exe"
sync "$work/written.exe"
end=$(date +%s.%N)
# And compressing alone: the release's files as one file, compressed at the default level on
# every processor (bootpack compress reads it and writes the stream). Best of three, as the
# check: these are the floors, not the pack's own figures.
find "$release" -type f | LC_ALL=C sort | xargs cat > "$work/joined"
compress=$(best_time "$bootpack" compress --level default "$work/joined" "$work/joined.lznt1")
rm -f "$work/joined" "$work/joined.lznt1"
awk -v c="$check" -v s="$start" -v e="$end" -v z="$compress" -v f="$cp_sync" 'BEGIN {
  f = f > 0 ? f : 0.01
  printf "checking the default exe alone (inspect --quiet): %.2f s; writing it alone (cp + sync): %.2f s;\n", c, e - s
  printf "  together %.1fx cp -r + sync, before a byte of the release is read, hashed or compressed\n", (c + e - s) / f
  printf "compressing the release alone (compress --level default, one stream): %.2f s = %.1fx cp -r + sync\n", z, z / f
}'

# Memory for incompressible content: one file of random bytes (BOOT_BENCH_RANDOM_MIB, default
# 300), packed at the default level; peak resident memory next to the file's size.
random_mib=${BOOT_BENCH_RANDOM_MIB:-300}
rm -rf "$work/copy" "$work"/update-*.exe "$work/written.exe"
mkdir "$work/random"
head -c $((random_mib * 1048576)) /dev/urandom > "$work/random/random.bin"
/usr/bin/time -f '%e %U %S %M' -o "$work/time" \
  "$bootpack" pack --stub "$stub" --package "$work/package.json" --from "$work/random" \
  -o "$work/update-random.exe" >/dev/null
read -r wall user sys peak < "$work/time"
awk -v m="$random_mib" -v w="$wall" -v p="$peak" 'BEGIN {
  printf "pack %d MiB of random bytes: %6.2f s wall, peak %6.1f MiB (%.2f x the file)\n", m, w, p / 1024, p / 1024 / m
}'

#!/usr/bin/env bash
# A big release, packed and applied under Wine: one file of 1 GiB and eight of 128 MiB (2 GiB in
# all, made of Windows DLLs repeated with a counter stamped into every 4 KiB, so that it packs
# about as well as real binaries), then
#  - pack: wall time and peak memory of the optimised packer at the default level, safe and
#    compatible, next to cp + sync of the same bytes;
#  - apply: each update exe run into an empty folder, wall time and peak memory (VmHWM) of its
#    process, next to copying the same bytes under Wine;
#  - limits: a file larger than the format can carry (a sparse 3 GiB file) is refused before it
#    is read, and the time that takes.
# Not part of `make test`: it needs about 8 GiB of free space in $TMPDIR and a few minutes.
set -euo pipefail
source "$(dirname "$0")/common.bash"
setup_wine_bench
release=$work/release
mkdir -p "$release/data"

# make_file PATH MIB SEED: MIB MiB of DLL bytes, every 4 KiB block stamped with its number.
seed_bytes=$work/seed.bin
collect_pe_files "$work" $((32 * 1024 * 1024)) "$stub" >/dev/null
cat "$work"/*.dll "$work"/*.exe 2>/dev/null | head -c $((32 * 1048576)) > "$seed_bytes" || true
rm -f "$work"/*.dll
python3 - "$seed_bytes" "$release" <<'EOF'
import sys, os
seed = open(sys.argv[1], 'rb').read()
def make(path, mib, salt):
    with open(path, 'wb') as out:
        block = 0
        for _ in range(mib):
            start = (block * 4096) % len(seed)
            piece = bytearray(seed[start:start + 1048576])
            piece += seed[:1048576 - len(piece)]
            for at in range(0, 1048576, 4096):
                piece[at:at + 8] = (block * 31 + salt).to_bytes(8, 'little')
                block += 1
            out.write(piece)
make(os.path.join(sys.argv[2], 'big.bin'), 1024, 7)
for i in range(8):
    make(os.path.join(sys.argv[2], 'data', 'part%d.bin' % i), 128, i)
EOF
bytes=$(du -sb "$release" | cut -f1)
files=$(find "$release" -type f | wc -l)
echo '{"version": "1.0.0", "cleans": []}' > "$work/package.json"
awk -v f="$files" -v b="$bytes" 'BEGIN { printf "release: %d files, %.0f MiB (largest 1024 MiB)\n", f, b / 1048576 }'

start=$(date +%s.%N)
cp -r "$release" "$work/copy"
find "$work/copy" -type f -exec sync {} +
end=$(date +%s.%N)
rm -rf "$work/copy"
awk -v s="$start" -v e="$end" 'BEGIN { printf "cp -r + sync:       %7.2f s\n", e - s }'

for mode in safe compat; do
  flag=""
  [ "$mode" = compat ] && flag=--compat
  /usr/bin/time -f '%e %M' -o "$work/time" "$bootpack" pack $flag --stub "$stub" \
    --package "$work/package.json" --from "$release" -o "$work/$mode.exe" >/dev/null 2>&1
  read -r wall peak < "$work/time"
  awk -v m="$mode" -v w="$wall" -v p="$peak" -v o="$(stat -c %s "$work/$mode.exe")" -v b="$bytes" 'BEGIN {
    printf "pack, %-6s        %7.2f s, peak %6.0f MiB (%.2fx the largest file), exe %.0f MiB\n",
      m, w, p / 1024, p / 1024 / 1024, o / 1048576 }'
done

fresh() { rm -rf "$work/install" "$work/run" "$work/copy"; mkdir -p "$work/install" "$work/run" "$work/copy"; }
fresh
copy=$("$wine_run" "$harness" copy "$(win "$release/data")" "$(win "$work/copy")" | awk '/^seconds/ {print $2}')
big_copy=$(mkdir -p "$work/copy2" && "$wine_run" "$harness" copy "$(win "$release")" "$(win "$work/copy2")" | awk '/^seconds/ {print $2}')
rm -rf "$work/copy2"
awk -v a="$copy" -v b="$big_copy" 'BEGIN { printf "copy under Wine:    %7.2f s\n", a + b }'
# The compatible run creates no folders: the install folder has data\ already, as it would.
for mode in safe compat; do
  fresh
  mkdir -p "$work/install/data"
  t=$(timed_run "$work/run" "$work/$mode.exe" -update "-base=$(win "$work/install")")
  if ! cmp -s "$release/big.bin" "$work/install/big.bin" ||
     ! cmp -s "$release/data/part7.bin" "$work/install/data/part7.bin"; then
    echo "big_release: the $mode update did not write its files" >&2
    iconv -f UTF-16LE -t UTF-8 "$work"/run/DebugLogs/*_upd.txt >&2 || true
    exit 1
  fi
  fresh
  mkdir -p "$work/install/data"
  p=$(peak_run "$work/run" "$work/$mode.exe" -update "-base=$(win "$work/install")")
  awk -v m="$mode" -v t="$t" -v p="$p" -v b="$bytes" 'BEGIN {
    printf "apply, %-6s       %7.2f s, peak %6.0f MiB (%.2fx the files)\n", m, t, p / 1024, p * 1024 / b }'
done

truncate -s 3G "$work/huge.bin"
mkdir -p "$work/huge"
mv "$work/huge.bin" "$work/huge/"
start=$(date +%s.%N)
if message=$("$bootpack" pack --stub "$stub" --package "$work/package.json" --from "$work/huge" \
             -o "$work/huge.exe" 2>&1); then
  echo "big_release: a 3 GiB file was packed" >&2
  exit 1
fi
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" 'BEGIN { printf "3 GiB file refused in %.2f s: ", e - s }'
echo "$message" | grep -v "^bootpack: warning:" | head -n 1

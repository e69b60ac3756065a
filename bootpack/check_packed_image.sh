#!/usr/bin/env bash
# Packs the real stub with bootpack.exe under Wine, then checks with GNU objdump that the
# output is a sound PE32+ image: objdump reads it without complaint, the resource directory
# holds the stub's own resources plus the manifest (42/42) and one payload per file (type 256),
# and every leaf's data lies inside the resource section.
set -euo pipefail
objdump=$1
wine_run=$(realpath "$2")
bootpack=$(realpath "$3")
stub=$(realpath "$4")
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$here/make_release.sh" "$work" "$stub"
cp "$stub" "$work/stub.exe"
(cd "$work" && "$wine_run" "$bootpack" pack --stub stub.exe --package package.json \
   -o update.exe --from release >/dev/null)

"$objdump" -p "$work/update.exe" >"$work/info" 2>"$work/errors"
fail=0
if [ -s "$work/errors" ]; then echo "objdump complained:"; cat "$work/errors"; fail=1; fi
grep -q 'file format pei-x86-64' "$work/info" || { echo "not read as PE32+"; fail=1; }
grep -Eq '^Entry 2 [0-9a-f]+ [0-9a-f]+ Resource Directory \[\.rsrc\]' "$work/info" \
  || { echo "resource directory not in a .rsrc section"; fail=1; }

tree=$(sed -n '/Resource Directory section:/,/Resources start at/p' "$work/info")
leaves=$(grep -c 'Leaf:' <<<"$tree" || true)
bare_leaves=$("$objdump" -p "$stub" | sed -n '/Resource Directory section:/,/Resources start at/p' | grep -c 'Leaf:' || true)
files=$(find "$work/release" -type f | wc -l)
[ "$leaves" -eq $((bare_leaves + 1 + files)) ] \
  || { echo "expected $bare_leaves stub leaves + manifest + $files payloads, found $leaves"; fail=1; }
grep -q 'Entry: ID: 0x00002a, Value: 0x8' <<<"$tree" || { echo "no manifest type 42"; fail=1; }
grep -q 'Entry: ID: 0x000100, Value: 0x8' <<<"$tree" || { echo "no payload type 256"; fail=1; }

# Every leaf's data lies inside the resource directory's range (RVAs, as the loader maps them).
read -r rva size < <(awk '$1 == "Entry" && $2 == "2" {print $3, $4}' "$work/info")
start=$((16#$rva))
end=$((start + 16#$size))
while read -r addr length; do
  a=$((16#${addr#0x})); n=$((16#${length#0x}))
  if (( a < start || a + n > end )); then
    echo "leaf at $addr ($length bytes) outside the resources [$start, $end)"; fail=1
  fi
done < <(grep -o 'Addr: 0x[0-9a-f]*, Size: 0x[0-9a-f]*' <<<"$tree" | sed 's/Addr: //; s/, Size: / /')

echo "packed image: $leaves resource leaves, $(stat -c %s "$work/update.exe") bytes"
[ $fail -eq 0 ] && echo "objdump check: ok"
exit $fail

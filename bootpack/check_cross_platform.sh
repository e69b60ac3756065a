#!/usr/bin/env bash
# The native bootpack and bootpack.exe under Wine pack the same package into byte-identical
# update exes, at every level and as a delta. Needs a built Windows tree; exits 77 (skipped) without one.
set -euo pipefail
native=$(realpath "$1")
windows_dir=$(realpath -m "$2")
wine_run=$(realpath "$3")
here=$(cd "$(dirname "$0")" && pwd)
exe=$windows_dir/bootpack/bootpack.exe
stub=$windows_dir/bootstrapper/bootstrapper.exe
if [ ! -f "$exe" ] || [ ! -f "$stub" ]; then
  echo "skipped: no bootpack.exe and bootstrapper.exe under $windows_dir (build the windows preset)"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$here/make_release.sh" "$work" "$stub"
cp "$stub" "$work/stub.exe"
fail=0
for level in fast default max; do
  (cd "$work" && "$native" pack --stub stub.exe --package package.json -o "native-$level.exe" \
     --from release --level "$level" >/dev/null)
  (cd "$work" && "$wine_run" "$exe" pack --stub stub.exe --package package.json \
     -o "windows-$level.exe" --from release --level "$level" >/dev/null)
  if cmp -s "$work/native-$level.exe" "$work/windows-$level.exe"; then
    echo "level $level: identical ($(stat -c %s "$work/native-$level.exe") bytes)"
  else
    echo "level $level: native and Windows outputs differ"; fail=1
  fi
done
# A delta against an earlier build: the program with bytes changed and a block inserted, the
# notes shorter, the dump the same.
mkdir -p "$work/previous/data/sub"
{ head -c 30000 "$stub"; head -c 3000 /dev/zero; tail -c +30001 "$stub"; } |
  sed 's/This program/THIS program/' > "$work/previous/app.exe"
head -n 2000 "$work/release/data/notes.txt" > "$work/previous/data/notes.txt"
cp "$work/release/dump.txt" "$work/previous/"
(cd "$work" && "$native" pack --stub stub.exe --package package.json -o native-delta.exe \
   --from release --previous previous >/dev/null)
(cd "$work" && "$wine_run" "$exe" pack --stub stub.exe --package package.json -o windows-delta.exe \
   --from release --previous previous >/dev/null)
if cmp -s "$work/native-delta.exe" "$work/windows-delta.exe" &&
   "$native" inspect "$work/native-delta.exe" | grep -q 'patch: rebuilt from'; then
  echo "delta: identical ($(stat -c %s "$work/native-delta.exe") bytes)"
else
  echo "delta: native and Windows outputs differ, or hold no patch"; fail=1
fi
"$native" inspect "$work/windows-default.exe" >/dev/null || { echo "native inspect refuses the Windows output"; fail=1; }
exit $fail

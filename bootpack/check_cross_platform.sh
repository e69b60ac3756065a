#!/usr/bin/env bash
# The native bootpack and bootpack.exe under Wine pack the same package into byte-identical
# update exes, at every level. Needs a built Windows tree; exits 77 (skipped) without one.
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
"$native" inspect "$work/windows-default.exe" >/dev/null || { echo "native inspect refuses the Windows output"; fail=1; }
exit $fail

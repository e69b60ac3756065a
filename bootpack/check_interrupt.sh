#!/usr/bin/env bash
# Interrupts bootpack.exe under Wine (SIGINT, which Wine delivers as Ctrl-C) while it writes the
# update exe, and checks that neither the temporary file nor an output is left, and that the
# process ended with STATUS_CONTROL_C_EXIT (its low byte, 58, as Wine reports it).
set -uo pipefail
wine_run=$(realpath "$1")
bootpack=$(realpath "$2")
stub=$(realpath "$3")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/release"
# Random bytes do not compress, so writing and checking the exe take a while.
head -c 200000000 /dev/urandom >"$work/release/noise.bin"
echo '{"version": "1", "updates": [{"path": "noise.bin", "source": "release/noise.bin"}]}' \
  >"$work/package.json"
cp "$stub" "$work/stub.exe"
cd "$work"
"$wine_run" "$bootpack" pack --stub stub.exe --package package.json -o update.exe --level fast \
  >/dev/null 2>&1 &
wine_pid=$!

# The Windows process itself (not the wine launcher) gets the signal, once the file exists.
seen=""
while kill -0 "$wine_pid" 2>/dev/null; do
  if compgen -G "update.exe.*.tmp" >/dev/null; then seen=1; break; fi
  sleep 0.01
done
if [ -z "$seen" ]; then
  echo "the pack ended before its temporary file was seen"; exit 1
fi
pid=""
for candidate in $(pgrep -f -- "--package package.json -o update.exe"); do
  if [ "$(readlink "/proc/$candidate/cwd")" = "$work" ] &&
     tr '\0' ' ' <"/proc/$candidate/cmdline" | grep -q 'bootpack.exe'; then
    pid=$candidate
  fi
done
[ -n "$pid" ] || { echo "bootpack.exe's process not found"; exit 1; }
kill -INT "$pid"
wait "$wine_pid"
status=$?

fail=0
left=$(ls -A | grep -v -x -e package.json -e release -e stub.exe || true)
if [ -n "$left" ]; then echo "left behind: $left"; fail=1; fi
if [ "$status" -ne 58 ]; then echo "exit status $status, expected 58 (STATUS_CONTROL_C_EXIT)"; fail=1; fi
exit $fail

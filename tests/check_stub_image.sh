#!/usr/bin/env bash
# Checks the stub's PE image with objdump: 64-bit GUI subsystem, ASLR with high-entropy VA and
# DEP, and imports from system DLLs only (no MinGW runtime DLL beside the exe is needed).
set -euo pipefail
objdump=$1
exe=$2
info=$("$objdump" -p "$exe")
fail=0

grep -q 'file format pei-x86-64' <<<"$info" || { echo "not a PE32+ x86-64 image"; fail=1; }
grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$info" || { echo "subsystem is not Windows GUI"; fail=1; }

flags=$(awk '/^DllCharacteristics/ {print $2}' <<<"$info")
for bit in 0020:HIGH_ENTROPY_VA 0040:DYNAMIC_BASE 0100:NX_COMPAT; do
  mask=${bit%%:*}
  if (( (16#$flags & 16#$mask) == 0 )); then echo "DllCharacteristics $flags lacks ${bit#*:}"; fail=1; fi
done

allowed='^(kernel32|user32|shell32|advapi32|bcrypt|ntdll|msvcrt|api-ms-win-crt-[a-z0-9-]+|ucrtbase|shlwapi|ole32)\.dll$'
dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$info" | sort -u)
[ -n "$dlls" ] || { echo "no imports found"; fail=1; }
for dll in $dlls; do
  grep -Eq "$allowed" <<<"$dll" || { echo "imports a non-system DLL: $dll"; fail=1; }
done

size=$(stat -c %s "$exe")
echo "imports: $(echo $dlls | tr '\n' ' ')"
echo "DllCharacteristics: $flags; size: $size bytes"
[ $fail -eq 0 ] && echo "stub image: ok"
exit $fail

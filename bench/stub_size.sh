#!/usr/bin/env bash
# Size of the bare stub, the fixed cost of every update exe, and where its bytes go.
#
# The breakdown comes from the link map written beside the exe (bootstrapper.map): every input
# section the image loads is charged to the object or library member it came from; what is left
# of the file is the PE headers and the padding of each section to the file alignment.
set -euo pipefail
stub=$BOOT_WINDOWS_DIR/bootstrapper/bootstrapper.exe
map=$BOOT_WINDOWS_DIR/bootstrapper/bootstrapper.map
size=$(stat -c %s "$stub")
awk -v s="$size" 'BEGIN { printf "bootstrapper.exe: %d bytes (%.1f KiB), stripped\n", s, s / 1024 }'

objdump=x86_64-w64-mingw32-objdump
if command -v "$objdump" >/dev/null; then
  "$objdump" -p "$stub" | awk '
    /\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
    table && /^\t\[/ { n++ }
    table && /^$/ { table = 0 }
    END { printf "exported symbols: %d\n", n }'
fi

if [ ! -e "$map" ]; then
  echo "no link map at $map: rebuild the stub for the breakdown"
  exit 0
fi

awk -v total="$size" '
  function hex(h,   i, v) {
    v = 0; h = tolower(substr(h, 3))
    for (i = 1; i <= length(h); i++) v = v * 16 + index("0123456789abcdef", substr(h, i, 1)) - 1
    return v
  }
  function group(file) {
    if (file ~ /\.res$/) return "resources (application manifest, version info)"
    if (file ~ /cJSON/) return "cJSON (the manifest parser)"
    if (file ~ /libboot_|bootstrapper\.dir\//) return "the stub'"'"'s own code"
    if (file ~ /libstdc\+\+\.a/) return "libstdc++ (exceptions, RTTI, new/delete)"
    if (file ~ /libgcc/) return "libgcc (SEH unwinder, thread-local storage)"
    if (file ~ /lib(win)?pthread\.a/) return "winpthread (what libstdc++ and libgcc lock with)"
    if (file ~ /libmingwex\.a/) return "mingwex (strtod)"
    if (file ~ /crt2u?\.o|crtbegin|crtend|libmingw32\.a|libmoldname\.a|libmsvcrt\.a\(lib64_/)
      return "MinGW start-up code"
    if (file ~ /\.a\(/) return "import tables and thunks (system DLLs)"
    return "base relocations and export table"
  }
  function charge(hexsize, file,   n) {
    n = hex(hexsize)
    if (out == ".bss" || n == 0) return  # .bss takes no room in the file
    g = group(file)
    bytes[g] += n; sum += n
    if (g ~ /own code|cJSON/) { sub(/.*\//, "", file); own[file] += n }
  }
  /^Linker script and memory map/ { inmap = 1; next }
  !inmap { next }
  /^[^ ]/ {  # an output section
    out = $1
    keep = out ~ /^\.(text|data|rdata|pdata|xdata|bss|edata|idata|CRT|tls|rsrc|reloc)$/
    pending = 0
    next
  }
  !keep { next }
  /^ [^ *]/ {  # an input section: on one line, or its figures on the next when the name is long
    if (NF == 1) { pending = 1; next }
    if (NF >= 4 && $2 ~ /^0x/ && $3 ~ /^0x/) charge($3, substr($0, index($0, $4)))
    pending = 0
    next
  }
  pending && /^ +0x[0-9a-f]+ +0x[0-9a-f]+ / {
    if (NF >= 3) charge($2, substr($0, index($0, $3)))
    pending = 0
  }
  END {
    bytes["PE headers and section alignment"] = total - sum
    printf "\nwhere the bytes go:\n"
    for (g in bytes) printf "%9d  %5.1f KiB  %4.1f%%  %s\n", bytes[g], bytes[g] / 1024, 100 * bytes[g] / total, g | "sort -rn"
    close("sort -rn")
    printf "\nlargest objects of the stub'"'"'s own code and cJSON:\n"
    for (f in own) printf "%9d  %5.1f KiB  %s\n", own[f], own[f] / 1024, f | "sort -rn | head -8"
    close("sort -rn | head -8")
  }' "$map"

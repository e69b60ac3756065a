# Shared by the benchmark scripts (sourced, not run).

# collect_pe_files DEST BUDGET STUB: fills DEST with PE files, the same ones on every run:
# Wine's 64-bit DLLs in name order while they fit in BUDGET bytes, or, where Wine's are
# missing, copies of STUB made distinct by a suffix. Prints the number of bytes collected.
collect_pe_files() {
  local dest=$1 budget=$2 stub=$3 total=0 size f i=0
  local dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
  if ls "$dlls"/*.dll >/dev/null 2>&1; then
    for f in $(ls "$dlls"/*.dll | LC_ALL=C sort); do
      size=$(stat -c %s "$f")
      (( total + size > budget )) && continue
      cp "$f" "$dest/"
      total=$((total + size))
    done
  else
    while (( total < budget )); do
      { cat "$stub"; printf 'variant %d' "$i"; } > "$dest/copy$i.exe"
      total=$((total + $(stat -c %s "$dest/copy$i.exe")))
      i=$((i + 1))
    done
  fi
  echo "$total"
}

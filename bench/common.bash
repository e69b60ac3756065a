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

# setup_wine_bench: what every benchmark under Wine needs: top, bootpack, stub and wine_run, a
# work folder (removed on exit) and the timing harness built into it ($harness).
setup_wine_bench() {
  top=${BOOT_TOP:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
  bootpack=${BOOT_RELEASE_DIR:-$top/build/release}/bootpack/bootpack
  stub=${BOOT_WINDOWS_DIR:-$top/build/windows}/bootstrapper/bootstrapper.exe
  wine_run=$top/scripts/wine-run
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  harness=$(build_apply_harness "$top" "$work")
}

# win PATH: the Wine path of a Unix path (Z: is the root).
win() { local p=$1; echo "Z:${p//\//\\}"; }

# build_apply_harness TOP WORK: builds the timing harness under Wine into WORK, prints its path.
build_apply_harness() {
  x86_64-w64-mingw32-g++-posix -O2 -static -municode "$1/bench/apply_harness.cpp" \
    -o "$2/apply_harness.exe"
  echo "$2/apply_harness.exe"
}

# Both need $harness (build_apply_harness) and $wine_run.
# timed_run DIR EXE ARGS...: runs the harness with `run DIR EXE ARGS...` and prints the seconds it reports.
timed_run() {
  local dir=$1 exe=$2; shift 2
  "$wine_run" "$harness" run "$(win "$dir")" "$(win "$exe")" "$@" | awk '/^seconds/ {print $2}'
}

# peak_run DIR EXE ARGS...: the same run, watched from /proc: prints the highest VmHWM (KiB) of the process whose first
# argument ends in EXE's file name. Kept apart from the timed runs, whose CPU it would share.
peak_run() {
  local dir=$1 exe=$2; shift 2
  local name=${exe##*/}
  "$wine_run" "$harness" run "$(win "$dir")" "$(win "$exe")" "$@" > /dev/null &
  local harness_pid=$! pid="" peak=0 key value rest
  while kill -0 "$harness_pid" 2>/dev/null; do
    if [ -z "$pid" ]; then
      pid=$(pgrep -f "^[^ ]*\\\\${name//./\\.}( |\$)" | head -n 1 || true)
    fi
    if [ -n "$pid" ] && [ -r "/proc/$pid/status" ]; then
      while read -r key value rest; do
        if [ "$key" = "VmHWM:" ] && (( value > peak )); then peak=$value; fi
      done < "/proc/$pid/status" 2>/dev/null || true
    fi
    sleep 0.01
  done
  wait "$harness_pid"
  echo "$peak"
}


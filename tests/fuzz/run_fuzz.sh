#!/bin/sh
# Runs a libFuzzer binary on a scratch copy of its corpus for a while; fails
# on any crash, leak or sanitizer report. Exits 77 (ctest: skipped) when the
# binary is missing: the clang tree (build-fuzz, made by scripts/setup)
# builds the fuzz targets, a plain cmake tree does not.
# Usage: run_fuzz.sh BINARY CORPUS SECONDS [libFuzzer options...]
set -u
bin=$1 corpus=$2 seconds=$3
shift 3
case $bin in /*) ;; *) bin=$PWD/$bin ;; esac
if [ ! -x "$bin" ]; then
  echo "skipped: fuzz binary missing: $bin (build the fuzz tree: scripts/setup)" >&2
  exit 77
fi
supp=$(cd "$(dirname "$0")/.." && pwd)/ubsan.supp
# In memory when there is a tmpfs: targets that move files flush them.
base=${TMPDIR:-/tmp}
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
work=$(mktemp -d "$base/quillup-fuzz-XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/artifacts" "$work/tmp"
cp -r "$corpus"/. "$work/corpus/"
cd "$work" || exit 1
# The targets keep their scratch directories below TMPDIR, removed with it.
TMPDIR=$work/tmp UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1:suppressions=$supp \
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1 \
  "$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" "$@" "$work/corpus" >"$work/log" 2>&1
rc=$?
tail -n 30 "$work/log"
if [ $rc -ne 0 ] || grep -qE "runtime error:|ERROR: (Address|Leak|Undefined)Sanitizer|ERROR: libFuzzer|deadly signal" \
     "$work/log" || [ -n "$(ls "$work/artifacts")" ]; then
  echo "fuzzing found a fault (exit $rc)" >&2
  for a in "$work"/artifacts/*; do [ -e "$a" ] && { echo "input: $a"; od -c "$a" | head -20; }; done
  exit 1
fi
exit 0

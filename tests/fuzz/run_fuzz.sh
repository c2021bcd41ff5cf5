#!/bin/sh
# Runs a libFuzzer binary on a scratch copy of its corpus for a fixed time;
# fails on any crash, leak or sanitizer report. Without the fuzz tree the
# test is skipped (exit 77) rather than failed.
set -u
bin=$1 corpus=$2 seconds=$3
supp=$(cd "$(dirname "$0")/.." && pwd)/ubsan.supp
case $bin in /*) ;; *) bin=$PWD/$bin ;; esac
if [ ! -x "$bin" ]; then
  echo "fuzz binary missing: $bin (build the fuzz tree: scripts/setup)" >&2
  exit 77
fi
# In memory when there is a tmpfs: targets that move files flush them.
base=${TMPDIR:-/tmp}
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
work=$(mktemp -d "$base/quillup-fuzz-XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/artifacts" "$work/tmp"
cp "$corpus"/* "$work/corpus/"
cd "$work" || exit 1
# The targets keep their scratch directories below TMPDIR, removed with it.
TMPDIR=$work/tmp UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:suppressions=$supp ASAN_OPTIONS=detect_leaks=1 \
  "$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1
rc=$?
tail -n 30 "$work/log"
if [ $rc -ne 0 ] || grep -qE "runtime error:|ERROR: (Address|Leak|Undefined)Sanitizer|deadly signal" "$work/log" \
   || [ -n "$(ls "$work/artifacts")" ]; then
  echo "fuzzing found a fault (exit $rc)" >&2
  for a in "$work"/artifacts/*; do [ -e "$a" ] && { echo "input: $a"; od -c "$a" | head -20; }; done
  exit 1
fi
exit 0

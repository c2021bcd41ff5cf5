#!/usr/bin/env bash
# Runs a libFuzzer binary on a scratch copy of its corpus for a while; fails
# on a missing binary, a crash, a leak or any sanitizer report.
set -uo pipefail
bin=$1 corpus=$2 seconds=$3
if [ ! -x "$bin" ]; then
  echo "fuzz binary missing: $bin (build the fuzz tree: scripts/setup)" >&2
  exit 1
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/quillup-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$work/artifacts"
cp -r "$corpus"/. "$work/corpus/"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
"$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=65536 \
  -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1
rc=$?
tail -n 30 "$work/log"
if [ $rc -ne 0 ] || grep -qE 'runtime error|ERROR: (Address|Leak|Undefined)Sanitizer|ERROR: libFuzzer' "$work/log"; then
  echo "fuzzing failed (exit $rc)" >&2
  for a in "$work"/artifacts/*; do [ -e "$a" ] && { echo "input: $a"; od -c "$a" | head -20; }; done
  exit 1
fi
exit 0

#!/usr/bin/env bash
# Fuzzes a target with libFuzzer (clang, the linux-fuzz preset) and adds what it finds to the
# target's corpus, tests/corpus/NAME: only inputs that reach code the corpus did not reach are
# kept. A finding stops the run and leaves the input in build/linux-fuzz/findings/.
#   tools/fuzz.sh NAME SECONDS   one target, e.g. tools/fuzz.sh zone_fuzzer 600
#   tools/fuzz.sh all SECONDS    every target in turn
#   tools/fuzz.sh list           the targets
set -euo pipefail
cd "$(dirname "$0")/.."

targets=$(git ls-files '*_fuzzer.cpp' | xargs -n1 basename | sed 's/\.cpp$//' | sort)
case "${1:-}" in
  list) echo "$targets"; exit 0 ;;
  all) chosen=$targets ;;
  "") echo "usage: tools/fuzz.sh NAME|all SECONDS | list" >&2; exit 2 ;;
  *) grep -qx "$1" <<<"$targets" || { echo "no fuzz target $1 (tools/fuzz.sh list)" >&2; exit 2; }
     chosen=$1 ;;
esac
seconds=${2:?how many seconds}

tools/setup.sh fuzz
cmake --preset linux-fuzz >/dev/null
build=build/linux-fuzz
mkdir -p "$build/findings"

for target in $chosen; do
  cmake --build --preset linux-fuzz --target "$target" >/dev/null
  corpus=tests/corpus/$target
  work=$build/work/$target
  rm -rf "$work" && mkdir -p "$corpus" "$work/seeds" "$work/new"
  TARN_FUZZ_SEED_DIR=$work/seeds "$build/bin/$target" -runs=0 "$work/seeds" >/dev/null 2>&1
  (cd "$work" && "$OLDPWD/$build/bin/$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$OLDPWD/$build/findings/$target-" -timeout=10 -rss_limit_mb=4096 \
      new "$OLDPWD/$corpus" seeds) >"$work/log" 2>&1 || {
    tail -n 40 "$work/log"; echo "$target: FINDING (input in $build/findings/)"; exit 1; }
  before=$(ls "$corpus" | wc -l)
  "$build/bin/$target" -merge=1 "$corpus" "$work/new" >>"$work/merge.log" 2>&1
  runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$work/log" | grep -Eo '[0-9]+$' || echo 0)
  coverage=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$work/log" | tail -n 1)
  echo "$target: $runs runs in ${seconds} s, $coverage, corpus $before -> $(ls "$corpus" | wc -l) files"
done

#!/usr/bin/env bash
# Builds tarnkernl for all four targets and runs every test: Linux x86-64 natively, again under
# AddressSanitizer and UndefinedBehaviorSanitizer and again under ThreadSanitizer, Linux i386
# under qemu-i386, Windows x86-64 under Wine; Windows i686 is built and linked only. Every
# target's tests include the replay of each fuzz target's corpus.
# Installs what is missing first. Warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh

export TARN_WERROR=ON
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
logs=build/logs
mkdir -p "$logs"

passed=0 failed=0 broken=()
for preset in linux linux-asan linux-tsan linux-i386 mingw-x64 mingw-i686; do
  echo "=== $preset"
  start=$SECONDS
  if cmake --workflow --preset "$preset" >"$logs/$preset.log" 2>&1; then status=ok; else status=FAILED; broken+=("$preset"); fi
  summary=$(grep -E '^[0-9]+% tests passed' "$logs/$preset.log" | tail -n 1 || true)
  if [ -n "$summary" ]; then
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    bad=$(sed -E 's/.*, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
    passed=$((passed + total - bad)); failed=$((failed + bad))
  fi
  if [ "$status" = FAILED ]; then
    grep -E -A30 'tests failed|Error|error:|FAILED' "$logs/$preset.log" | tail -n 60 || tail -n 60 "$logs/$preset.log"
  fi
  echo "$preset: $status ${summary:-(build only)} [$((SECONDS - start)) s]"
done

echo
echo "tests: $passed passed, $failed failed"
if [ ${#broken[@]} -ne 0 ]; then
  echo "failed presets: ${broken[*]} (logs in $logs/)"
  exit 1
fi

#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/, clang's libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer) into build-fuzz/ and runs each of them for a
# bounded time, starting from its seed corpus in fuzz/corpus/<target>/.
# Fails when any target crashes, leaks, trips a sanitizer or breaks one of
# its properties; the input that did it is kept in build-fuzz/findings/.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default: 20, every target)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
source scripts/jobs.sh

seconds="${1:-20}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(selection create_response job_status chain load_gray backend_request)

build="${BUILD_ROOT:-.}/build-fuzz"
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=()
for target in "${targets[@]}"; do
  # New inputs go to a scratch corpus; the checked-in seeds are only read.
  corpus="$build/corpus/$target"
  findings="$build/findings/$target/"
  mkdir -p "$corpus" "$findings"
  echo "== fuzzing $target for ${seconds}s"
  if ! "$build/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
      -artifact_prefix="$findings" -print_final_stats=1 "$corpus" "fuzz/corpus/$target" \
      >"$build/$target.log" 2>&1; then
    tail -n 60 "$build/$target.log"
    failed+=("$target")
  else
    grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb)" "$build/$target.log" | tr '\n' ' '
    echo
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]} (inputs in $build/findings/)"
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets ran ${seconds}s each without a finding"

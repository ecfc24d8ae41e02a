#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/) and runs them, each for a fixed time:
#   scripts/fuzz.sh [TARGET|all] [SECONDS]        (default: all targets, 25 s each)
# Every target starts from a corpus our own encoders write and keeps what it learns in
# build-fuzz/corpus/TARGET, so a later run goes on from there. An input that crashes a target, breaks one of
# its properties or runs out of time or memory is kept in build-fuzz/findings/TARGET/ and fails the script.
# Reproduce one with: build-fuzz/fuzz/fuzz_TARGET build-fuzz/findings/TARGET/crash-...
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

target=${1:-all}
seconds=${2:-25}
build=${KELVORA_FUZZ_BUILD:-build-fuzz}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVORA_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$(nproc)"

rm -rf "$build/seeds"
"$build/fuzz/kelvora_fuzz_seeds" "$build/seeds"

if [ "$target" = all ]; then
  mapfile -t targets < "$build/fuzz-targets.txt"
else
  targets=("$target")
fi

failed=()
for name in "${targets[@]}"; do
  [ -n "$name" ] || continue
  corpus="$build/corpus/$name"
  findings="$build/findings/$name"
  mkdir -p "$corpus" "$findings" "$build/seeds/$name"
  echo "== fuzz_$name for ${seconds} s"
  if ! "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "$build/seeds/$name"; then
    failed+=("$name")
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzzing found inputs that fail: ${failed[*]} (kept under $build/findings/)" >&2
  exit 1
fi

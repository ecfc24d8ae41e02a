#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: once as a plain build, then once more built with
# AddressSanitizer and UndefinedBehaviorSanitizer, then fuzzes every wire decoder for a short while with
# libFuzzer (scripts/fuzz.sh, KELVORA_FUZZ_SECONDS per target). KELVORA_TEST_PASSES=plain (or sanitize, or
# fuzz) runs one pass only.
# Each run happens in a network namespace of its own with only loopback, where the DNS-SD tests get a private
# D-Bus and avahi-daemon (scripts/dnssd-test-env.sh): a sender running on the computer holds none of the ports
# the tests listen on. When that environment cannot start, the script fails, and a DNS-SD test that finds no
# daemon fails instead of skipping.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

"$root/scripts/install-deps.sh"

passes=${KELVORA_TEST_PASSES:-"plain sanitize fuzz"}
jobs=$(nproc)

run_tests() {
  KELVORA_REQUIRE_DNSSD=1 "$root/scripts/dnssd-test-env.sh" run -- \
    ctest --test-dir "$1" --output-on-failure -j "$jobs"
}

for pass in $passes; do
  case "$pass" in
    plain)
      cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
      cmake --build build -j "$jobs"
      # Every QML file of the UI modules, checked without running it; a warning fails the run.
      cmake --build build --target all_qmllint
      run_tests build ;;
    sanitize)
      cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DKELVORA_SANITIZE=ON -DKELVORA_BUILD_BENCHMARKS=OFF
      cmake --build build-sanitize -j "$jobs"
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions="$root/tests/lsan.supp" \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_tests build-sanitize ;;
    fuzz)
      "$root/scripts/fuzz.sh" all "${KELVORA_FUZZ_SECONDS:-25}" ;;
    *) echo "unknown test pass: $pass" >&2; exit 2 ;;
  esac
done

#!/usr/bin/env bash
# Glass to glass over TCP and over QUIC while the network drops packets: runs build/bench/QuicLatencyBench at
# 0, 1 and 5 % loss (or the shares given as arguments) inside a private network namespace of its own, where
# only loopback exists. nftables drops the share at random on the input hook, so that both directions lose
# packets as on a bad link (a drop on the output hook would give the sending socket an error instead).
#
#     scripts/bench-loss.sh [SHARE...]        e.g. scripts/bench-loss.sh 0 1 5
#
# KELVORA_BENCH=path picks another build of the benchmark; extra benchmark flags go in KELVORA_BENCH_FLAGS.
# Needs root, or unprivileged user namespaces.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench=${KELVORA_BENCH:-"$root/build/bench/QuicLatencyBench"}

if [ "${KELVORA_LOSS_NAMESPACE:-}" != inside ]; then
  if [ ! -x "$bench" ]; then
    echo "no benchmark at $bench: build it first (cmake --build build --target QuicLatencyBench)" >&2
    exit 2
  fi
  command -v nft >/dev/null || { echo "nft is missing (Debian package nftables)" >&2; exit 2; }
  if [ "$(id -u)" -eq 0 ]; then
    exec env KELVORA_LOSS_NAMESPACE=inside unshare --net -- "$0" "$@"
  fi
  exec env KELVORA_LOSS_NAMESPACE=inside unshare --map-root-user --net -- "$0" "$@"
fi

shares=("$@")
if [ "${#shares[@]}" -eq 0 ]; then shares=(0 1 5); fi
for share in "${shares[@]}"; do
  if ! [[ "$share" =~ ^[0-9]+$ ]] || [ "$share" -gt 99 ]; then
    echo "loss share must be a whole percentage below 100: $share" >&2
    exit 2
  fi
done

# Nothing but loopback lives in this namespace, so nothing measured here can reach another computer.
ip link set lo up
nft add table inet kelvora_loss
nft add chain inet kelvora_loss input '{ type filter hook input priority 0; policy accept; }'

for share in "${shares[@]}"; do
  nft flush chain inet kelvora_loss input
  if [ "$share" -gt 0 ]; then
    nft add rule inet kelvora_loss input meta l4proto '{ udp, tcp }' numgen random mod 100 '<' "$share" drop
  fi
  echo "== ${share} % loss"
  # shellcheck disable=SC2086
  "$bench" --benchmark_context=loss_percent="$share" --benchmark_counters_tabular=true \
    ${KELVORA_BENCH_FLAGS:-}
done

#!/usr/bin/env bash
# Builds the program and runs bench/cuse_program_bench.py as root in the VM
# (scripts/vm.sh): a port with a socat peer, CUSE against pseudo-terminal in
# the same run.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cmake --build "$ROOT/build" --target velkaro_redi >/dev/null
exec "$ROOT/scripts/vm.sh" env BENCH_MIB="${BENCH_MIB:-16}" BENCH_ROUNDS="${BENCH_ROUNDS:-300}" \
  python3 "$ROOT/bench/cuse_program_bench.py" "$ROOT/build/velkaro_redi"

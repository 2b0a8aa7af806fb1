#!/usr/bin/env bash
# Builds cuse_bench and runs it as root in the VM (scripts/vm.sh): CUSE ports
# against pseudo-terminals in the same run.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cmake --build "$ROOT/build" --target cuse_bench >/dev/null
exec "$ROOT/scripts/vm.sh" "$ROOT/build/bench/cuse_bench"

#!/usr/bin/env bash
# The bridge benchmark: the real program with one tcpclient port against
# socat (pty,raw,echo=0 to tcp) doing the same job in the same run, driven by
# the same serial program and the same TCP peer (build/bench/bridge_bench):
#   - throughput serial to network and network to serial, each alone (what
#     the pseudo-terminal allows any bridge: build/bench/pty_ceiling);
#   - the round trip of a one-byte echo (median and p99);
#   - the wake-ups of a framed port with keepalive (only when a probe is due);
#   - the CPU of 256 connected idle ports, each with a peer and a serial
#     program holding it;
#   - the CPU of the program with 256 idle ports, and the time it takes to
#     stop them all on SIGTERM with a quarter in their 1 s pause (and that
#     options.dat is written then).
# The order of ours and socat alternates between repetitions; figures are
# medians. Everything runs on loopback, in a temporary folder, and is bounded
# in time; every process started is ended on exit.
#
#   bench/bridge_bench.sh [--mib N] [--reps N] [--echoes N] [--idle-seconds N] [--parts LETTERS]
#   defaults: 8 MiB per transfer, 15 repetitions, 10000 echoes each, 20 s idle,
#   every part: o(ne port against socat) f(ramed wake-ups) c(onnected 256) i(dle 256)
# The table at the end gives each figure for ours and socat with their ratio
# and the target; the script's status is 0 when it measured, whatever the
# figures (a lost byte or a bridge that never connects is a failure).
#   BENCH_NO_BUILD=1 uses the existing build/ as it is.
#   BENCH_BASE=PATH adds part b: the executable at PATH (an earlier build of
#   the same kind) against this one and socat, e.g. --parts b.
#   BENCH_ENGINE_ONLY=1 measures bench/bridge_host (the program's bridges
#   without the window, built in build-eng/ without Qt) instead of the program.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$ROOT/build"
EXE_TARGET=velkaro_redi
EXE_PATH=velkaro_redi
CONFIG=()
if [ -n "${BENCH_ENGINE_ONLY:-}" ]; then
  BUILD="$ROOT/build-eng"
  EXE_TARGET=bridge_host
  EXE_PATH=bench/bridge_host
  CONFIG=(-DVR_ENGINE_ONLY=ON)
fi

command -v socat >/dev/null || { echo "bridge_bench: socat is needed (apt-get install socat)" >&2; exit 2; }
if [ -z "${BENCH_NO_BUILD:-}" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${CONFIG[@]}" >/dev/null
  cmake --build "$BUILD" --parallel 2 --target "$EXE_TARGET" bridge_bench >/dev/null
fi

WORK=$(mktemp -d /tmp/vr_bridge_bench.XXXXXX)
DRIVER=""
cleanup() {
  local pid
  [ -n "$DRIVER" ] && kill "$DRIVER" 2>/dev/null || true
  # Children die with the driver; anything left over is ended here, by pid.
  if [ -f "$WORK/pids" ]; then
    while read -r pid; do kill -TERM "$pid" 2>/dev/null || true; done <"$WORK/pids"
    sleep 0.5
    while read -r pid; do kill -KILL "$pid" 2>/dev/null || true; done <"$WORK/pids"
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir "$WORK/one" "$WORK/many" "$WORK/base"
BASE=()
if [ -n "${BENCH_BASE:-}" ]; then
  cp "$BENCH_BASE" "$WORK/base/velkaro_redi"
  BASE=(--base "$WORK/base/velkaro_redi")
fi
cp "$BUILD/$EXE_PATH" "$WORK/one/velkaro_redi"
cp "$BUILD/$EXE_PATH" "$WORK/many/velkaro_redi"

# The driver bounds each step itself; this is the last resort.
timeout -k 5 400 "$BUILD/bench/bridge_bench" --exe "$WORK/one/velkaro_redi" \
  --many "$WORK/many/velkaro_redi" --work "$WORK" "${BASE[@]}" "$@" &
DRIVER=$!
status=0
wait "$DRIVER" || status=$?
DRIVER=""
if [ "$status" -ne 0 ]; then
  echo "bridge_bench: failed ($status); last lines of the program's logs:" >&2
  tail -n 5 "$WORK"/one/log.txt "$WORK"/many/log.txt "$WORK"/socat.log 2>/dev/null >&2 || true
fi
exit "$status"

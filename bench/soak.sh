#!/usr/bin/env bash
# Soak and load run of the built program: 256 ports across tcpclient,
# tcpserver and udp, raw and framed, traffic both ways, with peers, clients
# and serial programs coming and going, on loopback only. See
# bench/soak_driver.py for what is checked and how.
#
#   bench/soak.sh                 10 minutes against build/velkaro_redi
#   bench/soak.sh 1800            30 minutes
#   bench/soak.sh --quick 60      one minute, to try it
#   bench/soak.sh --asan 150      the AddressSanitizer build (./scripts/test asan)
#   bench/soak.sh --rate 4096 …   bytes per second per port and direction
#   bench/soak.sh --keep …        keep the run's folder and the program's logs
#   bench/soak.sh --inject --quick 30   damage received bytes on purpose: must fail
#   bench/soak.sh --stop-under-load …   SIGTERM while every port carries traffic
#
# Figures go to standard output and, as JSON, to build*/soak-report.json.
# Exit status 0: no fault; 1: faults (loss, corruption, crash, hang, sanitizer).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
build=build
duration=600
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --asan) build=build-asan; shift ;;
    --quick) duration=${2:-60}; shift 2 || shift ;;
    --rate) extra+=(--rate "$2"); shift 2 ;;
    --keep) extra+=(--keep); shift ;;
    --inject) extra+=(--inject); shift ;;
    --stop-under-load) extra+=(--stop-under-load); shift ;;
    -h|--help) awk 'NR > 1 && /^#/ { print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    *) duration=$1; shift ;;
  esac
done
exe="$ROOT/$build/velkaro_redi"
if [ ! -x "$exe" ]; then
  echo "no $exe: build it first (./scripts/test ${build#build-}; plain is ./scripts/test plain)" >&2
  exit 2
fi
# Sanitizer reports go to the program's standard error, which the driver scans.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=0}
# Nice: the machine is shared, and the figures are about correctness and
# growth, not speed.
exec nice -n 10 python3 -B "$ROOT/bench/soak_driver.py" --exe "$exe" --duration "$duration" \
  --json "$ROOT/$build/soak-report.json" "${extra[@]}"

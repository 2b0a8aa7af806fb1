#!/usr/bin/env bash
# Fuzzes the custom protocol's frame parser for SECONDS (default 60).
#   bench/fuzz_frames.sh 600
exec "$(dirname "$0")/fuzz.sh" frames "$@"

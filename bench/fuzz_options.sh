#!/usr/bin/env bash
# Fuzzes the XML document engine and the option readers for SECONDS (default 60).
#   bench/fuzz_options.sh 600
exec "$(dirname "$0")/fuzz.sh" options "$@"

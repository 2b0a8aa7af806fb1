#!/usr/bin/env bash
# Builds the libFuzzer target for the XML document engine and the option
# readers, and runs it for the given number of seconds (default 60).
#   bench/fuzz_options.sh 600
# Findings (crash-*, leak-*, timeout-*) land in build-fuzz/findings; the
# corpus grows in build-fuzz/corpus and is reused by the next run.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SECONDS_TO_RUN=${1:-60}
OUT="$ROOT/build-fuzz"
mkdir -p "$OUT/corpus" "$OUT/findings"

CXX=${CXX:-clang++-14}
command -v "$CXX" >/dev/null || CXX=clang++
"$CXX" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$ROOT" \
  "$ROOT/bench/fuzz/options_fuzz.cpp" \
  "$ROOT/config/xml_document.cpp" "$ROOT/config/test_options.cpp" "$ROOT/config/port_options.cpp" \
  "$ROOT/engine/port_table.cpp" \
  -o "$OUT/options_fuzz"

# Seeds: the documents the program writes and a few shapes it must survive.
seed() { printf '%b' "$2" >"$OUT/corpus/seed-$1"; }
seed options '<OPTIONS>\r\n<SYSTEM>\r\n<ADDNEW>TRUE</ADDNEW>\r\n<STARTUP>FALSE</STARTUP>\r\n<DETECTDSR>FALSE</DETECTDSR>\r\n<AUTORUN>FALSE</AUTORUN>\r\n</SYSTEM>\r\n<COM5>\r\n<DSTADDR>127.0.0.1</DSTADDR>\r\n<DSTPORT>27015</DSTPORT>\r\n<LOCADDR>0.0.0.0</LOCADDR>\r\n<LOCPORT>0x1F90</LOCPORT>\r\n<MODE>tcpclient</MODE>\r\n<USECUSTOM>FALSE</USECUSTOM>\r\n<CHKDTR>FALSE</CHKDTR>\r\n<DEVNAME>A&amp;B</DEVNAME>\r\n<KEEPALIVE>40</KEEPALIVE>\r\n<IDLETIME>100</IDLETIME>\r\n</COM5>\r\n</OPTIONS>\r\n'
seed prolog '<?xml version="1.0"?>\n<!-- c -->\n<!DOCTYPE x [ <!ELEMENT a (b)> ]>\n<R a="1">\n  <COM1><DEVNAME><![CDATA[<x>]]></DEVNAME></COM1>\n  <E/>\n</R junk>'
seed broken '<A><B>x</B'

cd "$OUT"
nice -n 10 ./options_fuzz -max_total_time="$SECONDS_TO_RUN" -max_len=4096 -timeout=10 \
  -artifact_prefix="$OUT/findings/" -print_final_stats=1 "$OUT/corpus"

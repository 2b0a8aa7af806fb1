#!/usr/bin/env bash
# Builds one libFuzzer target and runs it for the given number of seconds
# (default 60):
#   bench/fuzz.sh options 600   the XML document engine and the option readers
#   bench/fuzz.sh frames 600    the custom protocol's frame parser
# Findings (crash-*, leak-*, timeout-*) land in build-fuzz/TARGET/findings;
# the corpus grows in build-fuzz/TARGET/corpus and is reused by the next run.
# Reproduce a finding by running the built fuzzer on it:
#   build-fuzz/frames/frame_fuzz build-fuzz/frames/findings/crash-...
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
TARGET=${1:?target: options or frames}
SECONDS_TO_RUN=${2:-60}
OUT="$ROOT/build-fuzz/$TARGET"
mkdir -p "$OUT/corpus" "$OUT/findings"

seed() { printf '%b' "$2" >"$OUT/corpus/seed-$1"; }

case "$TARGET" in
  options)
    FUZZER=options_fuzz
    SOURCES=(config/xml_document.cpp config/options_document.cpp config/port_options.cpp
             engine/port_table.cpp)
    MAX_LEN=4096
    # The documents the program writes and a few shapes it must survive.
    seed options '<OPTIONS>\r\n<SYSTEM>\r\n<ADDNEW>TRUE</ADDNEW>\r\n<STARTUP>FALSE</STARTUP>\r\n<DETECTDSR>FALSE</DETECTDSR>\r\n<AUTORUN>FALSE</AUTORUN>\r\n</SYSTEM>\r\n<COM5>\r\n<DSTADDR>127.0.0.1</DSTADDR>\r\n<DSTPORT>27015</DSTPORT>\r\n<LOCADDR>0.0.0.0</LOCADDR>\r\n<LOCPORT>0x1F90</LOCPORT>\r\n<MODE>tcpclient</MODE>\r\n<USECUSTOM>FALSE</USECUSTOM>\r\n<CHKDTR>FALSE</CHKDTR>\r\n<DEVNAME>A&amp;B</DEVNAME>\r\n<KEEPALIVE>40</KEEPALIVE>\r\n<IDLETIME>100</IDLETIME>\r\n</COM5>\r\n</OPTIONS>\r\n'
    seed prolog '<?xml version="1.0"?>\n<!-- c -->\n<!DOCTYPE x [ <!ELEMENT a (b)> ]>\n<R a="1">\n  <COM1><DEVNAME><![CDATA[<x>]]></DEVNAME></COM1>\n  <E/>\n</R junk>'
    seed broken '<A><B>x</B'
    ;;
  frames)
    FUZZER=frame_fuzz
    SOURCES=(engine/custom_proto.cpp engine/protocol.cpp engine/byte_queue.cpp
             engine/seconds_clock.cpp)
    MAX_LEN=8192
    # Name "A", keep-alive 1 s, idle 2 s, clock before the wrap, chunks up
    # to 7 bytes; then a registration, data, a keep-alive, its answer, a
    # close: the conversation of a well-behaved peer.
    seed talk '\x01A\x09\x03\x12\x34\x06''~\x00\x00\x02A\x00~''~\x04\x00\x05A\x00abc~''~\x10\x00\x02A\x00~''~\x11\x00\x02A\x00~''~\x04\x00\x02A\x00~~~\x04\x00\x03A\x00z~''~\x13\x00\x02A\x00~'
    # Eleven-character name, one-byte reads, data before the registration.
    seed long '\x0bDEVICE-NAME\x00\x00\x00\x01\x00''~\x04\x00\x0eDEVICE-NAME\x00xy~''~\x00\x00\x0cDEVICE-NAME\x00~''~\x04\x00\x0eDEVICE-NAME\x00xy~'
    # No name; a frame of the greatest length.
    { printf '\xff\x00\x02\x00\x00\xff~\x00\x00\x01\x00~~\x04\x04\x00\x00'; head -c 1023 /dev/zero | tr '\0' 'p'; printf '~'; } >"$OUT/corpus/seed-max"
    ;;
  *) echo "unknown target: $TARGET (options, frames)" >&2; exit 2 ;;
esac

CXX=${CXX:-clang++-14}
command -v "$CXX" >/dev/null || CXX=clang++
"$CXX" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$ROOT" "$ROOT/bench/fuzz/$FUZZER.cpp" "${SOURCES[@]/#/$ROOT/}" \
  -o "$OUT/$FUZZER"

cd "$OUT"
nice -n 10 "./$FUZZER" -max_total_time="$SECONDS_TO_RUN" -max_len="$MAX_LEN" -timeout=10 \
  -artifact_prefix="$OUT/findings/" -print_final_stats=1 "$OUT/corpus"

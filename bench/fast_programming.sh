#!/usr/bin/env bash
# Classic against fast programming, each in one run of vql-isp-cli on the simulated
# chip's real clock: a 12 KiB AT89S8253 auto-program (erase, write, verify), an 8 KiB
# AT89S52 auto-program, and a 12 KiB read of the AT89S8253. Each fast figure is shown
# as a ratio to the classic one and next to the data sheets' floor: the chip's own
# times (erase, page writes) plus the bits a page-mode programmer must clock at the
# SCK half period set (every page written once and read once; a read reads once).
#
#   bench/fast_programming.sh    (after a build in build/normal; about three minutes)
set -euo pipefail
cd "$(dirname "$0")/.."
cli=$PWD/build/normal/src/vql-isp-cli
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp CONFIG.VQL "$work/"
half_us=4  # the default SCK half period

# A file of n bytes that are never FF, so that every page and every byte is written.
make_hex() {
  awk -v n="$1" 'BEGIN {
    srand(1)
    for (a = 0; a < n; a += 16) {
      line = sprintf(":10%04X00", a); sum = 16 + int(a / 256) + a % 256
      for (i = 0; i < 16; i++) { b = int(rand() * 255); line = line sprintf("%02X", b); sum += b }
      printf "%s%02X\n", line, (256 - sum % 256) % 256
    }
    print ":00000001FF"
  }'
}
make_hex 12288 > "$work/s8253.hex"
make_hex 8192 > "$work/s52.hex"

# Prints the wall time in seconds of one command; the chip keeps its memory in
# chip.state, which a run of auto starts afresh.
run() {
  local target=$1 fresh=$2
  shift 2
  [ "$fresh" = fresh ] && rm -f "$work/chip.state"
  local start end
  start=$(date +%s.%N)
  (cd "$work" && VQLISP_PORT=sim VQLISP_SIM="target=$target,state=chip.state" \
    "$cli" --device "$target" "$@" > out.txt 2> err.txt) ||
    { cat "$work/err.txt" >&2; echo "$* failed" >&2; exit 1; }
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.2f", e - s }'
}

# floor BYTES PAGE OPENING ERASE_MS PAGE_WRITE_US READS: seconds.
floor() {
  awk -v b="$1" -v p="$2" -v o="$3" -v e="$4" -v w="$5" -v r="$6" -v h="$half_us" 'BEGIN {
    pages = b / p; bits = pages * (p + o) * 8 * r
    printf "%.2f", (e * 1000 + pages * w + bits * 2 * h) / 1e6 }'
}

report() {
  local what=$1 classic=$2 fast=$3 floor=$4
  awk -v w="$what" -v c="$classic" -v f="$fast" -v fl="$floor" 'BEGIN {
    printf "%-34s classic %6.2f s   fast %5.2f s   fast/classic %.3f   floor %.2f s\n",
           w, c, f, f / c, fl }'
}

s8253_classic=$(run AT89S8253 fresh auto s8253.hex)
s8253_fast=$(run AT89S8253 fresh --fast auto s8253.hex)
report "AT89S8253 auto, 12 KiB" "$s8253_classic" "$s8253_fast" \
  "$(floor 12288 64 3 9 4500 2)"
read_classic=$(run AT89S8253 kept read -o read.hex)
read_fast=$(run AT89S8253 kept --fast read -o read.hex)
report "AT89S8253 read, 12 KiB (two passes)" "$read_classic" "$read_fast" \
  "$(floor 12288 64 3 0 0 2)"
# 64 periods of 12 MHz + 400 us a byte.
s52_classic=$(run AT89S52 fresh auto s52.hex)
s52_fast=$(run AT89S52 fresh --fast auto s52.hex)
report "AT89S52 auto, 8 KiB" "$s52_classic" "$s52_fast" \
  "$(floor 8192 256 2 500 $((256 * 406)) 2)"
echo "(goals: AT89S8253 auto at most 5 s, AT89S52 auto at most 8 s, read at most a third of classic)"

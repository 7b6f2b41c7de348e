#!/usr/bin/env bash
# Chips a minute on a production line: one run of "vql-isp-cli job --loop" over a
# simulated line of boards on the simulated chips' real clock, a 2 KiB AT89S2051 job
# with a serial number, classic and fast. A new board comes as soon as the last one
# has gone, so the line never waits for an operator; the time a chip takes is shown
# next to its floor: the chip's own times (erase, 2048 byte writes) and the bits that
# auto-programming clocks at the SCK half period (the write, the verify, the serial
# number), plus the 100 ms that a new board must show before it is touched.
#
#   bench/job_line.sh [BOARDS]   (after a build in build/normal; about a minute)
set -euo pipefail
cd "$(dirname "$0")/.."
cli=$PWD/build/normal/src/vql-isp-cli
boards=${1:-10}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp CONFIG.VQL "$work/"
half_us=4  # the default SCK half period

# 2048 bytes that are never FF, so that every byte is written.
awk 'BEGIN {
  srand(1)
  for (a = 0; a < 2048; a += 16) {
    line = sprintf(":10%04X00", a); sum = 16 + int(a / 256) + a % 256
    for (i = 0; i < 16; i++) { b = int(rand() * 255); line = line sprintf("%02X", b); sum += b }
    printf "%s%02X\n", line, (256 - sum % 256) % 256
  }
  print ":00000001FF"
}' > "$work/fw.hex"

# run classic|fast: the seconds that the loop over the line took, after start-up.
run() {
  local speed=$1 fast=()
  [ "$speed" = fast ] && fast=(--fast)
  rm -f "$work"/line.* "$work"/fw.vqljob*
  # The serial number sits in the file's last four bytes, whose data it replaces.
  (cd "$work" && "$cli" job-new fw.hex --device AT89S2051 "${fast[@]}" \
    --serial 07FC:4:be:1:1 --log line.log -o fw.vqljob -q)
  local start end
  start=$(date +%s.%N)
  (cd "$work" && VQLISP_PORT=sim VQLISP_SIM="target=AT89S2051,boards=$boards" \
    "$cli" job fw.vqljob --loop > out.txt 2> err.txt) ||
    { cat "$work/out.txt" "$work/err.txt" >&2; echo "the $speed loop failed" >&2; exit 1; }
  end=$(date +%s.%N)
  local chips
  chips=$(grep -c 'result=ok' "$work/line.log")
  [ "$chips" = "$boards" ] || { cat "$work/out.txt" >&2; echo "$chips of $boards passed" >&2; exit 1; }
  # Start-up (the calibration, 0.6 s) is paid once a run, not once a chip.
  local chip_sum
  chip_sum=$(awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^seconds=/) s += substr($i, 9) }
                  END { printf "%.3f", s }' "$work/line.log")
  awk -v s="$start" -v e="$end" -v n="$boards" -v c="$chip_sum" -v w="$speed" -v h="$half_us" 'BEGIN {
    t = e - s
    # 20 ms erase, 500 us a byte; three-byte instructions: 2048 writes, 2048 reads of
    # the verify, 4 writes and 4 reads of the serial number, at two edges a bit.
    floor = 0.020 + 2048 * 0.0005 + (2048 * 2 + 8) * 24 * 2 * h / 1e6 + 0.100
    printf "%-8s %3d chips in %6.2f s: %5.1f chips/minute, %.2f s a chip (in the log %.2f s), floor %.2f s a chip\n",
           w, n, t, n * 60 / t, t / n, c / n, floor }'
}

run classic
run fast
echo "(the AT89S2051 has no page mode: fast programming serves it byte by byte, as classic)"

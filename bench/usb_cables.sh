#!/usr/bin/env bash
# The USB cables against the printer-port cable, each in one run of vql-isp-cli on
# the simulated chip's real clock, with 1 ms a USB transfer: a 12 KiB Read Chip, a
# 12 KiB Verify and a 12 KiB auto-program of the AT89S8253, through the simulated
# printer-port cable, an FT232H (MPSSE) and an FT232R (synchronous bit-bang), and
# the read with fast programming's page reads. The reads stand next to the floor of
# an FT232H: the bits clocked at the SCK half period set, plus one USB transfer for
# each write and each read of its exchanges (256 bytes out, their pins and answers
# back, per pair). The program's start-up, the same for every command, is measured
# on its own and taken off.
#
#   bench/usb_cables.sh    (after a build in build/normal; about five minutes)
set -euo pipefail
cd "$(dirname "$0")/.."
cli=$PWD/build/normal/src/vql-isp-cli
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp CONFIG.VQL "$work/"
half_us=4     # the default SCK half period
usb_ms=1      # one USB transfer

awk 'BEGIN {
  srand(1)
  for (a = 0; a < 12288; a += 16) {
    line = sprintf(":10%04X00", a); sum = 16 + int(a / 256) + a % 256
    for (i = 0; i < 16; i++) { b = int(rand() * 255); line = line sprintf("%02X", b); sum += b }
    printf "%s%02X\n", line, (256 - sum % 256) % 256
  }
  print ":00000001FF"
}' > "$work/s8253.hex"

# seconds CABLE TARGET ARGS...: the wall time of one run of the program.
seconds() {
  local cable=$1 target=$2
  shift 2
  local sim="target=$target"
  [ "$target" != loopback ] && sim="$sim,state=chip.state"
  [ "$cable" != lpt ] && sim="$sim,adapter=$cable,usb-ms=$usb_ms"
  local start end
  start=$(date +%s.%N)
  (cd "$work" && VQLISP_PORT=sim VQLISP_SIM="$sim" \
    "$cli" --device AT89S8253 "$@" > out.txt 2> err.txt) ||
    { cat "$work/err.txt" >&2; echo "$cable $* failed" >&2; exit 1; }
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }'
}

# The program's start-up on each cable (the delay loop's calibration takes most of
# it), which every run pays before its command: the loop test with a loop-back plug.
declare -A startup
for cable in lpt ft232h ft232r; do startup[$cable]=$(seconds $cable loopback test-io); done

# run CABLE FRESH ARGS...: the seconds of one command, the start-up taken off; the
# chip keeps its memory in chip.state, which a run of auto starts afresh.
run() {
  local cable=$1 fresh=$2
  shift 2
  [ "$fresh" = fresh ] && rm -f "$work/chip.state"
  local total
  total=$(seconds "$cable" AT89S8253 "$@")
  awk -v t="$total" -v s="${startup[$cable]}" 'BEGIN { printf "%.2f", t - s }'
}

# floor BYTES_CLOCKED TRANSFERS: seconds.
floor() {
  awk -v b="$1" -v t="$2" -v h="$half_us" -v u="$usb_ms" 'BEGIN {
    printf "%.2f", (b * 8 * 2 * h) / 1e6 + t * u / 1000 }'
}

# report WHAT PRINTER_PORT FT232H FT232R [FLOOR]
report() {
  awk -v w="$1" -v l="$2" -v h="$3" -v r="$4" -v f="${5:-0}" 'BEGIN {
    printf "%-32s printer port %7.2f s   FT232H %7.2f s   FT232R %7.2f s", w, l, h, r
    if (f > 0) printf "   FT232H floor %6.2f s (x%.2f)", f, h / f
    printf "\n" }'
}

echo "start-up (not counted below): printer port ${startup[lpt]} s, FT232H ${startup[ft232h]} s, FT232R ${startup[ft232r]} s"
# Read Chip reads every byte twice: 12288 reads of 4 bytes a pass, 1024 bytes an
# exchange, 192 bytes a transfer out and their answers back.
read_bytes=$((2 * 12288 * 4))
read_transfers=$((2 * 12288 * 4 / 192 * 2))
lpt=$(run lpt fresh auto s8253.hex)  # a chip that holds the file
report "read, 12 KiB (two passes)" "$(run lpt kept read -o read.hex)" \
  "$(run ft232h kept read -o read.hex)" "$(run ft232r kept read -o read.hex)" \
  "$(floor $read_bytes $read_transfers)"
report "verify, 12 KiB" "$(run lpt kept verify s8253.hex)" \
  "$(run ft232h kept verify s8253.hex)" "$(run ft232r kept verify s8253.hex)" \
  "$(floor $((read_bytes / 2)) $((read_transfers / 2)))"
# The write's floor is the chip's (4.5 ms a byte, waited 5 ms), the same on every cable.
report "auto-program, 12 KiB" "$lpt" "$(run ft232h fresh auto s8253.hex)" \
  "$(run ft232r fresh auto s8253.hex)"
# Page reads: 192 pages of 64 bytes and a 3-byte opening, 192 bytes a transfer.
report "fast read, 12 KiB (two passes)" "$(run lpt kept --fast read -o read.hex)" \
  "$(run ft232h kept --fast read -o read.hex)" "$(run ft232r kept --fast read -o read.hex)" \
  "$(floor $((2 * 192 * 67)) $((2 * 192 * 67 / 192 * 2)))"
echo "(goals: FT232H read within 1.25 x its floor and no slower than the printer port;"
echo " fast read at most 2 s; a write no slower than over the printer port)"

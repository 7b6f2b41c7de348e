#!/usr/bin/env bash
# Times "vql-isp-cli auto" of a full AT89S8253 image on the simulated chip, in real
# time and with clock=virtual, next to the floor that the programming algorithm
# itself imposes: its fixed waits (5 ms per written byte, 100 ms per programming
# enable, the 300 ms reset pulse, about 0.6 s of delay calibration at start-up) plus
# 7 port accesses per clocked bit at the simulator's measured cost per access.
#
#   bench/cli_auto.sh        (after a build in build/normal; takes about a minute)
set -euo pipefail
cd "$(dirname "$0")/.."
cli=$PWD/build/normal/src/vql-isp-cli
bench=$PWD/build/normal/bench/vqlisp_bench
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp CONFIG.VQL "$work/"

# 12 KiB of bytes that are never FF, so that every address is written.
awk 'BEGIN {
  srand(1)
  for (a = 0; a < 12288; a += 16) {
    line = sprintf(":10%04X00", a); sum = 16 + int(a / 256) + a % 256
    for (i = 0; i < 16; i++) { b = int(rand() * 255); line = line sprintf("%02X", b); sum += b }
    printf "%s%02X\n", line, (256 - sum % 256) % 256
  }
  print ":00000001FF"
}' > "$work/full.hex"

# The simulator's cost of one port access: half of an Inport + Outport pair.
pair_ns=$("$bench" --benchmark_filter='PortAccess/sim' --benchmark_format=csv 2>/dev/null |
  awk -F, '/PortAccess/ { print $3 }')
access_us=$(awk -v p="$pair_ns" 'BEGIN { printf "%.4f", p / 2 / 1000 }')

bytes=12288
# Per byte: write, read back and verify read, four bytes of eight bits each.
bits=$((bytes * 3 * 32))
floor=$(awk -v b=$bytes -v bits=$bits -v a="$access_us" 'BEGIN {
  waits = b * 5 + 100 * 6 + 300 + 600           # ms: writes, enables, reset, calibration
  printf "%.2f", (waits + bits * 7 * a / 1000) / 1000
}')

# Prints "wall user system" in seconds for one auto-program with these options.
run() {
  local sim=$1 times
  TIMEFORMAT='%R %U %S'
  times=$( { time (cd "$work" && rm -f chip.state &&
    VQLISP_PORT=sim VQLISP_SIM="$sim" "$cli" auto full.hex > out.txt 2> err.txt); } 2>&1 ) || true
  grep -q 'Verify complete.' "$work/out.txt" || { cat "$work/err.txt" >&2; echo "auto failed" >&2; exit 1; }
  echo "$times"
}

echo "simulated port access: ${access_us} us; floor of a full AT89S8253 auto: ${floor} s"
read -r wall user sys < <(run target=AT89S8253,state=chip.state)
awk -v w="$wall" -v u="$user" -v s="$sys" -v f="$floor" 'BEGIN {
  printf "real clock:    wall %.2f s (%+.1f%% against the floor), cpu %.2f s\n", w, (w / f - 1) * 100, u + s }'
read -r wall user sys < <(run target=AT89S8253,state=chip.state,clock=virtual)
awk -v w="$wall" -v u="$user" -v s="$sys" 'BEGIN {
  printf "virtual clock: wall %.2f s, cpu %.2f s\n", w, u + s }'

# The same command's own time on the virtual clock, which counts every wait and clocked
# bit whatever the machine's load: the last timestamp of its port trace. The real
# clock should take at most a tenth longer: every wait is at least its time, and no
# more than a pump's granularity over it.
(cd "$work" && rm -f chip.state &&
  VQLISP_PORT=sim VQLISP_TRACE="$work/trace.txt" \
    VQLISP_SIM=target=AT89S8253,state=chip.state,clock=virtual "$cli" auto full.hex > out.txt 2>&1)
virtual_s=$(tail -n 1 "$work/trace.txt" | awk '{ printf "%.2f", $1 / 1e6 }')
rm -f "$work/trace.txt"
read -r wall user sys < <(run target=AT89S8253,state=chip.state)
awk -v w="$wall" -v v="$virtual_s" 'BEGIN {
  printf "virtual clock, its own time: %.2f s; real clock: wall %.2f s, %.2fx the virtual time\n", v, w, w / v }'

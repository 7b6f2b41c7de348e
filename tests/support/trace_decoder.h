// Reading a port trace back: the lines TracingPort writes, parsed into accesses and
// decoded for one printer port into line changes and the bytes clocked over the
// cable. Tests assert on what the hardware would see through it.
//
// Bytes are decoded as the target takes them: MOSI at each rising edge of SCK, MSB
// first, and MISO as the program last read it while SCK was high. Every eight rising
// edges make a byte, counted from the start of the trace.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vql::testing {

struct TraceAccess {
  std::uint64_t us;
  bool write;
  std::uint16_t address;
  std::uint8_t value;

  bool operator==(const TraceAccess&) const = default;
};

// Parses "<us> <R|W> <AAAA> <VV>" lines, exactly as the tracer writes them (upper-case
// hex, four and two digits); empty lines are skipped. Throws std::runtime_error naming
// the line number and text of a bad line.
std::vector<TraceAccess> ParseTrace(std::string_view text);

struct LineChange {
  std::uint64_t us;
  std::string line;  // "MODE3","RST","MOSI","SCK","MODE7","D0","D1","D2"
  bool level;

  bool operator==(const LineChange&) const = default;
};

struct ClockedByte {
  std::uint8_t mosi = 0;  // MOSI at each rising SCK edge, MSB first
  // The last status read of MISO (bit 6) while SCK was high, per bit, MSB first.
  std::uint8_t miso = 0;
  bool mosiStableWhileHigh = true;  // MOSI never changed while SCK was high during this byte
  bool misoSampledEveryBit = true;  // every bit had at least one status read while SCK was high
  std::uint64_t firstUs = 0;        // when SCK rose for the first bit
  std::uint64_t lastUs = 0;         // when SCK fell after the last bit (its rise if it never fell)

  // What was clocked, not when.
  bool operator==(const ClockedByte& other) const {
    return mosi == other.mosi && miso == other.miso &&
           mosiStableWhileHigh == other.mosiStableWhileHigh &&
           misoSampledEveryBit == other.misoSampledEveryBit;
  }
};

struct DecodedTrace {
  std::vector<LineChange> changes;  // every bit change of the data register, in order
  std::vector<ClockedByte> bytes;   // every 8 rising SCK edges make one byte
  int leftoverBits = 0;             // rising edges at the end that do not fill a byte
  int statusReads = 0, dataReads = 0, dataWrites = 0;

  std::vector<std::uint8_t> MosiBytes() const;
  std::vector<std::uint8_t> MisoBytes() const;
  // The levels the line took, in order, as "1" and "0". Throws std::invalid_argument
  // for a name that is no line.
  std::vector<std::string> ChangesOf(std::string_view line) const;
  // The same as one string, e.g. "1010".
  std::string LevelsOf(std::string_view line) const;
};

// Decodes the accesses of the port whose data register is at dataPort (status at
// dataPort+1); other addresses are skipped. Changes are found against the previous
// write; the first write is compared with the value of a data read before it, or with
// 0 when there is none.
//
// A MOSI change in the same write as a rising SCK edge counts as MOSI changing while
// SCK is high (the target may sample either level); one with a falling edge does not.
DecodedTrace DecodeTrace(const std::vector<TraceAccess>& accesses, std::uint16_t dataPort);

}  // namespace vql::testing

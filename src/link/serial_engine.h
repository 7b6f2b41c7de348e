// The serial engine: what drives the target's programming lines, at the level of
// whole instructions. The link tells it the bytes of an instruction and gets back the
// bytes the target answered; how the bits get onto the wire is the engine's business.
// The printer-port cable has a bit-bang engine over PortIo (bit_bang_engine.h), which
// makes every edge with a register write; an engine on a USB adapter can pack many
// instructions into one transfer, and says how many a walk may queue (ReadAhead).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace vql {

// The lines the programmer drives: the target's RST, SCK and MOSI, and the cable's
// two mode lines, which power its buffer towards the target while both are low.
enum class Line { Rst, Sck, Mosi, Mode7, Mode3 };

// How a chip times its bits against SCK, as its data sheet draws it: mode 0 takes
// MOSI as SCK rises and moves MISO on after SCK falls; mode 1 takes MOSI as SCK
// falls and moves MISO on after SCK rises. An engine that holds MOSI through both
// edges and samples MISO late in the high phase serves both and may ignore it.
enum class SpiMode { Mode0, Mode1 };

// How an exchange ended.
enum class Exchanged {
  Done,     // every byte was clocked
  Refused,  // SENSE read 0 before a byte: the cable is not in program mode, or unpowered
  Failed,   // the port or adapter stopped answering: Failure() says why
};

class SerialEngine {
 public:
  virtual ~SerialEngine() = default;

  // The floor under every SCK half period and MISO sample, in microseconds. The link
  // sets it before every use, so an engine with a clock divisor changes it only when
  // the value changes.
  virtual void SetSckHalfPeriodUs(std::int32_t us) = 0;
  // The chip's mode, set with the device an operation serves.
  virtual void SetSpiMode(SpiMode /*mode*/) {}

  // Clocks out, b7 first, each byte of out in turn, after SENSE has read 1 for it, and
  // samples the target's answer into the same place of in (in.size() >= out.size()).
  // clocked counts the bytes whose eight bits went out: on Refused and Failed the bytes
  // before it did, and their answers are in place. MOSI holds the last bit afterwards,
  // and SCK rests low, or high where the engine clocks a mode-1 chip from high (MPSSE);
  // an engine that leaves it high brings it down itself before RST rises again.
  virtual Exchanged Exchange(std::span<const std::uint8_t> out, std::span<std::uint8_t> in,
                             std::size_t& clocked) = 0;
  // How many instructions of a walk whose answers are needed only later the engine
  // packs into one exchange to advantage: 1 where every exchange costs the same per
  // byte, as on the printer port.
  virtual std::size_t ReadAhead() const { return 1; }

  // One line, as the modes and the programming enable set them. False when the port
  // failed on the way.
  virtual bool SetLine(Line line, bool high) = 0;
  // A low pulse on RST: RST cleared, and set again once at least the SCK half period
  // has passed since, so that the target sees a few machine cycles of it.
  virtual bool PulseRstLow() = 0;
  // MISO as the target (or a loop-back plug) drives it now, after the half period.
  // Nothing when the port failed on the way.
  virtual bool ReadMiso(bool& high) = 0;
  // SENSE: whether the cable's buffer is powered by a target, which it shows only
  // while the mode lines enable the buffer. Nothing when the port failed on the way.
  virtual bool ReadSense(bool& high) = 0;

  // Why the port or adapter stopped answering; empty while all is well.
  virtual std::string Failure() const = 0;
  // Whether Failure() has anything to say; asked after every use, so an engine that
  // can tell without building the text answers it itself.
  virtual bool Failed() const { return !Failure().empty(); }
};

}  // namespace vql

// What the serial engines of the USB cables share: the adapter (FtdiIo), its pin map,
// the state of the lines the program drives, and what becomes of a failed call. The
// MPSSE engine (FT232H, FT2232H) and the synchronous bit-bang engine (FT232R) build
// on it.
//
// The printer-port cable's two mode lines both have to be low for its buffer to
// drive the target; a USB cable has one enable for its buffer, low while both mode
// lines are low. Every line change goes out at once, in a transfer of its own, since
// the waits around it (the programming enable's, the reset's) are timed on the host.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/serial_engine.h"
#include "portio/ftdi_io.h"
#include "portio/ftdi_pins.h"
#include "portio/port_io.h"

namespace vql {

class FtdiEngine : public SerialEngine {
 public:
  FtdiEngine(FtdiIo& io, MicrosecondClock& clock);
  // Leaves the lines as the printer-port cable leaves them when the program ends: RST
  // low and the buffer off.
  ~FtdiEngine() override;
  FtdiEngine(const FtdiEngine&) = delete;
  FtdiEngine& operator=(const FtdiEngine&) = delete;

  // Sets the adapter up for its engine, with the lines idle; false, with Failure()
  // saying why, when it does not answer as it should.
  virtual bool Start() = 0;

  bool SetLine(Line line, bool high) override;
  bool PulseRstLow() override;
  bool ReadMiso(bool& high) override;
  bool ReadSense(bool& high) override;
  void SetSpiMode(SpiMode mode) override { mode_ = mode; }
  std::string Failure() const override { return failure_; }
  bool Failed() const override { return !failure_.empty(); }
  FtdiIo& Adapter() { return io_; }

 protected:
  // The pins as the line states ask.
  std::uint8_t PinsByte() const;
  // Writes the pins byte as the adapter takes it; false when the adapter failed.
  virtual bool WritePins(std::uint8_t pins) = 0;
  // The pins as they read now; nothing when the adapter failed.
  virtual std::optional<std::uint8_t> ReadPins() = 0;
  // Records the adapter's failure; every later call fails at once. Returns false.
  bool Fail();
  bool Fail(std::string why);
  bool Transfer(std::span<const std::uint8_t> out, std::span<std::uint8_t> in);
  // Chunks of an exchange, each written and its answers read (as many bytes as
  // answerSizes says), with the next chunk written before the answers of the one
  // before are read, so that the transfers overlap the adapter's clocking; the
  // adapter then holds the answers of two chunks at most. take(k, answers) judges a
  // chunk's answers and returns false to stop; the answers of a chunk written
  // already are read and dropped then. False when the adapter failed.
  bool TransferChunks(const std::vector<std::vector<std::uint8_t>>& chunks,
                      const std::vector<std::size_t>& answerSizes,
                      const std::function<bool(std::size_t, std::span<std::uint8_t>)>& take);

  FtdiIo& io_;
  MicrosecondClock& clock_;
  const FtdiPins& pins_;
  SpiMode mode_ = SpiMode::Mode0;
  std::int32_t halfUs_ = 1;
  bool rst_ = false;
  bool sck_ = false;
  bool mosi_ = false;
  bool mode7_ = true;  // the buffer starts off
  bool mode3_ = true;

 private:
  std::string failure_;
};

}  // namespace vql

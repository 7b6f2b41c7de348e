// The USB programming cables' seam: the few libftdi1 calls that drive an FTDI
// adapter (FT232H and FT2232H through their MPSSE serial engine, FT232R through
// synchronous bit-bang), as one interface. Behind it: the real library
// (ftdi_libftdi.h, built where pkg-config finds libftdi1), the simulated adapter
// (sim/sim_ftdi.h) and the tests' recording fake.
//
// Every call returns false on failure, and Error() then says why in plain words,
// naming the adapter; after a failure the adapter is to be treated as gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vql {

// The adapters the program knows, by their FTDI chip.
enum class FtdiChip { FT232H, FT2232H, FT232R };

// "FT232H", "FT2232H", "FT232R".
std::string_view FtdiChipName(FtdiChip chip);

// libftdi's bit modes (ftdi_set_bitmode).
namespace ftdi_mode {
inline constexpr std::uint8_t kReset = 0x00;
inline constexpr std::uint8_t kSyncBitBang = 0x04;
inline constexpr std::uint8_t kMpsse = 0x02;
}  // namespace ftdi_mode

class FtdiIo {
 public:
  virtual ~FtdiIo() = default;

  // Which chip the adapter is built on; decides the engine and the pin map.
  virtual FtdiChip Chip() const = 0;
  // The adapter as it calls itself, for menus and messages: its USB product string
  // and serial number, e.g. "C232HM-DDHSL-0 (FT232H, serial FT4XQ1ZB)".
  virtual std::string Name() const = 0;

  // ftdi_set_bitmode: mask gives the pins that are outputs in bit-bang modes (in
  // MPSSE the engine sets directions with its own commands).
  virtual bool SetBitmode(std::uint8_t mask, std::uint8_t mode) = 0;
  // ftdi_set_latency_timer, in milliseconds (1 to 255).
  virtual bool SetLatencyTimer(std::uint8_t ms) = 0;
  // ftdi_set_baudrate: in bit-bang modes it sets the rate at which bytes are written
  // (libftdi multiplies the value by 4, and the chip clocks bit-bang bytes at 16
  // times the resulting baud rate: see kFt232rBytesPerBaud).
  virtual bool SetBaudRate(int baud) = 0;
  // ftdi_tcioflush: both directions' buffers emptied.
  virtual bool Purge() = 0;
  // ftdi_write_data: all of bytes, in one or more USB transfers.
  virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
  // ftdi_read_data until bytes is full; false when the adapter does not deliver
  // them within a bounded time.
  virtual bool Read(std::span<std::uint8_t> bytes) = 0;
  // Lets the adapter go (ftdi_usb_close); calls after it fail.
  virtual void Close() = 0;
  // Why the last call failed.
  virtual std::string Error() const = 0;

  // For the simulated adapter, what is plugged in behind it: a chip's name, or ""
  // for nothing at all. Nothing for a real adapter.
  virtual std::optional<std::string> SimulatedTarget() const { return std::nullopt; }
  // For a simulated line of boards whose last board has gone: no target will come
  // any more. Never for real hardware, where the next board may come at any time.
  virtual bool TargetsEnded() const { return false; }
};

// The FT232R's synchronous bit-bang writes (and samples) this many bytes a second per
// unit of the baud rate given to ftdi_set_baudrate: libftdi multiplies it by 4 in the
// bit-bang modes, and the chip's bit-bang clock runs at 16 times the baud rate.
inline constexpr int kFt232rBytesPerBaud = 64;

// The adapter's own buffers, in bytes: what the host may have written that the
// adapter has not yet run (fromHost), and what the adapter may hold of its answers
// until the host reads them (toHost). A write that does not fit waits for room; an
// adapter whose answers fill toHost stops running until the host reads. From the
// data sheets' feature lists: the FT232H's 1 KiB receive and transmit buffers
// (DS_FT232H), the FT2232H's 4 KiB each way for each channel (DS_FT2232H), and the
// FT232R's 256-byte receive and 128-byte transmit buffers (DS_FT232R).
struct FtdiBuffers {
  std::size_t fromHost;
  std::size_t toHost;
};
constexpr FtdiBuffers BuffersOf(FtdiChip chip) {
  switch (chip) {
    case FtdiChip::FT232H:
      return {1024, 1024};
    case FtdiChip::FT2232H:
      return {4096, 4096};
    case FtdiChip::FT232R:
      return {256, 128};
  }
  return {256, 128};
}

// How long libftdi's bulk transfers may take before they fail (usb_write_timeout and
// usb_read_timeout, as the libftdi back end sets them): a write that waits longer than
// this for room in the adapter's buffer fails with the bytes that had not fitted.
inline constexpr int kFtdiUsbTimeoutMs = 1000;

// MPSSE's clock: 60 MHz on the FT232H and FT2232H with the divide-by-5 off (command
// 8A), 12 MHz with it on (8B). SCK runs at base / ((1 + divisor) * 2).
inline constexpr int kMpsseFastBaseHz = 60'000'000;
inline constexpr int kMpsseSlowBaseHz = 12'000'000;

}  // namespace vql

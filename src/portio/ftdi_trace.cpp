#include "portio/ftdi_trace.h"

#include <cstdio>
#include <utility>

namespace vql {

TracingFtdi::TracingFtdi(std::unique_ptr<FtdiIo> inner, std::unique_ptr<std::ostream> sink,
                         MicrosecondClock& clock)
    : inner_(std::move(inner)), sink_(std::move(sink)), clock_(clock) {}

TracingFtdi::~TracingFtdi() { sink_->flush(); }

bool TracingFtdi::Line(const std::string& what, bool ok) {
  *sink_ << clock_.NowMicroseconds() << " USB " << what << (ok ? "" : " failed") << '\n';
  return ok;
}

bool TracingFtdi::Bytes(const char* kind, std::span<const std::uint8_t> bytes, bool ok) {
  std::string line = std::to_string(clock_.NowMicroseconds()) + " " + kind;
  char hex[4];
  for (const std::uint8_t byte : bytes) {
    std::snprintf(hex, sizeof hex, " %02X", static_cast<unsigned>(byte));
    line += hex;
  }
  *sink_ << line << (ok ? "" : " failed") << '\n';
  return ok;
}

bool TracingFtdi::SetBitmode(std::uint8_t mask, std::uint8_t mode) {
  char text[32];
  std::snprintf(text, sizeof text, "bitmode %02X mask %02X", static_cast<unsigned>(mode),
                static_cast<unsigned>(mask));
  return Line(text, inner_->SetBitmode(mask, mode));
}

bool TracingFtdi::SetLatencyTimer(std::uint8_t ms) {
  return Line("latency " + std::to_string(ms), inner_->SetLatencyTimer(ms));
}

bool TracingFtdi::SetBaudRate(int baud) {
  return Line("baud " + std::to_string(baud), inner_->SetBaudRate(baud));
}

bool TracingFtdi::Purge() { return Line("purge", inner_->Purge()); }

bool TracingFtdi::Write(std::span<const std::uint8_t> bytes) {
  const bool ok = inner_->Write(bytes);
  return Bytes("USB-W", bytes, ok);
}

bool TracingFtdi::Read(std::span<std::uint8_t> bytes) {
  const bool ok = inner_->Read(bytes);
  return Bytes("USB-R", bytes, ok);
}

void TracingFtdi::Close() {
  inner_->Close();
  Line("close", true);
  sink_->flush();
}

}  // namespace vql

#include "portio/trace_port.h"

#include <array>
#include <charconv>
#include <utility>

namespace vql {

namespace {

// 20 digits of time, a space, R|W, a space, 4 digits, a space, 2 digits, a line end.
constexpr std::size_t kLongestLine = 20 + 1 + 1 + 1 + 4 + 1 + 2 + 1;
constexpr std::string_view kHexDigits = "0123456789ABCDEF";

char* PutHex(char* out, unsigned value, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    *out++ = kHexDigits[(value >> shift) & 0xF];
  }
  return out;
}

}  // namespace

TracingPort::TracingPort(std::unique_ptr<PortIo> inner, std::unique_ptr<std::ostream> sink,
                         MicrosecondClock& clock, std::string displayName)
    : inner_(std::move(inner)),
      sink_(std::move(sink)),
      clock_(clock),
      displayName_(std::move(displayName)) {}

TracingPort::~TracingPort() { Flush(); }

void TracingPort::AttachPort(std::string_view name, std::uint16_t base) {
  inner_->AttachPort(name, base);
}

std::uint16_t TracingPort::Inport(std::uint16_t address) {
  const std::uint16_t value = inner_->Inport(address);
  Append('R', address, value);
  return value;
}

void TracingPort::Outport(std::uint16_t address, std::uint16_t value) {
  inner_->Outport(address, value);
  Append('W', address, value);
}

// Neither is a register access, so neither is traced.
void TracingPort::DetachPort(std::uint16_t base) { inner_->DetachPort(base); }
std::string TracingPort::Failure() const { return inner_->Failure(); }
bool TracingPort::Failed() const { return inner_->Failed(); }

std::string TracingPort::Description() const {
  std::string text = inner_->Description();
  if (!displayName_.empty()) text += ", traced to " + displayName_;
  return text;
}

void TracingPort::Flush() { sink_->flush(); }

void TracingPort::Append(char kind, std::uint16_t address, std::uint16_t value) {
  std::array<char, kLongestLine> line;
  char* out = std::to_chars(line.data(), line.data() + 20, clock_.NowMicroseconds()).ptr;
  *out++ = ' ';
  *out++ = kind;
  *out++ = ' ';
  out = PutHex(out, address, 4);
  *out++ = ' ';
  out = PutHex(out, value & 0xFFu, 2);
  *out++ = '\n';
  // Straight into the stream's buffer: a trace that cannot be written must not stop
  // the programming it records, and the stream's sentry would cost more than the line.
  if (auto* buffer = sink_->rdbuf()) buffer->sputn(line.data(), out - line.data());
}

}  // namespace vql

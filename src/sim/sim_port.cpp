#include "sim/sim_port.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "sim/sim_chip.h"

namespace vql {

namespace {

constexpr std::uint16_t kDataOffset = 0;
constexpr std::uint16_t kStatusOffset = 1;
constexpr std::uint16_t kControlOffset = 2;

std::string Upper(std::string_view text) {
  std::string upper(text);
  std::ranges::transform(upper, upper.begin(),
                         [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper;
}

}  // namespace

SimulatedPort::SimulatedPort(MicrosecondClock& clock, SimOptions options)
    : clock_(clock), options_(std::move(options)), socket_(MakeSimTarget(options_)) {
  options_.cable = Upper(options_.cable);
}

void SimulatedPort::AttachPort(std::string_view name, std::uint16_t base) {
  const std::string upperName = Upper(name);
  // A name belongs to one port: attaching it elsewhere moves it, and the cable with it.
  for (auto& port : ports_) std::erase(port.names, upperName);
  auto port = std::ranges::find(ports_, base, &Port::base);
  if (port == ports_.end()) {
    port = ports_.insert(ports_.end(), Port{});
    port->base = base;
  }
  port->names.push_back(upperName);
  FindCablePort();
  UpdateTargetLines();
}

std::uint16_t SimulatedPort::Inport(std::uint16_t address) {
  std::uint16_t offset = 0;
  Port* port = PortAt(address, offset);
  if (port == nullptr) return 0xFF;
  switch (offset) {
    case kDataOffset:
      return port->data;
    case kStatusOffset:
      return Status(*port);
    default:
      return port->control;
  }
}

void SimulatedPort::Outport(std::uint16_t address, std::uint16_t value) {
  std::uint16_t offset = 0;
  Port* port = PortAt(address, offset);
  if (port == nullptr) return;
  const auto byte = static_cast<std::uint8_t>(value & 0xFF);
  if (offset == kDataOffset) {
    port->data = byte;
    UpdateTargetLines();
  } else if (offset == kControlOffset) {
    port->control = byte;
  }
  // The status register is read-only.
}

std::string SimulatedPort::Description() const { return "simulated programmer"; }

std::optional<std::string> SimulatedPort::SimulatedTarget() const {
  return DescribeSimTarget(socket_.Target());
}

void SimulatedPort::ReplaceTarget(std::unique_ptr<SimTarget> target) {
  socket_.Replace(std::move(target), clock_.NowMicroseconds());
  UpdateTargetLines();
}

SimulatedPort::Port* SimulatedPort::PortAt(std::uint16_t address, std::uint16_t& offset) {
  for (auto& port : ports_) {
    // Wraps like the 16-bit address bus does, so a base near FFFF behaves too.
    const auto distance = static_cast<std::uint16_t>(address - port.base);
    if (distance <= kControlOffset) {
      offset = distance;
      return &port;
    }
  }
  return nullptr;
}

void SimulatedPort::FindCablePort() {
  const auto names = [this](const Port& port) {
    return std::ranges::find(port.names, options_.cable) != port.names.end();
  };
  cableIndex_ = static_cast<std::size_t>(std::ranges::find_if(ports_, names) - ports_.begin());
}

bool SimulatedPort::BufferEnabled() const {
  const Port* port = CablePort();
  return port != nullptr && options_.powered && (port->data & (cable::kMode7 | cable::kMode3)) == 0;
}

std::uint8_t SimulatedPort::Status(const Port& port) {
  auto status = static_cast<std::uint8_t>(cable::kStatusPattern & ~(cable::kSense | cable::kMiso));
  bool miso = true;  // the pull-up
  if (&port == CablePort()) {
    if (socket_.Target().SenseRead()) UpdateTargetLines();  // a board came in: it sees the lines
    const bool drives = BufferDrives();
    if (drives) {
      status |= cable::kSense;
      miso = socket_.Target().Miso(clock_.NowMicroseconds());
    }
    if (options_.misoStuckAt) miso = *options_.misoStuckAt;
  }
  if (miso) status |= cable::kMiso;
  return status;
}

void SimulatedPort::UpdateTargetLines() {
  const Port* port = CablePort();
  const std::uint8_t data = port != nullptr ? port->data : 0;
  socket_.Update({.rst = (data & cable::kRst) != 0,
                  .sck = (data & cable::kSck) != 0,
                  .mosi = (data & cable::kMosi) != 0},
                 BufferEnabled(), clock_.NowMicroseconds());
}

}  // namespace vql

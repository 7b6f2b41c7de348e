#include "cable_watch.h"

#include <cstdio>
#include <utility>

namespace vql::fuzz {

void WatchTarget::LinesChanged(const TargetLines& lines, std::uint64_t us) {
  lines_ = lines;
  switch (shifter_.LinesChanged(lines)) {
    case SimSerialShifter::Event::kSessionStarted:
    case SimSerialShifter::Event::kSessionEnded:
      count_ = 0;
      pageLeft_ = 0;
      inSession_ = 0;
      probe_ = false;
      break;
    case SimSerialShifter::Event::kByteReceived:
      ByteReceived(shifter_.Received());
      break;
    case SimSerialShifter::Event::kNone:
      break;
  }
  inner_->LinesChanged(lines, us);
}

bool WatchTarget::Miso(std::uint64_t us) { return inner_->Miso(us); }

void WatchTarget::ByteReceived(std::uint8_t byte) {
  ++inSession_;
  const bool three = device_.set == InstructionSet::ThreeByte;
  // A three-byte command opens with a session of four-byte instructions that looks for
  // a chip of that set: a read of 0000, the four-byte enable, then signature reads. Its
  // bytes are no three-byte instructions.
  if (three && inSession_ <= head_.size()) {
    head_[inSession_ - 1] = byte;
    if (inSession_ < head_.size()) return;
    static constexpr std::array<std::uint8_t, 6> kProbe{0x20, 0x00, 0x00, 0x00, 0xAC, 0x53};
    probe_ = head_ == kProbe;
    if (!probe_) {
      for (const std::uint8_t held : head_) Take(held);
    }
    return;
  }
  if (!probe_) Take(byte);
}

void WatchTarget::Take(std::uint8_t byte) {
  // The data of a page instruction carries no address.
  if (pageLeft_ > 0) {
    --pageLeft_;
    return;
  }
  const bool three = device_.set == InstructionSet::ThreeByte;
  bytes_[count_++] = byte;
  // Page instructions (30 read, 50 write) open with A13..A8 and, below 256-byte
  // pages, A7..A0 of the page; their page of data follows.
  const bool paged = !three && device_.pageBytes > 0 && (bytes_[0] == 0x30 || bytes_[0] == 0x50);
  const std::size_t length = paged ? (device_.pageBytes >= 256 ? 2 : 3) : three ? 3 : 4;
  if (count_ < length) return;
  count_ = 0;
  std::int32_t address = -1;
  if (paged) {
    address = (bytes_[1] & 0x3F) << 8 | (length == 3 ? bytes_[2] : 0);
    pageLeft_ = static_cast<std::size_t>(device_.pageBytes);
  } else if (!three && (bytes_[0] == 0x20 || bytes_[0] == 0x40)) {
    address = (bytes_[1] & 0x3F) << 8 | bytes_[2];
  } else if (three && ((bytes_[0] & 3) == 1 || (bytes_[0] & 3) == 2)) {
    address = ((bytes_[0] >> 3) & 0x1F) << 8 | ((bytes_[0] >> 2) & 1) << 13 | bytes_[1];
  }
  if (address > device_.lastAddress) {
    char text[120];
    std::snprintf(text, sizeof text, "%s instruction %02X %02X %02X names address %04X",
                  std::string(device_.name).c_str(), bytes_[0], bytes_[1], bytes_[2],
                  static_cast<unsigned>(address));
    Broken("no instruction carries an address above the device's last address", text);
  }
}

}  // namespace vql::fuzz

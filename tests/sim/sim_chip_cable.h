// A bench for the chip tests: a simulated port with a chip behind the cable, driven
// bit by bit through Outport and Inport as the program drives a real one, and the
// instructions of both sets spelt out byte by byte.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim_chip.h"
#include "sim/sim_port.h"
#include "support/manual_clock.h"

namespace vql::testing {

class ChipCable {
 public:
  static constexpr std::uint16_t kData = 0x378;
  static constexpr std::uint16_t kStatus = 0x379;

  explicit ChipCable(std::string_view options) : port(clock, ParseSimOptions(options)) {
    port.AttachPort("LPT1", kData);
    Drive(0);
  }

  SimChip& Chip() {
    SimChip* chip = port.TargetAs<SimChip>();
    if (chip == nullptr) throw std::logic_error("no chip behind the cable");
    return *chip;
  }
  bool FourByte() { return Chip().Model().instructions == SimInstructionSet::kFourByte; }

  // The data register as a whole; mode lines 0, so the buffer drives.
  void Drive(std::uint8_t data) {
    data_ = data;
    port.Outport(kData, data);
  }
  bool Miso() { return (port.Inport(kStatus) & cable::kMiso) != 0; }
  // Each edge comes a half period after the one before, slow enough for any crystal
  // the chips run on by default; a test may make either phase of SCK longer or
  // shorter.
  static constexpr std::uint64_t kHalfPeriodUs = 2;
  std::uint64_t lowUs = kHalfPeriodUs;   // before each rise
  std::uint64_t highUs = kHalfPeriodUs;  // before each fall
  // The MOSI bits that flip while SCK is high, after the rise.
  std::uint8_t flipWhileHigh = 0x00;
  void Sck(bool high) {
    clock.Advance(high ? lowUs : highUs);
    Drive(static_cast<std::uint8_t>(high ? data_ | cable::kSck : data_ & ~cable::kSck));
  }

  // RST low, then high with SCK low: a new session.
  void Reset() {
    Drive(0);
    Drive(cable::kRst);
  }

  // One byte each way, MSB first: MOSI set while SCK is low, MISO read while high.
  // Both serial modes take the bit that way.
  std::uint8_t Exchange(std::uint8_t out) {
    std::uint8_t in = 0;
    for (int bit = 7; bit >= 0; --bit) {
      const bool one = ((out >> bit) & 1) != 0;
      Drive(static_cast<std::uint8_t>(cable::kRst | (one ? cable::kMosi : 0)));
      Sck(true);
      if (((flipWhileHigh >> bit) & 1) != 0) Drive(static_cast<std::uint8_t>(data_ ^ cable::kMosi));
      in = static_cast<std::uint8_t>((in << 1) | (Miso() ? 1 : 0));
      Sck(false);
    }
    return in;
  }
  std::vector<std::uint8_t> Send(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> answers;
    for (std::uint8_t byte : bytes) answers.push_back(Exchange(byte));
    return answers;
  }
  // The answer to the last byte, where reads put theirs.
  std::uint8_t SendForAnswer(const std::vector<std::uint8_t>& bytes) { return Send(bytes).back(); }

  // --- Instructions of the chip's set.
  std::vector<std::uint8_t> EnableBytes() {
    return FourByte() ? std::vector<std::uint8_t>{0xAC, 0x53, 0x55, 0x55}
                      : std::vector<std::uint8_t>{0xAC, 0x53, 0x55};
  }
  // Reset and Programming Enable; the answers to its bytes.
  std::vector<std::uint8_t> Enable() {
    Reset();
    return Send(EnableBytes());
  }
  void Erase() {
    Send(FourByte() ? std::vector<std::uint8_t>{0xAC, 0x80, 0x00, 0x00}
                    : std::vector<std::uint8_t>{0xAC, 0x04, 0x00});
  }
  // Byte 1 of a three-byte code instruction: A12..A8, A13, then the operation.
  static std::uint8_t ThreeByteOpening(std::uint16_t address, std::uint8_t operation) {
    return static_cast<std::uint8_t>((((address >> 8) & 0x1F) << 3) | (((address >> 13) & 1) << 2) |
                                     operation);
  }
  // Address bits above A13 are never sent, as the program builds its instructions.
  void WriteCode(std::uint16_t address, std::uint8_t data) {
    const auto low = static_cast<std::uint8_t>(address & 0xFF);
    if (FourByte()) {
      Send({0x40, static_cast<std::uint8_t>((address >> 8) & 0x3F), low, data});
    } else {
      Send({ThreeByteOpening(address, 0x02), low, data});
    }
  }
  std::uint8_t ReadCode(std::uint16_t address) {
    const auto low = static_cast<std::uint8_t>(address & 0xFF);
    if (FourByte()) {
      return SendForAnswer({0x20, static_cast<std::uint8_t>((address >> 8) & 0x3F), low, 0x00});
    }
    return SendForAnswer({ThreeByteOpening(address, 0x01), low, 0x00});
  }
  // The lock instruction of the chip's layout that sets the bits of lock level 1 to 3
  // at once (for the AT89S51/52: one mode, E1 to E3).
  void WriteLock(int level) {
    switch (Chip().Model().locks) {
      case SimLockLayout::kModesInOrder:
        Send({0xAC, static_cast<std::uint8_t>(0xE0 | level), 0x00, 0x00});
        break;
      case SimLockLayout::kBitsAtOnce:
        Send({0xAC, static_cast<std::uint8_t>(0xE7 & ~((1 << level) - 1)), 0xFF, 0xFF});
        break;
      case SimLockLayout::kThreeByteWriteOnly:
        Send({0xAC, static_cast<std::uint8_t>(0xFF >> level), 0xFF});
        break;
    }
  }
  // 50 (write) or 30 (read) and the page's address: its high byte alone on the chips
  // with pages of 256 bytes, then A7..A0 of the page on the others.
  std::vector<std::uint8_t> PageOpening(std::uint8_t op, std::uint16_t address) {
    std::vector<std::uint8_t> bytes{op, static_cast<std::uint8_t>((address >> 8) & 0x3F)};
    if (Chip().Model().PageHeaderBytes() == 3) bytes.push_back(static_cast<std::uint8_t>(address));
    return bytes;
  }
  // The answers to every byte of the page write.
  std::vector<std::uint8_t> WritePage(std::uint16_t address,
                                      const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> bytes = PageOpening(0x50, address);
    bytes.insert(bytes.end(), data.begin(), data.end());
    return Send(bytes);
  }
  // The answers during the data bytes of a page read, as many as the chip's page.
  std::vector<std::uint8_t> ReadPage(std::uint16_t address) {
    std::vector<std::uint8_t> bytes = PageOpening(0x30, address);
    const std::size_t opening = bytes.size();
    bytes.resize(opening + Chip().Model().pageBytes, 0x00);
    const std::vector<std::uint8_t> answers = Send(bytes);
    return {answers.begin() + static_cast<std::ptrdiff_t>(opening), answers.end()};
  }
  std::uint8_t ReadSignature(std::uint16_t address) {
    return SendForAnswer({0x28, static_cast<std::uint8_t>(address >> 8),
                          static_cast<std::uint8_t>(address), 0x00});
  }
  std::uint8_t ReadLockBits() { return SendForAnswer({0x24, 0x55, 0x55, 0xFF}); }
  std::uint8_t ReadFuse() { return SendForAnswer({0x21, 0x55, 0x55, 0xFF}); }
  void WriteFuse(bool x2On) {
    Send({0xAC, static_cast<std::uint8_t>(x2On ? 0x18 : 0x1A), 0x55, 0xFF});
  }

  // The AT89S8253's user fuses: byte 2 is 0001 1 F3 F2 F1, a 0 enabling.
  void WriteUserFuses(std::uint8_t byte2, std::uint8_t byte3 = 0x00, std::uint8_t byte4 = 0x00) {
    Send({0xAC, byte2, byte3, byte4});
  }
  std::uint8_t ReadUserFuses() { return SendForAnswer({0x21, 0x00, 0x00, 0x00}); }
  // The data EEPROM: xxxx x A10 A9 A8, A7..A0, data. The address's high byte goes
  // whole, so that a test can fill the bits the chip ignores.
  void WriteData(std::uint16_t address, std::uint8_t data) {
    Send({0xC0, static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address), data});
  }
  std::uint8_t ReadData(std::uint16_t address) {
    return SendForAnswer({0xA0, static_cast<std::uint8_t>(address >> 8),
                          static_cast<std::uint8_t>(address), 0x00});
  }
  // The user signature row: xxxx xxxx, the address in byte 3, data.
  void WriteUserRow(std::uint8_t address, std::uint8_t data) {
    Send({0x42, 0x00, address, data});
  }
  std::uint8_t ReadUserRow(std::uint8_t address) {
    return SendForAnswer({0x22, 0x00, address, 0x00});
  }
  // A page instruction with two address bytes (op, high, low) and its data; the
  // answers during the data bytes.
  std::vector<std::uint8_t> Page(std::uint8_t op, std::uint16_t address,
                                 const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> bytes{op, static_cast<std::uint8_t>(address >> 8),
                                    static_cast<std::uint8_t>(address)};
    bytes.insert(bytes.end(), data.begin(), data.end());
    const std::vector<std::uint8_t> answers = Send(bytes);
    return {answers.begin() + 3, answers.end()};
  }

  // Lets the chip finish what it is doing.
  void Settle() { clock.Advance(Chip().EraseUs() + Chip().WriteUs() + Chip().PageWriteUs()); }

  ManualClock clock;
  SimulatedPort port;

 private:
  std::uint8_t data_ = 0;
};

}  // namespace vql::testing

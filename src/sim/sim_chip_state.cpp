#include "sim/sim_chip_state.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>

#include "portio/port_io.h"

namespace vql {

namespace {

constexpr std::string_view kHeader = "VQL-ISP simulated chip state, version 2";
// The first version kept the x2-clock fuse alone and only the code.
constexpr std::string_view kHeaderV1 = "VQL-ISP simulated chip state, version 1";
constexpr std::size_t kRowBytes = 32;
constexpr std::string_view kHexDigits = "0123456789ABCDEF";

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The file's lines, numbered for messages.
class StateReader {
 public:
  StateReader(std::istream& in, const std::string& path) : in_(in), path_(path) {}

  // The next line without its end (a DOS line end too); false after the last.
  bool Next(std::string& line) {
    if (!std::getline(in_, line)) return false;
    ++number_;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  }

  std::string Expect(std::string_view what) {
    std::string line;
    if (!Next(line))
      Fail("it ends before its " + std::string(what) + " line: the file was cut off");
    return line;
  }

  [[noreturn]] void Fail(const std::string& why) const {
    throw PortError("Simulated chip state file " + Quoted(path_) + ", line " +
                    std::to_string(number_) + ": " + why +
                    ". The file is left as it is; repair or remove it.");
  }

 private:
  std::istream& in_;
  const std::string& path_;
  int number_ = 0;
};

// "lock-bits LB1=1 LB2=0 LB3=0"
SimLockBits ParseLockBits(const std::string& line, const StateReader& reader) {
  constexpr std::string_view kPattern = "lock-bits LB1=# LB2=# LB3=#";
  std::array<bool, 3> bits{};
  std::size_t next = 0;
  bool fits = line.size() == kPattern.size();
  for (std::size_t i = 0; fits && i < kPattern.size(); ++i) {
    if (kPattern[i] != '#') {
      fits = line[i] == kPattern[i];
    } else if (line[i] == '0' || line[i] == '1') {
      bits[next++] = line[i] == '1';
    } else {
      fits = false;
    }
  }
  if (!fits) reader.Fail("expected \"lock-bits LB1=0 LB2=0 LB3=0\" with 1 for a set bit");
  return {.lb1 = bits[0], .lb2 = bits[1], .lb3 = bits[2]};
}

// One memory's rows in the file: its section's name and the bytes it holds.
struct Section {
  std::string_view name;
  std::vector<std::uint8_t>& bytes;
};

void ParseRow(const std::string& line, const StateReader& reader, const SimChipModel& model,
              const Section& section, std::size_t& nextFree) {
  const std::string what(section.name);
  if (line.size() != 5 + 2 * kRowBytes || line[4] != ' ') {
    reader.Fail("expected a " + what + " row: a 4-digit address, a space and " +
                std::to_string(2 * kRowBytes) + " hex digits");
  }
  std::size_t address = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const int digit = HexValue(line[i]);
    if (digit < 0) reader.Fail("the row address \"" + line.substr(0, 4) + "\" is not hexadecimal");
    address = address * 16 + static_cast<std::size_t>(digit);
  }
  if (address % kRowBytes != 0 || address >= section.bytes.size()) {
    reader.Fail("the row address " + line.substr(0, 4) + " is no row of the " +
                std::string(model.name) + "'s " + what + " (multiples of 20 hex below its size)");
  }
  if (address < nextFree)
    reader.Fail("the row " + line.substr(0, 4) + " is out of order or repeated");
  for (std::size_t i = 0; i < kRowBytes; ++i) {
    const int high = HexValue(line[5 + 2 * i]);
    const int low = HexValue(line[6 + 2 * i]);
    if (high < 0 || low < 0)
      reader.Fail("the " + what + " row " + line.substr(0, 4) + " holds a non-hex digit");
    section.bytes[address + i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  nextFree = address + kRowBytes;
}

// "fuses serial-programming=on x2-clock=off user-row-programming=on"; a chip keeps
// the fuses it lacks as a fresh one has them.
SimFuses ParseFuses(const std::string& line, const StateReader& reader,
                    const SimChipModel& model) {
  constexpr std::string_view kPattern =
      "fuses serial-programming=# x2-clock=# user-row-programming=#";
  std::array<bool, 3> on{};
  std::size_t next = 0;
  std::size_t at = 0;
  bool fits = true;
  for (std::size_t i = 0; fits && i < kPattern.size(); ++i) {
    if (kPattern[i] != '#') {
      fits = at < line.size() && line[at++] == kPattern[i];
    } else if (line.compare(at, 2, "on") == 0) {
      on[next++] = true;
      at += 2;
    } else if (line.compare(at, 3, "off") == 0) {
      on[next++] = false;
      at += 3;
    } else {
      fits = false;
    }
  }
  if (!fits || at != line.size()) {
    reader.Fail("expected \"fuses serial-programming=on x2-clock=off user-row-programming=on\" "
                "with on or off for each");
  }
  const SimFuses fuses{.serialProgramming = on[0], .x2Clock = on[1], .userRowProgramming = on[2]};
  const SimFuses fresh;
  if (fuses.x2Clock && !model.x2Fuse) {
    reader.Fail("the " + std::string(model.name) + " has no x2-clock fuse to be on");
  }
  if (!model.userFuses && (fuses.serialProgramming != fresh.serialProgramming ||
                           fuses.userRowProgramming != fresh.userRowProgramming)) {
    reader.Fail("the " + std::string(model.name) +
                " has no serial-programming or user-row-programming fuse to be off");
  }
  return fuses;
}

SimChipMemory ParseState(std::istream& in, const std::string& path, const SimChipModel& model) {
  StateReader reader(in, path);
  const std::string header = reader.Expect("first");
  if (header != kHeader && header != kHeaderV1) {
    reader.Fail("it is no simulated chip state file (its first line is not \"" +
                std::string(kHeader) + "\")");
  }
  const bool firstVersion = header == kHeaderV1;

  const std::string chipLine = reader.Expect("chip");
  if (!chipLine.starts_with("chip ")) reader.Fail("expected \"chip <name>\"");
  const std::string chipName = chipLine.substr(5);
  const SimChipModel* written = FindSimChip(chipName);
  if (written == nullptr)
    reader.Fail("\"" + chipName + "\" is no chip name (" + SimChipNames() + ")");
  if (written != &model) {
    reader.Fail("it was written for the " + std::string(written->name) + ", but the chip behind " +
                "the cable is the " + std::string(model.name) +
                "; choose target=" + std::string(written->name) + " or another state file");
  }

  SimChipMemory memory = SimChipMemory::Erased(model);
  memory.lockBits = ParseLockBits(reader.Expect("lock-bits"), reader);

  if (firstVersion) {
    const std::string fuseLine = reader.Expect("x2-clock");
    if (fuseLine != "x2-clock on" && fuseLine != "x2-clock off") {
      reader.Fail("expected \"x2-clock on\" or \"x2-clock off\"");
    }
    memory.fuses.x2Clock = fuseLine == "x2-clock on";
    if (memory.fuses.x2Clock && !model.x2Fuse) {
      reader.Fail("the " + std::string(model.name) + " has no x2-clock fuse to be on");
    }
  } else {
    memory.fuses = ParseFuses(reader.Expect("fuses"), reader, model);
  }

  if (reader.Expect("code") != "code") reader.Fail("expected \"code\"");
  // The sections in the order they are written; version 1 has only the code.
  std::vector<Section> sections{{"code", memory.code}};
  if (!firstVersion && !memory.eeprom.empty()) sections.push_back({"eeprom", memory.eeprom});
  if (!firstVersion && !memory.userRow.empty()) sections.push_back({"user-row", memory.userRow});
  std::size_t section = 0;
  std::size_t nextFree = 0;
  for (;;) {
    const std::string line = reader.Expect("end");
    if (line == "end") break;
    const auto named = std::ranges::find(sections, line, &Section::name);
    if (named != sections.end()) {
      const auto index = static_cast<std::size_t>(named - sections.begin());
      if (index <= section) reader.Fail("the section \"" + line + "\" is out of order or repeated");
      section = index;
      nextFree = 0;
      continue;
    }
    ParseRow(line, reader, model, sections[section], nextFree);
  }
  for (std::string line; reader.Next(line);) {
    if (!line.empty()) reader.Fail("nothing may follow the \"end\" line");
  }
  return memory;
}

void AppendHexByte(std::string& text, std::uint8_t byte) {
  text += kHexDigits[byte >> 4];
  text += kHexDigits[byte & 0x0F];
}

void AppendRows(std::string& text, std::string_view name,
                const std::vector<std::uint8_t>& bytes) {
  text += name;
  text += '\n';
  for (std::size_t row = 0; row < bytes.size(); row += kRowBytes) {
    AppendHexByte(text, static_cast<std::uint8_t>(row >> 8));
    AppendHexByte(text, static_cast<std::uint8_t>(row & 0xFF));
    text += ' ';
    const std::size_t end = std::min(row + kRowBytes, bytes.size());
    for (std::size_t address = row; address < end; ++address) AppendHexByte(text, bytes[address]);
    text += '\n';
  }
}

std::string FormatState(const SimChipModel& model, const SimChipMemory& memory) {
  const auto bit = [](bool set) { return set ? '1' : '0'; };
  const auto on = [](bool enabled) { return enabled ? "on" : "off"; };
  const std::size_t bytes = memory.code.size() + memory.eeprom.size() + memory.userRow.size();
  std::string text;
  text.reserve(bytes * 2 + bytes / kRowBytes * 6 + 300);
  text += kHeader;
  text += "\nchip ";
  text += model.name;
  text += "\nlock-bits LB1=";
  text += bit(memory.lockBits.lb1);
  text += " LB2=";
  text += bit(memory.lockBits.lb2);
  text += " LB3=";
  text += bit(memory.lockBits.lb3);
  text += "\nfuses serial-programming=";
  text += on(memory.fuses.serialProgramming);
  text += " x2-clock=";
  text += on(memory.fuses.x2Clock);
  text += " user-row-programming=";
  text += on(memory.fuses.userRowProgramming);
  text += '\n';
  AppendRows(text, "code", memory.code);
  if (!memory.eeprom.empty()) AppendRows(text, "eeprom", memory.eeprom);
  if (!memory.userRow.empty()) AppendRows(text, "user-row", memory.userRow);
  text += "end\n";
  return text;
}

}  // namespace

SimChipMemory SimChipMemory::Erased(const SimChipModel& model) {
  SimChipMemory memory;
  memory.code.assign(model.codeBytes, 0xFF);
  memory.eeprom.assign(model.eepromBytes, 0xFF);
  memory.userRow.assign(model.userRowBytes, 0xFF);
  return memory;
}

std::optional<SimChipMemory> LoadSimChipState(const std::string& path, const SimChipModel& model) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (status.type() == std::filesystem::file_type::not_found) return std::nullopt;
  if (error) {
    throw PortError("Cannot read simulated chip state file " + Quoted(path) + ": " +
                    error.message());
  }
  if (status.type() != std::filesystem::file_type::regular) {
    throw PortError("Simulated chip state file " + Quoted(path) + " is not a regular file.");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw PortError("Cannot read simulated chip state file " + Quoted(path) + ": " +
                    std::strerror(errno));
  }
  return ParseState(in, path, model);
}

void SaveSimChipState(const std::string& path, const SimChipModel& model,
                      const SimChipMemory& memory) {
  const std::string temporary = path + ".tmp";
  const std::string text = FormatState(model, memory);
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
      throw PortError("Cannot save the simulated chip to " + Quoted(temporary) + ": " +
                      std::strerror(errno));
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      throw PortError("Cannot save the simulated chip to " + Quoted(temporary) +
                      ": the write failed.");
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  if (error) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    throw PortError("Cannot save the simulated chip to " + Quoted(path) + ": " + error.message());
  }
}

}  // namespace vql

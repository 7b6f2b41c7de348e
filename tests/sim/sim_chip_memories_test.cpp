// The AT89S8253's data EEPROM, user fuses and user signature row, and write cycles
// that RST low cuts short, through the cable.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "portio/port_io.h"
#include "sim/sim_chip.h"
#include "sim/sim_chip_cable.h"
#include "sim/sim_chip_state.h"
#include "support/temp_dir.h"

namespace vql {
namespace {

using testing::ChipCable;

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t salt) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t k = 0; k < size; ++k) bytes[k] = static_cast<std::uint8_t>(k * 7 ^ salt);
  return bytes;
}

TEST(SimChipEeprom, ByteWritesLandInTheEepromAloneAndOnlyClearBits) {
  struct Case {
    std::uint16_t sent;    // A15..A0 as the test spells them; the chip takes A10..A0
    std::uint16_t landed;
  };
  const Case cases[] = {{0x000, 0x000}, {0x0FF, 0x0FF}, {0x100, 0x100}, {0x7FF, 0x7FF},
                        {0xF812, 0x012}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    ChipCable cable("target=AT89S8253");
    SimChip& chip = cable.Chip();
    chip.SetEeprom(c.landed, 0xF0);
    cable.Enable();
    cable.WriteData(c.sent, 0x3C);
    // Polled: the byte loaded, bit 7 inverted, while busy.
    EXPECT_EQ(cable.ReadData(c.sent), 0x3C ^ 0x80);
    cable.Settle();
    EXPECT_EQ(chip.Eeprom(c.landed), 0x30);  // a write only clears bits
    EXPECT_EQ(cable.ReadData(c.sent), 0x30);
    // The code at the same address, and every other byte, is untouched.
    EXPECT_EQ(std::count(chip.Memory().code.begin(), chip.Memory().code.end(), 0xFF), 12288);
    EXPECT_EQ(std::count(chip.Memory().eeprom.begin(), chip.Memory().eeprom.end(), 0xFF), 2047);
    EXPECT_EQ(chip.Counters().eepromWrites, 1u);
    EXPECT_EQ(chip.Counters().eepromReads, 2u);
    EXPECT_EQ(chip.Counters().writes + chip.Counters().reads, 0u);
  }
}

TEST(SimChipEeprom, PagesOf32FromByte0AndTheUserRowWhole) {
  struct Case {
    std::string name;
    std::uint8_t write;
    std::uint8_t read;
    std::uint16_t sent;
    std::function<std::uint8_t(SimChip&, std::size_t)> stored;  // byte k of the page
    std::size_t size;
    std::function<std::uint8_t(ChipCable&)> readSecond;  // a byte read of its byte 1
  };
  const Case cases[] = {
      {"EEPROM page 020", 0xD0, 0xB0, 0x0020,
       [](SimChip& c, std::size_t k) { return c.Eeprom(static_cast<std::uint16_t>(0x20 + k)); },
       32, [](ChipCable& c) { return c.ReadData(0x021); }},
      // The bits below the page are ignored.
      {"EEPROM page 7E0", 0xD0, 0xB0, 0x07FF,
       [](SimChip& c, std::size_t k) { return c.Eeprom(static_cast<std::uint16_t>(0x7E0 + k)); },
       32, [](ChipCable& c) { return c.ReadData(0x7E1); }},
      {"user row", 0x52, 0x32, 0x1234,
       [](SimChip& c, std::size_t k) { return c.UserRow(static_cast<std::uint8_t>(k)); }, 64,
       [](ChipCable& c) { return c.ReadUserRow(0x01); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ChipCable cable("target=AT89S8253");
    SimChip& chip = cable.Chip();
    const auto page = Pattern(c.size, 0xA5);
    cable.Enable();
    cable.Page(c.write, c.sent, page);
    EXPECT_TRUE(chip.BusyAt(cable.clock.NowMicroseconds()));
    cable.Settle();
    std::vector<std::uint8_t> stored;
    for (std::size_t k = 0; k < c.size; ++k) stored.push_back(c.stored(chip, k));
    EXPECT_EQ(stored, page);
    EXPECT_EQ(cable.Page(c.read, c.sent, std::vector<std::uint8_t>(c.size, 0x00)), page);
    EXPECT_EQ(chip.Memory().code, SimChipMemory::Erased(chip.Model()).code);
    // Instructions after the page are framed as before.
    EXPECT_EQ(c.readSecond(cable), page[1]);
    EXPECT_EQ(chip.Counters().eepromPageWrites + chip.Counters().userRowPageWrites, 1u);
    EXPECT_EQ(chip.Counters().eepromPageReads + chip.Counters().userRowPageReads, 1u);
  }
}

TEST(SimChipEeprom, UserRowBytesAndFuse3) {
  ChipCable cable("target=AT89S8253");
  SimChip& chip = cable.Chip();
  cable.Enable();
  cable.WriteUserRow(0x45, 0x12);  // A5..A0 of byte 3: byte 05
  EXPECT_EQ(cable.ReadUserRow(0x05), 0x92);
  cable.Settle();
  EXPECT_EQ(chip.UserRow(0x05), 0x12);
  EXPECT_EQ(cable.ReadUserRow(0xC5), 0x12);
  EXPECT_EQ(chip.Counters().userRowWrites, 1u);
  // With Fuse3 disabled the row takes no writes, and a Chip Erase leaves it.
  cable.WriteUserFuses(0x1C);
  cable.Settle();
  cable.WriteUserRow(0x06, 0x00);
  cable.Page(0x52, 0, std::vector<std::uint8_t>(64, 0x00));
  cable.Erase();
  cable.Settle();
  EXPECT_EQ(chip.UserRow(0x05), 0x12);
  EXPECT_EQ(chip.UserRow(0x06), 0xFF);
  EXPECT_EQ(chip.Counters().userRowWrites + chip.Counters().userRowPageWrites, 1u);
  // Enabled again, the next erase takes it; the fuses survive the erase.
  cable.WriteUserFuses(0x18);
  cable.Settle();
  cable.Erase();
  cable.Settle();
  EXPECT_EQ(chip.UserRow(0x05), 0xFF);
  EXPECT_EQ(chip.Fuses(), (SimFuses{.x2Clock = true}));
}

TEST(SimChipEeprom, ChipEraseSetsCodeAndEepromLocksRuleBoth) {
  for (int level = 0; level <= 3; ++level) {
    SCOPED_TRACE(level);
    ChipCable cable("target=AT89S8253");
    SimChip& chip = cable.Chip();
    chip.SetEeprom(0x010, 0x5A);
    chip.SetUserRow(0x10, 0x6B);
    chip.SetLockBits({.lb1 = level >= 1, .lb2 = level >= 2, .lb3 = level >= 3});
    cable.Enable();
    cable.WriteData(0x011, 0x00);
    cable.Settle();
    cable.WriteUserRow(0x11, 0x00);
    cable.Settle();
    EXPECT_EQ(chip.Eeprom(0x011), level == 0 ? 0x00 : 0xFF);
    EXPECT_EQ(chip.UserRow(0x11), level == 0 ? 0x00 : 0xFF);
    const bool hidden = level >= 2;
    EXPECT_EQ(cable.ReadData(0x010), hidden ? 0xA5 : 0x5A);
    EXPECT_EQ(cable.ReadUserRow(0x10), hidden ? 0x94 : 0x6B);
    EXPECT_EQ(cable.Page(0xB0, 0x000, std::vector<std::uint8_t>(32, 0))[0x10], hidden ? 0xA5 : 0x5A);
    cable.Erase();
    EXPECT_EQ(cable.ReadData(0x010), 0x00);  // "a serial read from any address location"
    cable.Settle();
    EXPECT_EQ(chip.Memory().eeprom, std::vector<std::uint8_t>(2048, 0xFF));
    EXPECT_EQ(chip.Memory().userRow, std::vector<std::uint8_t>(64, 0xFF));
    EXPECT_EQ(chip.LockBits(), SimLockBits{});
  }
}

TEST(SimChipEeprom, UnheardWhileNotEnabledAndTheAT89S8252KeepsOneWithoutInstructions) {
  ChipCable cable("target=AT89S8253");
  cable.Chip().SetEeprom(0x123, 0x34);
  cable.Chip().SetUserRow(0x01, 0x56);
  cable.Reset();
  EXPECT_EQ(cable.ReadData(0x123), 0xCB);
  EXPECT_EQ(cable.ReadUserRow(0x01), 0xA9);
  EXPECT_EQ(cable.ReadUserFuses(), 0x05);  // the complement of FA
  cable.WriteData(0x124, 0x00);
  EXPECT_EQ(cable.Chip().Eeprom(0x124), 0xFF);
  EXPECT_EQ(cable.Chip().Counters().ignored, 4u);

  ChipCable s8252("target=AT89S8252");
  EXPECT_EQ(s8252.Chip().Memory().eeprom.size(), 2048u);
  EXPECT_TRUE(s8252.Chip().Memory().userRow.empty());
  s8252.Chip().SetEeprom(0x7FF, 0x00);
  s8252.Enable();
  s8252.Erase();
  s8252.Settle();
  EXPECT_EQ(s8252.Chip().Eeprom(0x7FF), 0xFF);
}

TEST(SimChipUserFuses, WrittenWithZeroEnablingAndReadEitherWay) {
  struct Case {
    std::uint8_t byte2;  // 0001 1 F3 F2 F1
    SimFuses fuses;
    std::uint8_t asWritten;
    std::uint8_t inverted;
  };
  const Case cases[] = {
      {0x18, {.x2Clock = true}, 0xF8, 0x07},
      {0x1A, {}, 0xFA, 0x05},
      {0x1E, {.userRowProgramming = false}, 0xFE, 0x01},
      {0x1B, {.serialProgramming = false}, 0xFB, 0x04},
      {0x1F, {.serialProgramming = false, .userRowProgramming = false}, 0xFF, 0x00},
  };
  for (const char* reading : {"", ",fuse-read=inverted"}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(reading) + " " + std::to_string(c.byte2));
      const bool inverted = *reading != '\0';
      ChipCable cable(std::string("target=AT89S8253") + reading);
      SimChip& chip = cable.Chip();
      cable.Enable();
      EXPECT_EQ(cable.ReadUserFuses(), inverted ? 0x05 : 0xFA);  // fresh: only x2 disabled
      cable.WriteUserFuses(c.byte2, 0x12, 0x34);                 // bytes 3 and 4: any
      cable.Settle();
      EXPECT_EQ(chip.Fuses(), c.fuses);
      EXPECT_EQ(cable.ReadUserFuses(), inverted ? c.inverted : c.asWritten);
      EXPECT_EQ(chip.Counters().fuseWrites, 1u);
      // Fuse1 rules from the next rise of RST on, not within the session.
      cable.WriteData(0x000, 0x00);
      cable.Settle();
      EXPECT_EQ(chip.Eeprom(0x000), 0x00);
      cable.Enable();
      EXPECT_EQ(chip.ProgrammingEnabled(), c.fuses.serialProgramming);
    }
  }
  // Byte 2 must be 0001 1xxx.
  ChipCable cable("target=AT89S8253");
  cable.Enable();
  cable.WriteUserFuses(0x38);
  cable.WriteUserFuses(0x10);
  EXPECT_EQ(cable.Chip().Counters().fuseWrites, 0u);
}

// Each kind of write cycle on the AT89S8253, started on a chip that holds 5A in the
// code at 0100, the EEPROM at 020 and the user row at 01.
struct CutCase {
  std::string name;
  std::function<void(ChipCable&)> start;
  // Whether the chip shows the cycle completed, and whether it shows the cut.
  std::function<bool(const SimChip&)> completed;
  std::function<bool(const SimChip&)> spoilt;
};

bool AllAre(const std::vector<std::uint8_t>& bytes, std::size_t first, std::size_t count,
            const std::function<bool(std::uint8_t)>& holds) {
  return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(first),
                     bytes.begin() + static_cast<std::ptrdiff_t>(first + count), holds);
}

const std::vector<CutCase>& CutCases() {
  static const std::vector<CutCase> cases{
      {"code byte", [](ChipCable& c) { c.WriteCode(0x0100, 0x0F); },
       [](const SimChip& s) { return s.Code(0x0100) == 0x0A; },
       [](const SimChip& s) { return s.Code(0x0100) != 0x0A && s.Code(0x0100) != 0x5A; }},
      {"code page", [](ChipCable& c) { c.WritePage(0x0100, std::vector<std::uint8_t>(64, 0x0F)); },
       [](const SimChip& s) { return s.Code(0x0100) == 0x0A && s.Code(0x0101) == 0x0F; },
       [](const SimChip& s) {
         return s.Code(0x0100) != 0x0A && s.Code(0x0100) != 0x5A &&
                AllAre(s.Memory().code, 0x0101, 63, [](std::uint8_t b) { return b != 0x0F && b != 0xFF; });
       }},
      {"EEPROM byte", [](ChipCable& c) { c.WriteData(0x020, 0x0F); },
       [](const SimChip& s) { return s.Eeprom(0x020) == 0x0A; },
       [](const SimChip& s) { return s.Eeprom(0x020) != 0x0A && s.Eeprom(0x020) != 0x5A; }},
      {"EEPROM page", [](ChipCable& c) { c.Page(0xD0, 0x020, std::vector<std::uint8_t>(32, 0x0F)); },
       [](const SimChip& s) { return s.Eeprom(0x020) == 0x0A && s.Eeprom(0x03F) == 0x0F; },
       [](const SimChip& s) {
         return AllAre(s.Memory().eeprom, 0x021, 31, [](std::uint8_t b) { return b != 0x0F && b != 0xFF; });
       }},
      {"user row byte", [](ChipCable& c) { c.WriteUserRow(0x01, 0x0F); },
       [](const SimChip& s) { return s.UserRow(0x01) == 0x0A; },
       [](const SimChip& s) { return s.UserRow(0x01) != 0x0A && s.UserRow(0x01) != 0x5A; }},
      // LB1 and LB3 asked: LB1 stays clear, LB3 is set.
      {"lock bits", [](ChipCable& c) { c.Send({0xAC, 0xE2, 0xFF, 0xFF}); },
       [](const SimChip& s) { return s.LockBits() == SimLockBits{.lb1 = true, .lb3 = true}; },
       [](const SimChip& s) { return s.LockBits() == SimLockBits{.lb3 = true}; }},
      // x2 on and Fuse3 off asked: x2 stays off, Fuse3 goes off.
      {"user fuses", [](ChipCable& c) { c.WriteUserFuses(0x1C); },
       [](const SimChip& s) { return s.Fuses() == SimFuses{.x2Clock = true, .userRowProgramming = false}; },
       [](const SimChip& s) { return s.Fuses() == SimFuses{.userRowProgramming = false}; }},
      {"chip erase", [](ChipCable& c) { c.Erase(); },
       [](const SimChip& s) { return s.Memory() == SimChipMemory::Erased(s.Model()); },
       [](const SimChip& s) {
         const auto neither = [](std::uint8_t b) { return b != 0xFF; };
         return s.Code(0x0100) != 0x5A && s.Eeprom(0x020) != 0x5A && s.UserRow(0x01) != 0x5A &&
                AllAre(s.Memory().code, 0, 12288, neither) &&
                AllAre(s.Memory().eeprom, 0, 2048, neither) &&
                AllAre(s.Memory().userRow, 0, 64, neither);
       }},
  };
  return cases;
}

TEST(SimChipRstAbort, RstLowInsideACycleLeavesItsBytesOrBitsUndefined) {
  for (const auto& c : CutCases()) {
    for (const char* abort : {"", ",rst-abort=yes", ",rst-abort=no"}) {
      SCOPED_TRACE(c.name + abort);
      const bool cuts = std::string(abort) != ",rst-abort=no";
      ChipCable cable(std::string("target=AT89S8253") + abort);
      SimChip& chip = cable.Chip();
      chip.SetCode(0x0100, 0x5A);
      chip.SetEeprom(0x020, 0x5A);
      chip.SetUserRow(0x01, 0x5A);
      cable.Enable();
      c.start(cable);
      cable.Drive(0);  // RST low at once
      EXPECT_EQ(chip.Counters().cutCycles, 1u);
      EXPECT_EQ(chip.BusyAt(cable.clock.NowMicroseconds()), !cuts);
      cable.Settle();
      EXPECT_EQ(c.completed(chip), !cuts);
      EXPECT_EQ(c.spoilt(chip), cuts);
    }
  }
}

TEST(SimChipRstAbort, TheUndefinedBytesComeFromTheSeedAndAWholeCycleIsNeverCut) {
  const auto cut = [](const std::string& seed, bool wait) {
    ChipCable cable("target=AT89S8253,seed=" + seed);
    cable.Enable();
    cable.WritePage(0x0000, std::vector<std::uint8_t>(64, 0x00));
    if (wait) cable.clock.Advance(cable.Chip().PageWriteUs());
    cable.Drive(0);
    std::vector<std::uint8_t> page(cable.Chip().Memory().code.begin(),
                                   cable.Chip().Memory().code.begin() + 64);
    return std::pair{page, cable.Chip().Counters().cutCycles};
  };
  EXPECT_EQ(cut("3", false), cut("3", false));
  EXPECT_NE(cut("3", false).first, cut("4", false).first);
  EXPECT_EQ(cut("3", true), std::pair(std::vector<std::uint8_t>(64, 0x00), 0u));
}

TEST(SimChipRstAbort, EveryChipsWritesAreCut) {
  for (const auto& model : kSimChips) {
    SCOPED_TRACE(std::string(model.name));
    ChipCable cable("target=" + std::string(model.name));
    cable.Chip().SetCode(0x0010, 0xF0);
    cable.Enable();
    cable.WriteCode(0x0010, 0x0F);
    cable.Drive(0);
    EXPECT_NE(cable.Chip().Code(0x0010), 0xF0);
    EXPECT_NE(cable.Chip().Code(0x0010), cable.FourByte() ? 0x00 : 0x0F);
  }
}

TEST(SimChipMemory, EqualityCoversEverythingTheChipKeeps) {
  const SimChipModel& model = *FindSimChip("AT89S8253");
  const SimChipMemory fresh = SimChipMemory::Erased(model);
  const std::function<void(SimChipMemory&)> changes[] = {
      [](SimChipMemory& m) { m.code[0x2FFF] = 0; },
      [](SimChipMemory& m) { m.eeprom[0x7FF] = 0; },
      [](SimChipMemory& m) { m.userRow[63] = 0; },
      [](SimChipMemory& m) { m.lockBits.lb3 = true; },
      [](SimChipMemory& m) { m.fuses.serialProgramming = false; },
      [](SimChipMemory& m) { m.fuses.x2Clock = true; },
      [](SimChipMemory& m) { m.fuses.userRowProgramming = false; },
  };
  for (const auto& change : changes) {
    SimChipMemory changed = fresh;
    change(changed);
    EXPECT_NE(changed, fresh);
  }
  EXPECT_EQ(fresh, SimChipMemory::Erased(model));
}

TEST(SimChipState, KeepsTheEepromUserRowAndFusesAndReadsTheFirstVersion) {
  testing::TempDir dir;
  const SimChipModel& model = *FindSimChip("AT89S8253");
  const std::string path = (dir.Path() / "chip.state").string();
  SimChipMemory memory = SimChipMemory::Erased(model);
  memory.code[0x2FFF] = 0x01;
  memory.eeprom[0x000] = 0x02;
  memory.eeprom[0x7FF] = 0x03;
  memory.userRow[63] = 0x04;
  memory.lockBits.lb2 = true;
  memory.fuses = {.serialProgramming = false, .x2Clock = true, .userRowProgramming = false};
  SaveSimChipState(path, model, memory);
  EXPECT_EQ(LoadSimChipState(path, model), memory);

  // A file of the first version: the fuse line, the code alone.
  const std::string old = dir.Write(
      "old.state", "VQL-ISP simulated chip state, version 1\nchip AT89S8253\n"
                   "lock-bits LB1=1 LB2=0 LB3=0\nx2-clock on\ncode\n0020 " +
                       std::string(62, 'F') + "00\nend\n");
  SimChipMemory want = SimChipMemory::Erased(model);
  want.code[0x003F] = 0x00;
  want.lockBits.lb1 = true;
  want.fuses.x2Clock = true;
  EXPECT_EQ(LoadSimChipState(old, model), want);

  const std::string row = "0000 " + std::string(64, 'F') + "\n";
  const std::string v2 = "VQL-ISP simulated chip state, version 2\nchip AT89S8253\n"
                         "lock-bits LB1=0 LB2=0 LB3=0\n";
  const std::string fuses = "fuses serial-programming=on x2-clock=off user-row-programming=on\n";
  const std::pair<std::string, std::string> damaged[] = {
      {v2 + "x2-clock on\ncode\nend\n", "fuses"},
      {v2 + fuses + "code\nuser-row\n" + row + "eeprom\nend\n", "out of order"},
      {v2 + fuses + "code\nuser-row\n0040 " + std::string(64, 'F') + "\nend\n", "no row"},
      {"VQL-ISP simulated chip state, version 1\nchip AT89S8253\nlock-bits LB1=0 LB2=0 LB3=0\n"
       "x2-clock off\ncode\neeprom\nend\n",
       "code row"},
  };
  for (const auto& [text, why] : damaged) {
    const std::string file = dir.Write("bad.state", text);
    try {
      LoadSimChipState(file, model);
      ADD_FAILURE() << text;
    } catch (const PortError& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
  }
  // A fuse that the chip lacks cannot be off.
  const std::string s52 = dir.Write(
      "s52.state", "VQL-ISP simulated chip state, version 2\nchip AT89S52\nlock-bits LB1=0 LB2=0 "
                   "LB3=0\nfuses serial-programming=off x2-clock=off user-row-programming=on\n"
                   "code\nend\n");
  EXPECT_THROW(LoadSimChipState(s52, *FindSimChip("AT89S52")), PortError);
}

}  // namespace
}  // namespace vql

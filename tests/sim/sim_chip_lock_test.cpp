// Lock bits and the x2-clock fuse of the simulated chips, through the cable.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "sim/sim_chip.h"
#include "sim/sim_chip_cable.h"

namespace vql {
namespace {

using testing::ChipCable;

std::string Target(std::string_view chip) { return "target=" + std::string(chip); }

// The ways a set lock bit may read: the chip's own (unset), then set1 and set0.
struct LockReading {
  std::string options;
  std::optional<bool> setReadsOne;
};
const LockReading kReadings[] = {
    {"", std::nullopt}, {",lock-read=set1", true}, {",lock-read=set0", false}};

TEST(SimChipLocks, AT89S51And52TakeTheirModesOnlyInOrder) {
  struct Case {
    std::string name;
    std::vector<std::uint8_t> modes;  // byte 2 of each Write Lock Mode, E0 to E3
    std::uint8_t set1;                // Read Lock Bits: LB1 b2, LB2 b3, LB3 b4, set = 1
    std::uint8_t set0;                // the same bits, set = 0; the others 0 still
  };
  const Case cases[] = {
      {"none", {}, 0x00, 0x1C},
      {"E0 does nothing", {0xE0}, 0x00, 0x1C},
      {"E1 sets LB1", {0xE0, 0xE1}, 0x04, 0x18},
      {"E1 E2", {0xE1, 0xE2}, 0x0C, 0x10},
      {"E1 E2 E3", {0xE1, 0xE2, 0xE3}, 0x1C, 0x00},
      {"E2 without LB1 is refused", {0xE2}, 0x00, 0x1C},
      {"E3 without LB2 is refused", {0xE1, 0xE3}, 0x04, 0x18},
      {"E3 first, then in order", {0xE3, 0xE2, 0xE1, 0xE2, 0xE3}, 0x1C, 0x00},
      {"E0 after all clears nothing", {0xE1, 0xE2, 0xE3, 0xE0}, 0x1C, 0x00},
  };
  for (const char* chipName : {"AT89S51", "AT89S52"}) {
    for (const auto& reading : kReadings) {
      const bool setReadsOne = reading.setReadsOne.value_or(true);
      for (const auto& c : cases) {
        SCOPED_TRACE(std::string(chipName) + reading.options + ": " + c.name);
        ChipCable cable(Target(chipName) + reading.options);
        cable.Enable();
        for (std::uint8_t mode : c.modes) {
          cable.Send({0xAC, mode, 0x00, 0x00});
          cable.Settle();
        }
        cable.Send({0xAC, 0xE1, 0xFF, 0xFF});  // the other family's form: no lock mode
        EXPECT_EQ(cable.ReadLockBits(), setReadsOne ? c.set1 : c.set0);
      }
    }
  }
}

TEST(SimChipLocks, AT89S8253FamilyWritesItsBitsAtOnceAndReadsThemEitherWay) {
  struct Case {
    std::string name;
    std::vector<std::uint8_t> writes;  // byte 2 of Write Lock Bits: [1,1,1,0,0,L3,L2,L1]
    std::uint8_t set1;                 // LB1 b0, LB2 b1, LB3 b2, set = 1, the others 0
    std::uint8_t set0;                 // the same bits, set = 0, the others 1
  };
  const Case cases[] = {
      {"none", {}, 0x00, 0xFF},
      {"E7 sets nothing", {0xE7}, 0x00, 0xFF},
      {"level 1", {0xE6}, 0x01, 0xFE},
      {"level 2", {0xE4}, 0x03, 0xFC},
      {"level 3", {0xE0}, 0x07, 0xF8},
      {"LB2 alone", {0xE5}, 0x02, 0xFD},
      {"bits add up", {0xE6, 0xE5, 0xE3}, 0x07, 0xF8},
      {"a set bit stays set", {0xE0, 0xE7}, 0x07, 0xF8},
  };
  for (const char* chipName : {"AT89S8253", "AT89S2051", "AT89S4051"}) {
    for (const auto& reading : kReadings) {
      // The program's reading unless told otherwise; set1 is the AT89S8253 data sheet's.
      const bool setReadsOne = reading.setReadsOne.value_or(false);
      for (const auto& c : cases) {
        SCOPED_TRACE(std::string(chipName) + reading.options + ": " + c.name);
        ChipCable cable(Target(chipName) + reading.options);
        cable.Enable();
        for (std::uint8_t bits : c.writes) {
          cable.Send({0xAC, bits, 0xFF, 0xFF});
          cable.Settle();
        }
        cable.Send({0xAC, 0xE0, 0x00, 0x00});  // the AT89S51/52 form: not this family's
        EXPECT_EQ(cable.ReadLockBits(), setReadsOne ? c.set1 : c.set0);
      }
    }
  }
}

TEST(SimChipLocks, ThreeByteSetWritesItsBitsAtOnce) {
  struct Case {
    std::uint8_t byte2;  // [LB1,LB2,LB3,1,1,1,1,1], 0 sets
    SimLockBits bits;
  };
  const Case cases[] = {
      {0xFF, {}},
      {0x7F, {.lb1 = true}},
      {0x3F, {.lb1 = true, .lb2 = true}},
      {0x1F, {.lb1 = true, .lb2 = true, .lb3 = true}},
      {0xBF, {.lb2 = true}},
      {0x1E, {}},  // the low five bits must be 1
  };
  for (const char* chipName : {"AT89S53", "AT89S8252"}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(chipName) + " " + std::to_string(c.byte2));
      ChipCable cable(Target(chipName));
      cable.Enable();
      cable.Send({0xAC, c.byte2, 0xFF});
      EXPECT_EQ(cable.Chip().LockBits(), c.bits);
    }
  }
}

TEST(SimChipLocks, LevelOneStopsWritesLevelTwoHidesTheCodeEraseClearsBoth) {
  for (const auto& model : kSimChips) {
    for (int level = 1; level <= 3; ++level) {
      SCOPED_TRACE(std::string(model.name) + " level " + std::to_string(level));
      ChipCable cable(Target(model.name));
      SimChip& chip = cable.Chip();
      chip.SetCode(0x0010, 0x5A);
      cable.Enable();
      // The AT89S51/52 climb one mode at a time; the others write the level at once.
      const bool stepwise = model.locks == SimLockLayout::kModesInOrder;
      for (int step = stepwise ? 1 : level; step <= level; ++step) {
        cable.WriteLock(step);
        cable.Settle();
      }
      EXPECT_EQ(chip.LockBits().lb1, true);
      EXPECT_EQ(chip.LockBits().lb2, level >= 2);
      EXPECT_EQ(chip.LockBits().lb3, level >= 3);

      cable.WriteCode(0x0011, 0x00);
      cable.Settle();
      EXPECT_EQ(chip.Code(0x0011), 0xFF);
      const std::uint8_t read = cable.ReadCode(0x0010);
      if (level == 1) {
        EXPECT_EQ(read, 0x5A);
      } else {
        EXPECT_NE(read, 0x5A);
      }
      // Page instructions meet the same lock, byte for byte.
      if (model.pageBytes != 0) {
        cable.WritePage(0x0000, std::vector<std::uint8_t>(model.pageBytes, 0x00));
        cable.Settle();
        EXPECT_EQ(chip.Code(0x0011), 0xFF);
        EXPECT_EQ(cable.ReadPage(0x0000)[0x10], read);
      }

      cable.Erase();
      cable.Settle();
      cable.Enable();
      EXPECT_EQ(chip.LockBits(), SimLockBits{});
      cable.WriteCode(0x0011, 0x00);
      cable.Settle();
      EXPECT_EQ(cable.ReadCode(0x0011), 0x00);
    }
  }
}

TEST(SimChipFuse, X2ClockIsWrittenBothWaysAndReadInBitOne) {
  struct Case {
    std::string chip;
    std::uint8_t off;  // Read Fuse with x2 off, and on
    std::uint8_t on;
  };
  const Case cases[] = {
      // The AT89S8253 shows its three fuses; Fuse1 and Fuse3 enabled read 0.
      {"AT89S8253", 0xFA, 0xF8},
      {"AT89S2051", 0xFF, 0xFD},
      {"AT89S4051", 0xFF, 0xFD},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chip);
    ChipCable cable(Target(c.chip));
    SimChip& chip = cable.Chip();
    cable.Enable();
    EXPECT_EQ(cable.ReadFuse(), c.off);
    cable.WriteFuse(true);
    cable.Settle();
    EXPECT_TRUE(chip.X2Clock());
    EXPECT_EQ(cable.ReadFuse(), c.on);
    cable.WriteFuse(false);
    cable.Settle();
    EXPECT_FALSE(chip.X2Clock());
    EXPECT_EQ(cable.ReadFuse(), c.off);
    EXPECT_EQ(chip.Counters().fuseWrites, 2u);
    // The program's form never touches Fuse1 or Fuse3.
    EXPECT_EQ(chip.Fuses(), SimFuses{});
    // The AT89S2051/4051 take only the program's form; the AT89S8253 any bytes 3
    // and 4 (3286A, Table 19).
    cable.Send({0xAC, 0x18, 0x55, 0x00});
    cable.Settle();
    EXPECT_EQ(chip.X2Clock(), chip.Model().userFuses);
  }
}

TEST(SimChipFuse, ChipsWithoutTheFuseIgnoreItsInstructions) {
  for (const char* chipName : {"AT89S51", "AT89S52"}) {
    SCOPED_TRACE(chipName);
    ChipCable cable(Target(chipName));
    cable.Enable();
    cable.WriteFuse(true);
    cable.Settle();
    EXPECT_FALSE(cable.Chip().X2Clock());
    EXPECT_EQ(cable.ReadFuse(), 0x55);  // nothing but the echo of byte 3
    EXPECT_EQ(cable.Chip().Counters().fuseWrites, 0u);
    EXPECT_EQ(cable.Chip().Counters().ignored, 2u);
  }
}

}  // namespace
}  // namespace vql

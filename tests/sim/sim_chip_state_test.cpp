// The state file that keeps a simulated chip between runs.
#include "sim/sim_chip_state.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "sim/sim_chip.h"
#include "sim/sim_chip_cable.h"
#include "support/temp_dir.h"

namespace vql {
namespace {

using testing::ChipCable;

std::string ReadAll(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// A whole file of the first version (the x2-clock fuse alone, only the code), with
// the given lines in place of the code rows.
std::string StateText(std::string_view chip, std::string_view locks, std::string_view fuse,
                      std::string_view rows, bool ended = true) {
  return "VQL-ISP simulated chip state, version 1\nchip " + std::string(chip) + "\nlock-bits " +
         std::string(locks) + "\nx2-clock " + std::string(fuse) + "\ncode\n" + std::string(rows) +
         (ended ? "end\n" : "");
}

const std::string kRow0040 =
    "0040 0102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F20\n";

TEST(SimChipState, ProgrammedInOneRunVerifiedInTheNext) {
  for (const auto& model : kSimChips) {
    SCOPED_TRACE(std::string(model.name));
    testing::TempDir dir;
    const std::string path = (dir.Path() / "chip.txt").string();
    const std::string options = "target=" + std::string(model.name) + ",state=" + path;
    const auto last = static_cast<std::uint16_t>(model.codeBytes - 1);
    {
      ChipCable cable(options);
      EXPECT_EQ(cable.Chip().Code(0), 0xFF);  // no file yet: a fresh chip
      cable.Enable();
      cable.WriteCode(0x0000, 0x02);
      cable.Settle();
      cable.WriteCode(last, 0x7E);
      cable.Settle();
      if (model.x2Fuse) {
        cable.WriteFuse(true);
        cable.Settle();
      }
      if (model.eepromPageBytes != 0) {
        cable.WriteData(0x7FF, 0x3E);
        cable.Settle();
      }
      if (model.userRowBytes != 0) {
        cable.WriteUserRow(0x3F, 0x4D);
        cable.Settle();
      }
      cable.WriteLock(1);
      cable.Settle();
    }
    EXPECT_TRUE(ReadAll(path).starts_with("VQL-ISP simulated chip state, version 2\nchip " +
                                          std::string(model.name) + "\n"));
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

    ChipCable next(options);
    EXPECT_EQ(next.Chip().Memory().code.size(), model.codeBytes);
    EXPECT_EQ(next.Chip().LockBits(), SimLockBits{.lb1 = true});
    EXPECT_EQ(next.Chip().X2Clock(), model.x2Fuse);
    next.Enable();
    EXPECT_EQ(next.ReadCode(0x0000), 0x02);
    EXPECT_EQ(next.ReadCode(last), 0x7E);
    EXPECT_EQ(next.ReadCode(0x0001), 0xFF);
    if (model.eepromPageBytes != 0) {
      EXPECT_EQ(next.ReadData(0x7FF), 0x3E);
    }
    if (model.userRowBytes != 0) {
      EXPECT_EQ(next.ReadUserRow(0x3F), 0x4D);
    }
  }
}

TEST(SimChipState, ReadsWhatItWritesAndRowsLeftOutAreErased) {
  testing::TempDir dir;
  const SimChipModel& model = *FindSimChip("AT89S2051");
  const std::string path =
      dir.Write("s.txt", StateText("at89s2051", "LB1=0 LB2=1 LB3=0", "on", kRow0040));
  const auto memory = LoadSimChipState(path, model);
  ASSERT_TRUE(memory.has_value());
  EXPECT_EQ(memory->lockBits, SimLockBits{.lb2 = true});
  EXPECT_EQ(memory->fuses, SimFuses{.x2Clock = true});
  EXPECT_EQ(memory->code[0x003F], 0xFF);
  EXPECT_EQ(memory->code[0x0040], 0x01);
  EXPECT_EQ(memory->code[0x005F], 0x20);
  EXPECT_EQ(memory->code[0x0060], 0xFF);

  SaveSimChipState(path, model, *memory);
  const std::string saved = ReadAll(path);
  EXPECT_TRUE(saved.starts_with(
      "VQL-ISP simulated chip state, version 2\nchip AT89S2051\nlock-bits LB1=0 LB2=1 LB3=0\n"
      "fuses serial-programming=on x2-clock=on user-row-programming=on\ncode\n0000 FFFF"))
      << saved;
  EXPECT_NE(saved.find(kRow0040), std::string::npos);
  EXPECT_TRUE(saved.ends_with("07E0 " + std::string(64, 'F') + "\nend\n"));
  EXPECT_EQ(LoadSimChipState(path, model), memory);
}

TEST(SimChipState, AMissingFileIsAFreshChip) {
  testing::TempDir dir;
  EXPECT_FALSE(LoadSimChipState((dir.Path() / "none.txt").string(), kSimChips[0]).has_value());
}

TEST(SimChipState, DamagedOrForeignFilesAreRefusedAndLeftAlone) {
  struct Case {
    std::string name;
    std::string text;
    std::string why;  // a part of the message
  };
  const Case cases[] = {
      {"empty", "", "cut off"},
      {"not a state file", "hello\n", "no simulated chip state file"},
      {"another chip", StateText("AT89S52", "LB1=0 LB2=0 LB3=0", "off", ""),
       "written for the AT89S52, but the chip behind the cable is the AT89S2051"},
      {"no chip name", StateText("AT89X", "LB1=0 LB2=0 LB3=0", "off", ""), "no chip name"},
      {"lock bits", StateText("AT89S2051", "LB1=2 LB2=0 LB3=0", "off", ""), "lock-bits"},
      {"fuse", StateText("AT89S2051", "LB1=0 LB2=0 LB3=0", "maybe", ""), "x2-clock"},
      {"cut off", StateText("AT89S2051", "LB1=0 LB2=0 LB3=0", "off", kRow0040, false), "cut off"},
      {"short row", StateText("AT89S2051", "LB1=0 LB2=0 LB3=0", "off", "0000 FFFF\n"), "code row"},
      {"bad digit",
       StateText("AT89S2051", "LB1=0 LB2=0 LB3=0", "off", "0000 " + std::string(63, 'F') + "G\n"),
       "non-hex"},
      {"beyond the chip",
       StateText("AT89S2051", "LB1=0 LB2=0 LB3=0", "off", "0800 " + std::string(64, 'F') + "\n"),
       "no row"},
      {"unaligned row",
       StateText("AT89S2051", "LB1=0 LB2=0 LB3=0", "off", "0010 " + std::string(64, 'F') + "\n"),
       "no row"},
      {"repeated row", StateText("AT89S2051", "LB1=0 LB2=0 LB3=0", "off", kRow0040 + kRow0040),
       "out of order"},
      {"junk after the end", StateText("AT89S2051", "LB1=0 LB2=0 LB3=0", "off", "") + "more\n",
       "follow"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const std::string path = dir.Write("chip.txt", c.text);
    try {
      ChipCable cable("target=AT89S2051,state=" + path);
      ADD_FAILURE() << "the file was taken";
    } catch (const PortError& e) {
      const std::string message = e.what();
      EXPECT_NE(message.find("\"" + path + "\""), std::string::npos) << message;
      EXPECT_NE(message.find(c.why), std::string::npos) << message;
    }
    EXPECT_EQ(ReadAll(path), c.text);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  }
}

TEST(SimChipState, AFuseOnAChipWithoutOneIsDamage) {
  testing::TempDir dir;
  const std::string path =
      dir.Write("chip.txt", StateText("AT89S51", "LB1=0 LB2=0 LB3=0", "on", ""));
  EXPECT_THROW(LoadSimChipState(path, *FindSimChip("AT89S51")), PortError);
}

TEST(SimChipState, ASaveThatCannotBeWrittenSaysWhere) {
  testing::TempDir dir;
  const std::string path = (dir.Path() / "missing" / "chip.txt").string();
  try {
    SaveSimChipState(path, kSimChips[0], SimChipMemory::Erased(kSimChips[0]));
    ADD_FAILURE() << "saved";
  } catch (const PortError& e) {
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace vql

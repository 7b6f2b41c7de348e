#include "devices/device_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "devices/device_selection.h"
#include "devices/set_operations.h"
#include "devices/operator_controls.h"
#include "sim/sim_chip.h"
#include "sim/sim_chip_table.h"

namespace vql {
namespace {

TEST(DeviceTable, RowsAreConsistent) {
  std::set<std::string_view> names;
  for (const DeviceInfo& d : kDevices) {
    SCOPED_TRACE(std::string(d.name));
    EXPECT_TRUE(names.insert(d.name).second) << "duplicate name";
    EXPECT_EQ(d.lastAddress, d.codeSize - 1);
    EXPECT_GT(d.codeSize, 0);
    EXPECT_EQ(DeviceAt(DeviceIndexOf(d.name)), &d);
    EXPECT_EQ(OperationsOf(d).set, d.set);
    // The enable, the lock operations and the fuse speak one instruction set: only
    // the three-byte enable has no echo to judge, only the three-byte lock write
    // uses three-byte instructions, and the lock reads and the fuse are four-byte.
    const bool three = d.set == InstructionSet::ThreeByte;
    EXPECT_EQ(three, d.enable == EnableRule::NoEcho);
    EXPECT_EQ(three, d.lockWrite == LockWrite::ThreeByte);
    if (three) {
      EXPECT_EQ(d.lockRead, LockRead::None);
      EXPECT_FALSE(d.hasFuse);
    }
  }
  EXPECT_EQ(kDevices[kDefaultDeviceIndex].name, "AT89S8253");
  EXPECT_EQ(DeviceAt(-1), nullptr);
  EXPECT_EQ(DeviceAt(static_cast<std::int32_t>(kDevices.size())), nullptr);
  EXPECT_EQ(DeviceIndexOf("at89s52"), -1);  // names are exact
}

// The simulated chips describe the silicon on their own; each device row must say
// what its chip does, and each chip must have its row.
TEST(DeviceTable, AgreesWithTheSimulatedChipsFieldByField) {
  struct Layout {
    LockWrite write;
    LockRead read;
    SimLockLayout chip;
  };
  constexpr Layout kLayouts[] = {
      {LockWrite::Stepwise, LockRead::ToBoxes, SimLockLayout::kModesInOrder},
      {LockWrite::ByMode, LockRead::ByMode, SimLockLayout::kBitsAtOnce},
      {LockWrite::ThreeByte, LockRead::None, SimLockLayout::kThreeByteWriteOnly},
  };
  EXPECT_EQ(kSimChips.size(), kDevices.size());
  for (const SimChipModel& chip : kSimChips) {
    EXPECT_GE(DeviceIndexOf(chip.name), 0) << chip.name << " has no device row";
  }
  for (const DeviceInfo& d : kDevices) {
    SCOPED_TRACE(std::string(d.name));
    const SimChipModel* chip = FindSimChip(d.name);
    ASSERT_NE(chip, nullptr);
    EXPECT_EQ(chip->name, d.name);
    EXPECT_EQ(chip->codeBytes, static_cast<std::uint32_t>(d.codeSize));
    EXPECT_LE(d.lastAddress, chip->AddressMask());
    const bool four = d.set == InstructionSet::FourByte;
    EXPECT_EQ(chip->instructions,
              four ? SimInstructionSet::kFourByte : SimInstructionSet::kThreeByte);
    EXPECT_EQ(chip->InstructionBytes(), four ? 4u : 3u);
    bool layoutFound = false;
    for (const Layout& layout : kLayouts) {
      if (layout.write != d.lockWrite) continue;
      layoutFound = true;
      EXPECT_EQ(layout.read, d.lockRead);
      EXPECT_EQ(layout.chip, chip->locks);
    }
    EXPECT_TRUE(layoutFound);
    EXPECT_EQ(chip->x2Fuse, d.hasFuse);
    // A device that judges the echo has chips that give it; the lock bits read by
    // default as the program reads them, so that the boxes show what it means.
    if (d.enable == EnableRule::EchoJudged) {
      EXPECT_TRUE(chip->echoesEnable);
    }
    if (d.lockRead == LockRead::ToBoxes) {
      EXPECT_EQ(chip->lockReading, SimLockReading::kSetReadsOne);
    }
    if (d.lockRead == LockRead::ByMode) {
      EXPECT_EQ(chip->lockReading, SimLockReading::kSetReadsZero);
    }
    // The 5 ms after a four-byte write covers the chip's write cycle by default.
    if (four) {
      EXPECT_LE(chip->writeUs, 5000u);
    }
    // The same pages, and a page write within the device's bound at the slowest
    // crystal the data sheets allow for serial programming.
    EXPECT_EQ(chip->pageBytes, static_cast<std::uint32_t>(d.pageBytes));
    if (d.pageBytes != 0) {
      SimChipSettings slowest;
      slowest.xtalMHz = 3.0;
      EXPECT_LE(SimChip(*chip, slowest).PageWriteUs(), static_cast<std::uint32_t>(d.pageWriteMaxUs));
    }
  }
}

// The program waits for the erase at least as long as the data sheets give as their
// maximum; where no data sheet gives one, as long as the longest of the family.
TEST(DeviceTable, WaitsForTheEraseAsLongAsTheDataSheetsAllow) {
  const std::pair<std::string_view, std::int32_t> maxima[] = {
      {"AT89S51", 500}, {"AT89S52", 500}, {"AT89S8253", 9}};
  for (const DeviceInfo& d : kDevices) {
    const auto known = std::ranges::find(maxima, d.name, &std::pair<std::string_view, std::int32_t>::first);
    EXPECT_GE(d.eraseMs, known != std::end(maxima) ? known->second : 500) << d.name;
  }
}

// At start-up the AT89S8253 is chosen: 12 KB of code, and the X2 clock fuse that the
// fuse controls write.
TEST(DeviceSelection, StartsOnTheAT89S8253WithTheFuseControlsEnabled) {
  DeviceSelection s;
  ASSERT_NE(s.Device(), nullptr);
  EXPECT_EQ(s.Device()->name, "AT89S8253");
  EXPECT_EQ(s.Device()->lastAddress, 0x2FFF);
  EXPECT_EQ(s.ComboIndex, s.DeviceIndex);
  EXPECT_EQ(std::ranges::count(s.MenuChecked, true), 1);
  EXPECT_TRUE(s.MenuChecked[static_cast<std::size_t>(s.DeviceIndex)]);
  EXPECT_TRUE(s.FuseControlsEnabled);
  EXPECT_TRUE(s.FuseWriteEnabled);
}

TEST(DeviceSelection, ComboAndMenuKeepEachOtherInStep) {
  // Every device in turn, from the last and back from the first, through the combo
  // box and the menu by turns: the fuse controls go off and on again.
  DeviceSelection s;
  const auto count = static_cast<std::int32_t>(kDevices.size());
  for (std::int32_t step = 0; step < 2 * count; ++step) {
    const std::int32_t index = step < count ? count - 1 - step : step - count;
    if (step % 2 == 0) {
      s.Select(index);
    } else {
      s.SelectOrNone(index);
    }
    EXPECT_EQ(s.DeviceIndex, index);
    EXPECT_EQ(s.ComboIndex, index);
    for (std::size_t i = 0; i < kDevices.size(); ++i) {
      EXPECT_EQ(s.MenuChecked[i], i == static_cast<std::size_t>(index));
    }
    EXPECT_EQ(s.FuseControlsEnabled, DeviceAt(index)->hasFuse) << index;
  }
}

TEST(DeviceSelection, TypedTextThatMatchesNoItemSelectsNoDevice) {
  DeviceSelection s;
  s.SelectOrNone(-1);
  EXPECT_EQ(s.DeviceIndex, -1);
  EXPECT_EQ(s.Device(), nullptr);
  EXPECT_EQ(s.MenuChecked, (std::array<bool, kDevices.size()>{}));
  EXPECT_FALSE(s.FuseControlsEnabled);
}

TEST(LockBoxes, RulesKeepTheBoxesNestedAndTheLevelEqualToTheirCount) {
  struct Case {
    std::string clicks;  // box numbers clicked in turn, from all clear
    std::string ticked;  // the boxes ticked afterwards
    std::int32_t level;
  };
  const Case cases[] = {
      {"3", "123", 3},   {"31", "", 0},     {"33", "12", 2},  {"2", "12", 2},
      {"1", "1", 1},     {"12", "12", 2},   {"32", "1", 1}, {"322", "12", 2},  {"23", "123", 3},
      {"311", "1", 1},   {"", "", 0},
  };
  for (const auto& c : cases) {
    LockBoxes boxes;
    for (const char click : c.clicks) boxes.Toggle(click - '0');
    std::string ticked;
    for (std::int32_t box = 1; box <= 3; ++box) {
      if (boxes.Ticked(box)) ticked += static_cast<char>('0' + box);
    }
    EXPECT_EQ(ticked, c.ticked) << c.clicks;
    EXPECT_EQ(boxes.LockLevel(), c.level) << c.clicks;
  }
}

TEST(LockBoxes, AReadSettingBoxesInOrderEndsAtTheHighestTicked) {
  // Boxes set 1, 2, 3 from a read, starting with all ticked.
  struct Case {
    bool b1, b2, b3;
    std::int32_t level;
  };
  const Case cases[] = {{false, true, false, 2}, {true, false, false, 1},
                        {false, false, true, 3}, {false, false, false, 0}, {true, true, true, 3}};
  for (const auto& c : cases) {
    LockBoxes boxes;
    boxes.Set(3, true);
    boxes.Set(1, c.b1);
    boxes.Set(2, c.b2);
    boxes.Set(3, c.b3);
    EXPECT_EQ(boxes.LockLevel(), c.level);
    for (std::int32_t box = 1; box <= 3; ++box) EXPECT_EQ(boxes.Ticked(box), box <= c.level);
  }
}

}  // namespace
}  // namespace vql

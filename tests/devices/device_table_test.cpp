#include "devices/device_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "devices/device_selection.h"
#include "devices/operator_controls.h"
#include "sim/sim_chip_table.h"

namespace vql {
namespace {

TEST(DeviceTable, RowsAreConsistent) {
  std::set<std::string_view> names;
  for (const DeviceInfo& d : kDevices) {
    SCOPED_TRACE(std::string(d.name));
    EXPECT_TRUE(names.insert(d.name).second) << "duplicate name";
    EXPECT_EQ(d.lastAddress, d.codeSize - 1);
    EXPECT_EQ(d.codeSize % 2048, 0);
    EXPECT_LE(d.codeSize, 65536);
    const bool three = d.set == InstructionSet::ThreeByte;
    // The three-byte set: no echo, its own lock write, no lock read, no fuse.
    EXPECT_EQ(three, d.enable == EnableRule::NoEcho);
    EXPECT_EQ(three, d.lockWrite == LockWrite::ThreeByte);
    EXPECT_EQ(three, d.lockRead == LockRead::None);
    if (three) {
      EXPECT_FALSE(d.hasFuse);
    }
    // Within the four-byte set the fuse-capable family writes and reads by mode.
    if (!three) {
      EXPECT_EQ(d.hasFuse, d.lockWrite == LockWrite::ByMode);
      EXPECT_EQ(d.hasFuse, d.lockRead == LockRead::ByMode);
      EXPECT_EQ(d.hasFuse, d.enable == EnableRule::SingleTry);
    }
    EXPECT_EQ(DeviceAt(DeviceIndexOf(d.name)), &d);
    // The program waits out the erase that the simulated chip takes by default.
    const SimChipModel* chip = FindSimChip(d.name);
    ASSERT_NE(chip, nullptr);
    EXPECT_EQ(static_cast<std::uint32_t>(d.eraseMs), chip->eraseMs);
  }
  EXPECT_EQ(kDevices[kDefaultDeviceIndex].name, "AT89S8253");
  EXPECT_EQ(DeviceAt(-1), nullptr);
  EXPECT_EQ(DeviceAt(7), nullptr);
  EXPECT_EQ(DeviceIndexOf("at89s52"), -1);  // names are exact
}

TEST(DeviceSelection, StartsOnTheAT89S8253WithTheFuseControlsEnabled) {
  DeviceSelection s;
  EXPECT_EQ(s.DeviceIndex, 4);
  EXPECT_EQ(s.ComboIndex, 4);
  EXPECT_EQ(s.MenuChecked, (std::array<bool, 7>{false, false, false, false, true, false, false}));
  EXPECT_TRUE(s.FuseControlsEnabled);
}

TEST(DeviceSelection, ComboAndMenuKeepEachOtherInStep) {
  struct Case {
    bool viaMenu;
    std::int32_t index;
    bool fuse;
  };
  const Case cases[] = {{false, 5, true},  {true, 3, false}, {false, 0, false}, {true, 6, true},
                        {false, 2, false}, {true, 4, true},  {false, 1, false}};
  DeviceSelection s;
  for (const auto& c : cases) {
    if (c.viaMenu) {
      s.Select(c.index);
    } else {
      s.SelectOrNone(c.index);
    }
    EXPECT_EQ(s.DeviceIndex, c.index);
    EXPECT_EQ(s.ComboIndex, c.index);
    for (std::int32_t i = 0; i < 7; ++i) EXPECT_EQ(s.MenuChecked[static_cast<std::size_t>(i)], i == c.index);
    EXPECT_EQ(s.FuseControlsEnabled, c.fuse) << c.index;
  }
}

TEST(DeviceSelection, TypedTextThatMatchesNoItemSelectsNoDevice) {
  DeviceSelection s;
  s.SelectOrNone(-1);
  EXPECT_EQ(s.DeviceIndex, -1);
  EXPECT_EQ(s.Device(), nullptr);
  EXPECT_EQ(s.MenuChecked, (std::array<bool, 7>{}));
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

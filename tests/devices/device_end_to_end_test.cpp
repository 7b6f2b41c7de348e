// Every operation on every device, end to end against the simulated chips.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/image_text.h"
#include "support/programmer_world.h"

namespace vql {
namespace {

using testing::ProgrammerWorld;

class EveryDevice : public ::testing::TestWithParam<std::string> {};

// The set's operations, chosen from the device's row as the commands do.
struct SetOps {
  DeviceOps& ops;
  const DeviceInfo& device;
  bool Three() const { return device.set == InstructionSet::ThreeByte; }
  Outcome Erase() { return Three() ? ops.EraseChip3() : ops.EraseChip4(); }
  Outcome Write(std::int32_t last) { return Three() ? ops.WriteCode3(last) : ops.WriteCode4(last); }
  Outcome Read(std::int32_t last) { return Three() ? ops.ReadCode3(last) : ops.ReadCode4(last); }
  Outcome Verify(std::int32_t last) { return Three() ? ops.VerifyCode3(last) : ops.VerifyCode4(last); }
  Outcome Blank(std::int32_t last) { return Three() ? ops.BlankCheck3(last) : ops.BlankCheck4(last); }
  Outcome Lock(std::int32_t level) {
    switch (device.lockWrite) {
      case LockWrite::ThreeByte: return ops.WriteLockBits3(level);
      case LockWrite::ByMode: return ops.WriteLockBitsByMode(level);
      case LockWrite::Stepwise: return ops.WriteLockBitsStepwise(level);
    }
    return Outcome::Done;
  }
};

TEST_P(EveryDevice, ErasesWritesVerifiesReadsAndChecksBlankOverTheWholeChip) {
  const std::string name = GetParam();
  const DeviceInfo& device = *DeviceAt(DeviceIndexOf(name));
  const std::int32_t last = device.lastAddress;
  ProgrammerWorld world(name, ProgrammerWorld::ChipOptions(name), false);
  SetOps set{world.Ops(), device};
  world.Chip().SetCode(0x0123, 0x00);  // programmed earlier

  ASSERT_EQ(set.Erase(), Outcome::Done);
  ASSERT_EQ(set.Blank(last), Outcome::Done);

  // An image that fills the device, with some FF bytes that the write skips.
  std::mt19937 random(static_cast<unsigned>(device.codeSize));
  for (std::int32_t a = 0; a <= last; ++a) {
    world.SetImageByte(a, a % 7 == 0 ? 0xFF : static_cast<std::uint8_t>(random()));
  }
  const std::string image = testing::ImageText(world.Image(), 0, device.codeSize);
  ASSERT_EQ(set.Write(last), Outcome::Done);
  ASSERT_EQ(set.Verify(last), Outcome::Done);
  EXPECT_TRUE(world.window.messageBoxes.empty());

  ClearCodeImage(world.Image());
  ASSERT_EQ(set.Read(last), Outcome::Done);
  EXPECT_EQ(testing::ImageText(world.Image(), 0, device.codeSize), image);
  EXPECT_EQ(testing::ImageText(*world.window.grid, 0, device.codeSize), image);
  EXPECT_EQ(set.Blank(last), Outcome::NotBlank);

  // The x2-clock fuse, both ways, on the devices that have it.
  if (device.hasFuse) {
    for (const bool x2 : {true, false}) {
      world.app->Controls.X2Clock = x2;
      ASSERT_EQ(world.Ops().WriteUserFuses(), Outcome::Done);
      EXPECT_EQ(world.Chip().X2Clock(), x2);
      world.app->Controls.X2Clock = !x2;
      ASSERT_EQ(world.Ops().ReadUserFuses(), Outcome::Done);
      EXPECT_EQ(world.app->Controls.X2Clock, x2);
    }
  }
}

TEST_P(EveryDevice, LocksAtEachLevelVerifiesAsTheLockAllowsAndErasesAgain) {
  const std::string name = GetParam();
  const DeviceInfo& device = *DeviceAt(DeviceIndexOf(name));
  constexpr std::int32_t kLast = 0x00FF;  // the part of the chip these checks cover
  for (std::int32_t level = 0; level <= 3; ++level) {
    SCOPED_TRACE(name + ", lock level " + std::to_string(level));
    ProgrammerWorld world(name, ProgrammerWorld::ChipOptions(name), false);
    SetOps set{world.Ops(), device};
    for (std::int32_t a = 0; a <= kLast; ++a) world.SetImageByte(a, static_cast<std::uint8_t>(a ^ 0x5A));
    ASSERT_EQ(set.Erase(), Outcome::Done);
    ASSERT_EQ(set.Write(kLast), Outcome::Done);

    // Lock, then verify as far as the lock allows: level 2 and up hide the code.
    ASSERT_EQ(set.Lock(level), Outcome::Done);
    EXPECT_EQ(world.Chip().LockBits(), (SimLockBits{level >= 1, level >= 2, level >= 3}));
    EXPECT_EQ(set.Verify(kLast), level >= 2 ? Outcome::VerifyMismatch : Outcome::Done);
    if (level >= 2 && !set.Three()) {
      EXPECT_EQ(world.window.messageBoxes, std::vector<std::string>{"Error address : 0"});
    }
    // The lock bits read back into the boxes where the device can read them.
    world.app->Controls.Lock.Set(1, false);
    if (device.lockRead == LockRead::ByMode) world.Ops().ReadLockBitsByMode();
    if (device.lockRead == LockRead::ToBoxes) world.Ops().ReadLockBitsToBoxes(1);
    if (device.lockRead != LockRead::None) {
      EXPECT_EQ(world.app->Controls.Lock.LockLevel(), level);
    }

    // A locked chip refuses writes; an erase clears the lock and it programs again.
    world.SetImageByte(0x0010, 0x00);
    set.Write(0x0010);
    EXPECT_EQ(world.Chip().Code(0x0010), level >= 1 ? (0x10 ^ 0x5A) : 0x00);
    ASSERT_EQ(set.Erase(), Outcome::Done);
    EXPECT_EQ(world.Chip().LockBits(), (SimLockBits{}));
    ASSERT_EQ(set.Write(kLast), Outcome::Done);
    ASSERT_EQ(set.Verify(kLast), Outcome::Done);
    EXPECT_EQ(world.Chip().Code(0x0010), 0x00);
  }
}

INSTANTIATE_TEST_SUITE_P(Devices, EveryDevice,
                         ::testing::Values("AT89S51", "AT89S52", "AT89S53", "AT89S8252",
                                           "AT89S8253", "AT89S2051", "AT89S4051"));

}  // namespace
}  // namespace vql

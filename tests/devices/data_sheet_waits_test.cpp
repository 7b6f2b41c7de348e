// The waits that stand for a data sheet's time, read off the decoded trace of a whole
// Auto-program with lock bits and the x2 fuse: every one at least what the device's
// row says, and RST never low inside a write cycle.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "support/programmer_world.h"

namespace vql {
namespace {

using testing::ProgrammerWorld;

struct Case {
  std::string device;
  bool fast;
};

TEST(DataSheetWaits, EveryWaitIsAtLeastTheDataSheetsTimeAndRstStaysHighThroughEveryWriteCycle) {
  const Case cases[] = {{"AT89S51", false},   {"AT89S52", false},   {"AT89S52", true},
                        {"AT89S53", false},   {"AT89S8252", false}, {"AT89S8253", false},
                        {"AT89S8253", true},  {"AT89S2051", false}, {"AT89S4051", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device + (c.fast ? " fast" : ""));
    const DeviceInfo& device = *DeviceAt(DeviceIndexOf(c.device));
    ProgrammerWorld world(c.device, ProgrammerWorld::ChipOptions(c.device));
    for (std::int32_t a = 0; a < 0x20; ++a) world.SetImageByte(a, static_cast<std::uint8_t>(0x11 * a));
    world.app->Cmd.CodeExtent = 0x20;
    world.app->Image.HexFilePath = "waits.hex";
    world.app->Controls.FastProgramming = c.fast;
    world.app->Controls.X2Clock = true;
    world.app->Controls.Lock.Set(3, true);
    ASSERT_TRUE(world.app->Cmd.AutoProgram().Ok());

    const testing::DecodedTrace decoded = world.Decode();
    std::vector<std::uint64_t> rstRises, rstFalls;
    for (const testing::LineChange& change : decoded.changes) {
      if (change.line == "RST") (change.level ? rstRises : rstFalls).push_back(change.us);
    }
    const auto after = [](const std::vector<std::uint64_t>& times, std::uint64_t us) {
      const auto at = std::upper_bound(times.begin(), times.end(), us);
      return at == times.end() ? UINT64_MAX : *at;
    };
    const bool four = device.set == InstructionSet::FourByte;
    const auto instructions = world.TimedInstructions(four ? 4 : 3);
    const std::uint64_t cycleUs =
        device.writeCycleMaxUs > 0 ? static_cast<std::uint64_t>(device.writeCycleMaxUs)
                                   : DeviceOps::kLockFuseWriteMs * 1000u;
    std::size_t enables = 0, byteWrites = 0, lockOrFuseWrites = 0;
    for (std::size_t i = 0; i < instructions.size(); ++i) {
      const auto& in = instructions[i];
      const std::uint64_t next = i + 1 < instructions.size() ? instructions[i + 1].firstUs : UINT64_MAX;
      SCOPED_TRACE(in.text);
      if (in.text.starts_with("AC 53")) {
        ++enables;
        // RST high with SCK low for at least 10 ms before the enable (the AT89S8253's
        // data sheet; 64 crystal periods on the AT89S51/52). The read before it counts
        // as the first SCK rise.
        if (four) {
          const auto rise = std::upper_bound(rstRises.begin(), rstRises.end(), in.firstUs);
          ASSERT_NE(rise, rstRises.begin());
          const auto firstByte = std::find_if(decoded.bytes.begin(), decoded.bytes.end(),
                                              [&](const auto& b) { return b.firstUs > *(rise - 1); });
          EXPECT_GE(firstByte->firstUs - *(rise - 1), 10'000u);
        }
        continue;
      }
      const bool byteWrite = four ? in.text.starts_with("40") : (std::stoul(in.text.substr(0, 2), nullptr, 16) & 3) == 2;
      const bool lockOrFuse = in.text.starts_with("AC") && !in.text.starts_with("AC 80") &&
                              !in.text.starts_with("AC 04");
      if (byteWrite && four) {
        ++byteWrites;
        EXPECT_GE(next - in.lastUs, DeviceOps::kByteWriteWaitUs);
      }
      if (lockOrFuse) {
        ++lockOrFuseWrites;
        EXPECT_GE(after(rstFalls, in.lastUs) - in.lastUs, cycleUs);
      }
    }
    EXPECT_GT(enables, 0u);
    EXPECT_EQ(byteWrites > 0, four && !c.fast);
    EXPECT_GT(lockOrFuseWrites, 0u);
    // The chip took it all: the code, level 3 and the fuse.
    EXPECT_EQ(world.Chip().Code(0x0B), 0xBB);
    EXPECT_EQ(world.Chip().LockBits(), (SimLockBits{true, true, true}));
    EXPECT_EQ(world.Chip().X2Clock(), device.hasFuse);
  }
}

}  // namespace
}  // namespace vql

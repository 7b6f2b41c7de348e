// The simulated chips under the program's own link: the enable sequences, the
// byte transfer and its waits as the device operations use them, on the virtual
// clock. Keeps the chip model and the link's idea of the cable in step.
#include <gtest/gtest.h>

#include <string>

#include "link/programmer_link.h"
#include "sim/sim_chip.h"
#include "support/link_world.h"

namespace vql {
namespace {

using testing::LinkWorld;

struct ChipWorld : LinkWorld {
  explicit ChipWorld(const std::string& options) : LinkWorld(options) {
    link.HoldTargetInProgramMode();
  }
  SimChip& Chip() { return *sim->TargetAs<SimChip>(); }

  std::uint8_t Answer() const {
    std::uint8_t byte = 0;
    for (BitFlag bit : link.ReceivedBits) byte = static_cast<std::uint8_t>((byte << 1) | bit);
    return byte;
  }
  void Send(std::uint8_t byte) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    link.SendByteDigits(kDigits[byte >> 4], kDigits[byte & 0x0F]);
  }
  // The reset and Programming Enable as the device operations send them.
  void Enable(bool fourByte) {
    for (const Line line : {Line::Mode7, Line::Mode3, Line::Rst, Line::Sck, Line::Mosi}) {
      link.SetLine(line, false);
    }
    link.WaitMilliseconds(50);
    link.SetLine(Line::Rst, true);
    link.WaitMilliseconds(50);
    if (!fourByte) {
      link.SetLine(Line::Rst, false);
      link.SetLine(Line::Rst, true);
    }
    for (std::uint8_t byte : {0xAC, 0x53, 0x55}) Send(byte);
    if (fourByte) Send(0x55);
  }
};

TEST(SimChipUnderTheLink, FourByteChipsEraseBeforeTheyWriteAndRead) {
  struct Case {
    std::string options;
    std::uint8_t byte4;  // the answer to byte 4 of the enable
    int fewest;          // enables until the erase is over
    int most;
  };
  // The AT89S52's 500 ms erase outlasts four enable attempts of some 100 ms each: no
  // enable is taken until it is over. (The waits run on the millisecond tick, so an
  // attempt may be a little short of 100 ms and a sixth one may be needed.) The
  // AT89S8253 erases in 9 ms and shifts in mode 1. Each attempt drops RST inside the
  // erase, which would cut it (SimChipRstAbort): here the erase goes on.
  const Case cases[] = {
      {"target=AT89S52,rst-abort=no", 0x69, 5, 6},
      {"target=AT89S8253,rst-abort=no", 0x55, 1, 1},
      {"target=AT89S8253,echo=yes,rst-abort=no", 0x69, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    ChipWorld world(c.options);
    world.Enable(true);
    EXPECT_EQ(world.Answer(), c.byte4);
    EXPECT_TRUE(world.Chip().ProgrammingEnabled());
    for (std::uint8_t byte : {0xAC, 0x80, 0x00, 0x00}) world.Send(byte);
    int attempts = 1;
    for (world.Enable(true); !world.Chip().ProgrammingEnabled() && attempts < 10;
         world.Enable(true)) {
      ++attempts;
    }
    EXPECT_EQ(world.Answer(), c.byte4);
    EXPECT_GE(attempts, c.fewest);
    EXPECT_LE(attempts, c.most);
    for (std::uint8_t byte : {0x40, 0x1A, 0xBC, 0x5A}) world.Send(byte);
    world.link.WaitMilliseconds(5);
    for (std::uint8_t byte : {0x20, 0x1A, 0xBC, 0x00}) world.Send(byte);
    EXPECT_EQ(world.Answer(), 0x5A);
    EXPECT_EQ(world.Chip().Code(0x1ABC), 0x5A);
  }
}

TEST(SimChipUnderTheLink, ThreeByteChipIsPolledUntilItsWriteIsDone) {
  ChipWorld world("target=AT89S8252");
  world.Enable(false);
  EXPECT_TRUE(world.Chip().ProgrammingEnabled());
  for (std::uint8_t byte : {0x56, 0xBC, 0x5A}) world.Send(byte);  // write 5A at 2ABC
  int polls = 0;
  do {
    for (std::uint8_t byte : {0x55, 0xBC, 0x00}) world.Send(byte);
    ++polls;
  } while (world.Answer() != 0x5A && polls < 10000);
  EXPECT_GT(polls, 1);
  EXPECT_LT(polls, 10000);
  EXPECT_EQ(world.Chip().Code(0x0ABC), 0x5A);  // an 8 KiB part drops A13
}

TEST(SimChipUnderTheLink, RunModeEndsProgramming) {
  ChipWorld world("target=AT89S8253");
  world.Enable(true);
  EXPECT_TRUE(world.Chip().ProgrammingEnabled());
  world.link.ReleaseTargetToRun();
  EXPECT_FALSE(world.Chip().ProgrammingEnabled());
}

TEST(SimChipUnderTheLink, ASlowCrystalNeedsTheHalfPeriodItsClassAsks) {
  // A 1 MHz crystal: 8 us per phase for most chips, 20 us for the AT89S53/8252. The
  // default floor is too fast for either, whichever edge the chip samples on (the
  // AT89S8253 on the fall); the class's need, doubled, is enough.
  for (const SimChipModel& model : kSimChips) {
    const auto needUs = static_cast<std::int32_t>(model.sckPhaseClocks);
    for (const auto& [halfUs, enables] :
         {std::pair{ProgrammerLink::kDefaultSckHalfPeriodUs, false}, {2 * needUs, true}}) {
      ChipWorld world("target=" + std::string(model.name) + ",xtal=1,echo=yes");
      world.link.SckHalfPeriodUs = halfUs;
      world.Enable(model.instructions == SimInstructionSet::kFourByte);
      EXPECT_EQ(world.Chip().ProgrammingEnabled(), enables) << model.name << " at " << halfUs;
      EXPECT_EQ(world.Answer() == 0x69, enables && model.InstructionBytes() == 4) << model.name;
    }
  }
}

}  // namespace
}  // namespace vql

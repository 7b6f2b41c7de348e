// Whatever device is selected and whatever chip sits in the socket, the commands that
// only read leave the chip as it was. A chip frames what it hears in its own
// instruction length from the rise of RST, so a chip of the other set reads the
// program's bytes in other frames: the program must keep it out of programming.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "devices/instruction_openers.h"
#include "support/programmer_world.h"

namespace vql {
namespace {

using testing::ProgrammerWorld;

struct Socket {
  std::string chip;
  bool echo;
  bool hearsFirst;
};

std::string Options(const Socket& s) {
  std::string options = "target=" + s.chip + ",echo=" + (s.echo ? "yes" : "no");
  if (!s.hearsFirst) options += ",echo-from=2";
  return options;
}

class CrossSet : public ::testing::TestWithParam<std::string> {};

// Every chip model in the socket, with and without its echo, hearing the first enable
// or only a later one; Read Chip, Verify, Blank check and Read Signature over the
// whole device selected. The chip holds code of its own, unlocked, so that any write
// that reached it would show.
TEST_P(CrossSet, ReadsLeaveEveryChipAsItWas) {
  const std::string selected = GetParam();
  for (const SimChipModel& model : kSimChips) {
    for (const bool echo : {false, true}) {
      for (const bool hearsFirst : {true, false}) {
        const Socket socket{std::string(model.name), echo, hearsFirst};
        SCOPED_TRACE(selected + " selected, " + Options(socket));
        ProgrammerWorld world(selected, Options(socket), false);
        std::mt19937 random(model.codeBytes);
        for (std::uint32_t a = 0; a < model.codeBytes; ++a) {
          const auto byte = static_cast<std::uint8_t>(random());
          world.Chip().SetCode(static_cast<std::uint16_t>(a), byte);
          world.SetImageByte(static_cast<std::int32_t>(a), byte);
        }
        for (std::uint16_t a = 0; a < 0x800; ++a) world.Chip().SetEeprom(a, static_cast<std::uint8_t>(random()));
        for (std::uint8_t a = 0; a < 64; ++a) world.Chip().SetUserRow(a, static_cast<std::uint8_t>(random()));
        world.app->Cmd.CodeExtent = DeviceAt(DeviceIndexOf(selected))->lastAddress;
        const SimChipMemory before = world.Chip().Memory();  // code, EEPROM, user row, locks, fuses
        Commands& cmd = world.app->Cmd;
        for (CommandResult (Commands::*read)() :
             {&Commands::ReadChip, &Commands::Verify, &Commands::BlankCheck,
              &Commands::ReadSignature}) {
          (cmd.*read)();
          EXPECT_TRUE(world.Chip().Memory() == before);
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Devices, CrossSet,
                         ::testing::Values("AT89S51", "AT89S52", "AT89S53", "AT89S8252",
                                           "AT89S8253", "AT89S2051", "AT89S4051"),
                         [](const auto& test) { return test.param; });

// The enables of both sets, and the four-byte probe of the three-byte commands, on
// the wire: no frame of the other set, counted from each rise of RST, starts with that
// set's enable, and none of the probe's reads puts a byte that changes a three-byte
// chip where its frames start.
TEST(CrossSet, NoFrameOfTheOtherSetStartsWithItsEnable) {
  for (const char* selected : {"AT89S52", "AT89S8253", "AT89S53", "AT89S8252"}) {
    SCOPED_TRACE(selected);
    ProgrammerWorld world(selected, ProgrammerWorld::ChipOptions(selected));
    world.SetImageByte(0x00AC, 0x53);  // a write whose address and data spell the enable
    world.app->Cmd.CodeExtent = 0x100;
    world.app->Cmd.Verify();
    world.app->Cmd.Erase();
    world.app->Cmd.Program();
    const testing::DecodedTrace decoded = world.Decode();
    std::vector<std::uint64_t> rises;
    for (const testing::LineChange& change : decoded.changes) {
      if (change.line == "RST" && change.level) rises.push_back(change.us);
    }
    const InstructionSet own = DeviceAt(DeviceIndexOf(selected))->set;
    std::size_t enables = 0;
    for (std::size_t i = 0; i < decoded.bytes.size();) {
      // One session: from a rise of RST to the next.
      const auto rise = std::upper_bound(rises.begin(), rises.end(), decoded.bytes[i].firstUs);
      std::vector<std::uint8_t> session;
      for (; i < decoded.bytes.size() && (rise == rises.end() || decoded.bytes[i].firstUs < *rise); ++i) {
        session.push_back(decoded.bytes[i].mosi);
      }
      for (const InstructionSet other : {InstructionSet::ThreeByte, InstructionSet::FourByte}) {
        // The probe's session is four-byte on a three-byte device, and the other way.
        const bool probe = session.size() >= 8 && session[4] == 0xAC && session[5] == 0x53;
        const InstructionSet meant = probe ? InstructionSet::FourByte : own;
        if (other == meant) continue;
        EXPECT_FALSE(EnableAtFrame(other, 0, session).has_value());
        if (probe && own == InstructionSet::ThreeByte) {
          for (std::size_t k = 0; k < session.size(); k += 3) {
            EXPECT_FALSE(MayChange(InstructionSet::ThreeByte, session[k])) << k;
          }
        }
      }
      for (std::size_t k = 0; k + 1 < session.size(); ++k) {
        if (session[k] == 0xAC && session[k + 1] == 0x53) ++enables;
      }
    }
    EXPECT_GT(enables, 2u);
  }
}

}  // namespace
}  // namespace vql

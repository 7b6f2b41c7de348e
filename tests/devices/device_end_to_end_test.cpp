// Every operation on every device, end to end against the simulated chips.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "devices/set_operations.h"
#include "support/image_text.h"
#include "support/programmer_world.h"
#include "support/temp_dir.h"

namespace vql {
namespace {

using testing::ProgrammerWorld;

class EveryDevice : public ::testing::TestWithParam<std::string> {};

// The device's operations, from the same tables as the commands take them.
struct SetOps {
  DeviceOps& ops;
  const DeviceInfo& device;
  const SetOperations& set = OperationsOf(device);
  bool Three() const { return device.set == InstructionSet::ThreeByte; }
  Outcome Erase() { return (ops.*set.EraseChip)(); }
  Outcome Write(std::int32_t last) {
    return (ops.*set.WriteCode)(last);
  }
  Outcome Read(std::int32_t last) { return (ops.*set.ReadCode)(last); }
  Outcome Verify(std::int32_t last) { return (ops.*set.VerifyCode)(last); }
  Outcome Blank(std::int32_t last) { return (ops.*set.BlankCheck)(last); }
  Outcome Lock(std::int32_t level) { return WriteLockBitsOf(ops, device, level); }
};

// The same operations over the printer-port cable and both kinds of USB cable leave
// the same chip.
TEST_P(EveryDevice, ErasesWritesVerifiesReadsAndChecksBlankOverTheWholeChip) {
  for (const char* cable : {"", "adapter=ft232h", "adapter=ft2232h", "adapter=ft232r"}) {
  SCOPED_TRACE(cable);
  const std::string name = GetParam();
  const DeviceInfo& device = *DeviceAt(DeviceIndexOf(name));
  const std::int32_t last = device.lastAddress;
  ProgrammerWorld world(name, ProgrammerWorld::ChipOptions(name, cable), false);
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
  const std::uint64_t transfers = world.usb != nullptr ? world.usb->Transfers() : 0;
  ASSERT_EQ(set.Read(last), Outcome::Done);
  if (world.usb != nullptr && world.usb->Chip() != FtdiChip::FT232R) {
    // MPSSE reads many addresses to a transfer (the FT232H fewer than the FT2232H, whose
    // buffers are larger).
    EXPECT_LT(world.usb->Transfers() - transfers, static_cast<std::uint64_t>(device.codeSize) / 6);
  }
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
}

// At the slowest SCK the program takes, a read of more instructions than one chunk
// holds goes through each adapter without a write waiting out libftdi's timeout, and
// the bytes written come back.
TEST(UsbCables, WriteAndReadAtTheSlowestSck) {
  for (const char* adapter : {"ft232h", "ft2232h", "ft232r"}) {
    for (const char* device : {"AT89S52", "AT89S8253"}) {
      SCOPED_TRACE(std::string(adapter) + " " + device);
      ProgrammerWorld world(device, ProgrammerWorld::ChipOptions(device, std::string("adapter=") + adapter),
                            false);
      SetOps set{world.Ops(), *DeviceAt(DeviceIndexOf(device))};
      world.app->Link.SckHalfPeriodUs = ProgrammerLink::kMaxSckHalfPeriodUs;
      constexpr std::int32_t kLast = 0x3F;
      for (std::int32_t a = 0; a <= kLast; ++a) world.SetImageByte(a, static_cast<std::uint8_t>(a * 7 + 3));
      ASSERT_EQ(set.Write(kLast), Outcome::Done);
      ClearCodeImage(world.Image());
      ASSERT_EQ(set.Read(kLast), Outcome::Done);
      for (std::int32_t a = 0; a <= kLast; ++a) {
        ASSERT_EQ(world.Chip().Code(a), (a * 7 + 3) & 0xFF) << a;
        ASSERT_EQ(ImageByte(world.Image(), a), (a * 7 + 3) & 0xFF) << a;
      }
      EXPECT_TRUE(world.window.messageBoxes.empty());
    }
  }
}

TEST_P(EveryDevice, WritesAndReadsAtTheDefaultSckSpeedOnCommonCrystals) {
  const std::string name = GetParam();
  const DeviceInfo& device = *DeviceAt(DeviceIndexOf(name));
  // A 1 MHz crystal with the half period that its class needs, doubled.
  const std::int32_t slowUs = 2 * static_cast<std::int32_t>(FindSimChip(name)->sckPhaseClocks);
  const std::pair<const char*, std::int32_t> crystals[] = {
      {"12", ProgrammerLink::kDefaultSckHalfPeriodUs},
      {"11.0592", ProgrammerLink::kDefaultSckHalfPeriodUs},
      {"1", slowUs}};
  for (const auto& [mhz, halfUs] : crystals) {
    // The pump takes 1 us: the floor, not the pumps, paces SCK.
    const std::string more = std::string("xtal=") + mhz;
    ProgrammerWorld world(name, ProgrammerWorld::ChipOptions(name, more), false, 1000);
    world.app->Link.SckHalfPeriodUs = halfUs;
    SetOps set{world.Ops(), device};
    for (std::int32_t a = 0; a < 16; ++a) world.SetImageByte(a, static_cast<std::uint8_t>(a * 13 + 1));
    const std::string image = testing::ImageText(world.Image(), 0, 16);
    ASSERT_EQ(set.Write(15), Outcome::Done) << mhz;
    ClearCodeImage(world.Image());
    ASSERT_EQ(set.Read(15), Outcome::Done) << mhz;
    EXPECT_EQ(testing::ImageText(world.Image(), 0, 16), image) << mhz;
    EXPECT_EQ(world.Chip().Code(15), 15 * 13 + 1) << mhz;
    EXPECT_TRUE(world.window.messageBoxes.empty()) << mhz;
    EXPECT_EQ(world.app->Link.SckHalfPeriodUs, halfUs) << mhz;
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
    if (level >= 2) {
      ASSERT_EQ(world.window.messageBoxes.size(), 1u);
      EXPECT_TRUE(world.window.messageBoxes[0].starts_with(
          "Error address : 0 (0000): the image holds 5A, the chip read "))
          << world.window.messageBoxes[0];
    }
    // The lock bits read back into the boxes where the device can read them.
    world.app->Controls.Lock.Set(1, false);
    ReadLockBitsOf(world.Ops(), device);
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

// The promise of every command: its outcome is Done only when the chip is what the
// command claims. Each command runs in a fresh world against each fault, and a Done
// is checked against the simulated chip itself.
// A dead cell (FF) one bit off the file's FE at 000C, behind a contact that flips a
// bit now and then: once answers have disagreed, a first read that a flip turns into
// FE is not taken alone, so Program never ends Done.
TEST(FlakyContact, ADeadCellOneBitOffNeverPassesAsWritten) {
  const std::string blink = std::string(VQLISP_SOURCE_DIR) + "/examples/blink.hex";
  struct Case {
    std::string device, sim;
    bool fast;
  };
  const Case cases[] = {{"AT89S52", "target=AT89S52,dead=000C,flaky=0.5,seed=9", false},
                        {"AT89S52", "target=AT89S52,dead=000C,flaky=0.5,seed=9", true},
                        {"AT89S8252", "target=AT89S8252,dead=000C,flaky=0.1,seed=4", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sim + (c.fast ? ", fast" : ""));
    ProgrammerWorld world(c.device, c.sim, false);
    world.app->Controls.FastProgramming = c.fast;
    world.window.nextChoice = blink;
    ASSERT_TRUE(world.app->Cmd.Load().Ok());
    ASSERT_EQ(world.Image().LowDigits[0x0C], 'E');
    const CommandResult result = world.app->Cmd.Program();
    EXPECT_FALSE(result.Ok() && world.Chip().Code(0x000C) != 0xFE) << OutcomeText(result.outcome);
  }
}

TEST_P(EveryDevice, NoCommandEndsDoneUnlessTheChipIsWhatItClaims) {
  const std::string name = GetParam();
  const DeviceInfo& device = *DeviceAt(DeviceIndexOf(name));
  const std::int32_t last = device.lastAddress;
  testing::TempDir dir;
  const auto record = [](std::int32_t address, std::int32_t count, std::uint8_t seed) {
    char text[600];
    int sum = count + (address >> 8) + (address & 0xFF);
    int at = std::snprintf(text, sizeof text, ":%02X%04X00", count, address);
    for (int i = 0; i < count; ++i) {
      const int byte = (seed + i * 37) % 255;  // never FF
      sum += byte;
      at += std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), "%02X", byte);
    }
    std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), "%02X\n", (0x100 - sum % 0x100) % 0x100);
    return std::string(text);
  };
  std::string full;  // fills the device to its last byte
  for (std::int32_t a = 0; a <= last; a += 32) full += record(a, 32, static_cast<std::uint8_t>(a >> 5));
  const std::string files[] = {
      VQLISP_SOURCE_DIR "/examples/blink.hex",
      dir.Write("empty.hex", ""),
      dir.Write("junk.hex", "no records here\n"),
      dir.Write("full.hex", full + ":00000001FF\n"),
      dir.Write("over.hex", record(last - 3, 8, 1) + ":00000001FF\n"),
      dir.Write("past.hex", record(0, 4, 2) + record(0xFFF8, 16, 3) + ":00000001FF\n"),
      dir.Write("fe.hex", ":0200000075FE8B\n:00000001FF\n"),  // FE at 0001
  };
  enum File { kBlink, kEmpty, kJunk, kFull, kOver, kPastFFFF, kFE };
  const auto otherSet = std::find_if(kDevices.begin(), kDevices.end(),
                                     [&](const DeviceInfo& d) { return d.set != device.set; });
  ASSERT_NE(otherSet, kDevices.end());
  const std::string other(otherSet->name);  // the first device of the other instruction set
  struct Fault {
    std::string name, sim;  // sim: the options after target=
    File file = kBlink;
    bool locked = false;
    // The cell at 0001 holds a byte one bit off the one wanted (FF for the file's FE,
    // FE for a blank check), which a poor contact now and then turns into it.
    bool oneBitOff = false;
  };
  const Fault faults[] = {
      {"healthy", name},
      {"dead cell", name + ",dead=0001"},
      {"no chip", "none"},
      {"MISO stuck at 0", name + ",miso=0"},
      {"MISO stuck at 1", name + ",miso=1"},
      {"late echo", name + ",echo-from=2"},
      {"never hears", name + ",echo-from=99"},
      {"slow crystal", name + ",xtal=0.2"},
      {"slow erase", name + ",erase=3000"},
      {"slow write", name + ",write=8000"},
      {"locked", name, kBlink, true},
      {"wrong device", other},
      {"flaky contact", name + ",flaky=0.01,seed=7"},
      {"flaky, one bit off", name + ",dead=0001,flaky=0.25,seed=5", kFE, false, true},
      // The file's FE at 000C on a dead cell (FF): a first read that a flip turns into
      // FE must not pass once the contact has shown itself unreliable.
      {"flaky, dead cell one bit off", name + ",dead=000C,flaky=0.1,seed=4"},
      {"empty file", name, kEmpty},
      {"junk file", name, kJunk},
      {"fills the device", name, kFull},
      {"code over the device", name, kOver},
      {"record past FFFF", name, kPastFFFF},
      // What only fast programming meets.
      {"dead cell mid-page", name + ",dead=0141", kFull},
      {"ignores pages", name + ",pages=no"},
      {"wrong signature", name + (device.pageBytes == 0 ? ""
                                  : name == "AT89S51" ? ",signature=1E5206"
                                                      : ",signature=1E5106")},
  };
  // The readings the sources dispute, both ways where the device has them; and what
  // a chip that missed the enable, or hides its code, answers: each choice in turn.
  std::vector<std::string> readings{""};
  if (device.enable == EnableRule::SingleTry) {
    readings = {",echo=no,lock-read=set0", ",echo=no,lock-read=set1", ",echo=yes,lock-read=set0",
                ",echo=yes,lock-read=set1"};
  }
  const char* answers[] = {"complement", "ff", "00"};
  using Command = CommandResult (Commands::*)();
  const std::pair<const char*, Command> commands[] = {
      {"program", &Commands::Program},   {"verify", &Commands::Verify},
      {"auto", &Commands::AutoProgram},  {"erase", &Commands::Erase},
      {"blank", &Commands::BlankCheck},  {"read", &Commands::ReadChip},
      {"lock", &Commands::WriteLockBits}, {"fuse", &Commands::WriteFuse},
  };
  std::size_t drawn = 0;
  const char* cables[] = {"", ",adapter=ft232h", "", ",adapter=ft232r"};
  std::size_t cable = 0;
  for (const bool fast : {false, true}) {
  if (fast && device.pageBytes == 0) continue;
  for (const std::string& reading : readings) {
  for (const Fault& fault : faults) {
    // What the file does is the same whichever reading the chip has.
    if (fault.file != kBlink && !fault.oneBitOff && &reading != &readings.front()) continue;
    for (const auto& [what, command] : commands) {
      // The whole-chip walks cost most: under the other readings, only where the
      // reading could decide them.
      if ((command == &Commands::ReadChip || command == &Commands::BlankCheck) &&
          &reading != &readings.front() && fault.name != "healthy" && !fault.locked) {
        continue;
      }
      std::string sim = "target=" + fault.sim;
      if (fault.sim != "none") {
        sim += reading + ",unheard=" + answers[drawn % 3] + ",locked-read=" + answers[drawn / 3 % 3];
        ++drawn;
      }
      // Half the cases over the printer-port cable, a quarter over each USB cable.
      sim += cables[cable++ % 4];
      SCOPED_TRACE(sim + ", " + fault.name + ", " + what + (fast ? ", fast" : ""));
      ProgrammerWorld world(name, sim, false);
      world.app->Controls.FastProgramming = fast;
      world.window.nextChoice = files[fault.file];
      world.app->Cmd.Load();
      world.app->Controls.Lock.Set(3, true);
      world.app->Controls.X2Clock = true;
      SimChip* chip = world.ChipIfAny();
      const std::string loaded = testing::ImageText(world.Image(), 0, last + 1);
      const auto image = [&](std::int32_t a) {
        return static_cast<std::uint8_t>(HexPairValue(loaded[2 * static_cast<std::size_t>(a)],
                                                      loaded[2 * static_cast<std::size_t>(a) + 1]));
      };
      if (chip != nullptr) {
        // Verify and Read Chip get a chip that holds the file; the others an erased one.
        if (command == &Commands::Verify || command == &Commands::ReadChip) {
          for (std::int32_t a = 0; a <= last; ++a) chip->SetCode(static_cast<std::uint16_t>(a), image(a));
        }
        if (fault.locked) chip->SetLockBits({true, true, true});
        if (fault.oneBitOff) chip->SetCode(1, command == &Commands::BlankCheck ? 0xFE : 0xFF);
      }
      const SimChipMemory before = chip != nullptr ? chip->Memory() : SimChipMemory{};

      const CommandResult result = (world.app->Cmd.*command)();
      const Outcome outcome = result.outcome;
      // The other direction: a good chip of this model is never refused, and what
      // the read-backs judge is vouched for.
      if ((fault.name == "healthy" || fault.name == "fills the device" ||
           fault.name == "ignores pages") &&
          (device.hasFuse || command != &Commands::WriteFuse)) {
        EXPECT_EQ(outcome, Outcome::Done);
        // Only the lock bits of a chip that cannot read them back go unvouched here.
        if ((command == &Commands::Program || command == &Commands::Verify ||
             command == &Commands::AutoProgram) &&
            device.lockRead != LockRead::None) {
          EXPECT_EQ(result.caveat, "");
        }
      }
      // A device that judges the echo, and reads its lock bits as the sources agree,
      // vouches for every Done.
      if (device.enable == EnableRule::EchoJudged && outcome == Outcome::Done) {
        EXPECT_EQ(result.caveat, "");
      }
      // Fast programming lays out pages by the device: a chip that gives the other
      // model's signature is refused before anything is written.
      if (fast && fault.name == "wrong signature" && device.pageBytes == 256 &&
          (command == &Commands::Program || command == &Commands::AutoProgram)) {
        EXPECT_EQ(outcome, Outcome::WrongDevice);
        EXPECT_EQ(chip->Memory().code, before.code);
        continue;
      }
      if (fault.name == "wrong device") {
        // Only a chip that echoes shows that it speaks the other set; a device that
        // goes on without an echo cannot tell, and its Done is never vouched for.
        EXPECT_FALSE(result.Vouched());
        if (chip != nullptr && device.enable != EnableRule::SingleTry) {
          EXPECT_EQ(chip->Memory().code, before.code);
        }
        continue;
      }
      // A Done that the program does not vouch for has said why in its box.
      if (!result.Vouched()) {
        if (outcome == Outcome::Done) {
          EXPECT_FALSE(world.window.messageBoxes.empty());
        }
        continue;
      }
      ASSERT_NE(chip, nullptr) << "Done without a chip";
      const auto allOf = [&](auto&& good) {
        for (std::int32_t a = 0; a <= last; ++a) {
          if (!good(a)) return ::testing::AssertionFailure() << "at address " << a;
        }
        return ::testing::AssertionSuccess();
      };
      const SimLockBits all{true, true, true};
      if (command == &Commands::Program || command == &Commands::Verify ||
          command == &Commands::AutoProgram) {
        EXPECT_TRUE(allOf([&](std::int32_t a) { return chip->Code(static_cast<std::uint16_t>(a)) == image(a); }));
        if (command != &Commands::Verify) {
          EXPECT_EQ(chip->LockBits(), all);
          if (device.hasFuse) {
            EXPECT_TRUE(chip->X2Clock());
          }
        }
      } else if (command == &Commands::Erase || command == &Commands::BlankCheck) {
        EXPECT_TRUE(allOf([&](std::int32_t a) { return chip->Code(static_cast<std::uint16_t>(a)) == 0xFF; }));
      } else if (command == &Commands::ReadChip) {
        EXPECT_TRUE(allOf([&](std::int32_t a) {
          const auto i = static_cast<std::size_t>(a);
          return HexPairValue(world.Image().HighDigits[i], world.Image().LowDigits[i]) ==
                 chip->Code(static_cast<std::uint16_t>(a));
        }));
      } else if (command == &Commands::WriteLockBits) {
        EXPECT_EQ(chip->LockBits(), all);
      } else {
        EXPECT_TRUE(chip->X2Clock());
      }
    }
  }
  }
  }
}

std::vector<std::string> AllDeviceNames() {
  std::vector<std::string> names;
  for (const DeviceInfo& device : kDevices) names.emplace_back(device.name);
  return names;
}

INSTANTIATE_TEST_SUITE_P(Devices, EveryDevice, ::testing::ValuesIn(AllDeviceNames()));

}  // namespace
}  // namespace vql

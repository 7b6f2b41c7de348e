// The operator's commands end to end against the simulated chips: the status texts
// in order, the outcomes, the modes and the enabling of the command controls.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "image/hex_digits.h"
#include "support/image_text.h"
#include "support/programmer_world.h"
#include "support/protocol_target.h"
#include "support/temp_dir.h"

namespace vql {
namespace {

using testing::ProgrammerWorld;
using Strings = std::vector<std::string>;

constexpr const char* kBlink = VQLISP_SOURCE_DIR "/examples/blink.hex";

// A programmer in program mode with the device's own chip behind the cable and the
// example file loaded; the statuses recorded from here on.
struct Bench : ProgrammerWorld {
  explicit Bench(const std::string& device, const std::string& more = "")
      : ProgrammerWorld(device, ChipOptions(device, more)) {
    window.nextChoice = kBlink;
    EXPECT_TRUE(app->Cmd.Load().Ok());
    window.statuses.clear();
    window.messageBoxes.clear();
  }
  Commands& Cmd() { return app->Cmd; }
};

TEST(AutoProgram, RunsEveryStepWithItsTextsForEachSet) {
  struct Case {
    std::string device;
    std::int32_t level;
    bool runAfter;
    Strings statuses;
  };
  const Case cases[] = {
      {"AT89S8253", 0, true,
       {"PROGRAM MODE.", "Erase Chip...", "Programming...", "Program completed.",
        "Verify code ...", "Verify complete.", "Auto Programming finished.", "RUN MODE."}},
      {"AT89S52", 2, false,
       {"PROGRAM MODE.", "Erase Chip...", "Programming...", "Program completed.",
        "Verify code ...", "Verify complete.", "Lock bit level 2", "Auto Programming finished."}},
      {"AT89S53", 3, true,
       {"PROGRAM MODE.", "Erase Chip...", "Programming...", "Program completed.",
        "Verify code ...", "Verify complete.", "Lock bit level 3", "Auto Programming finished.",
        "RUN MODE."}},
  };
  for (const auto& c : cases) {
    Bench bench(c.device);
    bench.Chip().SetCode(0x0100, 0x00);  // something to erase
    bench.app->Controls.Lock.Set(c.level, true);
    bench.app->Controls.X2Clock = true;
    bench.Cmd().AutoRunAfterProgram = c.runAfter;
    EXPECT_TRUE(bench.Cmd().AutoProgram().Ok()) << c.device;
    EXPECT_EQ(bench.window.statuses, c.statuses) << c.device;
    EXPECT_EQ(bench.Chip().Code(0x0000), 0x75) << c.device;
    EXPECT_EQ(bench.Chip().Code(0x0100), 0xFF) << c.device;
    EXPECT_EQ(bench.Chip().LockBits(), (SimLockBits{c.level >= 1, c.level >= 2, c.level >= 3}));
    // The fuse is written after the verify on the devices that have one.
    EXPECT_EQ(bench.Chip().X2Clock(), c.device == "AT89S8253") << c.device;
    EXPECT_EQ(bench.Cmd().InProgramMode, !c.runAfter);
    EXPECT_TRUE(bench.Cmd().ProgramModeTicked);  // the ticks stay
    EXPECT_EQ(bench.port.Inport(ProgrammerWorld::kLpt1) & 0x98, c.runAfter ? 0x88 : 0x10);
  }
}

TEST(AutoProgram, AByteThatNeverProgramsStopsTheWriteAndLeavesNoLockAndTheTargetHeld) {
  for (const bool runAfter : {true, false}) {
    Bench bench("AT89S8253", "dead=0005");  // a cell that never programs
    bench.app->Controls.Lock.Set(1, true);
    bench.app->Controls.X2Clock = true;
    bench.Cmd().AutoRunAfterProgram = runAfter;
    const CommandResult result = bench.Cmd().AutoProgram();
    EXPECT_EQ(result.outcome, Outcome::NotProgrammed);
    EXPECT_EQ(bench.window.statuses,
              (Strings{"PROGRAM MODE.", "Erase Chip...", "Programming...", "Program completed.",
                       "Auto Programming finished."}));
    ASSERT_EQ(bench.window.messageBoxes.size(), 1u);
    EXPECT_TRUE(bench.window.messageBoxes[0].starts_with(
        "The byte at address 0005 (5) was not programmed: wrote 7D, read back FF."));
    EXPECT_EQ(bench.Chip().Code(0x0006), 0xFF);  // nothing after it was written
    EXPECT_EQ(bench.Chip().LockBits(), SimLockBits{});
    EXPECT_FALSE(bench.Chip().X2Clock());
    EXPECT_TRUE(bench.Cmd().InProgramMode);
  }
}

TEST(AutoProgram, WithoutAFileOnlyTheProgramModeLinesAreDriven) {
  ProgrammerWorld world("AT89S8253", "target=AT89S8253");
  world.Chip().SetCode(0, 0x12);
  EXPECT_EQ(world.app->Cmd.AutoProgram().outcome, Outcome::NoFile);
  EXPECT_EQ(world.window.statuses, (Strings{"PROGRAM MODE.", "File name does't indentify!!!."}));
  EXPECT_TRUE(world.Decode().bytes.empty());
  EXPECT_EQ(world.Chip().Code(0), 0x12);
}

TEST(Commands, EachShowsItsTextsAndEndsInProgramModeWhereItShould) {
  struct Case {
    std::string name;
    std::string device;
    CommandResult (Commands::*command)();
    bool blankChip;
    Strings statuses;
    Outcome outcome;
  };
  const Case cases[] = {
      {"read", "AT89S8253", &Commands::ReadChip, false,
       {"Read Chip...", "PROGRAM MODE.", "Read Chip finished"}, Outcome::Done},
      {"erase", "AT89S52", &Commands::Erase, false,
       {"Erase Chip...", "PROGRAM MODE.", "Erase finished."}, Outcome::Done},
      {"blank, fresh", "AT89S8252", &Commands::BlankCheck, true,
       {"Blank Check...", "PROGRAM MODE.", "Blank chip [OK]"}, Outcome::Done},
      {"blank, programmed", "AT89S2051", &Commands::BlankCheck, false,
       {"Blank Check...", "PROGRAM MODE.", "Not blank chip!!!"}, Outcome::NotBlank},
      {"program, four-byte", "AT89S4051", &Commands::Program, true,
       {"Programming...", "Program completed."}, Outcome::Done},
      {"program, three-byte", "AT89S53", &Commands::Program, true,
       {"Programming...", "Program finished."}, Outcome::Done},
      {"verify, matching", "AT89S51", &Commands::Verify, false,
       {"Verify Code...", "PROGRAM MODE.", "Verify complete."}, Outcome::Done},
      {"verify, blank chip", "AT89S8252", &Commands::Verify, true,
       {"Verify Code...", "PROGRAM MODE.", "Verify not match"}, Outcome::VerifyMismatch},
      {"lock at level 0", "AT89S8253", &Commands::WriteLockBits, false,
       {"Non Lock bit function"}, Outcome::Done},
  };
  for (const auto& c : cases) {
    Bench bench(c.device);
    if (!c.blankChip) {
      // The chip holds the example, as if programmed before.
      for (std::int32_t a = 0; a < 0x13; ++a) {
        const auto i = static_cast<std::size_t>(a);
        bench.Chip().SetCode(static_cast<std::uint16_t>(a),
                             static_cast<std::uint8_t>(HexPairValue(bench.Image().HighDigits[i],
                                                                    bench.Image().LowDigits[i])));
      }
    }
    EXPECT_EQ((bench.Cmd().*c.command)().outcome, c.outcome) << c.name;
    EXPECT_EQ(bench.window.statuses, c.statuses) << c.name;
  }
}

TEST(Commands, ReadChipSetsTheExtentAndReadsLockBitsAndFuseByTheDevice) {
  struct Case {
    std::string device;
    SimLockBits locks;
    std::int32_t level;  // what the boxes show after the read
  };
  // The AT89S8253's reading is disputed: its boxes keep the operator's order (none).
  const Case cases[] = {{"AT89S8253", {true, false, false}, 0},
                        {"AT89S52", {true, true, false}, 2},
                        {"AT89S53", {true, true, true}, 0}};  // reads no lock bits
  for (const auto& c : cases) {
    Bench bench(c.device);
    bench.Chip().SetCode(0x0010, 0x42);
    bench.Chip().SetLockBits(c.locks);
    bench.Chip().SetX2Clock(true);
    bench.Cmd().ReadChip();
    EXPECT_EQ(bench.Cmd().CodeExtent, DeviceAt(DeviceIndexOf(c.device))->lastAddress);
    EXPECT_EQ(bench.app->Controls.Lock.LockLevel(), c.level) << c.device;
    EXPECT_EQ(bench.app->Controls.X2Clock, c.device == "AT89S8253") << c.device;
  }
}

// Each byte of a three-byte read is read until two answers agree; on a contact that
// spoils one answer in a hundred, two answers now and then agree on the same wrong
// byte. The second pass over the chip catches that.
TEST(Commands, ReadChipOfAFlakyChipNeverTakesTwoEqualMisreadsForItsCode) {
  Bench bench("AT89S53", "flaky=0.009,seed=68");
  const CommandResult read = bench.Cmd().ReadChip();
  const CodeImage& image = bench.app->Image.Image;
  std::int32_t wrong = 0;
  for (std::int32_t n = 0; n <= bench.Cmd().CodeExtent; ++n) {
    const auto a = static_cast<std::size_t>(n);
    wrong += HexPairValue(image.HighDigits[a], image.LowDigits[a]) !=
             bench.Chip().Code(static_cast<std::uint16_t>(n));
  }
  EXPECT_TRUE(read.outcome == Outcome::ReadError || wrong == 0)
      << OutcomeText(read.outcome) << ", " << wrong << " bytes wrong";
}

TEST(Commands, ProgramWritesTheFuseEveryTimeAndTheLockWhenALevelIsChosen) {
  Bench bench("AT89S2051");
  bench.app->Controls.X2Clock = true;
  EXPECT_TRUE(bench.Cmd().Program().Ok());
  EXPECT_TRUE(bench.Chip().X2Clock());
  bench.app->Controls.Lock.Set(3, true);
  bench.window.statuses.clear();
  EXPECT_TRUE(bench.Cmd().Program().Ok());
  EXPECT_EQ(bench.window.statuses,
            (Strings{"Programming...", "Program completed.", "Lock bit level 3"}));
  EXPECT_EQ(bench.Chip().LockBits(), (SimLockBits{true, true, true}));
}

// A chip that is locked, or that did not hear its enable, answers reads with the
// complement of what it holds; when that equals the image, the read-backs and
// compares match. None of these commands may end Done on such a chip.
TEST(Commands, AChipThatMayHideItsCodeIsNeverProgrammedVerifiedOrReadAsVouchedDone) {
  using Command = CommandResult (Commands::*)();
  struct Case {
    std::string device;
    std::string more;
    SimLockBits locks;
    bool holdsImage;  // the chip holds the file, else it is erased
    std::vector<Command> commands;
    Outcome outcome;  // of the last command; a Done there carries a caveat
  };
  const Case cases[] = {
      // Only the AT89S51/52's lock reading is settled: they refuse before a write.
      {"AT89S52", "", {true, false, false}, false, {&Commands::Program}, Outcome::WriteLocked},
      // The others are judged by what the chip does: a refused write does not read back.
      {"AT89S2051", "", {true, true, false}, false, {&Commands::Program}, Outcome::NotProgrammed},
      {"AT89S8253", "lock-read=set1", {true, true, false}, true, {&Commands::Verify},
       Outcome::VerifyMismatch},
      // What Read Chip got from a chip that may hide its code proves nothing in a Verify;
      // answers of 00 everywhere are what no chip at all gives as well.
      {"AT89S2051", "locked-read=ff", {true, true, true}, true,
       {&Commands::ReadChip, &Commands::Verify}, Outcome::Done},
      {"AT89S2051", "locked-read=00", {true, true, true}, true,
       {&Commands::ReadChip, &Commands::Verify}, Outcome::ReadError},
      {"AT89S53", "echo-from=9", {}, true, {&Commands::ReadChip}, Outcome::Done},
  };
  for (const auto& c : cases) {
    Bench bench(c.device, c.more);
    const CodeImage& image = bench.app->Image.Image;
    for (std::int32_t n = 0; c.holdsImage && n <= bench.Cmd().CodeExtent; ++n) {
      const auto a = static_cast<std::size_t>(n);
      bench.Chip().SetCode(static_cast<std::uint16_t>(n),
                           static_cast<std::uint8_t>(HexPairValue(image.HighDigits[a], image.LowDigits[a])));
    }
    bench.Chip().SetLockBits(c.locks);
    bench.app->Controls.Lock.Set(1, true);  // the level the operator asks for stays
    const auto code = bench.Chip().Memory().code;
    CommandResult result;
    for (const Command command : c.commands) result = (bench.Cmd().*command)();
    EXPECT_EQ(result.outcome, c.outcome) << c.device;
    EXPECT_FALSE(result.Vouched()) << c.device;
    EXPECT_FALSE(bench.window.messageBoxes.empty()) << c.device;
    EXPECT_EQ(bench.Chip().Memory().code, code) << c.device;
    EXPECT_EQ(bench.Chip().LockBits(), c.locks) << c.device;
    if (c.commands.back() == &Commands::Program) {
      EXPECT_EQ(bench.app->Controls.Lock.LockLevel(), 1) << c.device;
    }
  }
}

TEST(AutoReload, AFileDamagedSinceTheLoadStopsTheCommandBeforeTheChipIsTouched) {
  // The terminal front end stops on a damaged reload; the window goes on with the
  // file as it stands, as it does after a load.
  for (const bool stop : {true, false}) {
    testing::TempDir dir;
    ProgrammerWorld world("AT89S52", "target=AT89S52");
    world.window.nextChoice = dir.Write("f.hex", ":01000000758A\n:00000001FF\n");
    ASSERT_TRUE(world.app->Cmd.Load().Ok());
    ASSERT_TRUE(world.app->Image.LastReport.Clean());
    dir.Write("f.hex", ":01000000758B\n:00000001FF\n");  // a checksum off by one
    world.app->Controls.AutoReloadFile = true;
    world.app->Cmd.StopOnDamagedReload = stop;
    const CommandResult result = world.app->Cmd.AutoProgram();
    EXPECT_EQ(result.outcome, stop ? Outcome::DamagedFile : Outcome::Done);
    EXPECT_EQ(world.Chip().Counters().erases, stop ? 0u : 1u);
    EXPECT_FALSE(world.window.messageBoxes.empty());  // the reload's report
  }
}

TEST(Commands, AnswersOf00WhereTheFileHas00AreNoEvidence) {
  // A chip that never hears, or MISO stuck low, answers 00: a file of 00 bytes would
  // match it. A chip that does hear shows itself by its change in the write.
  struct Case {
    std::string sim;
    CommandResult (Commands::*command)();
    Outcome outcome;
  };
  const Case cases[] = {
      {"target=AT89S53,miso=0", &Commands::Verify, Outcome::ReadError},
      {"target=AT89S53,echo-from=99", &Commands::Program, Outcome::ReadError},
      {"target=AT89S8253,miso=0", &Commands::Verify, Outcome::ReadError},
      {"target=AT89S53", &Commands::Program, Outcome::Done},
      {"target=AT89S52,miso=0", &Commands::Verify, Outcome::NoAnswer},
  };
  for (const auto& c : cases) {
    ProgrammerWorld world(c.sim.substr(7, c.sim.find(',') - 7), c.sim);
    for (std::int32_t a = 0; a < 8; ++a) world.SetImageByte(a, 0x00);
    world.app->Cmd.CodeExtent = 7;
    EXPECT_EQ((world.app->Cmd.*c.command)().outcome, c.outcome) << c.sim;
  }
}

TEST(Erase, AnEraseThatOutlastsTheDevicesTimeIsWaitedForAndThenNamed) {
  // The AT89S51/52 and AT89S8253 answer 00 while they erase: the program reads 0000
  // until FF, for as long again as it allows, then says the erase did not end.
  struct Case {
    std::string device;
    std::uint32_t eraseMs;
    Outcome outcome;
  };
  const Case cases[] = {{"AT89S8253", 400, Outcome::Done},
                        {"AT89S8253", 3000, Outcome::NotErased},
                        {"AT89S52", 900, Outcome::Done}};
  for (const auto& c : cases) {
    ProgrammerWorld world(c.device, "target=" + c.device + ",erase=" + std::to_string(c.eraseMs));
    world.Chip().SetCode(0, 0x12);
    EXPECT_EQ(world.app->Cmd.Erase().outcome, c.outcome) << c.device << " " << c.eraseMs;
    EXPECT_EQ(world.Chip().Code(0), 0xFF);
    if (c.outcome == Outcome::NotErased) {
      ASSERT_EQ(world.window.messageBoxes.size(), 1u);
      EXPECT_TRUE(world.window.messageBoxes[0].starts_with(
          "The " + c.device + " did not read erased after the chip erase: address 0000 still "
          "read 00"))
          << world.window.messageBoxes[0];
      EXPECT_NE(world.window.statuses.back(), "Erase finished.");
    }
  }
}

// Only FF ends the wait for the erase: a chip that ignored it reads its old code, which
// is not the 00 of a chip still erasing either.
TEST(Erase, AChipThatKeepsItsCodeIsNotErased) {
  ProgrammerWorld world("AT89S52");
  world.sim->PlugTarget(std::make_unique<testing::ProtocolTarget>([](const std::vector<std::uint8_t>& r) {
    if (r.size() % 4 != 3) return std::uint8_t{0};
    return static_cast<std::uint8_t>(testing::EndsWith(r, {0xAC, 0x53, 0x55}) ? 0x69 : 0x12);
  }));
  EXPECT_EQ(world.app->Cmd.Erase().outcome, Outcome::NotErased);
}

// Fast programming writes pages laid out for the device only after its signature has
// been read: a read that fails ends the command before any write.
TEST(Program, AFastWriteWhoseSignatureCannotBeReadWritesNothing) {
  for (const bool echoes : {true, false}) {
    ProgrammerWorld world("AT89S52");
    auto signatureReads = std::make_shared<int>(0);
    auto target = std::make_unique<testing::ProtocolTarget>([=](const std::vector<std::uint8_t>& r) {
      if (r.size() % 4 != 3) return std::uint8_t{0};
      if (testing::EndsWith(r, {0xAC, 0x53, 0x55})) return static_cast<std::uint8_t>(echoes ? 0x69 : 0x00);
      if (testing::EndsWith(r, {0x28, -1, -1})) return static_cast<std::uint8_t>(++*signatureReads);
      return std::uint8_t{0xFF};
    });
    const testing::ProtocolTarget& chip = *target;
    world.sim->PlugTarget(std::move(target));
    world.app->Controls.FastProgramming = true;
    world.SetImageByte(0, 0x75);
    world.app->Cmd.CodeExtent = 1;
    EXPECT_EQ(world.app->Cmd.Program().outcome, echoes ? Outcome::ReadError : Outcome::NoAnswer);
    const auto& sent = chip.AllReceived();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), std::uint8_t{0x50}), 0);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), std::uint8_t{0x40}), 0);
  }
}

TEST(ReadChip, TheTwoPassesAreComparedUpToTheLastAddress) {
  // An AT89S52 whose last byte reads differently in the second pass.
  ProgrammerWorld world("AT89S52");
  auto lastReads = std::make_shared<int>(0);
  world.sim->PlugTarget(std::make_unique<testing::ProtocolTarget>([lastReads](const std::vector<std::uint8_t>& r) {
    if (r.size() % 4 != 3) return std::uint8_t{0};
    if (testing::EndsWith(r, {0xAC, 0x53, 0x55})) return std::uint8_t{0x69};
    if (testing::EndsWith(r, {0x24, 0x55, 0x55})) return std::uint8_t{0x00};
    if (testing::EndsWith(r, {0x20, 0x1F, 0xFF})) return static_cast<std::uint8_t>(++*lastReads == 1 ? 0x12 : 0x34);
    return std::uint8_t{0xFF};
  }));
  EXPECT_EQ(world.app->Cmd.ReadChip().outcome, Outcome::ReadError);
  ASSERT_FALSE(world.window.messageBoxes.empty());
  EXPECT_NE(world.window.messageBoxes.back().find("1FFF (8191): first 12, then 34"), std::string::npos)
      << world.window.messageBoxes.back();
}

TEST(Stop, AStopDuringTheEnableWaitsEndsTheCommandThere) {
  // The enable waits 50 ms with RST low and 50 ms with it high: a stop ends them.
  ProgrammerWorld world("AT89S52", "target=AT89S52");
  world.window.onPump = [&] { world.app->Cmd.RequestStop(); };
  const std::uint64_t before = world.window.NowNanoseconds();
  EXPECT_EQ(world.app->Cmd.Erase().outcome, Outcome::Stopped);
  EXPECT_LT(world.window.NowNanoseconds() - before, 10'000'000u);  // virtual time: no full wait
  EXPECT_EQ(world.Chip().Counters().erases, 0u);
}

TEST(Verify, ALockReadThatDecidesIsTakenOnlyWhenTwoAnswersAgree) {
  // An AT89S52 locked at level 2 (LB1 and LB2 read 1, b2 and b3) whose first lock
  // answer a poor contact spoils into "no lock"; its code reads as the image.
  ProgrammerWorld world("AT89S52");
  world.window.nextChoice = kBlink;
  world.app->Cmd.Load();
  auto lockReads = std::make_shared<int>(0);
  const CodeImage& image = world.Image();
  world.sim->PlugTarget(std::make_unique<testing::ProtocolTarget>([&, lockReads](const std::vector<std::uint8_t>& r) {
    if (r.size() % 4 != 3) return std::uint8_t{0};
    if (testing::EndsWith(r, {0xAC, 0x53, 0x55})) return std::uint8_t{0x69};
    if (testing::EndsWith(r, {0x24, 0x55, 0x55})) return static_cast<std::uint8_t>(++*lockReads == 1 ? 0x00 : 0x0C);
    const auto a = static_cast<std::size_t>((r[r.size() - 2] & 0x3F) << 8 | r.back());
    return static_cast<std::uint8_t>(HexPairValue(image.HighDigits[a], image.LowDigits[a]));
  }));
  EXPECT_EQ(world.app->Cmd.Verify().outcome, Outcome::ReadLocked);
  EXPECT_EQ(*lockReads, 3);
}

TEST(Verify, AMatchOnlyAfterANewEnableSendsTheWalkBackToTheStart) {
  // A chip that misses its first enables answers an erased cell as 00 until then:
  // the image's 00 bytes match, and the 5A at 0008 only after enables.
  for (const bool holdsImage : {false, true}) {
    ProgrammerWorld world("AT89S2051", "target=AT89S2051,echo-from=4");
    for (std::int32_t a = 0; a < 8; ++a) {
      world.SetImageByte(a, 0x00);
      if (holdsImage) world.Chip().SetCode(static_cast<std::uint16_t>(a), 0x00);
    }
    world.SetImageByte(8, 0x5A);
    world.Chip().SetCode(8, 0x5A);
    world.app->Cmd.CodeExtent = 8;
    const CommandResult result = world.app->Cmd.Verify();
    EXPECT_EQ(result.outcome, holdsImage ? Outcome::Done : Outcome::VerifyMismatch);
    EXPECT_EQ(result.Vouched(), holdsImage);
    // Two passes: the first reads 0000 until the chip hears, and once more to confirm,
    // where the cell holds 00, whose complement does not match; the second, after
    // those answers disagreed, reads it twice to match, or twenty times where it
    // holds FF.
    EXPECT_EQ(ProgrammerWorld::Count(world.Instructions(4), "20 00 00 00"), holdsImage ? 5u : 21u);
  }
}

TEST(Load, ReportsCodeOverTheDeviceWithABeepAndKeepsTheImage) {
  testing::TempDir dir;
  struct Case {
    std::string device;
    std::string file;  // a record ending at the given extent
    bool over;
  };
  const Case cases[] = {{"AT89S2051", ":0107FF00AA57\n", false},  // last byte at 07FF
                        {"AT89S2051", ":0108000055A2\n", true},   // one past it
                        {"AT89S53", ":012FFF00AA27\n", false}};
  for (const auto& c : cases) {
    ProgrammerWorld world(c.device);
    world.window.nextChoice = dir.Write("f.hex", c.file);
    const CommandResult result = world.app->Cmd.Load();
    if (c.over) {
      EXPECT_EQ(result.outcome, Outcome::CodeTooLarge);
      EXPECT_EQ(world.window.statuses,
                (Strings{"Load file complete.", "Code over MCU memory [2047]"}));
      EXPECT_EQ(world.window.beeps, 1);
      EXPECT_EQ(world.app->Cmd.CodeExtent, 0x0801);
    } else {
      EXPECT_TRUE(result.Ok());
      EXPECT_EQ(world.window.statuses, Strings{"Load file complete."});
      EXPECT_EQ(world.window.beeps, 0);
    }
  }
}

TEST(Load, ADamagedFileIsShownOnceAndItsNonDigitsNeverReachTheChip) {
  testing::TempDir dir;
  Bench bench("AT89S8253");
  bench.window.nextChoice = dir.Write("bad.hex", ":0300000075G0FF00\n");
  EXPECT_TRUE(bench.Cmd().Load().Ok());
  ASSERT_EQ(bench.window.messageBoxes.size(), 1u);
  EXPECT_NE(bench.window.messageBoxes[0].find("line 1: \"G\" in the record's data"),
            std::string::npos);
  for (const auto command : {&Commands::Program, &Commands::Verify, &Commands::AutoProgram}) {
    bench.window.messageBoxes.clear();
    EXPECT_EQ((bench.Cmd().*command)().outcome, Outcome::BadImage);
    EXPECT_EQ(bench.window.messageBoxes,
              Strings{"The image byte at address 0001 (1) holds \"G\", which is no hex digit: "
                      "the HEX file's record there is damaged. Nothing was sent to the chip."});
  }
  EXPECT_EQ(bench.Chip().Counters().enables, 0u);
}

// Cancel changes nothing: the image, its extent, its file and the status stay.
TEST(Load, ACancelledDialogChangesNothing) {
  Bench bench("AT89S8253");
  const std::string image = testing::ImageText(bench.Image(), 0, 0x20);
  bench.window.nextChoice.reset();
  EXPECT_TRUE(bench.Cmd().Load().Ok());
  EXPECT_TRUE(bench.window.statuses.empty());
  EXPECT_EQ(bench.Cmd().CodeExtent, 0x13);
  EXPECT_EQ(testing::ImageText(bench.Image(), 0, 0x20), image);
  EXPECT_EQ(bench.app->Image.HexFilePath, kBlink);
}

TEST(Load, AFileErrorIsShownAndTheStatusStays) {
  Bench bench("AT89S8253");
  bench.window.nextChoice = "/nonexistent/x.hex";
  EXPECT_EQ(bench.Cmd().Load().outcome, Outcome::FileError);
  EXPECT_EQ(bench.window.messageBoxes,
            Strings{"Cannot open \"/nonexistent/x.hex\": No such file or directory"});
  EXPECT_TRUE(bench.window.statuses.empty());
  EXPECT_EQ(bench.Cmd().CodeExtent, 0x13);  // not set by the failed load
}

TEST(Refusal, ACommandStoppedByARefusedByteShowsNoSuccessText) {
  Bench bench("AT89S8253", "sense=0");
  const CommandResult result = bench.Cmd().Verify();
  EXPECT_EQ(result.outcome, Outcome::Refused);
  EXPECT_EQ(bench.window.statuses, Strings{"Verify Code..."});
  EXPECT_EQ(bench.window.messageBoxes, Strings{"Device have not in program mode"});
}

TEST(Modes, FollowTheTableAndEnableTheCommands) {
  ProgrammerWorld world("AT89S8253", "target=AT89S8253");
  Commands& cmd = world.app->Cmd;
  const bool& wr = world.app->Selection.FuseWriteEnabled;

  cmd.ToggleOperatingMode();  // program -> run
  EXPECT_FALSE(cmd.InProgramMode);
  EXPECT_FALSE(cmd.CommandsEnabled);
  EXPECT_FALSE(wr);
  EXPECT_TRUE(cmd.RunModeTicked);
  EXPECT_FALSE(cmd.ProgramModeTicked);
  EXPECT_EQ(world.port.Inport(ProgrammerWorld::kLpt1) & 0x98, 0x88);

  cmd.ToggleOperatingMode();  // run -> program; WR follows the fuse-capable device
  EXPECT_TRUE(cmd.InProgramMode);
  EXPECT_TRUE(cmd.CommandsEnabled);
  EXPECT_TRUE(wr);
  EXPECT_EQ(world.port.Inport(ProgrammerWorld::kLpt1) & 0x98, 0x10);

  cmd.ChooseRunMode();
  EXPECT_FALSE(cmd.InProgramMode);
  EXPECT_TRUE(cmd.RunModeTicked);
  cmd.ChooseProgramMode();
  cmd.ChooseProgramMode();  // again: the lines and the text once more
  EXPECT_EQ(world.window.statuses,
            (Strings{"RUN MODE.", "PROGRAM MODE.", "RUN MODE.", "PROGRAM MODE.", "PROGRAM MODE."}));

  // WR is one flag and the last write wins: EnableCommands never disables it, a
  // selection sets it by the device, also in run mode.
  cmd.DisableCommands();
  EXPECT_TRUE(cmd.SelectDevice(DeviceIndexOf("AT89S2051")));
  EXPECT_TRUE(wr);
  cmd.SelectDevice(DeviceIndexOf("AT89S52"));
  EXPECT_FALSE(wr);
  cmd.EnableCommands();
  EXPECT_FALSE(wr);
}

TEST(Modes, ACommandCannotStartInsideAnother) {
  Bench bench("AT89S8253");
  std::vector<Outcome> nested;
  bench.window.onPump = [&] {
    if (nested.empty() && bench.Cmd().Busy()) nested.push_back(bench.Cmd().Erase().outcome);
  };
  EXPECT_TRUE(bench.Cmd().Verify().outcome == Outcome::VerifyMismatch);
  EXPECT_EQ(nested, std::vector<Outcome>{Outcome::Busy});
}

TEST(Modes, ACommandHoldsItsDeviceRefusesChangesAndAStopLastsUntilTheNextCommand) {
  Bench bench("AT89S8253");
  std::vector<bool> accepted;
  bench.window.onPump = [&] {
    if (!bench.Cmd().Busy() || !accepted.empty()) return;
    accepted = {bench.Cmd().SelectDevice(3), bench.Cmd().SelectDeviceOrNone(0),
                bench.Cmd().SelectPort(2), bench.Cmd().TestIo().outcome != Outcome::Busy,
                bench.Cmd().Load().outcome != Outcome::Busy};
    bench.Cmd().ToggleOperatingMode();
    bench.app->Selection.SelectOrNone(-1);  // typed text, behind the command's back
  };
  EXPECT_TRUE(bench.Cmd().AutoProgram().Ok());
  EXPECT_EQ(accepted, (std::vector<bool>{false, false, false, false, false}));
  EXPECT_EQ(bench.app->Link.SelectedLpt(), 1);
  EXPECT_EQ(bench.Chip().Code(0x0000), 0x75);  // the whole command served the AT89S8253
  bench.window.messageBoxes.clear();
  EXPECT_EQ(bench.Cmd().Erase().outcome, Outcome::NoDevice);
  ASSERT_EQ(bench.window.messageBoxes.size(), 1u);
  EXPECT_TRUE(bench.window.messageBoxes[0].starts_with("No device is selected: choose one of the "))
      << bench.window.messageBoxes[0];

  // A stop ends the write at the next address; the next command starts afresh, and
  // an erase leaves the chip ready for the next instruction.
  bench.app->Selection.Select(4);
  const std::uint32_t writes = bench.Chip().Counters().writes;
  bench.window.onPump = [&] {
    if (bench.Chip().Counters().writes == writes + 3) bench.Cmd().RequestStop();
  };
  EXPECT_EQ(bench.Cmd().Program().outcome, Outcome::Stopped);
  EXPECT_EQ(bench.Chip().Counters().writes, writes + 3);
  bench.window.onPump = nullptr;
  EXPECT_TRUE(bench.Cmd().Erase().Ok());
  EXPECT_FALSE(bench.Chip().BusyAt(bench.window.NowMicroseconds()));
  // A stop during the erase is honoured once the erase time has passed.
  bench.window.onPump = [&] {
    if (bench.Chip().BusyAt(bench.window.NowMicroseconds())) bench.Cmd().RequestStop();
  };
  EXPECT_EQ(bench.Cmd().Erase().outcome, Outcome::Stopped);
  EXPECT_FALSE(bench.Chip().BusyAt(bench.window.NowMicroseconds()));
}

TEST(AutoReload, WritesTheFileAsItIsNowAndChecksItBeforeTheChip) {
  testing::TempDir dir;
  ProgrammerWorld world("AT89S2051", "target=AT89S2051");
  const std::string path = dir.Write("grows.hex", ":0100000012ED\n");
  world.window.nextChoice = path;
  ASSERT_TRUE(world.app->Cmd.Load().Ok());
  world.app->Controls.AutoReloadFile = true;
  // The file grew since Load: it is written whole.
  dir.Write("grows.hex", ":0100000012ED\n:0107FF0034C5\n");
  EXPECT_TRUE(world.app->Cmd.AutoProgram().Ok());
  EXPECT_EQ(world.Chip().Code(0x07FF), 0x34);
  EXPECT_EQ(world.app->Cmd.CodeExtent, 0x0800);
  // Grown past the device, or emptied: refused before the erase.
  const std::uint32_t erases = world.Chip().Counters().erases;
  for (const char* now : {":0108000056A1\n", ""}) {
    dir.Write("grows.hex", now);
    world.window.messageBoxes.clear();
    EXPECT_FALSE(world.app->Cmd.AutoProgram().Ok()) << now;
    EXPECT_EQ(world.window.messageBoxes.size(), 1u) << now;
    EXPECT_EQ(world.Chip().Counters().erases, erases) << now;
    EXPECT_EQ(world.Chip().Code(0x07FF), 0x34) << now;
  }
}

TEST(Startup, BringsEveryPartIntoItsWorkingStateOrStopsAtABadConfiguration) {
  testing::TempDir dir;
  dir.Write("CONFIG.VQL", "[03E8][0000][0000][0378][0278]\n");
  testing::ScopedCurrentDir cwd(dir.Path());
  {
    testing::VirtualWindow window(testing::VirtualWindow::Settings{1000, 0});
    SimulatedPort sim(window, ParseSimOptions("target=AT89S8253"));
    auto app = std::make_unique<Programmer>(sim, window, window);
    ASSERT_TRUE(app->Startup());
    EXPECT_EQ(app->Link.DataPort(), 0x378);
    EXPECT_EQ(app->Link.PortCaption(2), "LPT2 : 278");
    EXPECT_TRUE(app->Cmd.InProgramMode);
    EXPECT_EQ(sim.Inport(0x378) & 0x98, 0x10);
    EXPECT_EQ(app->Selection.DeviceIndex, 4);
    EXPECT_FALSE(app->Selection.FuseControlsEnabled);
    EXPECT_EQ(app->Link.LoopCalibration, 1);  // 500,000 pumps of 1 us in 500 ms
    EXPECT_EQ(app->Link.PollDelay, 1);
    EXPECT_EQ(window.gridRefreshes, 1);
    app->Shutdown();
    EXPECT_EQ(sim.Inport(0x378) & 0x98, 0x88);
  }
  // Wrongly written values: one box names the file and every one of them, and
  // start-up goes on with the values as read.
  dir.Write("CONFIG.VQL", "[03e8][0000][0000][0378][278]\n");
  {
    testing::VirtualWindow window;
    SimulatedPort sim(window, ParseSimOptions("target=AT89S8253"));
    auto app = std::make_unique<Programmer>(sim, window, window);
    ASSERT_TRUE(app->Startup());
    const std::string path = std::filesystem::current_path().string() + "/CONFIG.VQL";
    EXPECT_EQ(window.messageBoxes,
              Strings{"In \"" + path + "\" these values are used as read:\n"
                      "DelayScale \"03e8\" was read as 02F8; write all four digits in upper case\n"
                      "LPT2 base \"278]\" was read as 277F; write all four digits, e.g. [0278]"});
    EXPECT_EQ(app->Link.PortCaption(2), "LPT2 : 277F");
    EXPECT_TRUE(app->Cmd.InProgramMode);
  }
  std::filesystem::remove(dir.Path() / "CONFIG.VQL");
  {
    testing::VirtualWindow window;
    SimulatedPort sim(window, ParseSimOptions("target=AT89S8253"));
    auto app = std::make_unique<Programmer>(sim, window, window);
    EXPECT_FALSE(app->Startup());
    const std::string path = std::filesystem::current_path().string() + "/CONFIG.VQL";
    EXPECT_EQ(window.messageBoxes,
              Strings{"Cannot open \"" + path + "\": No such file or directory"});
    // The cable commands are refused and say where the file was looked for.
    EXPECT_EQ(app->Cmd.Erase().outcome, Outcome::NoPort);
    ASSERT_EQ(window.messageBoxes.size(), 2u);
    EXPECT_NE(window.messageBoxes[1].find(path), std::string::npos);
    app->Shutdown();
    EXPECT_EQ(window.messageBoxes.size(), 2u);  // nothing to release, nothing to say
    EXPECT_EQ(sim.Inport(0x0000), 0xFF);        // no port was ever set up at address 0
  }
}

// Start-up reads the file that the lookup found, wherever it is; without one it
// lists every place it looked, and the cable commands name them again.
TEST(Startup, ReadsTheFileTheLookupFoundOrNamesEveryPlaceLookedAt) {
  testing::TempDir dir;
  const std::string found = dir.Write("share/vql-isp/CONFIG.VQL", "[03E8][0000][0000][03BC][0278]\n");
  const Strings places{(dir.Path() / "CONFIG.VQL").string(), "/home/op/.config/vql-isp/CONFIG.VQL",
                       "/etc/vql-isp/CONFIG.VQL", found};
  struct Case {
    const char* name;
    ConfigLookup lookup;
    bool configured;
    Strings boxes;
  };
  const std::string listed = "\n  " + places[0] + "\n  " + places[1] + "\n  " + places[2] +
                             "\n  " + places[3] + "\n";
  const Case cases[] = {
      {"found in the data directory", {found, places}, true, {}},
      {"found nowhere",
       {"", places},
       false,
       {"No configuration file: CONFIG.VQL is in none of the places where it is looked for, "
        "in this order:" + listed + "Put it in one of them and start the program again."}},
  };
  for (const Case& c : cases) {
    testing::VirtualWindow window;
    SimulatedPort sim(window, ParseSimOptions("target=AT89S8253"));
    auto app = std::make_unique<Programmer>(sim, window, window);
    EXPECT_EQ(app->Startup(c.lookup), c.configured) << c.name;
    EXPECT_EQ(window.messageBoxes, c.boxes) << c.name;
    EXPECT_EQ(app->Link.ConfigPath, c.lookup.path) << c.name;
    if (c.configured) {
      EXPECT_EQ(app->Link.PortCaption(1), "LPT1 : 3BC") << c.name;
      EXPECT_EQ(app->Link.DataPort(), 0x3BC) << c.name;
      continue;
    }
    EXPECT_EQ(app->Cmd.Erase().outcome, Outcome::NoPort) << c.name;
    ASSERT_EQ(window.messageBoxes.size(), 2u) << c.name;
    EXPECT_EQ(window.messageBoxes[1],
              "The printer port is not configured: the port addresses come from the "
              "configuration file, which is in none of the places where it is looked for (\"" +
                  places[0] + "\", \"" + places[1] + "\", \"" + places[2] + "\", \"" + places[3] +
                  "\"). Put it in one of them and start the program again.")
        << c.name;
  }
}

}  // namespace
}  // namespace vql

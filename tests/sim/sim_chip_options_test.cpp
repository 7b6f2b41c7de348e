// The options of VQLISP_SIM: parsing, the targets they name, and the faults and
// times they give the chip behind the cable.
#include <gtest/gtest.h>

#include <bit>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "backends/port_factory.h"
#include "sim/sim_chip.h"
#include "sim/sim_chip_cable.h"
#include "sim/sim_options.h"
#include "sim/sim_port.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace vql {
namespace {

using testing::ChipCable;

std::string ErrorOf(std::string_view options) {
  try {
    testing::ManualClock clock;
    SimulatedPort port(clock, ParseSimOptions(options));
  } catch (const PortError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(SimOptions, ParseIntoTheSettingsAndAreKeptAsGiven) {
  const SimOptions defaults = ParseSimOptions("");
  EXPECT_EQ(defaults.target, "none");
  EXPECT_EQ(defaults.cable, "LPT1");
  EXPECT_TRUE(defaults.powered);
  EXPECT_FALSE(defaults.misoStuckAt.has_value());
  EXPECT_FALSE(defaults.chip.eraseMs.has_value());
  EXPECT_FALSE(defaults.chip.writeUs.has_value());
  EXPECT_EQ(defaults.chip.echoFrom, 1u);
  EXPECT_FALSE(defaults.chip.echo.has_value());
  EXPECT_FALSE(defaults.chip.lockRead.has_value());
  EXPECT_EQ(defaults.chip.unheard, SimAnswer::kComplement);
  EXPECT_EQ(defaults.chip.lockedRead, SimAnswer::kComplement);
  EXPECT_EQ(defaults.chip.fuseRead, SimFuseReading::kAsWritten);
  EXPECT_TRUE(defaults.chip.rstAbort);
  EXPECT_FALSE(defaults.chip.deadAddress.has_value());
  EXPECT_TRUE(defaults.chip.pages);
  EXPECT_TRUE(defaults.chip.signature.empty());
  EXPECT_EQ(defaults.chip.flakyRate, 0.0);
  EXPECT_TRUE(defaults.chip.stateFile.empty());
  EXPECT_FALSE(defaults.virtualClock);
  EXPECT_FALSE(defaults.adapter.has_value());
  EXPECT_EQ(defaults.usbMs, 1.0);
  EXPECT_FALSE(defaults.usbUnplugAfter.has_value());
  EXPECT_FALSE(defaults.boards.has_value());
  EXPECT_EQ(defaults.boardFaultRate, 0.0);
  EXPECT_TRUE(defaults.items.empty());

  const SimOptions o = ParseSimOptions("  target=Loopback , cable=lpt2,sense=0, miso=1 ,");
  EXPECT_EQ(o.target, "loopback");
  EXPECT_EQ(o.cable, "LPT2");
  EXPECT_FALSE(o.powered);
  EXPECT_EQ(o.misoStuckAt, true);
  EXPECT_EQ(o.items,
            (std::map<std::string, std::string, std::less<>>{
                {"target", "Loopback"}, {"cable", "lpt2"}, {"sense", "0"}, {"miso", "1"}}));
  EXPECT_EQ(ParseSimOptions("miso=0").misoStuckAt, false);
  EXPECT_TRUE(ParseSimOptions("sense=1").powered);

  const SimOptions chip = ParseSimOptions(
      "target=AT89S8253,erase=0,write=1500,echo-from=3,dead=2aBc,flaky=0.25,seed=42,"
      "state=/tmp/chip.txt,clock=Virtual,pages=NO,signature=1e73Ff");
  EXPECT_EQ(chip.target, "at89s8253");
  EXPECT_EQ(chip.chip.eraseMs, 0u);
  EXPECT_EQ(chip.chip.writeUs, 1500u);
  EXPECT_EQ(chip.chip.echoFrom, 3u);
  EXPECT_EQ(chip.chip.deadAddress, 0x2ABC);
  EXPECT_DOUBLE_EQ(chip.chip.flakyRate, 0.25);
  EXPECT_EQ(chip.chip.seed, 42u);
  EXPECT_EQ(chip.chip.stateFile, "/tmp/chip.txt");
  EXPECT_TRUE(chip.virtualClock);
  EXPECT_FALSE(chip.chip.pages);
  EXPECT_EQ(chip.chip.signature, (std::vector<std::uint8_t>{0x1E, 0x73, 0xFF}));
  EXPECT_TRUE(ParseSimOptions("pages=yes").chip.pages);
  EXPECT_EQ(ParseSimOptions("flaky=1").chip.flakyRate, 1.0);

  const SimOptions readings =
      ParseSimOptions("echo=No,lock-read=SET1,unheard=FF,locked-read=00");
  EXPECT_EQ(readings.chip.echo, false);
  EXPECT_EQ(readings.chip.lockRead, SimLockReading::kSetReadsOne);
  EXPECT_EQ(readings.chip.unheard, SimAnswer::kFF);
  EXPECT_EQ(readings.chip.lockedRead, SimAnswer::k00);
  const SimOptions others =
      ParseSimOptions("echo=yes,lock-read=set0,unheard=00,locked-read=complement");
  EXPECT_EQ(others.chip.echo, true);
  EXPECT_EQ(others.chip.lockRead, SimLockReading::kSetReadsZero);
  EXPECT_EQ(others.chip.unheard, SimAnswer::k00);
  EXPECT_EQ(others.chip.lockedRead, SimAnswer::kComplement);
  EXPECT_EQ(ParseSimOptions("unheard=complement").chip.unheard, SimAnswer::kComplement);
  EXPECT_EQ(ParseSimOptions("locked-read=ff").chip.lockedRead, SimAnswer::kFF);
  const SimOptions cycles = ParseSimOptions("fuse-read=Inverted,rst-abort=NO");
  EXPECT_EQ(cycles.chip.fuseRead, SimFuseReading::kInverted);
  EXPECT_FALSE(cycles.chip.rstAbort);
  EXPECT_EQ(ParseSimOptions("fuse-read=as-written").chip.fuseRead, SimFuseReading::kAsWritten);
  EXPECT_TRUE(ParseSimOptions("rst-abort=yes").chip.rstAbort);

  const SimOptions usb = ParseSimOptions("adapter=FT2232h,usb-ms=0.125,usb-unplug=0");
  EXPECT_EQ(usb.adapter, FtdiChip::FT2232H);
  EXPECT_EQ(usb.usbMs, 0.125);
  EXPECT_EQ(usb.usbUnplugAfter, 0u);
  EXPECT_EQ(ParseSimOptions("adapter=ft232r").adapter, FtdiChip::FT232R);
  EXPECT_EQ(ParseSimOptions("adapter=ft232h,usb-ms=0").usbMs, 0.0);

  const SimOptions line = ParseSimOptions("boards=1000000,board-fault-rate=0.25");
  EXPECT_EQ(line.boards, 1000000u);
  EXPECT_DOUBLE_EQ(line.boardFaultRate, 0.25);
}

TEST(SimOptions, RejectBadItemsNamingThemAndTheValidKeys) {
  const std::string bad[] = {
      "foo=1",       "cable=lpt3",  "miso=2",    "sense=", "target",        "target=a b",
      "miso=0,miso=1", "Target=none", "=1",      "erase=-1", "erase=60001", "erase=5ms",
      "write=",      "write=1000001", "echo-from=0", "echo-from=x", "dead=10000", "dead=xyz",
      "dead=",       "flaky=1.5",   "flaky=-0.1", "flaky=1e-3", "seed=-1",     "seed=1.5",
      "state=",      "clock=real",  "clock=",     "echo=1",     "echo=",       "echo=yes,echo=no",
      "lock-read=1", "lock-read=set", "lock-read=", "unheard=0", "unheard=fff", "unheard=",
      "locked-read=0x00", "locked-read=complemented", "locked-read=", "pages=0", "pages=",
      "signature=", "signature=1E5", "signature=1E51060A", "signature=0x1E", "signature=1G",
      "signature=-1", "signature=+1E", "adapter=ft245r", "adapter=", "usb-ms=-1",
      "usb-ms=1000.5", "usb-ms=1e-3", "usb-ms=", "usb-unplug=-1", "usb-unplug=x",
      "usb-unplug=4294967296", "boards=0", "boards=", "boards=x", "boards=1000001",
      "board-fault-rate=1.5", "board-fault-rate=", "fuse-read=", "fuse-read=inverse",
      "fuse-read=1", "rst-abort=", "rst-abort=1", "rst-abort=maybe"};
  for (const auto& text : bad) {
    try {
      ParseSimOptions(text);
      ADD_FAILURE() << text << " was taken";
    } catch (const PortError& e) {
      const std::string message = e.what();
      const std::string item = text.substr(text.rfind(',') + 1);
      EXPECT_NE(message.find("\"" + item + "\""), std::string::npos) << message;
      EXPECT_NE(message.find("Valid keys: " + SimOptionKeys() + "."), std::string::npos)
          << message;
    }
  }
  for (const char* key : {"target=", "cable=", "sense=", "miso=", "erase=", "write=",
                          "echo-from=", "dead=", "flaky=", "seed=", "state=", "clock=virtual",
                          "echo=", "lock-read=", "unheard=", "locked-read=", "pages=",
                          "signature=", "adapter=", "usb-ms=", "usb-unplug=", "boards=",
                          "board-fault-rate=", "fuse-read=", "rst-abort=", "usb-jitter=",
                          "miso-lag="}) {
    EXPECT_NE(SimOptionKeys().find(key), std::string::npos) << key;
  }
  // Every chip a target may name.
  EXPECT_NE(SimOptionKeys().find(
                "target=none or loopback or a chip (AT89S51 AT89S52 AT89S53 AT89S8252 AT89S8253 "
                "AT89S2051 AT89S4051)"),
            std::string::npos)
      << SimOptionKeys();
}

TEST(SimChipOptions, TargetNamesAChipInAnyCase) {
  for (const auto& model : kSimChips) {
    std::string lower(model.name);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& name : {std::string(model.name), lower}) {
      testing::ManualClock clock;
      SimulatedPort port(clock, ParseSimOptions("target=" + name));
      const SimChip* chip = port.TargetAs<SimChip>();
      ASSERT_NE(chip, nullptr) << name;
      EXPECT_EQ(&chip->Model(), &model);
    }
  }
}

TEST(SimChipOptions, UnknownTargetsAndChipOptionsWithoutAChipAreRefused) {
  struct Case {
    std::string options;
    std::vector<std::string> mentioned;
  };
  const Case cases[] = {
      {"target=AT89S99",
       {"\"target=at89s99\"", "none", "loopback", "AT89S51", "AT89S52", "AT89S53", "AT89S8252",
        "AT89S8253", "AT89S2051", "AT89S4051"}},
      {"erase=10", {"\"erase=10\"", "chip", "AT89S51"}},
      {"target=loopback,state=x.txt", {"\"state=x.txt\"", "loopback"}},
      {"target=none,flaky=0.5", {"\"flaky=0.5\""}},
      {"target=loopback,echo=no", {"\"echo=no\"", "loopback"}},
      {"lock-read=set1", {"\"lock-read=set1\"", "none"}},
      {"target=none,unheard=ff", {"\"unheard=ff\""}},
      {"target=loopback,locked-read=00", {"\"locked-read=00\""}},
      {"target=none,pages=no", {"\"pages=no\"", "none"}},
      {"target=loopback,signature=1E", {"\"signature=1E\"", "loopback"}},
      {"target=none,boards=2", {"\"boards=2\"", "none", "AT89S51"}},
      {"target=loopback,board-fault-rate=1", {"\"board-fault-rate=1\"", "loopback"}},
      {"target=AT89S51,board-fault-rate=0.5", {"\"board-fault-rate=0.5\"", "boards=N"}},
      {"target=none,fuse-read=inverted", {"\"fuse-read=inverted\"", "none"}},
      {"target=loopback,rst-abort=no", {"\"rst-abort=no\"", "loopback"}},
      // The printer port's plug is SCK to MISO, and only the adapters' plug lags.
      {"target=loopback,miso-lag=1", {"\"miso-lag=1\"", "adapter=", "target=loopback"}},
      {"target=AT89S52,miso-lag=1", {"\"miso-lag=1\""}},
      {"target=none,seed=3", {"\"seed=3\"", "none"}},
  };
  for (const auto& c : cases) {
    const std::string message = ErrorOf(c.options);
    for (const auto& word : c.mentioned) {
      EXPECT_NE(message.find(word), std::string::npos) << c.options << ": " << message;
    }
  }
  EXPECT_EQ(ErrorOf("target=loopback,clock=virtual"), "(no error)");
  EXPECT_EQ(ErrorOf("target=none,adapter=ft232r,usb-ms=2,usb-unplug=3"), "(no error)");
  // usb-jitter draws from the seed whatever the target.
  EXPECT_EQ(ErrorOf("target=none,adapter=ft232r,usb-jitter=0.5,seed=3,miso-lag=0"), "(no error)");
  EXPECT_NE(ErrorOf("usb-jitter=1000.5").find("\"usb-jitter=1000.5\""), std::string::npos);
  EXPECT_NE(ErrorOf("miso-lag=2").find("\"miso-lag=2\""), std::string::npos);
}

TEST(SimChipOptions, EraseAndWriteTimesReplaceTheChipsOwn) {
  ChipCable cable("target=AT89S51,erase=3,write=40");
  SimChip& chip = cable.Chip();
  EXPECT_EQ(chip.EraseUs(), 3000u);
  EXPECT_EQ(chip.WriteUs(), 40u);
  cable.Enable();
  cable.Erase();
  // Each instruction takes effect at the last rising edge of SCK, a half period ago.
  const std::uint64_t erased = cable.clock.NowMicroseconds() - ChipCable::kHalfPeriodUs;
  EXPECT_TRUE(chip.BusyAt(erased + 2999));
  EXPECT_FALSE(chip.BusyAt(erased + 3000));
  cable.clock.Set(erased + 3000);
  cable.Enable();
  EXPECT_TRUE(chip.ProgrammingEnabled());
  cable.WriteCode(0x0001, 0x00);
  const std::uint64_t written = cable.clock.NowMicroseconds() - ChipCable::kHalfPeriodUs;
  EXPECT_TRUE(chip.BusyAt(written + 39));
  EXPECT_FALSE(chip.BusyAt(written + 40));
  EXPECT_EQ(cable.ReadCode(0x0001), 0x00);
}

TEST(SimChipOptions, SignatureReadsTheRowsBytesOrThoseThatTheKeyGives) {
  const std::uint16_t addresses[] = {0x000, 0x100, 0x200, 0x030, 0x031};
  struct Case {
    std::string options;
    std::vector<std::uint8_t> answers;  // at each of the addresses
  };
  const Case cases[] = {
      {"target=AT89S51", {0x1E, 0x51, 0x06, 0xFF, 0xFF}},
      {"target=AT89S52", {0x1E, 0x52, 0x06, 0xFF, 0xFF}},
      {"target=AT89S8253", {0xFF, 0xFF, 0xFF, 0x1E, 0x73}},
      {"target=AT89S4051", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"target=AT89S52,signature=1e53", {0x1E, 0x53, 0x06, 0xFF, 0xFF}},  // the first two
      {"target=AT89S51,signature=FFFFFF", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"target=AT89S8253,signature=1E5106", {0xFF, 0xFF, 0xFF, 0x1E, 0x51}},
      {"target=AT89S2051,signature=1E", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    ChipCable cable(c.options);
    cable.Enable();
    std::vector<std::uint8_t> answers;
    for (const std::uint16_t address : addresses) answers.push_back(cable.ReadSignature(address));
    EXPECT_EQ(answers, c.answers);
  }
}

TEST(SimChipOptions, EchoFromCountsEnablesSinceTheStartAndEchoSaysWhetherThereIs69) {
  struct Case {
    std::string options;
    std::vector<bool> echoed;  // byte 4 of each enable carried 69
  };
  const Case cases[] = {
      {"target=AT89S52", {false, false, true, true}},
      {"target=AT89S52,echo=no", {false, false, false, false}},
      {"target=AT89S8253", {false, false, false, false}},
      {"target=AT89S8253,echo=yes", {false, false, true, true}},
      {"target=AT89S8252", {false, false, false, false}},  // no byte 4
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    ChipCable cable(c.options + ",echo-from=3");
    std::vector<bool> echoed;
    std::vector<bool> enabled;
    for (int attempt = 1; attempt <= 4; ++attempt) {
      echoed.push_back(cable.Enable().back() == 0x69);
      enabled.push_back(cable.Chip().ProgrammingEnabled());
    }
    EXPECT_EQ(echoed, c.echoed);
    EXPECT_EQ(enabled, (std::vector<bool>{false, false, true, true}));
    EXPECT_EQ(cable.Chip().Counters().enables, 4u);
    EXPECT_EQ(cable.Chip().Counters().enablesObeyed, 2u);
  }
}

TEST(SimChipOptions, UnheardAndLockedReadsAnswerAsChosen) {
  // The chip holds 34 at 0012, LB1 set, the x2-clock fuse on where it has one. Until
  // the enable every read is unheard; enabled with LB2 set too, the code read is
  // refused by the lock.
  struct Case {
    std::string options;
    std::uint8_t code;      // unheard: 34 would be the true answer
    std::uint8_t lockBits;  // unheard: FE (AT89S8253), 04 (AT89S52)
    std::uint8_t fuse;      // unheard: F8 (x2 on); 55, the plain echo, without a fuse
    std::uint8_t locked;    // enabled, LB2 set
  };
  const Case cases[] = {
      {"target=AT89S8253", 0xCB, 0x01, 0x07, 0xCB},
      {"target=AT89S8253,unheard=ff", 0xFF, 0xFF, 0xFF, 0xCB},
      {"target=AT89S8253,unheard=00,locked-read=ff", 0x00, 0x00, 0x00, 0xFF},
      {"target=AT89S8253,locked-read=00", 0xCB, 0x01, 0x07, 0x00},
      {"target=AT89S52", 0xCB, 0xFB, 0x55, 0xCB},
      {"target=AT89S52,unheard=00,locked-read=ff", 0x00, 0x00, 0x55, 0xFF},
      {"target=AT89S53,unheard=ff,locked-read=00", 0xFF, 0, 0, 0x00},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    ChipCable cable(c.options);
    SimChip& chip = cable.Chip();
    chip.SetCode(0x0012, 0x34);
    chip.SetLockBits({.lb1 = true});
    chip.SetX2Clock(chip.Model().x2Fuse);
    cable.Reset();
    EXPECT_EQ(cable.ReadCode(0x0012), c.code);
    if (cable.FourByte()) {
      EXPECT_EQ(cable.ReadLockBits(), c.lockBits);
      EXPECT_EQ(cable.ReadFuse(), c.fuse);
    }
    cable.Enable();
    EXPECT_EQ(cable.ReadCode(0x0012), 0x34);  // LB1 alone leaves the code readable
    chip.SetLockBits({.lb1 = true, .lb2 = true});
    EXPECT_EQ(cable.ReadCode(0x0012), c.locked);
    EXPECT_EQ(chip.Code(0x0012), 0x34);
  }
}

TEST(SimChipOptions, ADeadCellNeverPrograms) {
  for (const char* chipName : {"AT89S51", "AT89S53"}) {
    SCOPED_TRACE(chipName);
    // Given as the program would send it, with bits above the chip's size.
    ChipCable cable(std::string("target=") + chipName + ",dead=8123");
    cable.Enable();
    cable.WriteCode(0x0123, 0x00);
    cable.WriteCode(0x0124, 0x00);  // refused: the first is still in its write cycle
    cable.Settle();
    cable.WriteCode(0x0124, 0x00);
    cable.Settle();
    EXPECT_EQ(cable.ReadCode(0x0123), 0xFF);
    EXPECT_EQ(cable.ReadCode(0x0124), 0x00);
    EXPECT_EQ(cable.Chip().Counters().writes, 2u);
  }
}

// The answers to many reads of a cell holding 5A.
std::vector<std::uint8_t> FlakyReads(const std::string& options, int count) {
  ChipCable cable("target=AT89S8253," + options);
  cable.Chip().SetCode(0x0100, 0x5A);
  cable.Enable();
  std::vector<std::uint8_t> answers;
  for (int i = 0; i < count; ++i) answers.push_back(cable.ReadCode(0x0100));
  return answers;
}

TEST(SimChipOptions, FlakyAnswersFlipOneBitAtTheSeededRate) {
  const auto first = FlakyReads("flaky=0.25,seed=7", 400);
  EXPECT_EQ(FlakyReads("flaky=0.25,seed=7", 400), first);
  EXPECT_NE(FlakyReads("flaky=0.25,seed=8", 400), first);
  int flipped = 0;
  for (std::uint8_t answer : first) {
    if (answer == 0x5A) continue;
    ++flipped;
    EXPECT_EQ(std::popcount(static_cast<unsigned>(answer ^ 0x5A)), 1) << int{answer};
  }
  EXPECT_GT(flipped, 60);
  EXPECT_LT(flipped, 140);
  for (std::uint8_t answer : FlakyReads("flaky=0", 50)) EXPECT_EQ(answer, 0x5A);
  for (std::uint8_t answer : FlakyReads("flaky=1", 50)) {
    EXPECT_EQ(std::popcount(static_cast<unsigned>(answer ^ 0x5A)), 1);
  }
}

TEST(SimChipOptions, FlakyContactsSpoilReadsButNeverTheStoredCode) {
  ChipCable cable("target=AT89S52,flaky=1");
  cable.Enable();
  cable.WriteCode(0x0002, 0x12);
  cable.Settle();
  EXPECT_NE(cable.ReadCode(0x0002), 0x12);
  EXPECT_EQ(cable.Chip().Code(0x0002), 0x12);
  EXPECT_EQ(cable.Chip().Counters().flipped, 1u);
}

TEST(SimWantsVirtualClock, OnlyWhenTheSimulatorIsChosenAndAsksForIt) {
  struct Case {
    const char* port;  // nullptr: unset
    const char* sim;
    bool kernelParport;
    bool wanted;
  };
  const Case cases[] = {
      {"sim", "clock=virtual", false, true},
      {"sim", "target=AT89S52,clock=VIRTUAL", true, true},
      {"sim", "target=AT89S52", false, false},
      {"sim", nullptr, false, false},
      {nullptr, "clock=virtual", false, true},
      {nullptr, "clock=virtual", true, false},  // ppdev gets the machine's clock
      {"ppdev", "clock=virtual", false, false},
      {"direct", "clock=virtual", false, false},
  };
  for (const auto& c : cases) {
    testing::TempDir root;
    if (c.kernelParport) {
      const auto dir = root.Path() / "proc/sys/dev/parport/parport0";
      std::filesystem::create_directories(dir);
      std::ofstream(dir / "base-addr") << "888\t1912\n";
    }
    std::map<std::string, const char*> env{{"VQLISP_PORT", c.port}, {"VQLISP_SIM", c.sim}};
    const GetEnv getenv = [&env](const char* name) -> const char* {
      const auto found = env.find(name);
      return found == env.end() ? nullptr : found->second;
    };
    EXPECT_EQ(SimWantsVirtualClock(getenv, root.Path().string()), c.wanted)
        << (c.port ? c.port : "(unset)") << " " << (c.sim ? c.sim : "(unset)");
  }
  const GetEnv bad = [](const char* name) -> const char* {
    return std::string_view(name) == "VQLISP_SIM" ? "clock=fast" : "sim";
  };
  EXPECT_THROW(SimWantsVirtualClock(bad), PortError);
}

}  // namespace
}  // namespace vql

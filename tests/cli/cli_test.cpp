// vql-isp-cli as a user runs it: the real executable, started in a scratch directory
// with the shipped configuration, on the simulated programmer.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "commands/command_table.h"
#include "devices/device_table.h"
#include "devices/outcome.h"
#include "image/char_stream.h"
#include "image/code_image.h"
#include "image/hex_digits.h"
#include "image/hex_reader.h"
#include "image/sha256.h"
#include "portio/cable_pins.h"
#include "sim/sim_chip_state.h"
#include "sim/sim_chip_table.h"
#include "support/cli_process.h"
#include "support/image_text.h"
#include "support/temp_dir.h"
#include "support/trace_decoder.h"

namespace vql {
namespace {

namespace fs = std::filesystem;
using testing::CliExecutable;
using testing::CliResult;
using testing::RunCli;

constexpr std::uint16_t kLpt1 = 0x0378;
constexpr std::uint16_t kLpt2 = 0x0278;
using cable::kMode3;
using cable::kMode7;
using cable::kRst;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The value of key in a key=value line, the first key aside; "" when it has none.
std::string ValueOf(const std::string& line, const std::string& key) {
  const std::size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return "";
  const std::size_t from = at + key.size() + 2;
  return line.substr(from, line.find(' ', from) - from);
}

// One Intel HEX record, checksum included, as a hand would write it.
std::string Record(std::uint16_t address, const std::vector<std::uint8_t>& data) {
  std::string line = ":";
  char hex[8];
  const auto add = [&](unsigned value) {
    std::snprintf(hex, sizeof hex, "%02X", value & 0xFF);
    line += hex;
  };
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF);
  add(static_cast<unsigned>(data.size()));
  add(address >> 8u);
  add(address & 0xFFu);
  add(0);
  for (const std::uint8_t b : data) {
    add(b);
    sum += b;
  }
  add(0x100 - (sum & 0xFF));
  return line + "\r\n";
}

const std::string kBlink = VQLISP_SOURCE_DIR "/examples/blink.hex";
const std::string kChip = "target=AT89S8253,state=chip.state";
const std::string kFastChip = kChip + ",clock=virtual";

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(CliExecutable())) << CliExecutable() << ": build vql-isp-cli first";
    fs::copy_file(VQLISP_SOURCE_DIR "/CONFIG.VQL", dir.Path() / "CONFIG.VQL");
  }

  CliResult Cli(const std::vector<std::string>& args, const std::string& sim = kFastChip,
                std::vector<std::string> env = {},
                const std::function<void(pid_t, const std::string&)>& watch = {}) {
    env.push_back("VQLISP_PORT=sim");
    env.push_back("VQLISP_SIM=" + sim);
    return RunCli(args, env, dir.Path(), watch);
  }

  // The last value written to the data register at port, from the trace.
  std::optional<std::uint8_t> LastDataWrite(const std::string& traceName, std::uint16_t port) {
    std::optional<std::uint8_t> last;
    for (const auto& access : testing::ParseTrace(ReadFile(dir.Path() / traceName))) {
      if (access.write && access.address == port) last = access.value;
    }
    return last;
  }

  // Two loops at once over five boards each, the first on the printer port through
  // job first, the second on a simulated FT232H through job second; every chip must
  // pass, and the log's serial numbers, each once, come back.
  std::set<std::string> SerialsOfTwoLoops(const std::string& first, const std::string& second) {
    const CliResult both = Cli(
        {"--shell", "VQLISP_SIM=target=AT89S2051,boards=5,clock=virtual \"$CLI\" job " + first +
                        " --loop > a.txt &\n"
                        "VQLISP_SIM=target=AT89S2051,boards=5,adapter=ft232h,clock=virtual \"$CLI\" job " +
                        second + " --loop > b.txt &\nwait"});
    EXPECT_EQ(both.status, 0) << both.err;
    std::set<std::string> serials;
    for (const std::string& line : Lines(ReadFile(dir.Path() / "line.log"))) {
      EXPECT_EQ(ValueOf(line, "result"), "ok") << line;
      EXPECT_TRUE(serials.insert(ValueOf(line, "serial")).second) << line;
    }
    return serials;
  }

  testing::TempDir dir;
};

TEST_F(CliTest, AutoProgramsAFreshChipAndASecondRunVerifiesIt) {
  const CliResult programmed = Cli({"auto", kBlink});
  EXPECT_EQ(programmed.status, 0) << programmed.err;
  // Every status text on its own line; auto's "RUN MODE.", then the exit's. The
  // command layer's tests hold the whole sequence.
  EXPECT_TRUE(programmed.out.starts_with("Load file complete.\n")) << programmed.out;
  EXPECT_TRUE(programmed.out.ends_with("Auto Programming finished.\nRUN MODE.\nRUN MODE.\n"))
      << programmed.out;
  EXPECT_EQ(programmed.err, "");

  const CliResult verified = Cli({"verify", kBlink});
  EXPECT_EQ(verified.status, 0) << verified.err;
  EXPECT_EQ(Lines(verified.out),
            (std::vector<std::string>{"Load file complete.", "Verify Code...", "PROGRAM MODE.",
                                      "Verify complete.", "RUN MODE."}));
}

TEST_F(CliTest, OptionsReachTheControlsOfTheCommandLayer) {
  const CliResult locked = Cli({"--lock", "3", "--no-run-after", "auto", kBlink});
  EXPECT_EQ(locked.status, 0) << locked.err;
  const auto lines = Lines(locked.out);
  EXPECT_TRUE(Contains(locked.out, "Lock bit level 3\n")) << locked.out;
  // Without Auto RUN only the release at the end drives the run-mode lines.
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "RUN MODE."), 1) << locked.out;
  EXPECT_EQ(lines.back(), "RUN MODE.");

  // A locked chip answers reads with nothing that matches.
  EXPECT_EQ(Cli({"verify", kBlink}).status, 1);
}

struct StatusCase {
  std::string name;
  std::vector<std::string> args;
  std::string sim;
  int status;
  std::string inErr;      // a part of standard error
  std::string notInOut;   // a status text that must not show: the chip was not touched
  std::vector<std::string> env = {};  // before the test's own VQLISP_PORT=sim, so it wins
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

class CliExitStatus : public CliTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(CliExitStatus, TellsSuccessChipFailureAndUsageApart) {
  const StatusCase& c = GetParam();
  // A file whose last byte lies past the AT89S2051's 2 KiB.
  std::ofstream(dir.Path() / "big.hex") << Record(0x0800, {0xAA}) << ":00000001FF\r\n";
  std::ofstream(dir.Path() / "big.hex.missing-records") << "0800 AA\n";
  std::ofstream(dir.Path() / "sum.hex") << ":0100000075FF\n";  // a wrong checksum
  std::ofstream(dir.Path() / "empty.hex") << ":00000001FF\n";
  std::ofstream(dir.Path() / "changed.vqljob")
      << "device=AT89S2051\nfile=" << kBlink << "\nsha256=" << std::string(64, '0') << "\n";
  std::ofstream(dir.Path() / "typo.vqljob") << "# a job\ndevice=AT89S2051\nlok=3\n";
  std::ofstream(dir.Path() / "locked.state")
      << "VQL-ISP simulated chip state, version 1\nchip AT89S52\nlock-bits LB1=1 LB2=1 LB3=0\n"
         "x2-clock off\ncode\nend\n";
  const CliResult result = Cli(c.args, c.sim, c.env);
  EXPECT_EQ(result.status, c.status) << result.out << result.err;
  EXPECT_TRUE(Contains(result.err, c.inErr)) << result.err;
  if (!c.notInOut.empty()) {
    EXPECT_FALSE(Contains(result.out, c.notInOut)) << result.out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    CliCases, CliExitStatus,
    ::testing::Values(
        StatusCase{"BlankFreshChip", {"blank"}, kFastChip, 0, "", ""},
        // A Done that nothing could check exits 0 unless --require-vouched is given; its
        // status text stays either way.
        StatusCase{"BlankWithMisoStuckHigh", {"blank"}, "target=AT89S8253,miso=1,clock=virtual",
                   0, "nothing shows that it is blank", "failed"},
        StatusCase{"BlankWithMisoStuckHighRequiredVouched", {"--require-vouched", "blank"},
                   "target=AT89S8253,miso=1,clock=virtual", 1,
                   "vql-isp-cli: blank failed: --require-vouched, and nothing on the wire could "
                   "check the result (see above)",
                   "failed"},
        StatusCase{"VouchedBlankRequiredVouched", {"--require-vouched", "--device", "AT89S52", "blank"},
                   "target=AT89S52,echo=yes,clock=virtual", 0, "", ""},
        StatusCase{"AutoOfLockBitsThatCannotBeReadRequiredVouched",
                   {"--device", "AT89S8252", "--lock", "1", "--require-vouched", "auto", kBlink},
                   "target=AT89S8252,clock=virtual", 1, "cannot read its lock bits back",
                   "Auto-program failed"},
        StatusCase{"RequireVouchedWithALoad", {"--require-vouched", "load", kBlink}, kFastChip, 2,
                   "option --require-vouched has no use with load", ""},
        StatusCase{"LoopTestWithPlug", {"test-io"}, "target=loopback,clock=virtual", 0,
                   "Ok...", ""},
        StatusCase{"VerifyAgainstAnErasedChip", {"verify", kBlink}, kFastChip, 1,
                   "vql-isp-cli: verify failed: the chip does not match the image", ""},
        StatusCase{"LoopTestWithoutPlug", {"test-io"}, "target=none,clock=virtual", 1,
                   "Error test loop : 1", ""},
        StatusCase{"UsbLoopTestWithJumper", {"test-io"}, "target=loopback,adapter=ft232h,clock=virtual",
                   0, "Ok...", ""},
        StatusCase{"UsbLoopTestWithALaggingMiso", {"test-io"},
                   "target=loopback,adapter=ft232r,miso-lag=1,clock=virtual", 1,
                   "MISO lags MOSI by one bit", "Ok..."},
        StatusCase{"CableWithoutPower", {"blank"}, kFastChip + ",sense=0", 1,
                   "Device have not in program mode", "Blank chip [OK]"},
        StatusCase{"NoChipBehindTheCable", {"--device", "AT89S52", "--lock", "3", "program", kBlink},
                   "target=none,clock=virtual", 1,
                   "The chip does not answer on LPT1 (0378): no simulated chip is attached",
                   "Program completed."},
        // A device whose chips need not echo goes on, and the first byte shows it.
        StatusCase{"NoChipBehindTheCableOfADeviceWithoutEcho", {"--lock", "3", "auto", kBlink},
                   "target=none,clock=virtual", 1,
                   "The byte at address 0000 (0) was not programmed: wrote 75, read back FF",
                   "Verify complete."},
        // Another model that reads as locked is named by its signature; no erase is advised.
        StatusCase{"AnAT89S8253UnderTheAT89S52", {"--device", "AT89S52", "verify", kBlink},
                   "target=AT89S8253,echo=yes,clock=virtual", 1,
                   "the AT89S8253's 1E 73, at 030 and 031, not the AT89S52's 1E 52 06: the "
                   "selected device does not match the chip in the socket. Choose",
                   "Verify complete."},
        StatusCase{"FourByteChipUnderAThreeByteDevice", {"--device", "AT89S8252", "erase"},
                   "target=AT89S52,clock=virtual", 1,
                   "answered in the socket, but the selected device is the AT89S8252",
                   "Erase finished."},
        // A lock refusal is the chip's doing, not the command line's.
        StatusCase{"LockedChip", {"--device", "AT89S52", "program", kBlink},
                   "target=AT89S52,state=locked.state,clock=virtual", 1,
                   "is locked at lock bit level 2", "Program completed."},
        StatusCase{"FileWithoutData", {"auto", "big.hex.missing-records"}, kFastChip, 2,
                   "The image holds nothing to program", "Erase Chip..."},
        StatusCase{"DamagedHexFile", {"program", "sum.hex"}, kFastChip, 2,
                   "sum.hex\", line 1: the checksum is FF, the record's bytes need 8A",
                   "Programming..."},
        StatusCase{"DamagedHexFileIgnored", {"--ignore-hex-errors", "program", "sum.hex"},
                   kFastChip, 0, "the checksum is FF", ""},
        StatusCase{"MissingHexFile", {"program", "missing.hex"}, kFastChip, 2,
                   "Cannot open \"", "Programming..."},
        // Found before the port is driven: not even the start-up's lines.
        StatusCase{"VerifyOfAMissingFile", {"verify", "missing.hex"}, kFastChip, 2,
                   "Cannot open \"missing.hex\": No such file", "RUN MODE."},
        StatusCase{"VerifyOfAFileWithoutData", {"verify", "empty.hex"}, kFastChip, 2,
                   "\"empty.hex\" holds no data records", "Verify Code..."},
        StatusCase{"LoadOfAFileWithoutData", {"load", "empty.hex"}, kFastChip, 2,
                   "holds no data records", ""},
        StatusCase{"LoadOfCodeOverDeviceMemory", {"--device", "at89s2051", "load", "big.hex"},
                   kFastChip, 2, "load failed: the code does not fit the device", ""},
        // A load needs no port.
        StatusCase{"LoadWithoutAPort", {"load", kBlink}, kFastChip, 0, "", "RUN MODE.",
                   {"VQLISP_PORT=bogus"}},
        // The simulator only when asked for, and never without its chip named.
        StatusCase{"SimulatorWithoutATarget", {"blank"}, "clock=virtual", 2,
                   "VQLISP_SIM names no target", "Blank Check..."},
        // An option that the command would ignore is refused, never silently dropped.
        StatusCase{"LockLevelForAVerify", {"--lock", "3", "verify", kBlink}, kFastChip, 2,
                   "option --lock has no use with verify", "Verify Code..."},
        StatusCase{"SimulatorAskedByOption", {"--port", "sim", "blank"}, kFastChip, 0, "", "",
                   {"VQLISP_PORT="}},
        StatusCase{"CodeOverDeviceMemory", {"--device", "at89s2051", "auto", "big.hex"},
                   kFastChip, 2, "auto failed: the code does not fit the device", "Erase Chip..."},
        StatusCase{"FuseOnADeviceWithout", {"--device", "AT89S52", "fuse"}, kFastChip, 2,
                   "The AT89S52 has no user fuse.", ""},
        StatusCase{"ReadIntoAMissingDirectory", {"read", "-o", "no-dir/out.hex"}, kFastChip, 2,
                   "/no-dir/out.hex\": No such file or directory", "Read Chip..."},
        StatusCase{"MissingConfiguration", {"--config", "nowhere.vql", "blank"}, kFastChip, 2,
                   "nowhere.vql\": No such file or directory", "Blank Check..."},
        StatusCase{"UnknownOption", {"--turbo", "blank"}, kFastChip, 2, "unknown option", ""},
        StatusCase{"FastWithACommandItDoesNotChange", {"--fast", "erase"}, kFastChip, 2,
                   "--fast", "Erase Chip..."},
        StatusCase{"FastAutoOfAChipThatGivesTheOtherModelsSignature",
                   {"--device", "AT89S52", "--fast", "auto", kBlink},
                   "target=AT89S52,signature=1E5106,clock=virtual", 1,
                   "another model, the AT89S51's 1E 51 06", "Erase Chip..."},
        StatusCase{"SignatureOfADeviceThatGivesNone", {"--device", "AT89S53", "signature"},
                   "target=AT89S53,clock=virtual", 2, "gives no signature", ""},
        StatusCase{"UnknownDevice", {"--device", "AT89C51", "blank"}, kFastChip, 2,
                   "unknown device", ""},
        StatusCase{"LockLevelTooHigh", {"--lock", "4", "lock"}, kFastChip, 2, "lock level", ""},
        StatusCase{"ThreeByteChipOnA1MHzCrystalAtTheDefaultClock",
                   {"--device", "AT89S8252", "auto", kBlink}, "target=AT89S8252,xtal=1,clock=virtual",
                   1, "was not programmed", "Verify complete."},
        StatusCase{"ThreeByteChipOnA1MHzCrystalAtItsHalfPeriod",
                   {"--device", "AT89S8252", "--sck-half-us", "40", "auto", kBlink},
                   "target=AT89S8252,xtal=1,clock=virtual", 0, "", "Time-Out"},
        StatusCase{"SckHalfPeriodOfZero", {"--sck-half-us", "0", "blank"}, kFastChip, 2,
                   "--sck-half-us takes whole microseconds from 1 to 10000, not \"0\"", ""},
        StatusCase{"SckHalfPeriodNotANumber", {"--sck-half-us=4us", "blank"}, kFastChip, 2,
                   "not \"4us\"", ""},
        StatusCase{"ProgramWithoutFile", {"program"}, kFastChip, 2, "needs a HEX file", ""},
        StatusCase{"OutputForAnotherCommand", {"blank", "-o", "x.hex"}, kFastChip, 2,
                   "-o belongs to the read and job-new commands", ""},
        StatusCase{"UnknownCommand", {"burn"}, kFastChip, 2, "unknown command", ""},
        // A job is checked whole before a chip is touched.
        StatusCase{"JobWhoseFileChanged", {"job", "changed.vqljob"}, "target=AT89S2051,clock=virtual",
                   2, "the job records SHA-256 " + std::string(64, '0') + ", the file now gives 243d3b7b",
                   "Chip 1"},
        StatusCase{"JobWithAMistypedKey", {"job", "typo.vqljob"}, "target=AT89S2051,clock=virtual", 2,
                   "typo.vqljob\" line 3: unknown key \"lok\"", "Chip 1"},
        StatusCase{"JobNewWithoutAJobFile", {"job-new", kBlink, "--device", "AT89S2051"}, kFastChip, 2,
                   "job-new needs -o JOB", ""},
        StatusCase{"BadSimulatorOptions", {"blank"}, "target=AT89S8253,clock=sundial", 2, "clock",
                   ""}),
    [](const auto& test) { return test.param.name; });

// Two lines of boards with faults, the first stopped by Ctrl-C, share one sequence of
// serial numbers: every passed chip holds the file and its own number, and a failed
// chip is logged without one.
TEST_F(CliTest, AJobLoopGivesEveryPassedChipTheFileAndItsOwnSerialNumber) {
  std::vector<std::uint8_t> code(16);
  for (std::size_t i = 0; i < code.size(); ++i) code[i] = static_cast<std::uint8_t>(0x10 + i);
  // The serial number lies in the gap between the records, which verify takes as FF,
  // with a byte of the file right after it.
  std::ofstream(dir.Path() / "fw.hex") << Record(0x0000, code) << Record(0x0082, {0x3C})
                                       << Record(0x0100, {0x80, 0xFE}) << ":00000001FF\r\n";
  const CliResult made = Cli({"job-new", "fw.hex", "--device", "AT89S2051", "--serial",
                              "0080:2:bcd:98:3", "--log", "line.log", "-o", "fw.vqljob"});
  ASSERT_EQ(made.status, 0) << made.err;

  const std::string line = "target=AT89S2051,board-fault-rate=0.4,";
  bool sent = false;
  const CliResult first = Cli({"job", "fw.vqljob", "--loop"}, line + "boards=8,seed=5,state=run1", {},
                              [&](pid_t pid, const std::string& out) {
                                if (!sent && Contains(out, "Chip 3:")) sent = ::kill(pid, SIGINT) == 0;
                              });
  EXPECT_TRUE(first.status == -SIGINT || first.status == 1 || first.status == 0) << first.err;
  const CliResult second =
      Cli({"job", "fw.vqljob", "--loop"}, line + "boards=6,seed=6,state=run2,clock=virtual");
  EXPECT_TRUE(Contains(second.out, "6 chips: ")) << second.out << second.err;

  const auto log = Lines(ReadFile(dir.Path() / "line.log"));
  ASSERT_GE(log.size(), 9u);
  ASSERT_LE(log.size(), 14u);
  const SimChipModel& model = *FindSimChip("AT89S2051");
  std::set<int> numbers;
  int passed = 0;
  int skipped = 0;
  std::string passedBoard;
  for (std::size_t i = 0; i < log.size(); ++i) {
    SCOPED_TRACE(log[i]);
    const bool inFirst = i + 6 < log.size();
    const std::string state = (inFirst ? "run1/board-" : "run2/board-") +
                              std::to_string(inFirst ? i + 1 : i + 6 - log.size() + 1) + ".state";
    const std::string serial = ValueOf(log[i], "serial");
    if (ValueOf(log[i], "result") != "ok") {
      if (ValueOf(log[i], "reason") == "serial-not-written") {
        ++skipped;
        ASSERT_TRUE(serial.starts_with("partial:"));
        EXPECT_TRUE(numbers.insert(std::stoi(serial.substr(8))).second);
      } else {
        EXPECT_EQ(serial, "-");
      }
      continue;
    }
    ++passed;
    passedBoard = state;
    ASSERT_TRUE(numbers.insert(std::stoi(serial)).second) << "a number handed out twice";
    const auto memory = LoadSimChipState((dir.Path() / state).string(), model);
    ASSERT_TRUE(memory.has_value()) << state;
    EXPECT_TRUE(std::equal(code.begin(), code.end(), memory->code.begin()));
    EXPECT_EQ(memory->code[0x100], 0x80);
    EXPECT_EQ(memory->code[0x82], 0x3C);
    const int n = std::stoi(serial);
    EXPECT_EQ(memory->code[0x80], (n / 1000 % 10) << 4 | n / 100 % 10);
    EXPECT_EQ(memory->code[0x81], (n / 10 % 10) << 4 | n % 10);
  }
  EXPECT_GT(passed, 0);
  EXPECT_LT(passed + skipped, static_cast<int>(log.size())) << "no board failed";
  // A failed chip gave its number back: the numbers run on without a gap.
  EXPECT_EQ(*numbers.rbegin(), 98 + 3 * (static_cast<int>(numbers.size()) - 1));

  // Only the records and the serial number are what the chip should hold.
  const std::string board = "target=AT89S2051,clock=virtual,state=" + passedBoard;
  EXPECT_EQ(Cli({"--device", "AT89S2051", "verify", "fw.hex"}, board).status, 1);
  EXPECT_EQ(Cli({"--device", "AT89S2051", "verify", "--records-only", "fw.hex"}, board).status, 0);
}

// A serial field over the file's data is refused, naming both ranges, unless job-new
// is told that the number is meant to replace those bytes; the log then names what
// the chips hold, the field left out, not the file.
TEST_F(CliTest, ASerialFieldOverTheFilesDataIsRefusedUnlessMeant) {
  std::ofstream(dir.Path() / "fw.hex") << Record(0x0000, {0x02, 0x01, 0x00, 0xFF}) << ":00000001FF\r\n";
  const std::vector<std::string> make{"job-new", "fw.hex", "--device", "AT89S2051", "--serial",
                                      "0002:4:be:1:1", "--log", "fw.log", "-o", "fw.vqljob"};
  const CliResult refused = Cli(make);
  EXPECT_EQ(refused.status, 2);
  EXPECT_TRUE(Contains(refused.err, "the serial number at 0002..0005 lies over the data of")) << refused.err;
  EXPECT_TRUE(Contains(refused.err, "fw.hex\" at 0002..0003")) << refused.err;
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "fw.vqljob"));

  std::vector<std::string> meant = make;
  meant.push_back("--serial-over-code");
  ASSERT_EQ(Cli(meant).status, 0);
  EXPECT_TRUE(Contains(ReadFile(dir.Path() / "fw.vqljob"), "serial-over-code=yes\n"));
  const CliResult chip = Cli({"job", "fw.vqljob"}, "target=AT89S2051,state=chip.state,clock=virtual");
  EXPECT_EQ(chip.status, 0) << chip.err;
  const std::string line = ReadFile(dir.Path() / "fw.log");
  EXPECT_EQ(ValueOf(line, "serial"), "1") << line;
  EXPECT_TRUE(ValueOf(line, "sha256").empty()) << line;
  EXPECT_EQ(ValueOf(line, "sha256-without-serial").size(), 64u) << line;
}

// A job reached through a symbolic link in another folder finds its file and log
// beside the job itself, and takes from the job's one sequence.
TEST_F(CliTest, AJobThroughALinkInAnotherFolderFindsItsOwnFiles) {
  ASSERT_EQ(Cli({"job-new", kBlink, "--device", "AT89S2051", "--serial", "07F0:2:be:7:1", "--log",
                 "j.log", "-o", "j.vqljob"}).status, 0);
  fs::create_directory(dir.Path() / "other");
  fs::create_symlink("../j.vqljob", dir.Path() / "other" / "k.vqljob");
  const CliResult chip = Cli({"job", "other/k.vqljob"}, "target=AT89S2051,clock=virtual");
  EXPECT_EQ(chip.status, 0) << chip.err;
  EXPECT_TRUE(Contains(chip.out, "Chip 1: passed, serial 7")) << chip.out;
  EXPECT_EQ(ValueOf(ReadFile(dir.Path() / "j.log"), "serial"), "7");
}

// --loop-count asks for chips: a line that ends before they came fails, saying so.
TEST_F(CliTest, ALoopCountOfMoreBoardsThanCameFails) {
  ASSERT_EQ(Cli({"job-new", kBlink, "--device", "AT89S2051", "-o", "line.vqljob"}).status, 0);
  const CliResult line =
      Cli({"job", "line.vqljob", "--loop-count", "5"}, "target=AT89S2051,boards=3,clock=virtual");
  EXPECT_EQ(line.status, 1) << line.err;
  EXPECT_TRUE(Contains(line.out, "3 chips: 3 passed, 0 failed")) << line.out;
  EXPECT_TRUE(Contains(line.err, "only 3 of the 5 chips asked for with --loop-count came")) << line.err;
}

// Two loops at once, one on the printer port and one on a USB cable, take their serial
// numbers from one sequence: each number goes to one chip only, and none is skipped.
TEST_F(CliTest, TwoLoopsOnTwoCablesShareOneSequenceOfSerialNumbers) {
  ASSERT_EQ(Cli({"job-new", kBlink, "--device", "AT89S2051", "--serial", "07F0:2:le:1:1", "--log",
                 "line.log", "-o", "blink.vqljob"}).status, 0);
  EXPECT_EQ(SerialsOfTwoLoops("blink.vqljob", "blink.vqljob"),
            (std::set<std::string>{"1", "10", "2", "3", "4", "5", "6", "7", "8", "9"}));
}

// The same job run through a symbolic link and through a hard link, in two loops at
// once: one sequence, each number to one chip.
TEST_F(CliTest, LoopsOverTheJobsOtherNamesShareItsSequence) {
  ASSERT_EQ(Cli({"job-new", kBlink, "--device", "AT89S2051", "--serial", "07F0:2:le:1:1", "--log",
                 "line.log", "-o", "blink.vqljob"}).status, 0);
  fs::create_symlink("blink.vqljob", dir.Path() / "link.vqljob");
  fs::create_hard_link(dir.Path() / "blink.vqljob", dir.Path() / "hard.vqljob");
  EXPECT_EQ(SerialsOfTwoLoops("link.vqljob", "hard.vqljob"),
            (std::set<std::string>{"1", "10", "2", "3", "4", "5", "6", "7", "8", "9"}));
  EXPECT_TRUE(fs::exists(dir.Path() / "blink.vqljob.serial"));
  EXPECT_FALSE(fs::exists(dir.Path() / "hard.vqljob.serial"));
  EXPECT_FALSE(fs::exists(dir.Path() / "link.vqljob.serial"));

  // A new job over one of two hard links would part them.
  const CliResult parted = Cli({"job-new", kBlink, "--device", "AT89S2051", "-o", "hard.vqljob",
                                "--continue-serial"});
  EXPECT_EQ(parted.status, 2);
  EXPECT_TRUE(Contains(parted.err, "hard.vqljob\" has 2 names (hard links)")) << parted.err;
  // Re-made through the link, the job is re-made where it lies, and goes on.
  fs::remove(dir.Path() / "hard.vqljob");
  ASSERT_EQ(Cli({"job-new", kBlink, "--device", "AT89S2051", "--serial", "07F0:2:le:1:1", "--log",
                 "line.log", "-o", "link.vqljob", "--continue-serial"}).status, 0);
  EXPECT_TRUE(fs::is_symlink(dir.Path() / "link.vqljob"));
  const CliResult next = Cli({"job", "link.vqljob", "--loop-count", "1"}, "target=AT89S2051,clock=virtual");
  EXPECT_TRUE(Contains(next.out, ", serial numbers from 11, ")) << next.out;
}

// job-new over a job whose serial numbers have begun is told what becomes of them,
// and the job's first line gives the number the next chip gets.
TEST_F(CliTest, ARemadeJobSaysWhichSerialNumbersItGoesOnWith) {
  const struct {
    std::string option;
    std::string from;                  // the banner's next number
    std::set<std::string> nextSerials;  // the next two chips'
  } cases[] = {
      {"--continue-serial", "4", {"4", "5"}},
      {"--restart-serial", "100", {"100", "101"}},
  };
  const std::string board = "target=AT89S2051,boards=3,clock=virtual";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    const std::string job = c.option.substr(2) + ".vqljob";
    const std::string log = c.option.substr(2) + ".log";
    const auto make = [&](const std::string& serial, const std::string& option) {
      std::vector<std::string> args = {"job-new", kBlink, "--device", "AT89S2051", "--serial", serial,
                                       "--log", log, "-o", job};
      if (!option.empty()) args.push_back(option);
      return Cli(args);
    };
    ASSERT_EQ(make("07F0:2:le:1:1", "").status, 0);
    const CliResult first = Cli({"job", job, "--loop"}, board);
    EXPECT_TRUE(Contains(first.out, ", serial numbers from 1, ")) << first.out;
    EXPECT_TRUE(Contains(first.out, "3 chips: 3 passed")) << first.out;
    const std::string jobText = ReadFile(dir.Path() / job);

    const CliResult refused = make("07F0:2:le:100:1", "");
    EXPECT_EQ(refused.status, 2);
    EXPECT_TRUE(Contains(refused.err, "vql-isp-cli: \"" + (fs::canonical(dir.Path()) / job).string() +
                                          ".serial\" holds the serial numbers of this job, the next 4: "
                                          "give --continue-serial to go on with them, or "
                                          "--restart-serial to start again at 100\n"))
        << refused.err;
    EXPECT_EQ(ReadFile(dir.Path() / job), jobText);

    ASSERT_EQ(make("07F0:2:le:100:1", c.option).status, 0);
    EXPECT_TRUE(Contains(ReadFile(dir.Path() / job), "serial=07F0:2:le:100:1"));
    const CliResult next = Cli({"job", job, "--loop-count", "2"}, board);
    EXPECT_TRUE(Contains(next.out, ", serial numbers from " + c.from + ", ")) << next.out;
    std::set<std::string> serials;
    const auto lines = Lines(ReadFile(dir.Path() / log));
    for (std::size_t k = 3; k < lines.size(); ++k) serials.insert(ValueOf(lines[k], "serial"));
    EXPECT_EQ(serials, c.nextSerials);
  }
}

// A chip that took the file but not its serial number keeps the number, which no
// later chip gets: the dead cells of this line lie in 0000..000F, where the number goes.
TEST_F(CliTest, ANumberWhoseWriteFailedIsNeverHandedOutAgain) {
  std::ofstream(dir.Path() / "fw.hex") << Record(0x0100, {0x80, 0x00}) << ":00000001FF\r\n";
  ASSERT_EQ(Cli({"job-new", "fw.hex", "--device", "AT89S2051", "--serial", "0000:2:be:300:1",
                 "--log", "line.log", "-o", "fw.vqljob"}).status, 0);
  const CliResult line = Cli({"job", "fw.vqljob", "--loop"},
                             "target=AT89S2051,boards=16,board-fault-rate=1,seed=2,clock=virtual");
  EXPECT_EQ(line.status, 1) << line.err;
  std::set<std::string> serials;
  int skipped = 0;
  for (const std::string& entry : Lines(ReadFile(dir.Path() / "line.log"))) {
    std::string serial = ValueOf(entry, "serial");
    // A number its cells did not take is logged as a part of it, and stays used.
    if (ValueOf(entry, "reason") == "serial-not-written") {
      ++skipped;
      EXPECT_TRUE(serial.starts_with("partial:")) << entry;
      serial = serial.substr(8);
    }
    EXPECT_TRUE(serial != "-" && serials.insert(serial).second) << entry;
  }
  EXPECT_GT(skipped, 0);
  EXPECT_EQ(serials.size(), 16u);
  EXPECT_EQ(*serials.rbegin(), "315");
}

// A log that cannot take lines is found before the first chip: the run is refused,
// no board is touched and no serial number taken.
TEST_F(CliTest, AJobWhoseLogCannotTakeLinesIsRefusedBeforeAnyBoard) {
  ASSERT_EQ(Cli({"job-new", kBlink, "--device", "AT89S2051", "--serial", "07F0:2:le:1:1", "--log",
                 "line.log", "-o", "blink.vqljob"}).status, 0);
  const std::string here = dir.Path().string() + "/";
  const struct {
    std::string name;
    std::vector<std::string> log;  // --log and its file, or the job's own
    std::string folder;            // made first
    std::string inErr;
  } cases[] = {
      {"a device that takes nothing", {"--log", "/dev/full"}, "",
       "Cannot use the log \"/dev/full\": it is no regular file"},
      {"a folder", {"--log", "logs"}, "logs",
       "Cannot use the log \"" + here + "logs\": it is no regular file"},
      {"a missing folder", {"--log", "nowhere/line.log"}, "",
       "Cannot open the log \"" + here + "nowhere/line.log\": No such file or directory"},
      {"waiting lines that cannot be read", {}, "blink.vqljob.log.pending",
       "Cannot use \"" + here + "blink.vqljob.log.pending\": it is no regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.folder.empty()) fs::create_directory(dir.Path() / c.folder);
    std::vector<std::string> args = {"job", "blink.vqljob", "--loop"};
    args.insert(args.end(), c.log.begin(), c.log.end());
    const CliResult run = Cli(args, "target=AT89S2051,boards=2,state=run,clock=virtual");
    EXPECT_EQ(run.status, 2) << run.out << run.err;
    EXPECT_TRUE(Contains(run.err, c.inErr)) << run.err;
    EXPECT_FALSE(Contains(run.out, "Chip 1")) << run.out;
    // The board on the cable is still the fresh, blank one the line put there.
    const auto board = LoadSimChipState((dir.Path() / "run/board-1.state").string(),
                                        *FindSimChip("AT89S2051"));
    ASSERT_TRUE(board.has_value());
    EXPECT_TRUE(std::ranges::all_of(board->code, [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_FALSE(fs::exists(dir.Path() / "blink.vqljob.serial"));
    if (!c.folder.empty()) fs::remove(dir.Path() / c.folder);
  }
}

// A tmpfs of a few pages mounted for one test; unmounted at its end.
class SmallDisk {
 public:
  // Nothing mounted (Mounted() false) without root.
  SmallDisk(const fs::path& at, std::size_t bytes) : at_(at) {
    fs::create_directory(at);
    if (::geteuid() != 0) return;
    const std::string size = "size=" + std::to_string(bytes);
    mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, size.c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount(at_.c_str());
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool Mounted() const { return mounted_; }

 private:
  fs::path at_;
  bool mounted_ = false;
};

// A chip whose line a full disk takes only in part: the log is cut back to its last
// whole line, the run stops as a job fault, the line waits beside the job with its
// number still used, and the next run, with room again, puts it into the log first.
TEST_F(CliTest, AFullDiskLeavesTheLogWholeAndTheChipsLineWaitsForTheNextRun) {
  SmallDisk disk(dir.Path() / "disk", 2 * 4096);
  if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
  ASSERT_EQ(Cli({"job-new", kBlink, "--device", "AT89S2051", "--serial", "07F0:2:le:1:1", "--log",
                 "disk/line.log", "-o", "blink.vqljob"}).status, 0);
  // The log fills its page but for 40 bytes, and another file takes the last one.
  const std::string earlier(4096 - 40 - 1, '#');
  std::ofstream(dir.Path() / "disk/line.log") << earlier << "\n";
  std::ofstream(dir.Path() / "disk/filler") << std::string(4096, 'x');

  const std::string line = "target=AT89S2051,state=run,clock=virtual,boards=";
  const CliResult full = Cli({"job", "blink.vqljob", "--loop"}, line + "3");
  EXPECT_EQ(full.status, 2) << full.out << full.err;
  EXPECT_TRUE(Contains(full.out, "Chip 1: passed, serial 1,")) << full.out;
  EXPECT_FALSE(Contains(full.out, "Chip 2")) << full.out;
  const std::string why = "Cannot write to the log \"" + (dir.Path() / "disk/line.log").string() +
                          "\": No space left on device; the chip's line waits in \"" +
                          (dir.Path() / "blink.vqljob.log.pending").string() + "\"";
  EXPECT_TRUE(Contains(full.err, why)) << full.err;
  EXPECT_EQ(ReadFile(dir.Path() / "disk/line.log"), earlier + "\n");
  const auto waiting = Lines(ReadFile(dir.Path() / "blink.vqljob.log.pending"));
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_EQ(ValueOf(waiting[0], "serial"), "1");
  EXPECT_EQ(ValueOf(waiting[0], "result"), "ok");

  fs::remove(dir.Path() / "disk/filler");
  const CliResult next = Cli({"job", "blink.vqljob", "--loop"}, line + "1");
  EXPECT_EQ(next.status, 0) << next.out << next.err;
  const auto log = Lines(ReadFile(dir.Path() / "disk/line.log"));
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1], waiting[0]);
  EXPECT_EQ(ValueOf(log[2], "serial"), "2") << "the waiting chip's number stays used";
  EXPECT_FALSE(fs::exists(dir.Path() / "blink.vqljob.log.pending"));
}

// Every chip's log line says whether nothing left its Done in doubt; --require-vouched
// fails and counts a chip whose Done something did.
TEST_F(CliTest, AJobLogsWhetherEachChipIsVouchedFor) {
  const struct {
    std::string device;
    std::string lock;
    std::vector<std::string> options;
    std::string sim;
    int status;
    std::string log;   // result=, reason= and vouched= of every chip
    std::string line;  // a part of standard output
  } cases[] = {
      {"AT89S52", "0", {}, "target=AT89S52", 0, "result=ok reason=ok vouched=yes", "Chip 1: passed, "},
      {"AT89S52", "0", {}, "target=AT89S52,dead=0005", 1,
       "result=failed reason=not-programmed vouched=no", "Chip 1: FAILED (not-programmed)"},
      // The AT89S8252 cannot read its lock bits back.
      {"AT89S8252", "1", {}, "target=AT89S8252", 0, "result=ok reason=ok vouched=no",
       "Chip 1: passed (unvouched), "},
      {"AT89S8252", "1", {"--require-vouched"}, "target=AT89S8252", 1,
       "result=failed reason=unvouched vouched=no", "Chip 1: FAILED (unvouched)"},
      {"AT89S8252", "1", {"--require-vouched", "--loop"}, "target=AT89S8252,boards=2", 1,
       "result=failed reason=unvouched vouched=no", "2 chips: 0 passed, 2 failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sim + " " + c.log);
    fs::remove(dir.Path() / "line.log");
    ASSERT_EQ(Cli({"job-new", kBlink, "--device", c.device, "--lock", c.lock, "--log", "line.log",
                   "-o", "blink.vqljob"}).status, 0);
    std::vector<std::string> args = {"job", "blink.vqljob"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const CliResult run = Cli(args, c.sim + ",clock=virtual");
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, c.line)) << run.out;
    const auto log = Lines(ReadFile(dir.Path() / "line.log"));
    EXPECT_FALSE(log.empty());
    for (const std::string& line : log) {
      EXPECT_EQ("result=" + ValueOf(line, "result") + " reason=" + ValueOf(line, "reason") +
                    " vouched=" + ValueOf(line, "vouched"),
                c.log);
      EXPECT_TRUE(Contains(line, " " + c.log + " seconds=")) << "in that order: " << line;
    }
  }
}

TEST_F(CliTest, ReadWritesAHexFileThatReadsBackEqualToWhatWasProgrammed) {
  // Scattered records of bytes that are not FF, in CR LF lines, as other tools write.
  auto expected = std::make_unique<CodeImage>();
  std::string file;
  std::uint32_t seed = 12345;
  for (std::uint16_t address = 0x0003; address < 0x3000; address += 0x00F7) {
    std::vector<std::uint8_t> data;
    for (int i = 0; i < 9; ++i) {
      seed = seed * 1103515245 + 12345;
      data.push_back(static_cast<std::uint8_t>((seed >> 16) % 0xFF));  // never FF
    }
    file += Record(address, data);
    for (std::size_t i = 0; i < data.size(); ++i) {
      char digits[4];
      std::snprintf(digits, sizeof digits, "%02X", data[i]);
      expected->HighDigits[address + i] = digits[0];
      expected->LowDigits[address + i] = digits[1];
    }
  }
  file += ":00000001FF\r\n";
  std::ofstream(dir.Path() / "data.hex", std::ios::binary) << file;

  const std::string sim = kFastChip;
  const CliResult programmed = Cli({"auto", "data.hex"}, sim);
  ASSERT_EQ(programmed.status, 0) << programmed.err;
  const CliResult read = Cli({"read", "-o", "back.hex"}, sim);
  ASSERT_EQ(read.status, 0) << read.err;
  EXPECT_FALSE(Contains(read.out, "0000 ")) << "rows are printed only without -o";

  FileCharStream in((dir.Path() / "back.hex").string());
  auto back = std::make_unique<CodeImage>();
  EXPECT_EQ(ReadHexRecords(in, *back), 0x3000);
  EXPECT_EQ(testing::ImageText(*back, 0, 0x3000), testing::ImageText(*expected, 0, 0x3000));
  const std::string text = ReadFile(dir.Path() / "back.hex");
  EXPECT_TRUE(text.ends_with("\n:00000001FF\n"));
  EXPECT_EQ(Lines(text).size(), 0x3000u / 16 + 1);
}

TEST_F(CliTest, OnLpt2TheTargetOnLpt1IsReleasedAsWell) {
  const CliResult result =
      Cli({"--port", "lpt2", "auto", kBlink}, kFastChip + ",cable=lpt2", {"VQLISP_TRACE=port.trace"});
  EXPECT_EQ(result.status, 0) << result.err;
  for (const std::uint16_t port : {kLpt1, kLpt2}) {
    const auto last = LastDataWrite("port.trace", port);
    ASSERT_TRUE(last.has_value()) << std::hex << port;
    EXPECT_EQ(*last & (kRst | kMode7 | kMode3), kMode7 | kMode3) << std::hex << port;
  }
}

// A PC whose only port is a card written in as LPT2: LPT1's problem is said, and the
// command runs on LPT2 all the same, without a single access at LPT1's address 0.
TEST_F(CliTest, Lpt2WorksWhenLpt1IsUnusable) {
  dir.Write("CONFIG.VQL", "[2710][0000][0000][0000][0278]\n");
  const CliResult result = Cli({"--port", "lpt2", "auto", kBlink}, kFastChip + ",cable=lpt2",
                               {"VQLISP_TRACE=port.trace"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(Contains(result.out, "Auto Programming finished.\n")) << result.out;
  EXPECT_TRUE(Contains(result.err, "LPT1 has no port address")) << result.err;
  const auto accesses = testing::ParseTrace(ReadFile(dir.Path() / "port.trace"));
  EXPECT_TRUE(std::ranges::all_of(accesses, [](const auto& a) { return a.address >= kLpt2; }));
  EXPECT_EQ(LastDataWrite("port.trace", kLpt2).value_or(0) & (kRst | kMode7 | kMode3),
            kMode7 | kMode3);
}

class CliStop : public CliTest, public ::testing::WithParamInterface<int> {};

// A kilobyte to write at 5 ms a byte in real time: seconds, unless it is stopped.
std::string KiloHex() {
  std::string file;
  for (std::uint16_t address = 0; address < 0x400; address += 16) {
    std::vector<std::uint8_t> data;
    for (int i = 0; i < 16; ++i) data.push_back(static_cast<std::uint8_t>((address + i) % 0xFF));
    file += Record(address, data);
  }
  return file + ":00000001FF\r\n";
}

TEST_P(CliStop, StopsAtTheNextAddressAndReleasesTheTarget) {
  std::ofstream(dir.Path() / "kilo.hex") << KiloHex();

  bool sent = false;
  const CliResult result =
      Cli({"program", "kilo.hex"}, kChip, {"VQLISP_TRACE=port.trace"},
          [&](pid_t pid, const std::string& out) {
            if (!sent && Contains(out, "Programming...\n")) {
              ::kill(pid, GetParam());
              sent = true;
            }
          });

  // The program ends by the signal itself, once the target is released.
  ASSERT_TRUE(sent) << result.out << result.err;
  EXPECT_EQ(result.status, -GetParam()) << result.out << result.err;
  EXPECT_TRUE(Contains(result.err, "Stopped: the target has been released to run mode.\n"))
      << result.err;
  EXPECT_FALSE(Contains(result.out, "Program completed.")) << result.out;
  EXPECT_TRUE(result.out.ends_with("RUN MODE.\n")) << result.out;

  const auto accesses = testing::ParseTrace(ReadFile(dir.Path() / "port.trace"));
  const auto decoded = testing::DecodeTrace(accesses, kLpt1);
  EXPECT_TRUE(decoded.LevelsOf("RST").starts_with("1")) << "the target was held in reset first";
  const auto last = LastDataWrite("port.trace", kLpt1);
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(*last & kRst, 0) << "RST released";
  EXPECT_EQ(*last & (kMode7 | kMode3), kMode7 | kMode3) << "MODE7 and MODE3 in run mode";
}

INSTANTIATE_TEST_SUITE_P(CliSignals, CliStop, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& test) { return test.param == SIGINT ? "Int" : "Term"; });

// --summary's last line tells each result and reason apart; after a failure no text
// that reads as success is the last status; -q leaves only what went wrong.
TEST_F(CliTest, TheSummaryLineAndTheLastStatusTellWhatBecameOfTheCommand) {
  std::ofstream(dir.Path() / "empty.hex") << ":00000001FF\n";
  const struct {
    std::vector<std::string> args;
    std::string sim;
    std::string summary;     // a part of the last line
    std::string lastStatus;  // the status before the shut-down's "RUN MODE."; "" for none
  } cases[] = {
      // Blink's 19 bytes hold one FF, which is not written.
      {{"--summary", "auto", kBlink}, kFastChip, "written=18 ", "RUN MODE."},
      {{"--summary", "blank"}, kFastChip, "command=blank device=AT89S8253 file=- sha256=- "
       "written=0 ", "Not blank chip!!!"},
      {{"--summary", "blank"}, kFastChip, " result=failed reason=not-blank vouched=no",
       "Not blank chip!!!"},
      // vouched= tells a checked Done from one that nothing on the wire could check.
      {{"--summary", "--device", "AT89S52", "blank"}, "target=AT89S52,echo=yes,clock=virtual",
       " result=ok reason=ok vouched=yes", "Blank chip [OK]"},
      {{"--summary", "--require-vouched", "--device", "AT89S52", "blank"},
       "target=AT89S52,echo=yes,clock=virtual", " result=ok reason=ok vouched=yes", "Blank chip [OK]"},
      {{"--summary", "blank"}, "target=AT89S8253,miso=1,clock=virtual",
       " result=ok reason=ok vouched=no", "Blank chip [OK]"},
      {{"--summary", "--require-vouched", "blank"}, "target=AT89S8253,miso=1,clock=virtual",
       " result=failed reason=unvouched vouched=no", "Blank chip [OK]"},
      {{"--summary", "--device", "AT89S52", "auto", kBlink}, "target=AT89S52,dead=0005,clock=virtual",
       " result=failed reason=not-programmed", "Auto-program failed: byte not programmed"},
      {{"--summary", "--device", "AT89S52", "erase"}, "target=AT89S52,sense=0,clock=virtual",
       " result=failed reason=no-power", "Erase failed: no power"},
      {{"--summary", "--device", "AT89S52", "erase"}, "target=none,clock=virtual",
       " result=failed reason=no-answer", "Erase failed: no answer"},
      {{"--summary", "--device", "AT89S8252", "erase"}, "target=AT89S52,clock=virtual",
       " result=failed reason=wrong-device", "Erase failed: wrong device"},
      {{"--summary", "verify", "empty.hex"}, kFastChip, " result=usage reason=no-data",
       "Load file complete."},
      {{"--summary", "blank"}, "clock=virtual", " result=usage reason=no-port vouched=no", ""},
      {{"-q", "--summary", "auto", kBlink}, "target=AT89S8253,state=q.state,clock=virtual",
       " result=ok reason=ok vouched=yes", ""},
  };
  for (const auto& c : cases) {
    const CliResult result = Cli(c.args, c.sim);
    const std::vector<std::string> lines = Lines(result.out);
    ASSERT_FALSE(lines.empty()) << c.summary << "\n" << result.err;
    EXPECT_TRUE(lines.back().starts_with("command=")) << lines.back();
    EXPECT_TRUE(Contains(lines.back(), c.summary)) << lines.back();
    EXPECT_EQ(lines.size() >= 3 ? lines[lines.size() - 3] : "", c.lastStatus) << c.summary;
  }
  // The first auto wrote blink; its digest is the image's over the AT89S8253's 12 KiB.
  FileCharStream in(kBlink);
  auto blink = std::make_unique<CodeImage>();
  ReadHexRecords(in, *blink);
  std::vector<std::uint8_t> image(12 * 1024);
  for (std::size_t a = 0; a < image.size(); ++a) {
    image[a] = static_cast<std::uint8_t>(HexPairValue(blink->HighDigits[a], blink->LowDigits[a]));
  }
  EXPECT_TRUE(Contains(Cli({"--summary", "verify", kBlink}).out, "sha256=" + Sha256Hex(image)));
}

// On a machine without a parallel port, a chip command without a choice of port is
// refused: the simulator's answers are never a chip's by surprise.
TEST_F(CliTest, WithoutAPortOrAChoiceNothingRuns) {
  std::error_code error;
  if (!fs::is_empty("/proc/sys/dev/parport", error) && !error) {
    GTEST_SKIP() << "this machine has a parallel port";
  }
  const CliResult result = Cli({"--device", "AT89S52", "--lock", "3", "auto", kBlink}, kFastChip,
                               {"VQLISP_PORT="});
  EXPECT_EQ(result.status, 2) << result.out << result.err;
  EXPECT_TRUE(Contains(result.err, "no parallel port found")) << result.err;
  EXPECT_TRUE(Contains(result.err, "VQLISP_PORT=sim")) << result.err;
  EXPECT_EQ(result.out, "");
}

// In a script: Ctrl-C (SIGINT to the whole group, as a terminal sends it) ends a loop
// of runs; output that cannot be written ends a run with status 2; "-" is standard
// input or output, and standard output sent to a log is appended to, never replaced.
TEST_F(CliTest, AScriptSeesStopsOutputFailuresAndStandardStreams) {
  std::ofstream(dir.Path() / "kilo.hex") << KiloHex();
  constexpr const char* kCannotWrite = "vql-isp-cli: cannot write to standard output: ";
  const struct {
    const char* script;
    bool interrupt;     // SIGINT to the group once the first program runs
    const char* ends;   // how the output ends
    int status;
    const char* inErr;
  } cases[] = {
      {R"(for i in 1 2 3; do "$CLI" program kilo.hex; echo "next $i"; done)", true,
       "Programming...\nRUN MODE.\n", -SIGINT, ""},
      {R"("$CLI" devices > /dev/full; echo "status $?")", false, "status 2\n", 0, kCannotWrite},
      {R"("$CLI" read > /dev/full; echo "status $?")", false, "status 2\n", 0, kCannotWrite},
      {R"("$CLI" read | head -c 1; s=${PIPESTATUS[0]}; echo; echo "status $s")", false,
       "status 2\n", 0, kCannotWrite},
      {R"("$CLI" auto - < "$BLINK" > /dev/null && "$CLI" verify - < "$BLINK" | tail -2)", false,
       "Verify complete.\nRUN MODE.\n", 0, ""},
      {R"(echo kept > log; "$CLI" read -o /dev/stdout >> log && head -1 log && tail -1 log)",
       false, "kept\n:00000001FF\n", 0, "Read Chip finished"},
      {R"("$CLI" read -o - | tail -1; "$CLI" read -oback.hex > /dev/null && tail -1 back.hex)",
       false, ":00000001FF\n:00000001FF\n", 0, ""},
  };
  for (const auto& c : cases) {
    bool sent = false;
    // Real time only where the interrupt must land in the middle of a run.
    const CliResult result = Cli(
        {"--shell", c.script}, c.interrupt ? kChip : kFastChip, {"BLINK=" + kBlink},
        [&](pid_t pid, const std::string& out) {
          if (!c.interrupt || sent || !Contains(out, "Programming...\n")) return;
          ::kill(-pid, SIGINT);
          sent = true;
        });
    EXPECT_EQ(result.status, c.status) << c.script << "\n" << result.out << result.err;
    EXPECT_TRUE(result.out.ends_with(c.ends)) << c.script << "\n" << result.out << result.err;
    EXPECT_TRUE(Contains(result.err, c.inErr)) << c.script << "\n" << result.err;
  }
}

// Also a read that --require-vouched fails: the AT89S8253 cannot show that its code
// is not hidden.
TEST_F(CliTest, AReadThatFailsLeavesNoOutputFile) {
  for (const auto& [options, sim] :
       {std::pair{std::vector<std::string>{}, "target=AT89S52,sense=0,clock=virtual"},
        std::pair{std::vector<std::string>{"--require-vouched"}, "target=AT89S8253,clock=virtual"}}) {
    std::vector<std::string> args = options;
    args.insert(args.end(), {"read", "-o", "out.hex"});
    const CliResult result = Cli(args, sim);
    EXPECT_EQ(result.status, 1) << sim << result.err;
    // Nor a temporary file of it.
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
      EXPECT_EQ(entry.path().filename().string().find("out.hex"), std::string::npos) << entry.path();
    }
  }
}

TEST_F(CliTest, AStopSignalEndsAWaitForAFifosWriter) {
  // A HEX file and a configuration that are FIFOs nobody writes: the open waits until
  // the signal ends it.
  ASSERT_EQ(::mkfifo((dir.Path() / "in.fifo").c_str(), 0600), 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"program", "in.fifo"},
        std::vector<std::string>{"--config", "in.fifo", "blank"}}) {
    const auto start = std::chrono::steady_clock::now();
    bool sent = false;
    const CliResult result = Cli(args, kChip, {}, [&](pid_t pid, const std::string&) {
      if (sent || std::chrono::steady_clock::now() - start < std::chrono::milliseconds(400)) return;
      ::kill(pid, SIGINT);
      sent = true;
    });
    EXPECT_TRUE(sent) << args[0];
    EXPECT_EQ(result.status, -SIGINT) << args[0] << result.err;
  }
}

TEST_F(CliTest, AStopSignalEndsAWaitForAFifosReaderAndReleasesTheTarget) {
  // read -o into a FIFO that nobody reads: the open waits until the signal ends it.
  ASSERT_EQ(::mkfifo((dir.Path() / "out.fifo").c_str(), 0600), 0);
  bool sent = false;
  // On the virtual clock the read takes no time: half a second after it started, the
  // program waits in the open.
  const CliResult result = Cli({"read", "-o", "out.fifo"}, kFastChip, {"VQLISP_TRACE=port.trace"},
                               [&](pid_t pid, const std::string& out) {
                                 if (sent || !Contains(out, "Read Chip...\n")) return;
                                 ::usleep(500'000);
                                 ::kill(pid, SIGTERM);
                                 sent = true;
                               });
  ASSERT_TRUE(sent) << result.out << result.err;
  EXPECT_EQ(result.status, -SIGTERM) << result.err;
  EXPECT_TRUE(Contains(result.err, "Stopped: the target has been released to run mode.\n"))
      << result.err;
  const auto last = LastDataWrite("port.trace", kLpt1);
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(*last & kRst, 0) << "RST released";
}

// The signature names the chip, and the model of another signature.
TEST_F(CliTest, SignatureNamesTheModel) {
  for (const auto& [device, sim, status, out] :
       {std::tuple{"AT89S52", "target=AT89S52", 0, "Chip AT89S52 (1E 52 06)"},
        std::tuple{"AT89S8253", "target=AT89S8253", 0, "Chip AT89S8253 (1E 73)"},
        std::tuple{"AT89S52", "target=AT89S51", 1, "the AT89S51's 1E 51 06"}}) {
    const CliResult result = Cli({"--device", device, "signature"}, std::string(sim) + ",clock=virtual");
    EXPECT_EQ(result.status, status) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out + result.err, out)) << result.out << result.err;
  }
}

// --help fits a terminal and names every command; --manual is the man page's text.
// Text with every run of blanks and line ends as one blank.
std::string Flattened(const std::string& text) {
  std::string flat;
  for (const char c : text) {
    const bool blank = c == ' ' || c == '\n';
    if (!blank || (!flat.empty() && flat.back() != ' ')) flat += blank ? ' ' : c;
  }
  return flat;
}

TEST_F(CliTest, HelpIsShortAndTheManualWhole) {
  const CliResult help = RunCli({"--help"}, {}, dir.Path());
  EXPECT_EQ(help.status, 0);
  for (const std::string& line : Lines(help.out)) EXPECT_LT(line.size(), 80u) << line;
  for (const OperatorCommand& row : kOperatorCommands) {
    if (!row.cliWord.empty()) {
      EXPECT_TRUE(Contains(help.out, std::string(row.cliWord))) << row.cliWord;
    }
  }
  EXPECT_TRUE(Contains(help.out, "--manual"));
  const CliResult manual = RunCli({"--manual"}, {}, dir.Path());
  EXPECT_EQ(manual.status, 0);
  for (const char* part : {"NAME\n", "SYNOPSIS\n", "DESCRIPTION\n", "COMMANDS\n", "OPTIONS\n",
                           "EXIT STATUS\n", "FILES\n", "ENVIRONMENT\n", "EXAMPLES\n",
                           "LF line ends"}) {
    EXPECT_TRUE(Contains(manual.out, part)) << part;
  }
  // Every reason a summary or a job's log can give is in the manual's list.
  const std::string words = Flattened(manual.out);
  for (int o = 0; o <= static_cast<int>(Outcome::Busy); ++o) {
    const std::string token(ReasonToken(static_cast<Outcome>(o)));
    EXPECT_TRUE(Contains(words, " " + token + ",") || Contains(words, " " + token + " ")) << token;
  }
  const CliResult version = RunCli({"--version"}, {}, dir.Path());
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(version.out.starts_with("vql-isp-cli (VQL-ISP for Linux) 2.3\n")) << version.out;
}

// Without --config the first CONFIG.VQL of the lookup is read, and config names it
// and the places in their order; with --config that one file alone.
TEST_F(CliTest, ConfigNamesTheFileInUseAndWhereItWasLookedFor) {
  const fs::path here = fs::canonical(dir.Path());
  fs::remove(here / "CONFIG.VQL");
  const std::string user =
      dir.Write("cfg/vql-isp/CONFIG.VQL", "[2710][0000][0000][0278][0378]\n");
  dir.Write("bench.vql", "[2710][0000][0000][03BC][0278]\n");
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> firstLines;
    std::string lpt1;
  };
  const Case cases[] = {
      {{"config"},
       {"File         " + user, "Lookup       " + (here / "CONFIG.VQL").string(),
        "             " + user, "             /etc/vql-isp/CONFIG.VQL"},
       "LPT1 base    0278 (632)"},
      {{"--config", "bench.vql", "config"},
       {"File         " + (here / "bench.vql").string(), "DelayScale   2710 (10000)"},
       "LPT1 base    03BC (956)"},
  };
  for (const Case& c : cases) {
    const CliResult result = Cli(c.args, kFastChip, {"XDG_CONFIG_HOME=" + (here / "cfg").string()});
    EXPECT_EQ(result.status, 0) << result.err;
    const auto lines = Lines(result.out);
    ASSERT_GE(lines.size(), c.firstLines.size()) << result.out;
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(
                                                                          c.firstLines.size())),
              c.firstLines);
    EXPECT_NE(std::find(lines.begin(), lines.end(), c.lpt1), lines.end()) << result.out;
  }
}

TEST_F(CliTest, DevicesListsTheTableWithoutTouchingAnyPort) {
  const CliResult result = RunCli({"devices"}, {"VQLISP_PORT=nonsense"}, dir.Path());
  EXPECT_EQ(result.status, 0) << result.err;
  const auto lines = Lines(result.out);
  ASSERT_EQ(lines.size(), kDevices.size() + 1);  // a heading, then one row a device
  EXPECT_TRUE(lines[5].starts_with("AT89S8253")) << lines[5];
  for (const char* part : {"12288", "2FFF", "four-byte", "yes"}) {
    EXPECT_TRUE(Contains(lines[5], part)) << lines[5];
  }
  EXPECT_TRUE(Contains(lines[3], "three-byte")) << lines[3];
}

}  // namespace
}  // namespace vql

// A job's chip against the simulated programmer: what its log line says of the serial
// number, set beside the bytes the board was left holding.
#include "job/job_runner.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "image/char_stream.h"
#include "image/hex_reader.h"
#include "image/sha256.h"
#include "support/programmer_world.h"
#include "support/temp_dir.h"

namespace vql {
namespace {

using testing::ProgrammerWorld;

// One data record of bytes at address, as a HEX line.
std::string Record(std::int32_t address, const std::vector<std::uint8_t>& bytes) {
  unsigned sum = static_cast<unsigned>(bytes.size()) + static_cast<unsigned>(address >> 8) +
                 static_cast<unsigned>(address & 0xFF);
  char text[16];
  std::snprintf(text, sizeof text, ":%02X%04X00", static_cast<unsigned>(bytes.size()),
                static_cast<unsigned>(address));
  std::string line = text;
  for (const std::uint8_t byte : bytes) {
    std::snprintf(text, sizeof text, "%02X", byte);
    line += text;
    sum += byte;
  }
  std::snprintf(text, sizeof text, "%02X\n", (0x100 - sum % 0x100) % 0x100);
  return line + text;
}

std::string ValueOf(const std::string& line, const std::string& key) {
  const auto at = line.find(" " + key + "=");
  if (at == std::string::npos) return {};
  const auto start = at + key.size() + 2;
  return line.substr(start, line.find(' ', start) - start);
}

// A job of a small file with a four-byte serial field (big-endian, from 0x01020304)
// between its records, run on one AT89S2051.
struct JobBench {
  JobBench() : world("AT89S2051", ProgrammerWorld::ChipOptions("AT89S2051"), false) {
    const std::string hex = Record(0x0000, {0x02, 0x00, 0x30}) + Record(0x0044, {0xA5, 0x5A}) +
                            ":00000001FF\n";
    std::ofstream(dir.Path() / "fw.hex") << hex;
    CodeImage image;
    MemoryCharStream in(hex);
    ReadHexRecords(in, image);
    job.path = (dir.Path() / "fw.vqljob").string();
    job.device = "AT89S2051";
    job.file = "fw.hex";
    job.sha256 = ImageSha256(image, 0x07FF).value_or("");
    job.serial = SerialField{.address = 0x0040, .length = 4, .first = 0x01020304, .step = 1};
    job.log = "fw.log";
  }

  std::string LogLine() {
    std::ifstream in(dir.Path() / "fw.log");
    std::string line;
    std::getline(in, line);
    return line;
  }

  testing::TempDir dir;
  ProgrammerWorld world;
  Job job;
};

// A stop that comes around the serial write is the chip's reason, and serial= says
// what the board holds: the number whole once its four bytes are in, a part of it
// while they go in. The byte after the field is the file's either way.
TEST(JobRunner, AStopAroundTheSerialWriteIsLoggedAsTheBoardHoldsIt) {
  struct Case {
    const char* when;
    std::int32_t stopOnceWritten;  // the stop comes once this byte of the field is in
    const char* serial;
  };
  for (const Case& c : {Case{"during the field's write", 0x0040, "partial:16909060"},
                        Case{"after the field's write", 0x0043, "16909060"}}) {
    SCOPED_TRACE(c.when);
    JobBench bench;
    JobRunner runner(*bench.world.app, bench.job);
    ASSERT_NO_THROW(runner.Open());
    const std::uint8_t want = static_cast<std::uint8_t>(c.stopOnceWritten - 0x0040 + 1);
    bench.world.window.onPump = [&] {
      if (!runner.StopRequested() && bench.world.Chip().Code(c.stopOnceWritten) == want) {
        runner.RequestStop();
      }
    };
    const std::optional<ChipReport> report = runner.RunChip();
    ASSERT_TRUE(report.has_value());
    EXPECT_FALSE(report->Passed());
    const std::string line = bench.LogLine();
    EXPECT_EQ(ValueOf(line, "reason"), "stopped") << line;
    EXPECT_EQ(ValueOf(line, "serial"), c.serial) << line;
    // What the board holds: the number's bytes as far as they went, then the file.
    const SimChip& chip = bench.world.Chip();
    const bool whole = std::string(c.serial).find("partial") == std::string::npos;
    EXPECT_EQ(chip.Code(0x0040), 0x01);
    EXPECT_EQ(chip.Code(0x0043) == 0x04, whole);
    EXPECT_EQ(chip.Code(0x0044), 0xA5);
    EXPECT_EQ(chip.Code(0x0045), 0x5A);
  }
}

}  // namespace
}  // namespace vql

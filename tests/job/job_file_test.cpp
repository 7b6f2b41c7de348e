// Production job files: what they accept and refuse, what a written one holds, and
// the serial numbers' bytes.
#include "job/job_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/temp_dir.h"

namespace vql {
namespace {

const std::string kSha(64, 'a');
const std::string kRequired = "device=AT89S52\nfile=a.hex\nsha256=" + kSha + "\n";

std::string ReadAll(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// The JobError's text, or "accepted" when call throws none.
template <typename Call>
std::string ErrorOf(Call call) {
  try {
    call();
  } catch (const JobError& error) {
    return error.what();
  }
  return "accepted";
}

TEST(SerialBytes, EncodesOrRefuses) {
  using enum SerialFormat;
  using Bytes = std::vector<std::uint8_t>;
  const struct {
    SerialFormat format;
    std::int32_t length;
    std::uint64_t number;
    std::optional<Bytes> bytes;
  } cases[] = {
      {BigEndian, 4, 0x01020304, Bytes{1, 2, 3, 4}},
      {LittleEndian, 4, 0x01020304, Bytes{4, 3, 2, 1}},
      {BigEndian, 2, 0xFFFF, Bytes{0xFF, 0xFF}},
      {LittleEndian, 2, 0x10000, std::nullopt},
      {BigEndian, 1, 256, std::nullopt},
      {BigEndian, 8, 0x0102030405060708, Bytes{1, 2, 3, 4, 5, 6, 7, 8}},
      {LittleEndian, 8, ~std::uint64_t{0}, Bytes(8, 0xFF)},
      {Bcd, 3, 1005, Bytes{0x00, 0x10, 0x05}},
      {Bcd, 2, 9999, Bytes{0x99, 0x99}},
      {Bcd, 2, 10000, std::nullopt},
      {Bcd, 8, 9999999999999999, Bytes(8, 0x99)},
      {Bcd, 8, 10000000000000000, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.number) + " in " + std::to_string(c.length));
    EXPECT_EQ(SerialBytes(SerialField{0x7F0, c.length, c.format, 0, 1}, c.number), c.bytes);
  }
}

TEST(ParseJob, NamesTheLineAndTheReason) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {kRequired + "foo=1",
       "\"/j/x.vqljob\" line 4: unknown key \"foo\" (the keys are device, file, sha256, lock, "
       "x2, fast, serial, serial-over-code, log)"},
      {"# job\n\ndevice AT89S52\n", "line 3: no \"=\""},
      {kRequired + "lock=4", "line 4: \"lock=4\" is not allowed: the lock level is 0, 1, 2 or 3"},
      {kRequired + "x2=yes", "line 4: \"x2=yes\" is not allowed: give on or off"},
      {kRequired + "fast=on", "line 4: \"fast=on\" is not allowed: give yes or no"},
      {kRequired + "lock=1\n lock = 2", "line 5: \"lock=\" given twice (first on line 4)"},
      {"device=\n", "line 1: \"device=\" is not allowed"},
      {"device=A\nfile=a.hex\nsha256=" + kSha.substr(1), "line 3:"},
      {kRequired + "serial=7F0:2:be:1", "line 4: \"serial=7F0:2:be:1\" is not allowed: a serial"},
      {kRequired + "serial=10000:2:be:1:1", "the address \"10000\""},
      {kRequired + "serial=7F0:9:be:1:1", "the length \"9\""},
      {kRequired + "serial=7F0:2:xe:1:1", "the format \"xe\""},
      {kRequired + "serial=7F0:2:le:-1:1", "the first number \"-1\""},
      {kRequired + "serial=7F0:2:be:1:0", "the step \"0\""},
      {kRequired + "serial=FFFE:4:be:1:1", "its 4 bytes from FFFE run past FFFF"},
      {kRequired + "serial=0:1:bcd:100:1", "the first number 100 does not fit in 1 byte (bcd)"},
      {"device=A\nfile=a.hex\n", "\"/j/x.vqljob\": no \"sha256=\" line"},
      {"file=a.hex\nsha256=" + kSha, "\"/j/x.vqljob\": no \"device=\" line"},
  };
  for (const auto& c : cases) {
    const std::string message = ErrorOf([&] { ParseJob(c.text, "/j/x.vqljob"); });
    EXPECT_NE(message.find(c.message), std::string::npos) << c.text << "\n" << message;
  }
}

TEST(ParseJob, ReadsBlanksCommentsAndPaths) {
  const Job job =
      ParseJob("  # a comment\r\n\r\n device = AT89S8253 \r\nfile= ../hex/app.hex\nsha256=" +
                   std::string(64, 'C') + "\nserial = 7f0:4:bcd:1000:2\nlog=/var/log/run.log\n",
               "/jobs/line 1/board.vqljob");
  EXPECT_EQ(job.device, "AT89S8253");
  EXPECT_EQ(job.sha256, std::string(64, 'c'));
  EXPECT_EQ(job.serial, (SerialField{0x7F0, 4, SerialFormat::Bcd, 1000, 2}));
  EXPECT_TRUE(job.lock == 0 && !job.x2 && !job.fast);
  EXPECT_EQ(job.Folder(), "/jobs/line 1");
  EXPECT_EQ(job.FilePath(), "/jobs/hex/app.hex");
  EXPECT_EQ(job.LogPath(), "/var/log/run.log");
  EXPECT_EQ(job.Name(), "board");
}

TEST(JobFile, WrittenAndReadBack) {
  testing::TempDir dir;
  const std::string path = (dir.Path() / "board.vqljob").string();
  Job job{.path = {},
          .device = "AT89S52",
          .file = "app.hex",
          .sha256 = kSha,
          .lock = 3,
          .x2 = true,
          .serial = SerialField{0x1FFC, 4, SerialFormat::LittleEndian, 5, 1},
          .log = "runs.log"};
  WriteJobFile(job, path);
  EXPECT_EQ(ReadAll(path),
            "# VQL-ISP production job\ndevice=AT89S52\nfile=app.hex\nsha256=" + kSha +
                "\nlock=3\nx2=on\nfast=no\nserial=1FFC:4:le:5:1\nlog=runs.log\n");
  const testing::ScopedCurrentDir here(dir.Path());
  const Job back = ReadJobFile("board.vqljob");
  EXPECT_EQ(back.path, path);
  EXPECT_EQ(JobText(back), JobText(job));
  EXPECT_EQ(back.LogPath(), (dir.Path() / "runs.log").string());

  job.device = "AT89S52\nlock=0";  // would read back as another job
  EXPECT_NE(ErrorOf([&] { WriteJobFile(job, path); }).find("Cannot write \"" + path + "\""),
            std::string::npos);
  EXPECT_EQ(ReadAll(path).find("lock=0"), std::string::npos);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST(JobFile, ReadRefusesMissingAndHugeFiles) {
  testing::TempDir dir;
  const std::string missing = (dir.Path() / "none.vqljob").string();
  EXPECT_EQ(ErrorOf([&] { ReadJobFile(missing); }),
            "Cannot open \"" + missing + "\": No such file or directory");
  const std::string huge = dir.Write("huge.vqljob", kRequired + std::string(64 * 1024, '#'));
  EXPECT_EQ(ErrorOf([&] { ReadJobFile(huge); }),
            "\"" + huge + "\" is over 64 KiB: too big for a job file");
}

}  // namespace
}  // namespace vql

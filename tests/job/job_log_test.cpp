// The job's log on a disk that fills up: a chip's line goes in whole or not at all,
// and one the log cannot take waits whole beside the job.
#include "job/job_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "job/job_file.h"
#include "support/temp_dir.h"

namespace vql {
namespace {

std::string ReadAll(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// A disk that takes the first `room` bytes of a write, then fails with `error`.
LogWrite FullDisk(std::size_t room, int error) {
  return [room, error](int fd, const void* data, std::size_t size) -> ssize_t {
    if (room == 0) {
      errno = error;
      return -1;
    }
    return ::write(fd, data, std::min(room, size));
  };
}

TEST(JobLog, ALineTheDiskCannotTakeWholeWaitsWholeBesideTheJob) {
  const std::string line = "time=2026-12-08T10:00:04Z serial=1000 result=ok";
  const struct {
    const char* name;
    LogWrite write;
    std::string reason;
  } cases[] = {
      {"a part of the line, then a full disk", FullDisk(16, ENOSPC), "No space left on device"},
      {"all but its line end", FullDisk(line.size(), ENOSPC), "No space left on device"},
      {"nothing: the disk is full", FullDisk(0, ENOSPC), "No space left on device"},
      {"an I/O error", FullDisk(0, EIO), "Input/output error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const std::string log = dir.Write("line.log", "time=2026-12-08T10:00:00Z serial=999\n");
    const std::string pending = (dir.Path() / "x.vqljob.log.pending").string();
    try {
      LogChipLine(log, pending, line, c.write);
      ADD_FAILURE() << "the line was taken";
    } catch (const JobError& error) {
      EXPECT_EQ(std::string(error.what()),
                "Cannot write to the log \"" + log + "\": " + c.reason +
                    "; the chip's line waits in \"" + pending +
                    "\" and goes into the log first at the next run");
    }
    EXPECT_EQ(ReadAll(log), "time=2026-12-08T10:00:00Z serial=999\n");
    EXPECT_EQ(ReadAll(pending), line + "\n");
    // The next run puts it into the log, first, and the pending file goes.
    PrepareLog(log, pending);
    AppendLogLine(log, "serial=1001");
    EXPECT_EQ(ReadAll(log), "time=2026-12-08T10:00:00Z serial=999\n" + line + "\nserial=1001\n");
    EXPECT_NE(::access(pending.c_str(), F_OK), 0);
  }
}

TEST(JobLog, ALineThatCannotWaitEitherGoesToStandardError) {
  testing::TempDir dir;
  const std::string log = dir.Write("line.log", "");
  const std::string pending = (dir.Path() / "gone/x.vqljob.log.pending").string();
  ::testing::internal::CaptureStderr();
  try {
    LogChipLine(log, pending, "serial=7 result=ok", FullDisk(3, ENOSPC));
    ADD_FAILURE() << "the line was taken";
  } catch (const JobError& error) {
    EXPECT_TRUE(std::string(error.what()).ends_with("): the line is on standard error"))
        << error.what();
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "serial=7 result=ok\n");
  EXPECT_EQ(ReadAll(log), "");
}

}  // namespace
}  // namespace vql

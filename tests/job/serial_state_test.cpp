// The serial numbers a job hands out: never twice, not even to processes taking
// them at once, given back ones first, and kept across runs in the state file.
#include "job/serial_state.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "support/temp_dir.h"

namespace vql {
namespace {

constexpr std::string_view kHeader =
    "# VQL-ISP serial numbers of x.vqljob: next is the next number never handed out; free "
    "lists numbers given back\n";

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

TEST(SerialState, ProcessesTakingAtOnceNeverShareANumber) {
  testing::TempDir dir;
  const std::string job = (dir.Path() / "x.vqljob").string();
  const SerialField field{0, 4, SerialFormat::BigEndian, 1000, 3};
  constexpr int kProcesses = 3;
  constexpr int kTakes = 50;
  std::vector<pid_t> children;
  for (int k = 0; k < kProcesses; ++k) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int status = 0;
      try {
        SerialState state(job, field);
        std::ofstream out(dir.Path() / ("taken" + std::to_string(k)));
        for (int n = 0; n < kTakes; ++n) out << state.Take() << "\n";
      } catch (...) {
        status = 1;
      }
      ::_exit(status);
    }
    children.push_back(child);
  }
  std::vector<std::uint64_t> taken;
  for (int k = 0; k < kProcesses; ++k) {
    int status = -1;
    const pid_t child = children[static_cast<std::size_t>(k)];
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream in(dir.Path() / ("taken" + std::to_string(k)));
    for (std::uint64_t number = 0; in >> number;) taken.push_back(number);
  }
  std::sort(taken.begin(), taken.end());
  std::vector<std::uint64_t> expected;
  for (std::uint64_t k = 0; k < kProcesses * kTakes; ++k) expected.push_back(1000 + 3 * k);
  EXPECT_EQ(taken, expected);
  EXPECT_EQ(ReadAll(job + ".serial"), std::string(kHeader) + "next=1450\n");
}

TEST(SerialState, GivenBackNumbersComeFirstAndOutliveTheProcess) {
  testing::TempDir dir;
  const std::string job = (dir.Path() / "x.vqljob").string();
  const SerialField field{0x7F0, 2, SerialFormat::Bcd, 1000, 1};
  {
    SerialState state(job, field);
    for (std::uint64_t n = 1000; n < 1005; ++n) EXPECT_EQ(state.Take(), n);
    for (const std::uint64_t n : {1003, 1001, 1003, 1005, 2000}) state.GiveBack(n);
  }
  EXPECT_EQ(ReadAll(job + ".serial"), std::string(kHeader) + "next=1005\nfree=1001,1003\n");
  SerialState restarted(job, field);
  EXPECT_EQ(restarted.Take(), 1001u);
  EXPECT_EQ(restarted.Take(), 1003u);
  EXPECT_EQ(restarted.Take(), 1005u);
  EXPECT_EQ(ReadAll(job + ".serial"), std::string(kHeader) + "next=1006\n");
}

TEST(SerialState, UsedUpWhenTheNumberNoLongerFits) {
  testing::TempDir dir;
  const std::string job = (dir.Path() / "x.vqljob").string();
  for (const auto format : {SerialFormat::BigEndian, SerialFormat::Bcd}) {
    const std::uint64_t last = format == SerialFormat::Bcd ? 99 : 255;
    SerialState state(job + std::to_string(last), SerialField{0, 1, format, last - 1, 1});
    EXPECT_EQ(state.Take(), last - 1);
    EXPECT_EQ(state.Take(), last);
    const std::string usedUp = "the serial numbers of \"" + job + std::to_string(last) +
                               "\" are used up: " + std::to_string(last + 1) +
                               " does not fit in 1 byte (" + (last == 99 ? "bcd)" : "be)");
    EXPECT_EQ(ErrorOf([&] { state.Take(); }), usedUp);
    EXPECT_EQ(ErrorOf([&] { state.Take(); }), usedUp);  // the failed take was not recorded
    EXPECT_TRUE(ReadAll(state.Path()).ends_with("\nnext=" + std::to_string(last + 1) + "\n"));
  }
}

TEST(SerialState, DamagedStateIsReportedAndKept) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"next=12x\n", "x.vqljob.serial\" line 1: \"12x\" is not a number"},
      {"# fine\nnext=5\nnext=6\n", "line 3: \"next=\" given twice"},
      {"next=5\nlast=4\n", "line 2: unknown line \"last=4\""},
      {"next=5\nfree=1,,2\n", "line 2: \"1,,2\" is not a list"},
      {"free=1\n", "no \"next=\" line"},
      {"", "no \"next=\" line"},
      {"next=5\nfree=2,5\n", "the free number 5 was never handed out"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    testing::TempDir dir;
    const std::string state = dir.Write("x.vqljob.serial", c.text);
    SerialState serials((dir.Path() / "x.vqljob").string(),
                        SerialField{0, 4, SerialFormat::BigEndian, 1, 1});
    EXPECT_NE(ErrorOf([&] { serials.Take(); }).find(c.message), std::string::npos);
    EXPECT_NE(ErrorOf([&] { serials.GiveBack(1); }).find(c.message), std::string::npos);
    EXPECT_EQ(ReadAll(state), c.text);
  }
}

}  // namespace
}  // namespace vql

// The serial numbers a job hands out: never twice, not even to processes taking
// them at once, given back ones first, and kept across runs in the state file.
#include "job/serial_state.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "job/job_support.h"
#include "support/temp_dir.h"

namespace vql {
namespace {

namespace fs = std::filesystem;

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

// The numbers that processes take at once, takes each, in order: each process with
// one SerialState for all its takes, or (freshEachTake) a new one for every take.
std::vector<std::uint64_t> TakenAtOnce(const testing::TempDir& dir, const std::string& job,
                                       const SerialField& field, int processes, int takes,
                                       bool freshEachTake) {
  std::vector<pid_t> children;
  for (int k = 0; k < processes; ++k) {
    const pid_t child = ::fork();
    if (child < 0) {
      ADD_FAILURE() << "fork failed";
      break;
    }
    if (child == 0) {
      int status = 0;
      try {
        SerialState state(job, field);
        std::ofstream out(dir.Path() / ("taken" + std::to_string(k)));
        for (int n = 0; n < takes; ++n) {
          out << (freshEachTake ? SerialState(job, field).Take() : state.Take()) << "\n";
        }
      } catch (...) {
        status = 1;
      }
      ::_exit(status);
    }
    children.push_back(child);
  }
  std::vector<std::uint64_t> taken;
  for (std::size_t k = 0; k < children.size(); ++k) {
    int status = -1;
    EXPECT_EQ(::waitpid(children[k], &status, 0), children[k]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream in(dir.Path() / ("taken" + std::to_string(k)));
    for (std::uint64_t number = 0; in >> number;) taken.push_back(number);
  }
  std::sort(taken.begin(), taken.end());
  return taken;
}

TEST(SerialState, ProcessesTakingAtOnceNeverShareANumber) {
  testing::TempDir dir;
  const std::string job = (dir.Path() / "x.vqljob").string();
  const SerialField field{0, 4, SerialFormat::BigEndian, 1000, 3};
  constexpr int kProcesses = 3;
  constexpr int kTakes = 50;
  const std::vector<std::uint64_t> taken =
      TakenAtOnce(dir, job, field, kProcesses, kTakes, false);
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
  const std::string kept = std::string(kHeader) + "next=1005\nfree=1001,1003\n";
  EXPECT_EQ(ReadAll(job + ".serial"), kept);
  // What the next chip gets, told without a change.
  EXPECT_EQ(SerialState(job, field).Peek(), 1001u);
  EXPECT_EQ(ReadAll(job + ".serial"), kept);
  SerialState restarted(job, field);
  EXPECT_EQ(restarted.Take(), 1001u);
  EXPECT_EQ(restarted.Take(), 1003u);
  EXPECT_EQ(restarted.Take(), 1005u);
  EXPECT_EQ(ReadAll(job + ".serial"), std::string(kHeader) + "next=1006\n");
  EXPECT_EQ(restarted.Peek(), 1006u);
  restarted.Restart();
  EXPECT_FALSE(fs::exists(job + ".serial"));
  EXPECT_EQ(restarted.Peek(), std::nullopt);
  EXPECT_EQ(restarted.Take(), 1000u);
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

// However the job is named - through a symbolic link, a path with "..", a path
// relative to the current folder, or a hard link - its numbers come from one state
// beside its real name, or beside the name of a hard link that has it already.
TEST(SerialState, EveryNameOfAJobTakesFromItsOneSequence) {
  const SerialField field{0, 2, SerialFormat::BigEndian, 10, 1};
  const std::vector<std::string> names = {"x.vqljob",      "link.vqljob",   "sub/../x.vqljob",
                                          "./x.vqljob",    "sub/up.vqljob", "a.vqljob"};
  const struct {
    bool hardLink;     // a.vqljob is a hard link of x.vqljob, else a symbolic one
    bool begunBefore;  // x.vqljob handed out 10 before a.vqljob was made
    std::string state;
  } cases[] = {
      {false, false, "x.vqljob"},
      {true, false, "a.vqljob"},  // the first name in byte order
      {true, true, "x.vqljob"},   // the name that has the state
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state + (c.hardLink ? " hard link" : "") + (c.begunBefore ? " begun" : ""));
    testing::TempDir dir;
    dir.Write("x.vqljob", "device=AT89S2051\n");
    fs::create_directory(dir.Path() / "sub");
    fs::create_symlink("x.vqljob", dir.Path() / "link.vqljob");
    fs::create_symlink("../link.vqljob", dir.Path() / "sub/up.vqljob");
    if (c.begunBefore) {
      EXPECT_EQ(SerialState((dir.Path() / "x.vqljob").string(), field).Take(), 10u);
    }
    if (c.hardLink) {
      fs::create_hard_link(dir.Path() / "x.vqljob", dir.Path() / "a.vqljob");
    } else {
      fs::create_symlink(dir.Path() / "sub/up.vqljob", dir.Path() / "a.vqljob");
    }
    const testing::ScopedCurrentDir here(dir.Path());
    std::vector<std::uint64_t> taken;
    for (int round = 0; round < 2; ++round) {
      for (const auto& name : names) taken.push_back(SerialState(name, field).Take());
    }
    const std::uint64_t first = c.begunBefore ? 11 : 10;
    for (std::size_t k = 0; k < taken.size(); ++k) EXPECT_EQ(taken[k], first + k);
    std::set<std::string> states;
    for (const auto& entry : fs::directory_iterator(dir.Path())) {
      if (entry.path().extension() == ".serial") states.insert(entry.path().filename().string());
    }
    EXPECT_EQ(states, std::set<std::string>{c.state + ".serial"});
    EXPECT_EQ(SerialState("sub/up.vqljob", field).Path(),
              (fs::canonical(dir.Path()) / (c.state + ".serial")).string());
  }
}

TEST(SerialState, AStateThatLeadsNowhereIsRefused) {
  testing::TempDir dir;
  const std::string job = (fs::canonical(dir.Path()) / "x.vqljob").string();
  fs::create_symlink("gone", job + ".serial");
  SerialState state(job, SerialField{0, 2, SerialFormat::BigEndian, 10, 1});
  EXPECT_EQ(ErrorOf([&] { state.Take(); }),
            "Cannot open \"" + job + ".serial\": No such file or directory");
}

// Hard links whose numbers could not be kept in one state are refused, before any
// state is made.
TEST(SerialState, HardLinksThatCannotShareAStateAreRefused) {
  const struct {
    std::string link;        // the hard link of x.vqljob
    std::string otherState;  // a state beside it, if any
    std::string message;     // after the job's name
  } cases[] = {
      {"sub/y.vqljob", "", " has 2 names (hard links), not all in its folder: their serial numbers "
                           "cannot be kept together (link it symbolically instead)"},
      {"a.vqljob", "a.vqljob.serial", " has serial-number states under two of its names (hard links), "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link);
    testing::TempDir dir;
    const std::string job = dir.Write("x.vqljob", "device=AT89S2051\n");
    fs::create_directory(dir.Path() / "sub");
    fs::create_hard_link(job, dir.Path() / c.link);
    if (!c.otherState.empty()) {
      dir.Write("x.vqljob.serial", "next=3\n");
      dir.Write(c.otherState, "next=5\n");
    }
    SerialState state(job, SerialField{0, 2, SerialFormat::BigEndian, 10, 1});
    const std::string real = fs::canonical(job).string();
    EXPECT_TRUE(ErrorOf([&] { state.Take(); }).starts_with("\"" + real + "\"" + c.message))
        << ErrorOf([&] { state.Take(); });
    EXPECT_EQ(fs::exists(job + ".serial"), !c.otherState.empty());
  }
}

// The lock is the state file's own: a lock file beside it deleted and made again, or
// the state replaced by a copy between takes, never lets two processes take at once.
TEST(SerialState, FilesDeletedAndRemadeBesideTheStateLoseNoLock) {
  testing::TempDir dir;
  const std::string job = (dir.Path() / "x.vqljob").string();
  const SerialField field{0, 4, SerialFormat::BigEndian, 1, 1};
  SerialState(job, field).Take();
  // Between takes: the state deleted and written again as it was, and replaced by a copy.
  const std::string text = ReadAll(job + ".serial");
  fs::remove(job + ".serial");
  std::ofstream(job + ".serial") << text;
  EXPECT_EQ(SerialState(job, field).Take(), 2u);
  fs::copy_file(job + ".serial", job + ".copy");
  fs::rename(job + ".copy", job + ".serial");
  EXPECT_EQ(SerialState(job, field).Take(), 3u);

  constexpr int kProcesses = 3;
  constexpr int kTakes = 40;
  const pid_t churn = ::fork();
  ASSERT_GE(churn, 0);
  if (churn == 0) {
    for (;;) {
      ::unlink((job + ".serial.lock").c_str());
      std::ofstream(job + ".serial.lock") << "";
    }
  }
  const struct EndChurn {
    pid_t pid;
    ~EndChurn() {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  } endChurn{churn};
  const std::vector<std::uint64_t> taken =
      TakenAtOnce(dir, job, field, kProcesses, kTakes, true);
  std::vector<std::uint64_t> expected;
  for (std::uint64_t k = 0; k < kProcesses * kTakes; ++k) expected.push_back(4 + k);
  EXPECT_EQ(taken, expected);
}

// A process killed between writing the new state and renaming it leaves its file;
// the next take removes it. Another live process's file, and other files, stay.
TEST(SerialState, TheNextTakeRemovesWhatAKilledProcessLeft) {
  testing::TempDir dir;
  const std::string job = (dir.Path() / "x.vqljob").string();
  const pid_t dead = ::fork();
  ASSERT_GE(dead, 0);
  if (dead == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
  const std::string live = std::to_string(::getpid());
  const std::string gone = std::to_string(dead);
  for (const auto& name : {"x.vqljob.serial." + gone + "-0.tmp", "x.vqljob.serial." + gone + "-3.tmp",
                           "x.vqljob.serial." + live + "-0.tmp", "y.vqljob.serial." + gone + "-0.tmp",
                           "x.vqljob.serial." + gone + ".tmp", std::string("x.vqljob.serial.notes")}) {
    dir.Write(name, "next=1\n");
  }
  EXPECT_EQ(SerialState(job, SerialField{0, 4, SerialFormat::BigEndian, 7, 1}).Take(), 7u);
  std::set<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir.Path())) left.insert(entry.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"x.vqljob.serial", "x.vqljob.serial." + live + "-0.tmp",
                                         "y.vqljob.serial." + gone + "-0.tmp",
                                         "x.vqljob.serial." + gone + ".tmp", "x.vqljob.serial.notes"}));
}

// The file calls in the order they happen, by the names they touch.
class RecordedCalls : public job_io::FileCalls {
 public:
  ssize_t Write(int fd, const void* data, std::size_t size) override {
    calls.push_back("write " + NameOf(fd));
    return FileCalls::Write(fd, data, size);
  }
  int Fsync(int fd) override {
    calls.push_back("fsync " + NameOf(fd));
    return FileCalls::Fsync(fd);
  }
  int Rename(const char* from, const char* to) override {
    calls.push_back("rename " + fs::path(from).filename().string() + " " + fs::path(to).filename().string());
    return FileCalls::Rename(from, to);
  }
  int LinkNew(const char* from, const char* to) override {
    calls.push_back("link " + fs::path(from).filename().string() + " " + fs::path(to).filename().string());
    return FileCalls::LinkNew(from, to);
  }

  std::vector<std::string> calls;

 private:
  static std::string NameOf(int fd) {
    struct stat file {};
    if (::fstat(fd, &file) == 0 && S_ISDIR(file.st_mode)) return "folder";
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd)).filename().string();
  }
};

// A state is on the disk before it takes its name, and its folder, with the new
// name in it, is on the disk after: a power cut leaves the old state or the new.
TEST(SerialState, TheNewStateIsOnTheDiskBeforeItsNameAndTheFolderAfter) {
  testing::TempDir dir;
  const std::string path = (dir.Path() / "x.vqljob.serial").string();
  const std::string temp = "x.vqljob.serial." + std::to_string(::getpid()) + "-0.tmp";
  RecordedCalls made;
  EXPECT_TRUE(job_io::CreateNewFile(path, "next=1\n", made));
  EXPECT_EQ(made.calls, (std::vector<std::string>{"write " + temp, "fsync " + temp,
                                                  "link " + temp + " x.vqljob.serial", "fsync folder"}));
  RecordedCalls replaced;
  job_io::ReplaceFile(path, "next=2\n", replaced);
  EXPECT_EQ(replaced.calls, (std::vector<std::string>{"write " + temp, "fsync " + temp,
                                                      "rename " + temp + " x.vqljob.serial", "fsync folder"}));
  RecordedCalls again;
  EXPECT_FALSE(job_io::CreateNewFile(path, "next=1\n", again));
  EXPECT_EQ(ReadAll(path), "next=2\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace vql

#include "cli/job_commands.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cli/exit_status.h"
#include "devices/device_table.h"
#include "image/char_stream.h"
#include "image/code_image.h"
#include "image/hex_reader.h"
#include "image/sha256.h"
#include "job/job_runner.h"

namespace vql {

namespace {

int Fail(const std::string& why) {
  std::fprintf(stderr, "vql-isp-cli: %s\n", why.c_str());
  return kExitUsage;
}

// A path as the job writes it: relative to the job's folder.
std::string FromJobFolder(const std::string& path, const std::filesystem::path& folder) {
  return std::filesystem::absolute(path).lexically_normal().lexically_relative(folder).string();
}

// Where job-new writes: -o made absolute, and an existing job's real path, so that a
// job re-made through a symbolic link is re-made where it lies and keeps its serial
// numbers' state. A job with hard links is refused: the new file would take one of
// its names only and part them, each name with its own serial numbers.
std::string JobOutputPath(const std::string& output) {
  namespace fs = std::filesystem;
  const fs::path path = fs::absolute(output).lexically_normal();
  std::error_code error;
  const fs::path real = fs::canonical(path, error);
  if (error) return path.string();
  struct stat file {};
  if (::stat(real.c_str(), &file) == 0 && S_ISREG(file.st_mode) && file.st_nlink > 1) {
    throw JobError("\"" + real.string() + "\" has " + std::to_string(file.st_nlink) +
                   " names (hard links): a new job there would part them; remove the others first");
  }
  return real.string();
}

// Before job-new writes over a job whose serial numbers have begun: what becomes of
// them, as the options say. Refuses when they say nothing.
void SettleSerialState(const CliOptions& options, const Job& job) {
  SerialState state(job.path, job.serial.value_or(SerialField{}));
  // Removed unread: a damaged state goes as well.
  if (options.restartSerial) return state.Restart();
  const std::optional<std::uint64_t> next = state.Peek();
  if (!next || options.continueSerial) return;
  throw JobError("\"" + state.Path() + "\" holds the serial numbers of this job, the next " +
                 std::to_string(*next) + ": give --continue-serial to go on with them, or " +
                 "--restart-serial to " +
                 (job.serial ? "start again at " + std::to_string(job.serial->first) : "remove them"));
}

void PrintChip(const ChipReport& report) {
  std::printf("%s\n", ChipText(report).c_str());
  std::fflush(stdout);
}

}  // namespace

int MakeJobFile(const CliOptions& options) {
  const DeviceInfo& device = *DeviceAt(*options.deviceIndex);
  CodeImage image;
  HexLoadReport report;
  std::vector<bool> recorded(kImageSize, false);
  std::int32_t extent = 0;
  try {
    FileCharStream in(options.file);
    extent = ReadHexRecords(in, image, report, recorded);
  } catch (const FileError& error) {
    return Fail(error.what());
  }
  if (!report.Clean()) return Fail(HexReportText(options.file, report));
  if (extent == 0) return Fail("\"" + options.file + "\" holds no data records");
  Job job;
  try {
    job.path = JobOutputPath(options.output);
  } catch (const JobError& error) {
    return Fail(error.what());
  }
  const std::filesystem::path folder = std::filesystem::path(job.path).parent_path();
  job.device = std::string(device.name);
  job.file = FromJobFolder(options.file, folder);
  job.sha256 = ImageSha256(image, device.lastAddress).value_or("");
  job.lock = options.lockLevel;
  job.x2 = options.x2Clock;
  job.fast = options.fast;
  if (!options.serial.empty()) {
    std::string error;
    job.serial = ParseSerialField(options.serial, error);
    if (!job.serial) return Fail("--serial " + options.serial + ": " + error);
  }
  if (options.serialOverCode && !job.serial) return Fail("--serial-over-code needs --serial");
  job.serialOverCode = options.serialOverCode;
  if (!options.log.empty()) job.log = FromJobFolder(options.log, folder);
  try {
    CheckJobFits(job, device, extent, recorded);
    SettleSerialState(options, job);
    WriteJobFile(job, job.path);
  } catch (const JobError& error) {
    return Fail(error.what());
  }
  if (!options.quiet) {
    std::printf("Wrote the job \"%s\": %s, %s, SHA-256 %s\n", job.path.c_str(), job.device.c_str(),
                job.file.c_str(), job.sha256.c_str());
  }
  return kExitOk;
}

JobVerdict RunJobFile(const CliOptions& options, Programmer& programmer, TerminalWindow& window) {
  std::optional<JobRunner> runner;
  std::uint64_t nextSerial = 0;
  try {
    runner.emplace(programmer, ReadJobFile(options.file),
                   options.log.empty() ? std::string() : std::filesystem::absolute(options.log).string());
    runner->Open();
    runner->SetRequireVouched(options.requireVouched);
    // The number the next chip gets, which the state knows: not the first once the
    // job has handed some out.
    const Job& opened = runner->TheJob();
    if (opened.serial) {
      nextSerial = SerialState(opened.path, *opened.serial).Peek().value_or(opened.serial->first);
    }
  } catch (const JobError& error) {
    return {kExitUsage, error.what(), "bad-job"};
  }
  // A stop goes to the runner while it lives, then back to the commands.
  struct StopForward {
    TerminalWindow& window;
    Commands& cmd;
    ~StopForward() {
      window.ForwardStopTo([&cmd = cmd] { cmd.RequestStop(); });
    }
  } forward{window, programmer.Cmd};
  window.ForwardStopTo([&runner] { runner->RequestStop(); });
  const Job& job = runner->TheJob();
  std::printf("Job %s: %s, %s, SHA-256 %s%s%s\n", job.Name().c_str(), job.device.c_str(),
              job.FilePath().c_str(), job.sha256.c_str(),
              job.serial ? (", serial numbers from " + std::to_string(nextSerial)).c_str() : "",
              runner->LogPath().empty() ? ", no log" : (", log " + runner->LogPath()).c_str());
  std::fflush(stdout);
  LoopEnd end = LoopEnd::Count;
  if (options.loop) {
    end = runner->RunLoop(options.loopCount, PrintChip);
  } else {
    const std::optional<ChipReport> report = runner->RunChip();
    if (report) PrintChip(*report);
    if (!runner->FaultText().empty()) {
      end = LoopEnd::Fault;
    } else if (report->outcome == Outcome::Stopped) {
      end = LoopEnd::Stopped;
    }
  }
  const std::int64_t passed = runner->Passed();
  const std::int64_t failed = runner->Failed();
  if (options.loop) {
    std::printf("%lld chips: %lld passed, %lld failed\n", static_cast<long long>(passed + failed),
                static_cast<long long>(passed), static_cast<long long>(failed));
  }
  if (end == LoopEnd::Fault) return {kExitUsage, runner->FaultText(), "job-fault"};
  if (end == LoopEnd::Stopped) return {kExitStopped, {}, "stopped"};
  if (failed > 0) {
    return {kExitFailed, std::to_string(failed) + (failed == 1 ? " chip" : " chips") + " failed (see above)",
            "chip-failed"};
  }
  if (options.loop && passed == 0) {
    return {kExitFailed, "no board came: no chip was programmed", "no-board"};
  }
  if (options.loopCount && passed < *options.loopCount) {
    // The line ended before the chips asked for were done.
    return {kExitFailed,
            "only " + std::to_string(passed) + " of the " + std::to_string(*options.loopCount) +
                " chips asked for with --loop-count came: no more boards",
            "no-board"};
  }
  return {};
}

}  // namespace vql

#include "cli/session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "cli/exit_status.h"
#include "cli/job_commands.h"
#include "cli/listings.h"
#include "cli/std_streams.h"
#include "cli/stop_signals.h"
#include "cli/terminal_window.h"
#include "commands/programmer_setup.h"
#include "image/hex_digits.h"
#include "image/hex_writer.h"
#include "image/sha256.h"
#include "job/job_log.h"
#include "link/config_lookup.h"
#include "backends/port_factory.h"

namespace vql {

namespace {

constexpr char kStopped[] = "Stopped: the target has been released to run mode.";
constexpr char kNoPortFound[] =
    "no parallel port found: the kernel lists none in /proc/sys/dev/parport. For a real "
    "cable load parport_pc, or set VQLISP_PORT=direct for a card that no driver took. For "
    "the simulated programmer set VQLISP_PORT=sim (or give --port sim) and name its chip, "
    "for example VQLISP_SIM=target=AT89S52.";
constexpr char kNoSimulatedTarget[] =
    "the simulated programmer has nothing plugged in: VQLISP_SIM names no target. Set "
    "VQLISP_SIM=target=AT89S52 (or any device that 'vql-isp-cli devices' lists), "
    "target=none for an empty socket, or target=loopback for test-io.";

// Whether read -o names standard output: "-", or a path to the very file that standard
// output is.
bool WritesToStdout(const CliOptions& options) {
  if (options.output == "-") return true;
  struct stat out {};
  struct stat named {};
  return !options.output.empty() && ::fstat(STDOUT_FILENO, &out) == 0 &&
         ::stat(options.output.c_str(), &named) == 0 && out.st_dev == named.st_dev &&
         out.st_ino == named.st_ino;
}

// Whether the command drives the cable; load and config need no chip.
bool NeedsChip(const CliOptions& options) {
  if (options.command == CliCommand::Job) return true;
  return options.command == CliCommand::Operator && options.operatorCommand != CommandId::Load;
}

int Refuse(std::string_view& token, std::string_view reason, const std::string& why) {
  std::fprintf(stderr, "vql-isp-cli: %s\n", why.c_str());
  token = reason;
  return kExitUsage;
}

// Standard input, copied into a temporary file that goes with the object.
class InputCopy {
 public:
  InputCopy() {
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
                       "/vql-isp-stdin-XXXXXX.hex";
    const int fd = ::mkstemps(path.data(), 4);
    if (fd < 0) {
      error_ = "Cannot keep standard input in \"" + path + "\": " + std::strerror(errno);
      return;
    }
    path_ = path;
    char buffer[65536];
    for (;;) {
      const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (got == 0) break;
      if (got < 0 && errno == EINTR && !StopSignals::Received()) continue;
      if (got < 0 || ::write(fd, buffer, static_cast<std::size_t>(got)) != got) {
        error_ = std::string("Cannot read standard input: ") + std::strerror(errno);
        break;
      }
    }
    ::close(fd);
  }
  ~InputCopy() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  InputCopy(const InputCopy&) = delete;
  InputCopy& operator=(const InputCopy&) = delete;
  const std::string& Path() const { return path_; }
  const std::string& Error() const { return error_; }

 private:
  std::string path_;
  std::string error_;
};

// What became of the command: the exit status and, after a failure, why, in words
// and as the summary's reason token; the command's own outcome where it ran, and
// the caveat of a Done that nothing on the wire could check.
struct Verdict {
  int status = kExitOk;
  std::string reason;
  std::string_view token = "ok";
  std::optional<Outcome> outcome;
  std::string caveat = {};
};

Verdict VerdictOf(CommandResult result) {
  if (result.Ok()) {
    Verdict done;
    done.outcome = result.outcome;
    done.caveat = std::move(result.caveat);
    return done;
  }
  return {ExitStatusOf(result.outcome), OutcomeText(result.outcome),
          ReasonToken(result.outcome), result.outcome};
}

// What the summary line tells besides the verdict.
struct Facts {
  std::string device;
  std::string file;    // the HEX file's full path, or empty
  std::string sha256;  // of the image over the device's range, or empty
  std::int32_t written = 0;
  std::string_view token = "ok";
  bool vouched = false;  // no caveat came with the command's Done
};

void PrintSummary(const CliOptions& options, const Facts& facts, int status, double seconds) {
  const char* result = status == kExitOk       ? "ok"
                       : status == kExitFailed ? "failed"
                       : status == kExitStopped ? "stopped"
                                                : "usage";
  const std::string_view token = std_streams::Failed() ? "output-failed" : facts.token;
  // Where standard output carries the HEX file, the line goes to standard error.
  std::FILE* out = WritesToStdout(options) ? stderr : stdout;
  std::fprintf(out,
               "command=%s device=%s file=%s sha256=%s written=%d seconds=%.2f result=%s "
               "reason=%.*s vouched=%s\n",
               options.commandName.c_str(), LogValue(facts.device).c_str(),
               LogValue(facts.file).c_str(), LogValue(facts.sha256).c_str(),
               facts.written, seconds, result, static_cast<int>(token.size()), token.data(),
               status == kExitOk && facts.vouched ? "yes" : "no");
}

class Session {
 public:
  Session(const CliOptions& options, Programmer& programmer, TerminalWindow& window,
          Facts& facts)
      : options_(options), programmer_(programmer), window_(window), facts_(facts) {}

  int Run();

 private:
  bool UsePort();
  void ApplyControls();
  Verdict RunCommand();
  // The verdict of a load: its outcome, and what the records' report says.
  Verdict Checked(const CommandResult& loaded) const;
  // For what does not write: a file that gave no data. The writing commands refuse
  // it themselves, with a box.
  Verdict HasData() const;
  Verdict LoadThen(CommandResult (Commands::*command)());
  Verdict Load();
  Verdict Read();
  Verdict TestIo();
  Verdict Config();
  // With --require-vouched, a Done with a caveat fails; its status text stays.
  void RequireVouched(Verdict& verdict) const;
  // After the command, before the shut-down's texts: the last status, or what failed in
  // its place where that text could read as success.
  void EndCommand(const Verdict& verdict);
  void NoteFacts(const Verdict& verdict);

  const CliOptions& options_;
  Programmer& programmer_;
  TerminalWindow& window_;
  Facts& facts_;
};

int Session::Run() {
  // A configuration that cannot be read has been shown; nothing was driven. What
  // needs no chip neither drives the port nor calibrates; a load reads no
  // configuration at all.
  const bool drivePort = NeedsChip(options_);
  bool configured = true;
  if (options_.command == CliCommand::Operator && !drivePort) {
    programmer_.StartupWithoutPort();
  } else if (options_.config.empty()) {
    configured =
        programmer_.Startup(FindConfigFile(SystemConfigEnvironment(std::getenv)), drivePort);
  } else {
    configured = programmer_.Startup(options_.config, drivePort);
  }
  if (!configured) {
    // A stop signal that ended a wait on the file (a FIFO) is a stop; nothing was driven.
    facts_.token = "usage";
    if (!StopSignals::Received()) return kExitUsage;
    std::fprintf(stderr, "Stopped.\n");
    return kExitStopped;
  }
  Verdict verdict;
  try {
    if (options_.command == CliCommand::Config) {
      verdict = Config();
    } else if (!drivePort) {
      ApplyControls();  // the device, whose size the load checks
      verdict = Load();
    } else if (!UsePort()) {
      verdict = {kExitUsage, {}, "no-port", std::nullopt};  // the port's problem has been shown
    } else {
      ApplyControls();
      if (!StopSignals::Received()) verdict = RunCommand();
    }
  } catch (const std::exception& error) {
    verdict = {kExitUsage, error.what(), "usage", std::nullopt};
  }
  RequireVouched(verdict);
  EndCommand(verdict);
  NoteFacts(verdict);
  programmer_.Shutdown();
  window_.EndCommand({});  // the shut-down's "RUN MODE."
  // Output that could not be written stopped the command: the reason follows, from
  // the exit path.
  if (std_streams::Failed()) return kExitUsage;
  if (StopSignals::Received() || verdict.status == kExitStopped) {
    const bool released = programmer_.Link.PortUsable();
    std::fprintf(stderr, "%s\n", released ? kStopped : "Stopped.");
    return kExitStopped;
  }
  if (verdict.status != kExitOk && !verdict.reason.empty()) {
    std::fprintf(stderr, "vql-isp-cli: %s failed: %s\n", options_.commandName.c_str(),
                 verdict.reason.c_str());
  }
  return verdict.status;
}

void Session::RequireVouched(Verdict& verdict) const {
  if (!options_.requireVouched || verdict.status != kExitOk || verdict.caveat.empty()) return;
  verdict.status = kExitFailed;
  verdict.token = "unvouched";
  // The caveat's box has just been shown.
  verdict.reason = "--require-vouched, and nothing on the wire could check the result (see above)";
}

void Session::EndCommand(const Verdict& verdict) {
  const Outcome outcome = verdict.outcome.value_or(Outcome::Done);
  std::string failed;
  if (verdict.outcome && outcome != Outcome::Done && outcome != Outcome::Stopped &&
      !programmer_.Cmd.StatusShowsFailure()) {
    failed = std::string(CommandRow(options_.operatorCommand).name) + " failed: " +
             std::string(OutcomeShortText(outcome));
  }
  window_.EndCommand(failed);
}

void Session::NoteFacts(const Verdict& verdict) {
  const DeviceInfo* device = programmer_.Selection.Device();
  facts_.device = device != nullptr ? std::string(device->name) : std::string();
  facts_.token = verdict.token;
  facts_.vouched = verdict.caveat.empty();
  const ImageState& image = programmer_.Image;
  if (device == nullptr || image.HexFilePath.empty()) return;
  facts_.file = image.HexFilePath;
  // No hex digits somewhere: no digest to vouch for.
  const std::optional<std::string> digest = ImageSha256(image.Image, device->lastAddress);
  if (!digest) return;
  facts_.sha256 = *digest;
  // The writes skip FF bytes, as an erased chip holds them already. A Done that
  // --require-vouched fails has written them all the same.
  const bool wrote = (options_.operatorCommand == CommandId::Program ||
                      options_.operatorCommand == CommandId::AutoProgram) &&
                     verdict.outcome == Outcome::Done;
  const std::int32_t extent =
      std::clamp<std::int32_t>(programmer_.Cmd.CodeExtent, 0, device->lastAddress + 1);
  for (std::int32_t n = 0; wrote && n < extent; ++n) {
    if (ImageByte(image.Image, n) != 0xFF) ++facts_.written;
  }
}

bool Session::UsePort() {
  // LPT1's problem has been shown at start-up; it ends the run only when LPT1 is the
  // port asked for, so that a PC whose only port is LPT2 works with --port lpt2.
  if (options_.lpt == 1) return programmer_.Link.PortUsable();
  return programmer_.Cmd.MoveCableTo(options_.lpt);
}

void Session::ApplyControls() {
  Commands& cmd = programmer_.Cmd;
  if (options_.deviceIndex) cmd.SelectDevice(*options_.deviceIndex);
  // Ticking the highest box ticks those below it through the rules.
  if (options_.lockLevel > 0) cmd.SetLockBox(options_.lockLevel, true);
  cmd.SetX2Clock(options_.x2Clock);
  if (options_.sckHalfUs) cmd.SetSckHalfPeriod(*options_.sckHalfUs);
  cmd.SetAutoReloadFile(options_.autoReload);
  cmd.StopOnDamagedReload = !options_.ignoreHexErrors;
  cmd.SetAutoRunAfterProgram(options_.runAfter);
  cmd.SetFastProgramming(options_.fast);
}

Verdict Session::RunCommand() {
  if (options_.command == CliCommand::Job) {
    const JobVerdict ran = RunJobFile(options_, programmer_, window_);
    return {ran.status, ran.reason, ran.token, std::nullopt};
  }
  if (options_.command != CliCommand::Operator) return {};  // needs no chip command
  // The commands whose results the terminal prints; the others end with their
  // status texts and boxes.
  switch (options_.operatorCommand) {
    case CommandId::Load: return Load();
    case CommandId::ReadChip: return Read();
    case CommandId::TestIo: return TestIo();
    default: break;
  }
  const OperatorCommand& row = CommandRow(options_.operatorCommand);
  if (row.takesFile) return LoadThen(row.run);
  return VerdictOf((programmer_.Cmd.*row.run)());
}

Verdict Session::Checked(const CommandResult& loaded) const {
  if (!loaded.Ok()) return VerdictOf(loaded);
  // The loader has shown what is wrong with the records; a script must not go on
  // with such a file unless told to.
  if (!programmer_.Image.LastReport.Clean() && !options_.ignoreHexErrors) {
    return {kExitUsage,
            "the HEX file has damaged records (see above); --ignore-hex-errors goes on anyway",
            "bad-file", std::nullopt};
  }
  return {};
}

Verdict Session::LoadThen(CommandResult (Commands::*command)()) {
  // A file that cannot be read, is damaged or does not fit leaves the chip untouched.
  const CommandResult loaded = programmer_.Cmd.Load();
  if (Verdict verdict = Checked(loaded); verdict.status != kExitOk) return verdict;
  if (command == &Commands::Verify) {
    if (Verdict empty = HasData(); empty.status != kExitOk) return empty;
    if (options_.recordsOnly) programmer_.Image.CompareOnly = programmer_.Image.Recorded;
  }
  if (StopSignals::Received()) return {kExitStopped, {}, "stopped", std::nullopt};
  return VerdictOf((programmer_.Cmd.*command)());
}

Verdict Session::Load() {
  const CommandResult loaded = programmer_.Cmd.Load();
  if (loaded.Ok()) PrintUsedRows(programmer_.Image.Image, stdout);
  if (Verdict verdict = Checked(loaded); verdict.status != kExitOk) return verdict;
  return HasData();
}

Verdict Session::HasData() const {
  // Nothing to compare or show is no result a script may take for one.
  if (programmer_.Cmd.CodeExtent > 0) return {};
  return {kExitUsage, "\"" + options_.file + "\" holds no data records", "no-data", std::nullopt};
}

Verdict Session::Read() {
  // Created first: a place that cannot be written to shows before the chip is read.
  // Standard output is written into as it stands, never replaced: "-o /dev/stdout >>
  // log" appends to the log.
  const bool toStdout = WritesToStdout(options_);
  std::optional<HexFileWriter> writer;
  if (!options_.output.empty() && !toStdout) {
    writer.emplace(std::filesystem::absolute(options_.output).string());
  }
  const std::int32_t last = programmer_.Selection.Device()->lastAddress;
  CommandResult read = programmer_.Cmd.ReadChip();
  if (!read.Ok()) return VerdictOf(read);
  // A read that is to fail leaves the output as a failed read does: untouched.
  if (options_.requireVouched && !read.Vouched()) return VerdictOf(std::move(read));
  if (StopSignals::Received()) return {kExitStopped, {}, "stopped", std::nullopt};
  if (toStdout) {
    const std::string text = IntelHexText(programmer_.Image.Image, last);
    std::fwrite(text.data(), 1, text.size(), stdout);
  } else if (writer) {
    writer->Commit(programmer_.Image.Image, last);
  } else {
    PrintUsedRows(programmer_.Image.Image, stdout);
  }
  return VerdictOf(std::move(read));
}

Verdict Session::TestIo() {
  const CommandResult tested = programmer_.Cmd.TestIo();
  if (tested.outcome == Outcome::LoopTestFailed) {
    const bool usb = programmer_.Link.SelectedLpt() == ProgrammerLink::kUsbPort;
    return {kExitFailed,
            usb ? "the loop test failed: MISO did not come back as MOSI sent it (is MOSI "
                  "jumpered to MISO in the chip's place?)"
                : "the loop test failed: MISO did not follow SCK (is the loop-back plug in?)",
            ReasonToken(tested.outcome), tested.outcome};
  }
  return VerdictOf(tested);
}

Verdict Session::Config() {
  PrintConfiguration(programmer_, stdout);
  return {};
}

int RunCommandLine(const CliOptions& options, Facts& facts) {
  // --port sim stands for VQLISP_PORT=sim.
  const GetEnv env = [&options](const char* name) -> const char* {
    if (options.simulator && std::string_view(name) == "VQLISP_PORT") return "sim";
    return std::getenv(name);
  };
  const bool needsChip = NeedsChip(options);
  // Installed before the first line is driven: from then on a stop ends in run mode.
  StopSignals signals;
  TerminalWindow::Settings settings;
  settings.virtualClock = needsChip && SimWantsVirtualClock(env);
  settings.stderrIsTerminal = ::isatty(STDERR_FILENO) != 0;
  settings.statusToStderr = WritesToStdout(options);
  // A job shows a line a chip instead of every status text.
  settings.quiet = options.quiet || options.command == CliCommand::Job;
  // The file dialog hands over full paths; so does the command line. Standard input
  // is kept in a file, which the writing commands read again before they write.
  std::optional<InputCopy> input;
  if (TakesFile(options)) {
    if (options.file == "-") {
      input.emplace();
      if (!input->Error().empty()) return Refuse(facts.token, "bad-file", input->Error());
      settings.hexFile = input->Path();
    } else {
      settings.hexFile = std::filesystem::absolute(options.file).string();
      // A file that cannot be read shows before the port is touched.
      if (needsChip && ::access(options.file.c_str(), R_OK) != 0) {
        return Refuse(facts.token, "bad-file",
                      "Cannot open \"" + options.file + "\": " + std::strerror(errno));
      }
    }
  }
  TerminalWindow window(std::move(settings));
  ProgrammerSetup setup = options.command == CliCommand::Operator && !needsChip
                              ? SetUpProgrammerWithoutPort(window, window)
                              : SetUpProgrammer(env, window, window);
  if (needsChip && setup.port->SimulatedTarget()) {
    // A script must never take the simulator's answers for a chip's.
    const char* asked = env("VQLISP_PORT");
    if (asked == nullptr || *asked == '\0') return Refuse(facts.token, "no-port", kNoPortFound);
    if (!SimTargetNamed(env)) return Refuse(facts.token, "no-port", kNoSimulatedTarget);
  } else if (needsChip && !setup.notice.empty()) {
    std::fprintf(stderr, "%s\n", setup.notice.c_str());
  }
  window.ForwardStopTo([&cmd = setup.programmer->Cmd] { cmd.RequestStop(); });
  return Session(options, *setup.programmer, window, facts).Run();
}

}  // namespace

int RunSession(const CliOptions& options) {
  if (options.command == CliCommand::Devices) {
    PrintDeviceTable(stdout);
    return kExitOk;
  }
  if (options.command == CliCommand::JobNew) return MakeJobFile(options);
  const auto start = std::chrono::steady_clock::now();
  Facts facts;
  int status = kExitUsage;
  try {
    status = RunCommandLine(options, facts);
  } catch (const std::exception& error) {
    // A back end that cannot be set up (a bad VQLISP_PORT or VQLISP_SIM): the summary
    // still ends the output.
    status = Refuse(facts.token, "no-port", error.what());
  }
  if (options.summary) {
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    PrintSummary(options, facts, status, took.count());
  }
  return status;
}

}  // namespace vql

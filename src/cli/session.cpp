#include "cli/session.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "cli/exit_status.h"
#include "cli/listings.h"
#include "cli/std_streams.h"
#include "cli/stop_signals.h"
#include "cli/terminal_window.h"
#include "commands/programmer_setup.h"
#include "image/hex_writer.h"
#include "link/config_lookup.h"
#include "backends/port_factory.h"

namespace vql {

namespace {

constexpr char kStopped[] = "Stopped: the target has been released to run mode.";

// What became of the command: the exit status and, after a failure, why.
struct Verdict {
  int status = kExitOk;
  std::string reason;
};

Verdict VerdictOf(CommandResult result) {
  if (result.Ok()) return {};
  return {ExitStatusOf(result.outcome), OutcomeText(result.outcome)};
}

class Session {
 public:
  Session(const CliOptions& options, Programmer& programmer)
      : options_(options), programmer_(programmer) {}

  int Run();

 private:
  bool UsePort();
  void ApplyControls();
  Verdict RunCommand();
  // The verdict of a load: its outcome, and what the records' report says.
  Verdict Checked(const CommandResult& loaded) const;
  Verdict LoadThen(CommandResult (Commands::*command)());
  Verdict Load();
  Verdict Read();
  Verdict TestIo();
  Verdict Config();

  const CliOptions& options_;
  Programmer& programmer_;
};

int Session::Run() {
  // A configuration that cannot be read has been shown; nothing was driven.
  const bool configured =
      options_.config.empty()
          ? programmer_.Startup(FindConfigFile(SystemConfigEnvironment(std::getenv)))
          : programmer_.Startup(options_.config);
  if (!configured) {
    // A stop signal that ended a wait on the file (a FIFO) is a stop; nothing was driven.
    if (!StopSignals::Received()) return kExitUsage;
    std::fprintf(stderr, "Stopped.\n");
    return kExitStopped;
  }
  Verdict verdict;
  try {
    if (options_.command == CliCommand::Config) {
      verdict = Config();
    } else if (!UsePort()) {
      verdict.status = kExitUsage;  // the port's problem has been shown
    } else {
      ApplyControls();
      if (!StopSignals::Received()) verdict = RunCommand();
    }
  } catch (const std::exception& error) {
    verdict = {kExitUsage, error.what()};
  }
  programmer_.Shutdown();
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
}

Verdict Session::RunCommand() {
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
            "the HEX file has damaged records (see above); --ignore-hex-errors goes on anyway"};
  }
  return {};
}

Verdict Session::LoadThen(CommandResult (Commands::*command)()) {
  // A file that cannot be read, is damaged or does not fit leaves the chip untouched.
  const CommandResult loaded = programmer_.Cmd.Load();
  if (Verdict verdict = Checked(loaded); verdict.status != kExitOk) return verdict;
  if (StopSignals::Received()) return {kExitStopped, {}};
  return VerdictOf((programmer_.Cmd.*command)());
}

Verdict Session::Load() {
  const CommandResult loaded = programmer_.Cmd.Load();
  if (loaded.Ok()) PrintUsedRows(programmer_.Image.Image, stdout);
  return Checked(loaded);
}

Verdict Session::Read() {
  // Created first: a place that cannot be written to shows before the chip is read.
  std::optional<HexFileWriter> writer;
  if (!options_.output.empty()) writer.emplace(std::filesystem::absolute(options_.output).string());
  const std::int32_t last = programmer_.Selection.Device()->lastAddress;
  const CommandResult read = programmer_.Cmd.ReadChip();
  if (!read.Ok()) return VerdictOf(read);
  if (StopSignals::Received()) return {kExitStopped, {}};
  if (!writer) {
    PrintUsedRows(programmer_.Image.Image, stdout);
    return {};
  }
  writer->Commit(programmer_.Image.Image, last);
  return {};
}

Verdict Session::TestIo() {
  const CommandResult tested = programmer_.Cmd.TestIo();
  if (tested.outcome == Outcome::LoopTestFailed) {
    return {kExitFailed, "the loop test failed: MISO did not follow SCK (is the loop-back plug in?)"};
  }
  return VerdictOf(tested);
}

Verdict Session::Config() {
  PrintConfiguration(programmer_, stdout);
  // An unusable port has been shown at start-up.
  return {programmer_.Link.PortUsable() ? kExitOk : kExitUsage, {}};
}

}  // namespace

int RunSession(const CliOptions& options) {
  if (options.command == CliCommand::Devices) {
    PrintDeviceTable(stdout);
    return kExitOk;
  }
  // Installed before the first line is driven: from then on a stop ends in run mode.
  StopSignals signals;
  TerminalWindow::Settings settings;
  settings.virtualClock = SimWantsVirtualClock(std::getenv);
  settings.stderrIsTerminal = ::isatty(STDERR_FILENO) != 0;
  // The file dialog hands over full paths; so does the command line.
  if (TakesFile(options)) {
    settings.hexFile = std::filesystem::absolute(options.file).string();
  }
  TerminalWindow window(std::move(settings));
  ProgrammerSetup setup = SetUpProgrammer(std::getenv, window, window);
  if (!setup.notice.empty()) std::fprintf(stderr, "%s\n", setup.notice.c_str());
  window.ForwardStopTo([&cmd = setup.programmer->Cmd] { cmd.RequestStop(); });
  return Session(options, *setup.programmer).Run();
}

}  // namespace vql

#include "cli/options.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "devices/device_table.h"
#include "link/programmer_link.h"

namespace vql {

namespace {

// The terminal's command words: the operator's commands that have one, then its own.
struct CommandName {
  std::string_view name;
  CliCommand command;
  CommandId operatorCommand;
  bool takesFile;
};

constexpr std::size_t kCliOnlyCommands = 4;
constexpr auto kCliWords = static_cast<std::size_t>(std::ranges::count_if(
    kOperatorCommands, [](const OperatorCommand& row) { return !row.cliWord.empty(); }));

constexpr auto kCommandNames = [] {
  std::array<CommandName, kCliWords + kCliOnlyCommands> names{};
  std::size_t n = 0;
  for (const OperatorCommand& row : kOperatorCommands) {
    if (!row.cliWord.empty()) names[n++] = {row.cliWord, CliCommand::Operator, row.id, row.takesFile};
  }
  names[n++] = {"devices", CliCommand::Devices, CommandId::Load, false};
  names[n++] = {"config", CliCommand::Config, CommandId::Load, false};
  names[n++] = {"job", CliCommand::Job, CommandId::Load, true};
  names[n++] = {"job-new", CliCommand::JobNew, CommandId::Load, true};
  return names;
}();

std::string Upper(std::string_view text) {
  std::string upper(text);
  std::ranges::transform(upper, upper.begin(),
                         [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper;
}

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::int32_t DeviceNamed(std::string_view name) {
  const std::int32_t index = DeviceIndexOf(Upper(name));
  if (index >= 0) return index;
  std::string names;
  for (const DeviceInfo& device : kDevices) {
    names += names.empty() ? "" : ", ";
    names += device.name;
  }
  throw UsageError("unknown device " + Quoted(name) + ": choose one of " + names);
}

void SetPort(CliOptions& options, std::string_view name) {
  const std::string upper = Upper(name);
  if (upper == "LPT1" || upper == "LPT2") {
    options.lpt = upper == "LPT1" ? 1 : 2;
  } else if (upper == "SIM") {
    options.simulator = true;
  } else {
    throw UsageError("unknown port " + Quoted(name) + ": choose lpt1, lpt2 or sim");
  }
}

std::int32_t LockLevelOf(std::string_view text) {
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '3') return text[0] - '0';
  throw UsageError("lock level " + Quoted(text) + " is not 0, 1, 2 or 3");
}

bool OnOff(std::string_view text) {
  const std::string upper = Upper(text);
  if (upper == "ON") return true;
  if (upper == "OFF") return false;
  throw UsageError("--x2clock takes on or off, not " + Quoted(text));
}

std::int32_t SckHalfPeriodOf(std::string_view text) {
  std::int32_t us = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), us);
  if (error == std::errc() && end == text.data() + text.size() &&
      us >= ProgrammerLink::kMinSckHalfPeriodUs && us <= ProgrammerLink::kMaxSckHalfPeriodUs) {
    return us;
  }
  throw UsageError("--sck-half-us takes whole microseconds from " +
                   std::to_string(ProgrammerLink::kMinSckHalfPeriodUs) + " to " +
                   std::to_string(ProgrammerLink::kMaxSckHalfPeriodUs) + ", not " + Quoted(text));
}

std::int64_t LoopCountOf(std::string_view text) {
  std::int64_t count = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (error == std::errc() && end == text.data() + text.size() && count >= 1) return count;
  throw UsageError("--loop-count takes a number of chips from 1, not " + Quoted(text));
}

// Hands out the arguments one by one, and the value of the option just read.
class ArgReader {
 public:
  explicit ArgReader(std::span<const char* const> args) : args_(args) {}
  bool Done() const { return next_ >= args_.size(); }
  std::string_view Next() { return args_[next_++]; }
  std::string Value(std::string_view option, std::optional<std::string_view> inlineValue) {
    if (inlineValue) return std::string(*inlineValue);
    if (Done()) throw UsageError("option " + std::string(option) + " needs a value");
    return std::string(Next());
  }

 private:
  std::span<const char* const> args_;
  std::size_t next_ = 0;
};

// Applies one option; false when name is no option.
bool ApplyOption(CliOptions& options, std::string_view name,
                 std::optional<std::string_view> inlineValue, ArgReader& reader) {
  const auto flag = [&](bool& target, bool value) {
    if (inlineValue) throw UsageError("option " + std::string(name) + " takes no value");
    target = value;
  };
  const auto value = [&] { return reader.Value(name, inlineValue); };
  options.given.emplace_back(name == "--output" ? "-o" : name);
  if (name == "--help" || name == "-h") {
    flag(options.help, true);
  } else if (name == "--version") {
    flag(options.version, true);
  } else if (name == "--manual") {
    flag(options.manual, true);
  } else if (name == "--no-auto-reload") {
    flag(options.autoReload, false);
  } else if (name == "--fast") {
    flag(options.fast, true);
  } else if (name == "--no-run-after") {
    flag(options.runAfter, false);
  } else if (name == "--ignore-hex-errors") {
    flag(options.ignoreHexErrors, true);
  } else if (name == "-q" || name == "--quiet") {
    flag(options.quiet, true);
  } else if (name == "--summary") {
    flag(options.summary, true);
  } else if (name == "--require-vouched") {
    flag(options.requireVouched, true);
  } else if (name == "--records-only") {
    flag(options.recordsOnly, true);
  } else if (name == "--serial-over-code") {
    flag(options.serialOverCode, true);
  } else if (name == "--loop") {
    flag(options.loop, true);
  } else if (name == "--loop-count") {
    options.loopCount = LoopCountOf(value());
    options.loop = true;
  } else if (name == "--log") {
    options.log = value();
    if (options.log.empty()) throw UsageError("--log needs a file name");
  } else if (name == "--serial") {
    options.serial = value();
  } else if (name == "--restart-serial") {
    flag(options.restartSerial, true);
  } else if (name == "--continue-serial") {
    flag(options.continueSerial, true);
  } else if (name == "--device") {
    options.deviceIndex = DeviceNamed(value());
  } else if (name == "--port") {
    SetPort(options, value());
  } else if (name == "--lock") {
    options.lockLevel = LockLevelOf(value());
  } else if (name == "--x2clock") {
    options.x2Clock = OnOff(value());
  } else if (name == "--sck-half-us") {
    options.sckHalfUs = SckHalfPeriodOf(value());
  } else if (name == "--config") {
    options.config = value();
    if (options.config.empty()) throw UsageError("--config needs a file name");
  } else if (name == "--output" || name == "-o") {
    options.output = value();
    if (options.output.empty()) throw UsageError("-o needs a file name");
  } else {
    return false;
  }
  return true;
}

// Whether the command uses the option (as named in CliOptions::given).
bool Uses(const CliOptions& options, std::string_view option) {
  const bool op = options.command == CliCommand::Operator;
  const bool job = options.command == CliCommand::Job;
  const bool jobNew = options.command == CliCommand::JobNew;
  const CommandId id = options.operatorCommand;
  const bool chip = op && id != CommandId::Load;
  const auto is = [&](std::initializer_list<CommandId> ids) {
    return op && std::ranges::find(ids, id) != ids.end();
  };
  if (option == "--device") return op || jobNew;
  if (option == "-q" || option == "--quiet") return op || job || jobNew;
  if (option == "--summary") return op;
  if (option == "--port" || option == "--config") {
    return chip || job || options.command == CliCommand::Config;
  }
  if (option == "--sck-half-us" || option == "--require-vouched") return chip || job;
  if (option == "--loop" || option == "--loop-count") return job;
  if (option == "--log") return job || jobNew;
  if (option == "--serial" || option == "--restart-serial" || option == "--continue-serial") {
    return jobNew;
  }
  if (option == "--records-only") return is({CommandId::Verify});
  if (option == "--serial-over-code") return jobNew;
  if (option == "--lock") {
    return jobNew || is({CommandId::Program, CommandId::AutoProgram, CommandId::Lock});
  }
  if (option == "--x2clock") {
    return jobNew || is({CommandId::Program, CommandId::AutoProgram, CommandId::Fuse});
  }
  if (option == "--no-auto-reload") return is({CommandId::Program, CommandId::AutoProgram});
  if (option == "--no-run-after") return is({CommandId::AutoProgram});
  if (option == "--fast") {
    return jobNew || is({CommandId::ReadChip, CommandId::BlankCheck, CommandId::Program, CommandId::Verify,
               CommandId::AutoProgram});
  }
  if (option == "--ignore-hex-errors") return TakesFile(options);
  if (option == "-o") return jobNew || is({CommandId::ReadChip});
  return true;  // --help, --version
}

void CheckCommand(CliOptions& options, const std::vector<std::string_view>& words) {
  if (words.empty()) throw UsageError("no command given");
  const std::string_view word = words.front();
  const auto* found = std::ranges::find(kCommandNames, word, &CommandName::name);
  if (found == kCommandNames.end()) throw UsageError("unknown command " + Quoted(word));
  options.command = found->command;
  options.operatorCommand = found->operatorCommand;
  options.commandName = std::string(word);
  if (found->takesFile) {
    const std::string what = options.command == CliCommand::Job ? " needs a job file" : " needs a HEX file";
    if (words.size() < 2) throw UsageError(std::string(word) + what);
    options.file = std::string(words[1]);
    if (options.file.empty()) throw UsageError(std::string(word) + what);
  }
  const std::size_t expected = found->takesFile ? 2 : 1;
  if (words.size() > expected) {
    throw UsageError(std::string(word) + " takes " +
                     (found->takesFile ? "one file" : "no file") + ", but " +
                     Quoted(words[expected]) + " follows");
  }
  if (options.command == CliCommand::JobNew) {
    if (options.output.empty()) throw UsageError("job-new needs -o JOB: the job file to write");
    if (!options.deviceIndex) throw UsageError("job-new needs --device: the chip the job programs");
    if (options.restartSerial && options.continueSerial) {
      throw UsageError("--restart-serial and --continue-serial exclude each other");
    }
  }
  for (const std::string& option : options.given) {
    if (Uses(options, option)) continue;
    if (option == "-o") throw UsageError("-o belongs to the read and job-new commands");
    throw UsageError("option " + option + " has no use with " + std::string(word));
  }
}

}  // namespace

bool TakesFile(const CliOptions& options) {
  return options.command == CliCommand::Operator && CommandRow(options.operatorCommand).takesFile;
}

CliOptions ParseCommandLine(std::span<const char* const> args) {
  CliOptions options;
  std::vector<std::string_view> words;
  ArgReader reader(args);
  bool optionsEnded = false;
  while (!reader.Done()) {
    const std::string_view arg = reader.Next();
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      words.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string_view name = arg;
    std::optional<std::string_view> inlineValue;
    if (const auto equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
      name = arg.substr(0, equals);
      inlineValue = arg.substr(equals + 1);
    } else if (arg.starts_with("-o") && arg.size() > 2 && arg[1] != '-') {
      name = "-o";  // -oFILE
      inlineValue = arg.substr(2);
    }
    if (!ApplyOption(options, name, inlineValue, reader)) {
      throw UsageError("unknown option " + Quoted(name));
    }
  }
  // --help, --manual and --version answer whatever else stands there.
  if (options.help || options.manual || options.version) return options;
  CheckCommand(options, words);
  return options;
}

}  // namespace vql

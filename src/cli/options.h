// The command line of vql-isp-cli: the command, its file and the options, checked
// before anything is started, so that a typing mistake never reaches the cable.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "commands/command_table.h"

namespace vql {

// What the command word names: one of the operator's commands, or one that only
// the terminal has.
enum class CliCommand { Operator, Devices, Config, Job, JobNew };

// A command line that cannot be run; the text says what is wrong with it.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CliOptions {
  bool help = false;
  bool version = false;
  bool manual = false;  // --manual: the whole manual
  CliCommand command = CliCommand::Devices;
  CommandId operatorCommand = CommandId::Load;  // with CliCommand::Operator
  std::string commandName;  // as typed, for messages
  std::string file;         // the HEX file of load, program, verify and auto
  std::string output;       // read -o: the HEX file to write; empty: print the rows
  std::optional<std::int32_t> deviceIndex;  // --device; unset: the start-up device
  std::int32_t lpt = 1;
  bool simulator = false;  // --port sim: the simulated programmer, as VQLISP_PORT=sim
  std::int32_t lockLevel = 0;
  bool x2Clock = false;
  bool autoReload = true;
  bool runAfter = true;
  bool fast = false;  // --fast: Option > Fast Programming
  std::optional<std::int32_t> sckHalfUs;  // --sck-half-us; unset: the link's default
  bool ignoreHexErrors = false;  // go on after a HEX file whose records have problems
  std::string config;  // --config: the one file to read; empty: the usual lookup
  bool quiet = false;    // -q: errors only
  bool summary = false;  // --summary: one key=value line at the end
  // --require-vouched: a Done that nothing on the wire could check ends with status 1.
  bool requireVouched = false;
  bool recordsOnly = false;  // verify --records-only: the records' addresses, not the gaps
  // job: --loop, chip after chip; --loop-count N ends it after N chips.
  bool loop = false;
  std::optional<std::int64_t> loopCount;
  std::string log;     // job, job-new --log: the log file
  std::string serial;  // job-new --serial ADDR:LEN:FORMAT:FIRST:STEP
  bool serialOverCode = false;  // job-new --serial-over-code: the field may cover the file's data
  // job-new over a job whose serial numbers have a state: start them again at the
  // first number, or go on with them. Without either, such a job is not written.
  bool restartSerial = false;
  bool continueSerial = false;
  // The options given, by their long names, so that one the command does not use is
  // refused rather than ignored.
  std::vector<std::string> given;
};

// Whether the command loads its FILE into the image before it runs.
bool TakesFile(const CliOptions& options);

// Parses the arguments after the program name. Options may stand before or after
// the command, as --name VALUE or --name=VALUE; "--" ends them. Throws UsageError.
CliOptions ParseCommandLine(std::span<const char* const> args);

}  // namespace vql

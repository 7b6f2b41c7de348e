// vql-isp-cli as a child process: started with a chosen environment in a chosen
// folder, its standard output and error collected, its exit status or signal kept.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vql::testing {

// The test binary is <build>/tests/vqlisp_tests, the program <build>/src/vql-isp-cli.
std::filesystem::path CliExecutable();

struct CliResult {
  int status = -1;  // the exit status, or minus the signal that ended it
  std::string out;
  std::string err;
};

// Runs the program in cwd with the environment of the test minus every VQLISP_
// variable and every variable that env sets, plus env; args {"--shell", SCRIPT} run
// SCRIPT in bash instead, with the program's path in $CLI. The child leads a process
// group of its own. watch sees standard output after every piece that arrives, and
// every 200 ms that nothing does, and may signal the child (minus its pid: the whole
// group). A child that hangs is killed after a generous time.
CliResult RunCli(const std::vector<std::string>& args, const std::vector<std::string>& env,
                 const std::filesystem::path& cwd,
                 const std::function<void(pid_t, const std::string&)>& watch = {});

}  // namespace vql::testing

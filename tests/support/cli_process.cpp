#include "support/cli_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string_view>

extern char** environ;

namespace vql::testing {

namespace fs = std::filesystem;

fs::path CliExecutable() {
  return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "src" / "vql-isp-cli";
}

CliResult RunCli(const std::vector<std::string>& args, const std::vector<std::string>& env,
                 const fs::path& cwd,
                 const std::function<void(pid_t, const std::string&)>& watch) {
  // {"--shell", SCRIPT}: bash runs the script, which finds the program in $CLI.
  const bool shell = !args.empty() && args[0] == "--shell";
  const std::string exe = shell ? "/bin/bash" : CliExecutable().string();
  std::vector<std::string> argStrings{exe};
  if (shell) {
    argStrings.insert(argStrings.end(), {"-c", args.at(1)});
  } else {
    argStrings.insert(argStrings.end(), args.begin(), args.end());
  }
  std::vector<std::string> envStrings;
  const auto overridden = [&env](std::string_view variable) {
    const std::string_view name = variable.substr(0, variable.find('=') + 1);
    return std::any_of(env.begin(), env.end(),
                       [name](const std::string& set) { return set.starts_with(name); });
  };
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view variable(*e);
    if (!variable.starts_with("VQLISP_") && !overridden(variable)) envStrings.emplace_back(*e);
  }
  envStrings.insert(envStrings.end(), env.begin(), env.end());
  if (shell) envStrings.push_back("CLI=" + CliExecutable().string());
  std::vector<char*> argv, envp;
  for (std::string& s : argStrings) argv.push_back(s.data());
  for (std::string& s : envStrings) envp.push_back(s.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  const std::string dir = cwd.string();

  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return {};
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    // A group of its own, which a watch can signal whole, as a terminal does.
    ::setpgid(0, 0);
    ::dup2(outPipe[1], STDOUT_FILENO);
    ::dup2(errPipe[1], STDERR_FILENO);
    if (::chdir(dir.c_str()) == 0) ::execve(exe.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);

  CliResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ADD_FAILURE() << "vql-isp-cli did not end; output so far:\n" << result.out << result.err;
      break;
    }
    const int ready = ::poll(fds, 2, 200);
    if (ready < 0) continue;
    if (ready == 0 && watch) watch(pid, result.out);  // quiet: a child that waits
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
        continue;
      }
      (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(got));
      if (i == 0 && watch) watch(pid, result.out);
    }
  }
  for (pollfd& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  return result;
}

}  // namespace vql::testing

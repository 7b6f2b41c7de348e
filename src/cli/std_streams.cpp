#include "cli/std_streams.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/exit_status.h"

namespace vql::std_streams {

namespace {

// The stream that failed first and why; the program's one piece of such state.
const char* failedStream = nullptr;
int failedError = 0;

void Note(std::FILE* stream, const char* name) {
  if (failedStream != nullptr || std::ferror(stream) == 0) return;
  failedStream = name;
  failedError = errno != 0 ? errno : EIO;
}

}  // namespace

void Check() {
  Note(stdout, "standard output");
  Note(stderr, "standard error");
}

bool Failed() { return failedStream != nullptr; }

int Finish(int status) {
  errno = 0;
  if (std::fflush(stdout) != 0) Note(stdout, "standard output");
  errno = 0;
  if (std::fflush(stderr) != 0) Note(stderr, "standard error");
  Check();
  if (!Failed()) return status;
  if (std::string(failedStream) != "standard error") {
    std::fprintf(stderr, "vql-isp-cli: cannot write to %s: %s\n", failedStream,
                 std::strerror(failedError));
    std::fflush(stderr);
  }
  return kExitUsage;
}

}  // namespace vql::std_streams

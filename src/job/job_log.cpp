#include "job/job_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "job/job_file.h"

namespace vql {

std::string LogValue(const std::string& text) {
  if (text.empty()) return "-";
  std::string value;
  for (const char c : text) {
    if (c == '%' || c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      value += escaped;
    } else {
      value += c;
    }
  }
  return value;
}

void AppendLogLine(const std::string& path, const std::string& line) {
  const std::string text = line + "\n";
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    throw JobError("Cannot open the log \"" + path + "\": " + std::strerror(errno));
  }
  // One write of the whole line: lines that several processes append never interleave.
  const ssize_t wrote = ::write(fd, text.data(), text.size());
  const int writeError = errno;
  const bool synced = wrote == static_cast<ssize_t>(text.size()) && ::fdatasync(fd) == 0;
  const int syncError = errno;
  ::close(fd);
  if (wrote != static_cast<ssize_t>(text.size())) {
    throw JobError("Cannot write to the log \"" + path + "\": " +
                   (wrote < 0 ? std::strerror(writeError) : "the disk is full"));
  }
  if (!synced) {
    throw JobError("Cannot write to the log \"" + path + "\": " + std::strerror(syncError));
  }
}

}  // namespace vql

#include "portio/port_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <utility>

#include "portio/parport_lookup.h"
#include "portio/port_io.h"

namespace vql {
namespace {

std::string LockFileName(std::uint16_t base) {
  char name[32];
  std::snprintf(name, sizeof name, "vql-isp-port-%04X.lock", static_cast<unsigned>(base));
  return name;
}

// A descriptor on the lock file at path, made if it is missing; minus the errno when
// it cannot be had. The file is made readable and writable for everyone, so that a
// program run as root and one run as a user meet at the same lock. An existing file
// is opened without O_CREAT, which the kernel's protection of files in sticky folders
// (fs.protected_regular) would refuse for a file another user made; without write
// permission it is opened for reading, which is enough for the lock. Links are not
// followed and only a plain file will do: anyone may put things into /run/lock, and a
// program run as root must not truncate whatever a link there points to.
int OpenLockFile(const std::string& path) {
  int fd = -1;
  // Twice: a file that another program makes between the two opens is opened as it is.
  for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
    fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 && errno == EACCES) {
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    }
    if (fd >= 0 || errno != ENOENT) break;
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) ::fchmod(fd, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return -errno;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    return -EINVAL;
  }
  return fd;
}

// The process id written into the lock file by its holder, when that process still
// runs; 0 otherwise.
long HolderOf(int fd) {
  char text[32] = {};
  const ssize_t size = ::pread(fd, text, sizeof text - 1, 0);
  long pid = 0;
  if (size <= 0 || std::from_chars(text, text + size, pid).ec != std::errc{} || pid <= 0) {
    return 0;
  }
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM ? pid : 0;
}

std::string InUseText(std::string_view name, std::uint16_t base, const std::string& path,
                      long holder) {
  return PortLabel(name, base) + " is in use by another program: " +
         (holder != 0 ? "process " + std::to_string(holder) + " holds" : "another process holds") +
         " its lock file " + path +
         ". Only one program at a time may drive a port: close the other window or command, "
         "or wait for it to end, then try again.";
}

}  // namespace

PortLock PortLock::Take(const std::vector<std::string>& folders, std::string_view name,
                        std::uint16_t base) {
  PortLock lock;
  for (const std::string& folder : folders) {
    const std::string path = folder + "/" + LockFileName(base);
    const int fd = OpenLockFile(path);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const long holder = HolderOf(fd);
      ::close(fd);
      throw PortError(InUseText(name, base, path, holder));
    }
    // Who holds it, for the message of the next one to try. A file opened only for
    // reading keeps an earlier holder's number; HolderOf names it only while that
    // process runs.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
      [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
    }
    lock.fd_ = fd;
    lock.path_ = path;
    return lock;
  }
  return lock;
}

PortLock::PortLock(PortLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

PortLock& PortLock::operator=(PortLock&& other) noexcept {
  std::swap(fd_, other.fd_);
  std::swap(path_, other.path_);
  return *this;
}

PortLock::~PortLock() {
  // Closing the last descriptor lets go of the lock. The file stays: removing it
  // would race with a program that has just opened it.
  if (fd_ >= 0) ::close(fd_);
}

std::vector<std::string> PortLockFolders(const std::string& sysRoot, const char* runtimeDir) {
  std::vector<std::string> folders{sysRoot + "/run/lock"};
  if (runtimeDir != nullptr && *runtimeDir != '\0') folders.emplace_back(runtimeDir);
  return folders;
}

}  // namespace vql

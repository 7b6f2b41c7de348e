// One program per port: an advisory lock (flock) on a file named after the port's
// base address, held for as long as a back end has the port. The ppdev and the
// direct back ends take the same file, so that the window and the terminal, or two
// of either, never interleave their edges on one cable. The lock goes with the
// process: a program that is killed lets go of it at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vql {

class PortLock {
 public:
  // Takes the lock for the port at base in the first of folders where its file can be
  // opened or made. Throws PortError, naming the port, the lock file and the process
  // that holds it, when another process holds it. Where no folder serves, nothing is
  // held (Held() is false) and the port is used all the same: the lock guards against
  // a mistake, and a machine without a lock folder should not lose its cable for it.
  static PortLock Take(const std::vector<std::string>& folders, std::string_view name,
                       std::uint16_t base);

  PortLock(PortLock&& other) noexcept;
  PortLock& operator=(PortLock&& other) noexcept;
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;
  ~PortLock();

  bool Held() const { return fd_ >= 0; }
  // The lock file, or "" when nothing is held.
  const std::string& Path() const { return path_; }

 private:
  PortLock() = default;

  int fd_ = -1;
  std::string path_;
};

// Where lock files go, in the order they are tried: <sysRoot>/run/lock, shared by
// every user, then runtimeDir ($XDG_RUNTIME_DIR; nullptr or "" when unset), which is
// the user's own and keeps out only the same user's programs.
std::vector<std::string> PortLockFolders(const std::string& sysRoot, const char* runtimeDir);

}  // namespace vql

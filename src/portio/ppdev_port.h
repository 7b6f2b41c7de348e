// The ppdev back end: printer port registers through Linux /dev/parportN, which
// needs no root, only access to the device node (the lp group). The configured base
// address picks the device by the kernel's list of parallel ports.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "portio/port_io.h"

namespace vql {

// The three system calls the back end makes, so that tests can stand in for the
// kernel and see every request.
class PpdevSystem {
 public:
  virtual ~PpdevSystem() = default;
  // A descriptor opened read-write (close-on-exec), or minus the errno.
  virtual int Open(const std::string& path) = 0;
  // 0, or the errno. argument points to what the request reads or fills in.
  virtual int Ioctl(int fd, unsigned long request, void* argument) = 0;
  virtual void Close(int fd) = 0;
};

// open, ioctl and close of the running kernel.
std::unique_ptr<PpdevSystem> RealPpdevSystem();

struct PpdevOptions {
  // Where the port's lock file goes (PortLockFolders); empty: <sysRoot>/run/lock.
  std::vector<std::string> lockFolders;
  // How long a shared claim may wait for the port's holder to let go.
  std::chrono::milliseconds claimBound{2000};
};

// Opens nothing until AttachPort, which takes the port's lock file, opens
// <sysRoot>/dev/parportN, claims it (exclusively where no other driver has the port
// registered; shared only while nobody holds it, and then for claimBound at most)
// and keeps both until DetachPort or until the object goes. sysRoot "" means the real
// system; system nullptr means RealPpdevSystem().
std::unique_ptr<PortIo> MakePpdevPort(const std::string& sysRoot,
                                      std::unique_ptr<PpdevSystem> system = nullptr,
                                      PpdevOptions options = {});

// What to tell the operator when opening devicePath for the port failed with errno
// error, or when claiming it did.
std::string PpdevOpenErrorText(std::string_view name, std::uint16_t base,
                               std::string_view devicePath, int error);
std::string PpdevClaimErrorText(std::string_view name, std::uint16_t base,
                                std::string_view devicePath, int error);
// ... when holder (the name the kernel gives it: "lp", "ppdev1") has the port now.
std::string PpdevHeldText(std::string_view name, std::uint16_t base,
                          std::string_view devicePath, std::string_view holder);
// ... when the shared claim was interrupted: by its timer after bound (timedOut), or
// by another signal before.
std::string PpdevClaimWaitText(std::string_view name, std::uint16_t base,
                               std::string_view devicePath, bool timedOut,
                               std::chrono::milliseconds bound, std::string_view holder);

}  // namespace vql

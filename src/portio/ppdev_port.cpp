#include "portio/ppdev_port.h"

#include <fcntl.h>
#include <linux/ppdev.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <utility>
#include <vector>

#include "portio/cable_pins.h"
#include "portio/parport_lookup.h"
#include "portio/port_lock.h"

namespace vql {
namespace {

constexpr std::string_view kAddressHint =
    " in CONFIG.VQL, as four digits (PCI and PCIe cards sit at addresses such as D010 or 3000).";

constexpr std::string_view kLoadPpdevHint =
    "Load it with \"sudo modprobe ppdev\" (to load it at every start, write ppdev into "
    "/etc/modules-load.d/ppdev.conf).";

// A parallel port that the kernel lists at base 0 is no I/O port: USB parallel
// adapters (the uss720 driver and the like) register one so. They can switch single
// lines, but every change is a USB request that the host schedules, a millisecond or
// so apiece and at no time the program can keep: far too slow and too uneven for the
// serial clock.
bool IsUsbBridge(const KnownParport& port) { return port.base == 0; }

std::string KnownPortsList(const std::vector<KnownParport>& known) {
  std::string list;
  for (std::size_t i = 0; i < known.size(); ++i) {
    if (i > 0) list += i + 1 == known.size() ? " and " : ", ";
    char base[16];
    std::snprintf(base, sizeof base, "0x%X", static_cast<unsigned>(known[i].base));
    list += known[i].name + " at " + base;
  }
  return list;
}

// " parport1 is a USB parallel adapter: ..." for the bridges among known; "" when there
// are none.
std::string UsbBridgesText(const std::vector<KnownParport>& known) {
  std::vector<std::string> names;
  for (const auto& port : known) {
    if (IsUsbBridge(port)) names.push_back(port.name);
  }
  if (names.empty()) return {};
  std::string text = " ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
    text += names[i];
  }
  const bool one = names.size() == 1;
  return text + (one ? " is a USB parallel adapter" : " are USB parallel adapters") +
         ", which can switch the lines, but each change is a USB request timed by the host: a "
         "12 KiB read would take many minutes, at an uneven serial clock, so the program does "
         "not use " +
         (one ? "it." : "them.");
}

std::string NoParportAtAddressText(std::string_view name, std::uint16_t base,
                                   const std::vector<KnownParport>& known) {
  const std::string label = PortLabel(name, base);
  std::vector<KnownParport> ports;
  std::ranges::copy_if(known, std::back_inserter(ports), std::not_fn(IsUsbBridge));
  if (ports.empty()) {
    // parport_pc takes the ports on the main board; many PCIe cards it does not take.
    return label +
           (known.empty() ? ": the kernel knows no parallel port at all."
                          : ": the kernel knows no parallel port that can drive the cable." +
                                UsbBridgesText(known)) +
           " If the computer has one on the main board, load its driver with \"sudo modprobe "
           "parport_pc\" and try again. A PCI or PCIe card that this driver does not take: "
           "find the card and its I/O ports with \"lspci -nn\" and \"lspci -v\"; a card with "
           "serial and parallel ports on it may need \"sudo modprobe parport_serial\"; "
           "otherwise the direct back end drives it at the card's I/O address "
           "(VQLISP_PORT=direct, as root). If the port sits at another address, write that "
           "for " +
           std::string(name) + std::string(kAddressHint);
  }
  return label + ": the kernel knows no parallel port at this address; it knows " +
         KnownPortsList(ports) + "." + UsbBridgesText(known) +
         " Write the address of the port the cable is on for " + std::string(name) +
         std::string(kAddressHint);
}

std::string UsbPrinterOnlyText(std::string_view name, std::uint16_t base) {
  return PortLabel(name, base) +
         ": the only printer ports here are USB printer adapters (/dev/usb/lp*). Those are "
         "printer-class devices: they pass whole bytes on to a printer and cannot set or read "
         "single lines, so they cannot drive the programming cable. A real parallel port is "
         "needed, on the main board or on a PCI or PCIe card.";
}

// The byte written right after the claim: the run-mode lines (MODE7 and MODE3 high,
// which turns the cable's buffer off; RST, SCK and MOSI low), so that a target on the
// cable is released to run, whatever the port held before.
constexpr std::uint8_t kRunModeLines = cable::kMode7 | cable::kMode3;

std::string RequestFailedText(std::string_view path, std::string_view label,
                              std::string_view request, int error) {
  return std::string(path) + " for " + std::string(label) + " failed: the kernel refused " +
         std::string(request) + " (" + std::strerror(error) +
         "). The port is not used any further: check the card and its driver (a card "
         "taken out, a driver unloaded), then start the program again.";
}

extern "C" void IgnoreAlarm(int /*signal*/) {}

timespec ToTimespec(std::chrono::nanoseconds time) {
  return {static_cast<time_t>(time.count() / 1'000'000'000),
          static_cast<long>(time.count() % 1'000'000'000)};
}

// Runs call with a timer that sends this thread SIGALRM after bound, and again every
// tenth of it, so that a system call that blocks in call returns EINTR: the handler
// does nothing and is installed without SA_RESTART. The signal goes to this thread
// alone, because in the window other threads run beside it that would take a signal
// sent to the process. The repeats catch a signal that came just before the call
// began to wait. Where no timer can be had, call runs unbounded.
int CallWithin(std::chrono::milliseconds bound, const std::function<int()>& call) {
  struct sigaction quiet {};
  quiet.sa_handler = IgnoreAlarm;
  sigemptyset(&quiet.sa_mask);
  struct sigaction previous {};
  ::sigaction(SIGALRM, &quiet, &previous);
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  sigset_t previousMask;
  ::pthread_sigmask(SIG_UNBLOCK, &alarm, &previousMask);
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = SIGALRM;
  event._sigev_un._tid = ::gettid();  // glibc names no field for it before 2.41
  timer_t timer{};
  const bool armed = ::timer_create(CLOCK_MONOTONIC, &event, &timer) == 0;
  if (armed) {
    itimerspec when{};
    when.it_value = ToTimespec(bound);
    when.it_interval = ToTimespec(std::max(std::chrono::milliseconds(1), bound / 10));
    ::timer_settime(timer, 0, &when, nullptr);
  }
  const int result = call();
  // A signal still on its way is delivered as the call below returns, to the quiet
  // handler, before the previous one is back.
  if (armed) ::timer_delete(timer);
  ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  ::sigaction(SIGALRM, &previous, nullptr);
  return result;
}

// The device that holds the port now, after <activePath> (the kernel writes its name,
// or "none"): "lp" while the printer driver prints, "ppdev0" for a program through
// /dev/parport0. "" when nobody does or the file cannot be read.
std::string PortHolder(const std::string& activePath) {
  std::ifstream in(activePath);
  std::string holder;
  if (!std::getline(in, holder) || holder == "none") return {};
  return holder;
}

class RealSystem final : public PpdevSystem {
 public:
  int Open(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    return fd >= 0 ? fd : -errno;
  }
  int Ioctl(int fd, unsigned long request, void* argument) override {
    return ::ioctl(fd, request, argument) == 0 ? 0 : errno;
  }
  void Close(int fd) override { ::close(fd); }
};

// An open, claimed /dev/parportN. Released and closed on destruction, so that the
// printer driver or another program can have the port afterwards.
//
// The data register is never read from the port: reads answer the byte last written.
// That saves a request per line change, and a slow line (RST behind the target's
// reset capacitor) can never be read back at its old level and written back so.
class ClaimedParport {
 public:
  // Throws PortError with the text for what went wrong.
  static ClaimedParport Open(PpdevSystem& system, const std::string& path,
                             const std::string& activePath, std::string_view name,
                             std::uint16_t base, std::chrono::milliseconds claimBound) {
    ClaimedParport port(system, path, PortLabel(name, base));
    port.fd_ = OpenDevice(system, path, name, base);
    // Exclusive where it can be, so that no other driver can take the port between two
    // of our clock edges; PPEXCL only takes effect with the claim that follows it. That
    // claim never waits: the kernel refuses it with ENXIO at once when any other
    // client has the port registered, as the lp printer driver has every port from
    // the moment it loads (the kernel may log "cannot grant exclusive access" for it).
    // A shared claim still keeps every other client off while the program holds the
    // port; the flag stays with the open file, so the device is opened afresh for it.
    int error = system.Ioctl(port.fd_, PPEXCL, nullptr);
    if (error == 0) {
      error = system.Ioctl(port.fd_, PPCLAIM, nullptr);
      if (error == ENXIO) {
        system.Close(std::exchange(port.fd_, -1));
        port.shared_ = true;
        // A shared claim sleeps until the holder lets go, and it sleeps holding the
        // lock that every ppdev request on every port takes, so that a program which
        // holds a port through ppdev cannot even release it meanwhile. So a port that
        // is held now is refused at once, and the claim is bounded by a timer.
        if (const std::string holder = PortHolder(activePath); !holder.empty()) {
          throw PortError(PpdevHeldText(name, base, path, holder));
        }
        port.fd_ = OpenDevice(system, path, name, base);
        const auto start = std::chrono::steady_clock::now();
        error = CallWithin(claimBound,
                           [&] { return system.Ioctl(port.fd_, PPCLAIM, nullptr); });
        if (error == EINTR) {
          throw PortError(PpdevClaimWaitText(
              name, base, path, std::chrono::steady_clock::now() - start >= claimBound,
              claimBound, PortHolder(activePath)));
        }
      }
    }
    if (error != 0) throw PortError(PpdevClaimErrorText(name, base, path, error));
    port.claimed_ = true;
    // The data lines driven (a port left in reverse by another program would read
    // them instead), and the target released.
    int forward = 0;
    port.SetUp(PPDATADIR, "PPDATADIR", &forward);
    unsigned char byte = kRunModeLines;
    port.SetUp(PPWDATA, "PPWDATA", &byte);
    port.shadow_ = kRunModeLines;
    return port;
  }

  ClaimedParport(ClaimedParport&& other) noexcept
      : system_(other.system_),
        path_(std::move(other.path_)),
        label_(std::move(other.label_)),
        fd_(std::exchange(other.fd_, -1)),
        claimed_(std::exchange(other.claimed_, false)),
        shared_(other.shared_),
        shadow_(other.shadow_),
        failure_(std::move(other.failure_)) {}
  ClaimedParport& operator=(ClaimedParport&&) = delete;
  ClaimedParport(const ClaimedParport&) = delete;
  ClaimedParport& operator=(const ClaimedParport&) = delete;

  ~ClaimedParport() {
    if (fd_ < 0) return;
    if (claimed_) system_->Ioctl(fd_, PPRELEASE, nullptr);
    system_->Close(fd_);
  }

  std::uint8_t Data() const { return failure_.empty() ? shadow_ : 0xFF; }

  std::uint8_t Status() {
    unsigned char value = 0xFF;
    if (!failure_.empty()) return 0xFF;
    if (const int error = system_->Ioctl(fd_, PPRSTATUS, &value); error != 0) {
      failure_ = RequestFailedText(path_, label_, "PPRSTATUS", error);
      return 0xFF;
    }
    return value;
  }

  void WriteData(std::uint8_t value) {
    if (!failure_.empty()) return;
    unsigned char byte = value;
    if (const int error = system_->Ioctl(fd_, PPWDATA, &byte); error != 0) {
      failure_ = RequestFailedText(path_, label_, "PPWDATA", error);
      return;
    }
    shadow_ = value;
  }

  const std::string& Failure() const { return failure_; }
  bool Shared() const { return shared_; }

 private:
  ClaimedParport(PpdevSystem& system, std::string path, std::string label)
      : system_(&system), path_(std::move(path)), label_(std::move(label)) {}

  static int OpenDevice(PpdevSystem& system, const std::string& path, std::string_view name,
                        std::uint16_t base) {
    const int fd = system.Open(path);
    if (fd < 0) throw PortError(PpdevOpenErrorText(name, base, path, -fd));
    return fd;
  }

  void SetUp(unsigned long request, std::string_view requestName, void* argument) {
    if (const int error = system_->Ioctl(fd_, request, argument); error != 0) {
      throw PortError(RequestFailedText(path_, label_, requestName, error));
    }
  }

  PpdevSystem* system_;
  std::string path_;
  std::string label_;
  int fd_ = -1;
  bool claimed_ = false;
  bool shared_ = false;
  std::uint8_t shadow_ = 0;
  std::string failure_;
};

class PpdevPort final : public PortIo {
 public:
  PpdevPort(std::string sysRoot, std::unique_ptr<PpdevSystem> system, PpdevOptions options)
      : sysRoot_(std::move(sysRoot)), system_(std::move(system)), options_(std::move(options)) {
    if (options_.lockFolders.empty()) options_.lockFolders = PortLockFolders(sysRoot_, nullptr);
  }

  void AttachPort(std::string_view name, std::uint16_t base) override {
    if (Find(base) != nullptr) return;
    const auto known = ListKernelParports(sysRoot_);
    const auto match = std::ranges::find(known, std::uint32_t{base}, &KnownParport::base);
    if (match == known.end()) {
      if (OnlyUsbPrinterAdapters(sysRoot_)) throw PortError(UsbPrinterOnlyText(name, base));
      throw PortError(NoParportAtAddressText(name, base, known));
    }
    // The lock first: a second copy of this program never reaches the claim.
    PortLock lock = PortLock::Take(options_.lockFolders, name, base);
    const std::string path = sysRoot_ + "/dev/" + match->name;
    const std::string activePath =
        sysRoot_ + "/proc/sys/dev/parport/" + match->name + "/devices/active";
    auto device = std::make_unique<ClaimedParport>(ClaimedParport::Open(
        *system_, path, activePath, name, base, options_.claimBound));
    attached_.push_back({base, PortLabel(name, base), path, std::move(device), std::move(lock)});
  }

  void DetachPort(std::uint16_t base) override {
    // Erased, the device is released and closed.
    std::erase_if(attached_, [base](const Attached& port) { return port.base == base; });
  }

  std::uint16_t Inport(std::uint16_t address) override {
    for (auto& port : attached_) {
      if (address == port.base) return port.device->Data();
      if (address == port.base + 1U) return port.device->Status();
    }
    return 0xFF;
  }

  void Outport(std::uint16_t address, std::uint16_t value) override {
    // Only the data register takes writes; status is read-only and control is left
    // as the kernel set it up at the claim.
    if (Attached* port = Find(address)) {
      port->device->WriteData(static_cast<std::uint8_t>(value & 0xFFU));
    }
  }

  std::string Failure() const override {
    for (const auto& port : attached_) {
      if (!port.device->Failure().empty()) return port.device->Failure();
    }
    return {};
  }

  std::string Description() const override {
    if (attached_.empty()) return "ppdev (no port attached yet)";
    std::string text;
    for (const auto& port : attached_) {
      if (!text.empty()) text += ", ";
      text += port.path +
              (port.device->Shared() ? " (ppdev, shared with the lp driver)" : " (ppdev)") +
              " for " + port.label;
    }
    return text;
  }

 private:
  struct Attached {
    std::uint16_t base;
    std::string label;
    std::string path;
    std::unique_ptr<ClaimedParport> device;  // released before the lock goes
    PortLock lock;
  };

  Attached* Find(std::uint16_t base) {
    const auto it = std::ranges::find(attached_, base, &Attached::base);
    return it == attached_.end() ? nullptr : &*it;
  }

  std::string sysRoot_;
  std::unique_ptr<PpdevSystem> system_;
  PpdevOptions options_;
  std::vector<Attached> attached_;
};

}  // namespace

std::unique_ptr<PpdevSystem> RealPpdevSystem() { return std::make_unique<RealSystem>(); }

std::unique_ptr<PortIo> MakePpdevPort(const std::string& sysRoot,
                                      std::unique_ptr<PpdevSystem> system, PpdevOptions options) {
  return std::make_unique<PpdevPort>(sysRoot, system ? std::move(system) : RealPpdevSystem(),
                                     std::move(options));
}

std::string PpdevOpenErrorText(std::string_view name, std::uint16_t base,
                               std::string_view devicePath, int error) {
  const std::string label = PortLabel(name, base);
  switch (error) {
    case EACCES:
    case EPERM:
      return "No permission to open " + std::string(devicePath) + " for " + label +
             ". Add yourself to the lp group with \"sudo usermod -aG lp $USER\" and log in "
             "again, or give the device to your user with a udev rule.";
    case ENOENT:
      return std::string(devicePath) + " for " + label +
             " does not exist: the ppdev driver is not loaded. " + std::string(kLoadPpdevHint);
    case ENODEV:
    case ENXIO:
      return std::string(devicePath) + " for " + label +
             " has no driver behind it: the ppdev driver is not loaded. " +
             std::string(kLoadPpdevHint);
    default:
      return "Cannot open " + std::string(devicePath) + " for " + label + ": " +
             std::strerror(error) + ".";
  }
}

std::string PpdevClaimErrorText(std::string_view name, std::uint16_t base,
                                std::string_view devicePath, int error) {
  // Only the shared claim comes here with ENXIO: the kernel registers no further
  // client on a port that one holds exclusively.
  if (error == ENXIO) {
    return std::string(devicePath) + " for " + PortLabel(name, base) +
           " is held exclusively by another program, which lets no other client on the "
           "port. Close it (a second copy of this program, or another tool that drives the "
           "port through ppdev), then try again.";
  }
  return "Cannot claim " + std::string(devicePath) + " for " + PortLabel(name, base) + ": " +
         std::strerror(error) + ".";
}

std::string PpdevHeldText(std::string_view name, std::uint16_t base,
                          std::string_view devicePath, std::string_view holder) {
  const std::string start = std::string(devicePath) + " for " + PortLabel(name, base) + " is in use: ";
  if (holder == "lp") {
    return start +
           "the lp printer driver holds it for a print job. Wait until the job has ended, or "
           "cancel it, then try again. To keep printing off the programming port, unload the "
           "driver with \"sudo rmmod lp\" (and write \"blacklist lp\" into a file in "
           "/etc/modprobe.d/ to keep it from coming back).";
  }
  if (holder.starts_with("ppdev")) {
    return start + "another program holds it through ppdev (the kernel calls it " +
           std::string(holder) + "). Close that program, or let it finish, then try again.";
  }
  return start + "the kernel's " + std::string(holder) +
         " driver holds it. Unload that driver, then try again.";
}

std::string PpdevClaimWaitText(std::string_view name, std::uint16_t base,
                               std::string_view devicePath, bool timedOut,
                               std::chrono::milliseconds bound, std::string_view holder) {
  const std::string label = PortLabel(name, base);
  if (!timedOut) {
    return "Claiming " + std::string(devicePath) + " for " + label +
           " was interrupted: the port is not used.";
  }
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g", std::chrono::duration<double>(bound).count());
  return std::string(devicePath) + " for " + label +
         " is busy: its holder did not let go of it within " + seconds + " s" +
         (holder.empty() ? std::string() : " (the kernel names it " + std::string(holder) + ")") +
         ". A print job or another program has the port; wait for it to end, then try "
         "again.";
}

}  // namespace vql

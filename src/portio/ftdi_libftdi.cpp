#include "portio/ftdi_libftdi.h"

#include "portio/port_io.h"

#ifdef VQLISP_HAVE_LIBFTDI

#include <ftdi.h>
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <optional>
#include <utility>
#include <vector>

#include "portio/ftdi_diagnosis.h"

namespace vql {
namespace {

using std::chrono::steady_clock;

// How long a transfer may go without a byte moving before the adapter counts as gone.
// The chips answer every latency-timer period (255 ms at most) even with nothing to
// send, so a second of silence means the adapter no longer answers at all.
constexpr auto kStallBound = std::chrono::seconds(1);

struct FreeContext {
  void operator()(ftdi_context* context) const { ftdi_free(context); }
};
using FtdiContext = std::unique_ptr<ftdi_context, FreeContext>;

struct FreeDeviceList {
  void operator()(ftdi_device_list* list) const { ftdi_list_free2(list); }
};
using DeviceList = std::unique_ptr<ftdi_device_list, FreeDeviceList>;

std::optional<FtdiChip> ChipOfType(ftdi_chip_type type) {
  switch (type) {
    case TYPE_232H:
      return FtdiChip::FT232H;
    case TYPE_2232H:
      return FtdiChip::FT2232H;
    case TYPE_R:
      return FtdiChip::FT232R;
    default:
      return std::nullopt;
  }
}

std::string_view TypeName(ftdi_chip_type type) {
  switch (type) {
    case TYPE_4232H:
      return "an FT4232H";
    case TYPE_230X:
      return "an FT230X-series chip";
    case TYPE_2232C:
      return "an FT2232C or FT2232D";
    default:
      return "an older FTDI chip";
  }
}

bool NodeWritable(const std::string& node) { return ::access(node.c_str(), R_OK | W_OK) == 0; }

UsbLocation LocationOf(libusb_device* device) {
  return {libusb_get_bus_number(device), libusb_get_device_address(device)};
}

// A string descriptor of the open device; "" when it has none or it cannot be read.
std::string ReadString(libusb_device_handle* handle, std::uint8_t index) {
  unsigned char text[128];
  if (index == 0) return {};
  const int length = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text);
  if (length <= 0) return {};
  return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
}

class LibftdiAdapter final : public FtdiIo {
 public:
  LibftdiAdapter(FtdiContext context, FtdiChip chip, std::string name)
      : context_(std::move(context)), chip_(chip), name_(std::move(name)) {}
  ~LibftdiAdapter() override { Close(); }
  LibftdiAdapter(const LibftdiAdapter&) = delete;
  LibftdiAdapter& operator=(const LibftdiAdapter&) = delete;

  FtdiChip Chip() const override { return chip_; }
  std::string Name() const override { return name_; }

  bool SetBitmode(std::uint8_t mask, std::uint8_t mode) override {
    return Usable() && Check(ftdi_set_bitmode(context_.get(), mask, mode));
  }
  // For these two, libftdi's -1 is a value out of range, not an adapter gone.
  bool SetLatencyTimer(std::uint8_t ms) override {
    if (!Usable()) return false;
    const int result = ftdi_set_latency_timer(context_.get(), ms);
    if (result == -1) return Refuse("a latency timer of " + std::to_string(ms) + " ms");
    return Check(result);
  }
  bool SetBaudRate(int baud) override {
    if (!Usable()) return false;
    const int result = ftdi_set_baudrate(context_.get(), baud);
    if (result == -1) return Refuse("a baud rate of " + std::to_string(baud));
    return Check(result);
  }
  bool Purge() override { return Usable() && Check(ftdi_tcioflush(context_.get())); }

  bool Write(std::span<const std::uint8_t> bytes) override {
    return Usable() && Transfer(bytes.size(), "written", [&](std::size_t done, int size) {
             return ftdi_write_data(context_.get(), bytes.data() + done, size);
           });
  }
  bool Read(std::span<std::uint8_t> bytes) override {
    return Usable() && Transfer(bytes.size(), "read", [&](std::size_t done, int size) {
             return ftdi_read_data(context_.get(), bytes.data() + done, size);
           });
  }

  // The bit mode is reset only while the adapter still answers: one that has stopped
  // would hold the close up by a USB timeout for nothing.
  void Close() override {
    if (!context_) return;
    if (error_.empty()) ftdi_set_bitmode(context_.get(), 0, BITMODE_RESET);
    ftdi_usb_close(context_.get());
    context_.reset();
  }

  std::string Error() const override { return error_; }

 private:
  bool Usable() {
    if (!error_.empty()) return false;
    if (!context_) {
      error_ = "the USB adapter " + name_ + " is closed";
      return false;
    }
    return true;
  }

  bool Fail(std::string_view why) {
    error_ = "the USB adapter " + name_ + " stopped answering (unplugged?): " + std::string(why);
    return false;
  }

  bool Refuse(std::string_view setting) {
    error_ = "the USB adapter " + name_ + " cannot take " + std::string(setting) + " (" +
             ftdi_get_error_string(context_.get()) + ")";
    return false;
  }

  bool Check(int result) {
    return result >= 0 || Fail(ftdi_get_error_string(context_.get()));
  }

  // Moves total bytes through step (libftdi's write or read from offset done, of at most
  // size bytes, answering the count moved), call after call, until all have moved or
  // none has for kStallBound.
  template <typename Step>
  bool Transfer(std::size_t total, std::string_view moved, Step step) {
    std::size_t done = 0;
    auto lastProgress = steady_clock::now();
    while (done < total) {
      const int size = static_cast<int>(std::min<std::size_t>(total - done, INT_MAX));
      const int count = step(done, size);
      if (count < 0) return Fail(ftdi_get_error_string(context_.get()));
      if (count > 0) {
        done += static_cast<std::size_t>(count);
        lastProgress = steady_clock::now();
      } else if (steady_clock::now() - lastProgress > kStallBound) {
        return Fail("nothing " + std::string(moved) + " for a second, after " +
                    std::to_string(done) + " of " + std::to_string(total) + " bytes");
      }
    }
    return true;
  }

  FtdiContext context_;
  FtdiChip chip_;
  std::string name_;
  std::string error_;
};

struct Candidate {
  libusb_device* device = nullptr;
  FtdiUsbId id;
  UsbLocation where;
};

std::string LibftdiError(const FtdiContext& context) {
  return ftdi_get_error_string(context.get());
}

// The adapters of every id asked for, in order, with the first one that matches the
// selector; an adapter whose serial number cannot be read for want of permission is
// passed over, but reported if nothing matches. Throws PortError when nothing does.
// lists keeps the devices found alive.
Candidate FindAdapter(const FtdiContext& context, const FtdiSelector& selector,
                      std::vector<DeviceList>& lists) {
  FtdiSearch search{{}, selector.serial, selector.interface, {}};
  if (selector.id) {
    search.ids.push_back(*selector.id);
  } else {
    for (const auto& known : kKnownFtdiAdapters) search.ids.push_back(known.id);
  }
  std::optional<FtdiOpenFailure> unreadable;
  for (const FtdiUsbId id : search.ids) {
    ftdi_device_list* found = nullptr;
    const int count = ftdi_usb_find_all(context.get(), &found, id.vid, id.pid);
    lists.emplace_back(found);
    if (count < 0) {
      throw PortError("Cannot look for USB programming cables: libusb could not list the USB "
                      "devices (" + LibftdiError(context) + ").");
    }
    for (ftdi_device_list* entry = found; entry != nullptr; entry = entry->next) {
      const Candidate candidate{entry->dev, id, LocationOf(entry->dev)};
      const std::string label = FtdiUsbLabel(id, candidate.where);
      if (const auto chip = KnownFtdiChip(id);
          chip && !FtdiChipHasInterface(*chip, selector.interface)) {
        search.seenOthers.push_back(label + ", which has no interface " +
                                    FtdiInterfaceLetter(selector.interface));
        continue;
      }
      if (selector.serial.empty()) return candidate;
      // ftdi_usb_get_strings opens the device for the moment it reads, and closes it.
      char serial[128] = "";
      const int result = ftdi_usb_get_strings(context.get(), entry->dev, nullptr, 0, nullptr,
                                              0, serial, sizeof serial);
      if (result == 0 && serial == selector.serial) return candidate;
      if (result == 0) {
        search.seenOthers.push_back(label + ", serial " + serial);
        continue;
      }
      const std::string node = UsbNodePath("", candidate.where);
      if (!NodeWritable(node) && !unreadable) {
        unreadable = FtdiOpenFailure{id, candidate.where, node, false, {}, result,
                                     LibftdiError(context)};
      }
      search.seenOthers.push_back(label + ", whose serial number cannot be read (" +
                                  LibftdiError(context) + ")");
    }
  }
  if (unreadable) throw PortError(FtdiOpenErrorText(*unreadable));
  throw PortError(FtdiNotFoundText(search));
}

}  // namespace

bool FtdiBackEndBuilt() { return true; }

std::unique_ptr<FtdiIo> OpenFtdiAdapter(const FtdiSelector& selector, std::string& notice) {
  notice.clear();
  FtdiContext context(ftdi_new());
  if (!context) {
    throw PortError("Cannot use the USB programming cables: libftdi could not set itself up "
                    "(ftdi_new failed; is libusb working?).");
  }
  // A stalled transfer gives up within the stall bound instead of libftdi's 5 s.
  context->usb_read_timeout = kFtdiUsbTimeoutMs;
  context->usb_write_timeout = kFtdiUsbTimeoutMs;
  ftdi_set_interface(context.get(),
                     static_cast<ftdi_interface>(INTERFACE_A + static_cast<int>(selector.interface)));

  std::vector<DeviceList> lists;
  const Candidate candidate = FindAdapter(context, selector, lists);
  const std::string label = FtdiUsbLabel(candidate.id, candidate.where);

  // Whether ftdi_sio had the interface is read from sysfs just before the open, because
  // the open itself detaches it (libftdi's default, AUTO_DETACH_SIO_MODULE) without
  // saying so. libusb_kernel_driver_active would tell as well, but only on a device
  // already opened, and sysfs also names a holder that is no kernel driver ("usbfs":
  // another program that claimed it through libusb), which the messages tell apart.
  const UsbInterfaceBinding before =
      FindUsbInterfaceBinding("", candidate.where, static_cast<int>(selector.interface));
  const int opened = ftdi_usb_open_dev(context.get(), candidate.device);
  if (opened < 0) {
    const std::string node = UsbNodePath("", candidate.where);
    throw PortError(FtdiOpenErrorText(
        {candidate.id, candidate.where, node, NodeWritable(node), before, opened,
         LibftdiError(context)}));
  }

  const auto chip = ChipOfType(context->type);
  if (!chip || !FtdiChipHasInterface(*chip, selector.interface)) {
    const std::string why =
        chip ? "it has no interface " + std::string(1, FtdiInterfaceLetter(selector.interface))
             : "it is built on " + std::string(TypeName(context->type)) +
                   ", and the program drives the FT232H, FT2232H and FT232R only";
    ftdi_usb_close(context.get());
    throw PortError("Cannot use the USB adapter " + label + ": " + why + ".");
  }

  libusb_device_descriptor descriptor{};
  libusb_get_device_descriptor(candidate.device, &descriptor);
  std::string name =
      FtdiAdapterName(ReadString(context->usb_dev, descriptor.iProduct), *chip,
                      ReadString(context->usb_dev, descriptor.iSerialNumber), selector.interface);
  if (before.driver == "ftdi_sio") notice = FtdiSioDetachedNotice(name, candidate.where);
  return std::make_unique<LibftdiAdapter>(std::move(context), *chip, std::move(name));
}

}  // namespace vql

#else  // no libftdi1

namespace vql {

bool FtdiBackEndBuilt() { return false; }

std::unique_ptr<FtdiIo> OpenFtdiAdapter(const FtdiSelector& /*selector*/, std::string& notice) {
  notice.clear();
  throw PortError(
      "This build of VQL-ISP cannot drive USB programming cables: it was built without "
      "libftdi1. Install it (sudo apt-get install libftdi1-dev, or ./scripts/install-deps) and "
      "build again; cmake finds it with pkg-config when it configures the build.");
}

}  // namespace vql

#endif

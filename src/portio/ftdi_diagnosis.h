// What the system says about a USB programming cable, and what to tell the operator
// about it: the adapter's names, the kernel driver bound to its interface, and the
// texts for an adapter that is missing, not writable, held by someone else or taken
// from the ftdi_sio driver. Kept apart from the libftdi back end so that every build
// has them and the tests can check them without an adapter.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "portio/ftdi_selector.h"

namespace vql {

// Where libusb finds an adapter: the numbers lsusb shows as "Bus 003 Device 018".
struct UsbLocation {
  int bus = 0;
  int address = 0;
};

// "/dev/bus/usb/003/018" under sysRoot.
std::string UsbNodePath(std::string_view sysRoot, UsbLocation where);

// The adapter before it is open, for messages: "FT232H 0403:6014 at USB bus 003 device
// 018", or without the chip for an id that is not among the known ones.
std::string FtdiUsbLabel(FtdiUsbId id, UsbLocation where);

// The adapter as Name() gives it: "C232HM-DDHSL-0 (FT232H, serial FT4XQ1ZB)", with the
// interface added for the FT2232H's B. product or serial may be empty.
std::string FtdiAdapterName(std::string_view product, FtdiChip chip, std::string_view serial,
                            FtdiInterface interface);

// An interface of a USB device as sysfs shows it: its name there ("1-2.3:1.0") and the
// kernel driver bound to it ("ftdi_sio", "usbfs" for a program that claimed it through
// libusb, "" for none).
struct UsbInterfaceBinding {
  std::string name;
  std::string driver;
};

// The interface interfaceNumber of the device at where, from
// <sysRoot>/sys/bus/usb/devices; an empty name when sysfs does not show it.
UsbInterfaceBinding FindUsbInterfaceBinding(const std::string& sysRoot, UsbLocation where,
                                            int interfaceNumber);

// The one-line command that writes the udev rule for id (the known adapters' ids
// together when id is one of them) and reloads udev.
std::string FtdiUdevRuleCommand(FtdiUsbId id);

// Why no adapter could be chosen: looked for which ids, with which serial and
// interface, and the adapters seen that did not match ("FT232H 0403:6014 at USB bus 001
// device 004, serial FT1ABC").
struct FtdiSearch {
  std::vector<FtdiUsbId> ids;
  std::string serial;
  FtdiInterface interface = FtdiInterface::A;
  std::vector<std::string> seenOthers;
};
std::string FtdiNotFoundText(const FtdiSearch& search);

// An adapter found but not opened.
struct FtdiOpenFailure {
  FtdiUsbId id;
  UsbLocation where;
  std::string node;            // its device node, /dev/bus/usb/BBB/DDD
  bool nodeWritable = true;    // whether this user may read and write the node
  UsbInterfaceBinding before;  // the interface's driver just before the open
  int code = 0;                // ftdi_usb_open_dev's (or ftdi_usb_get_strings') result
  std::string libftdiError;    // ftdi_get_error_string
};
std::string FtdiOpenErrorText(const FtdiOpenFailure& failure);

// The notice for an adapter that the ftdi_sio driver held until the open took it.
std::string FtdiSioDetachedNotice(std::string_view adapterName, UsbLocation where);

}  // namespace vql

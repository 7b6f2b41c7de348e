// The USB programming cables' real back end: an FTDI adapter driven through libftdi1.
// A build without libftdi1 (pkg-config did not find it) has the same function, which
// says so and how to build with it.
#pragma once

#include <memory>
#include <string>

#include "portio/ftdi_io.h"
#include "portio/ftdi_selector.h"

namespace vql {

// Whether this build drives real adapters.
bool FtdiBackEndBuilt();

// Opens the adapter that selector chooses: the first one found that matches it, with
// the known adapters' ids tried in their table's order when it names none. Throws
// PortError, in plain words, for no adapter, no permission for its USB device node, an
// adapter held by another program or by a kernel driver that would not let go, a chip
// the program does not drive, and a build without libftdi1.
//
// When the kernel's ftdi_sio driver held the adapter as a serial port, libftdi detaches
// it, and the adapter stays without it until it is replugged; notice gets a line that
// says so, and is emptied otherwise.
std::unique_ptr<FtdiIo> OpenFtdiAdapter(const FtdiSelector& selector, std::string& notice);

// The same, for a caller with no use for the notice.
inline std::unique_ptr<FtdiIo> OpenFtdiAdapter(const FtdiSelector& selector) {
  std::string notice;
  return OpenFtdiAdapter(selector, notice);
}

}  // namespace vql

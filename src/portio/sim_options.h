// The options of the simulated programmer, as given in VQLISP_SIM: which target sits
// behind the cable, which port the cable hangs on, and the faults it should show.
//
// The text is comma-separated key=value items; spaces around items are ignored. Keys
// and their values are checked strictly, so that a typing mistake does not quietly
// give a healthy simulator. Every item is also kept as given, for the parts that
// interpret keys of their own.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vql {

struct SimOptions {
  // What is plugged in behind the cable, in lower case ("none", "loopback"). The
  // factory turns the name into a target and rejects names it does not know.
  std::string target = "none";
  // The port the cable hangs on, in upper case ("LPT1", "LPT2").
  std::string cable = "LPT1";
  // false: the cable has no power, so SENSE reads 0 and the buffer drives nothing.
  bool powered = true;
  // Set: MISO reads this level whatever the target does.
  std::optional<bool> misoStuckAt;
  // Every item as given, key to value.
  std::map<std::string, std::string, std::less<>> items;
};

// Throws PortError naming the bad item and listing the valid keys. Empty text gives
// the defaults.
SimOptions ParseSimOptions(std::string_view text);

// The valid keys with their values, e.g. "target=none|loopback, cable=lpt1|lpt2, ...".
std::string SimOptionKeys();

}  // namespace vql

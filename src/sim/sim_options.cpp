#include "sim/sim_options.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <utility>

#include "portio/help_text.h"
#include "portio/port_io.h"
#include "sim/sim_chip_table.h"

namespace vql {

namespace {

// Who a key is for; the manual lists the keys in these groups.
enum class SimKeyGroup {
  kCable,  // the cable and what is plugged into it
  kUsb,    // the USB adapter that the cable may hang on
  kChip,   // only a chip takes these
  kLine,   // a line of boards, each with a chip
  kRun,    // how the program runs
};

// One key of VQLISP_SIM. apply stores a value and answers false when the value is
// not one the key takes; values tells the operator what it takes. usage and help are
// the key's entry in the manual, help with '\n' where its lines break.
struct SimKey {
  std::string_view key;
  std::string values;
  bool (*apply)(SimOptions& options, std::string_view value);
  SimKeyGroup group;
  std::string_view usage;
  std::string help;
};

// Where the manual's entries start: the key at kUsageColumn, its help at kHelpColumn
// (further right when the key is longer).
constexpr std::size_t kUsageColumn = 8;
constexpr std::size_t kHelpColumn = 30;

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::ranges::transform(lower, lower.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

bool IsName(std::string_view value) {
  return !value.empty() && std::ranges::all_of(value, [](unsigned char c) {
    return std::isalnum(c) != 0 || c == '-' || c == '_';
  });
}

std::optional<bool> Level(std::string_view value) {
  if (value == "0") return false;
  if (value == "1") return true;
  return std::nullopt;
}

// A whole decimal number no greater than most; nothing else, not even a sign.
std::optional<std::uint64_t> Count(std::string_view value, std::uint64_t most) {
  std::uint64_t number = 0;
  const char* end = value.data() + value.size();
  const auto [stop, error] = std::from_chars(value.data(), end, number);
  if (value.empty() || error != std::errc{} || stop != end || number > most) return std::nullopt;
  return number;
}

std::optional<std::uint16_t> HexAddress(std::string_view value) {
  std::uint32_t address = 0;
  const char* end = value.data() + value.size();
  const auto [stop, error] = std::from_chars(value.data(), end, address, 16);
  if (value.empty() || value.size() > 4 || error != std::errc{} || stop != end) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(address);
}

std::optional<double> Rate(std::string_view value) {
  double rate = 0.0;
  const char* end = value.data() + value.size();
  const auto [stop, error] = std::from_chars(value.data(), end, rate, std::chars_format::fixed);
  if (value.empty() || error != std::errc{} || stop != end || !(rate >= 0.0 && rate <= 1.0)) {
    return std::nullopt;
  }
  return rate;
}

// Signature bytes as hex digits, two to a byte, no more than a chip has (1E5106).
std::optional<std::vector<std::uint8_t>> SignatureBytes(std::string_view value) {
  if (value.empty() || value.size() % 2 != 0 || value.size() > 2 * kSimSignatureMost) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < value.size(); i += 2) {
    unsigned byte = 0;
    const char* digits = value.data() + i;
    const auto [stop, error] = std::from_chars(digits, digits + 2, byte, 16);
    if (error != std::errc{} || stop != digits + 2) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(byte));
  }
  return bytes;
}

// A crystal in MHz, as decimal digits with an optional fraction (11.0592).
std::optional<double> Megahertz(std::string_view value) {
  double mhz = 0.0;
  const char* end = value.data() + value.size();
  const auto [stop, error] = std::from_chars(value.data(), end, mhz, std::chars_format::fixed);
  if (value.empty() || error != std::errc{} || stop != end || !(mhz >= 0.1 && mhz <= 60.0)) {
    return std::nullopt;
  }
  return mhz;
}

// The longest USB transfer the options take: a second is far beyond any real bus.
constexpr double kMostUsbMs = 1000.0;

// A USB transfer's time in milliseconds, as decimal digits with an optional fraction
// (0.125).
std::optional<double> Milliseconds(std::string_view value) {
  double ms = 0.0;
  const char* end = value.data() + value.size();
  const auto [stop, error] = std::from_chars(value.data(), end, ms, std::chars_format::fixed);
  if (value.empty() || error != std::errc{} || stop != end || !(ms >= 0.0 && ms <= kMostUsbMs)) {
    return std::nullopt;
  }
  return ms;
}

// The most jitter the options take on a bit-bang byte period, in microseconds: well
// beyond the byte period of any rate the engines use.
constexpr double kMostJitterUs = 1000.0;

std::optional<double> Microseconds(std::string_view value) {
  double us = 0.0;
  const char* end = value.data() + value.size();
  const auto [stop, error] = std::from_chars(value.data(), end, us, std::chars_format::fixed);
  if (value.empty() || error != std::errc{} || stop != end ||
      !(us >= 0.0 && us <= kMostJitterUs)) {
    return std::nullopt;
  }
  return us;
}

// One of a key's spelt-out values, looked up in any case.
template <typename T, std::size_t N>
std::optional<T> Choice(std::string_view value,
                        const std::array<std::pair<std::string_view, T>, N>& choices) {
  const std::string lower = Lower(value);
  for (const auto& [name, choice] : choices) {
    if (name == lower) return choice;
  }
  return std::nullopt;
}

constexpr std::array kYesNo{std::pair{std::string_view("yes"), true},
                            std::pair{std::string_view("no"), false}};
constexpr std::array kLockReadings{
    std::pair{std::string_view("set1"), SimLockReading::kSetReadsOne},
    std::pair{std::string_view("set0"), SimLockReading::kSetReadsZero}};
constexpr std::array kFuseReadings{
    std::pair{std::string_view("as-written"), SimFuseReading::kAsWritten},
    std::pair{std::string_view("inverted"), SimFuseReading::kInverted}};
constexpr std::array kAdapters{std::pair{std::string_view("ft232h"), FtdiChip::FT232H},
                               std::pair{std::string_view("ft2232h"), FtdiChip::FT2232H},
                               std::pair{std::string_view("ft232r"), FtdiChip::FT232R}};
constexpr std::array kAnswers{std::pair{std::string_view("complement"), SimAnswer::kComplement},
                              std::pair{std::string_view("ff"), SimAnswer::kFF},
                              std::pair{std::string_view("00"), SimAnswer::k00}};

constexpr std::string_view kAdapterUsage = "adapter=ft232h|ft2232h|ft232r";
constexpr std::string_view kFaultRateUsage = "board-fault-rate=RATE";
constexpr std::string_view kFuseReadUsage = "fuse-read=as-written|inverted";

constexpr std::uint64_t kMostEraseMs = 60'000;
constexpr std::uint64_t kMostWriteUs = 1'000'000;
// Far more boards than a shift sees; the line makes each board only as it comes.
constexpr std::uint64_t kMostBoards = 1'000'000;

// "none or loopback or a chip (AT89S51 AT89S52 ...)".
std::string TargetValues() {
  std::string names;
  for (const SimChipModel& chip : kSimChips) {
    if (!names.empty()) names += ' ';
    names += chip.name;
  }
  return "none or loopback or a chip (" + names + ")";
}

// The chips' names, those after the first without the family prefix that every chip
// shares: "AT89S53/8252".
std::string ShortChipNames(const std::vector<std::string_view>& names) {
  std::string_view prefix = kSimChips.front().name;
  for (const SimChipModel& chip : kSimChips) {
    const auto end = std::ranges::mismatch(prefix, chip.name).in1;
    prefix = prefix.substr(0, static_cast<std::size_t>(end - prefix.begin()));
  }
  std::string text;
  for (const std::string_view name : names) {
    text += text.empty() ? std::string(name) : "/" + std::string(name.substr(prefix.size()));
  }
  return text;
}

// "byte write time in microseconds (default 500; 2000 for the AT89S53/8252)": a
// time that most chips share stands alone, the others follow longest first, each
// with the chips that take it; a time that grows with the crystal's period says
// by how many periods. after follows the list. The width keeps the manual's line
// breaks.
std::string TimeHelp(std::string_view what, std::uint32_t SimChipModel::*time,
                     std::uint32_t SimChipModel::*clocks = nullptr, std::string_view after = "") {
  using Time = std::pair<std::uint32_t, std::uint32_t>;  // the fixed part, the periods
  std::map<Time, std::vector<std::string_view>, std::greater<>> chipsByTime;
  for (const SimChipModel& chip : kSimChips) {
    chipsByTime[{chip.*time, clocks == nullptr ? 0 : chip.*clocks}].push_back(chip.name);
  }
  std::string most;
  std::string others;
  for (const auto& [value, names] : chipsByTime) {
    const std::string text =
        std::to_string(value.first) +
        (value.second == 0 ? "" : " + " + std::to_string(value.second) + " crystal periods");
    if (2 * names.size() > kSimChips.size()) {
      most = text;
      continue;
    }
    if (!others.empty()) others += ", ";
    others += text + " for the " + ShortChipNames(names);
  }
  const std::string times = most.empty()   ? others
                            : others.empty() ? most
                                             : most + "; " + others;
  return WrapHelp(std::string(what) + " (default " + times + ")" + std::string(after),
                  kHelpColumn, kHelpColumn, 79);
}

// "; a page write lasts 256 of them on the AT89S51/52, one on the AT89S8253": the
// chips with page instructions, grouped by how many byte writes their page takes.
std::string PageWriteHelp() {
  std::map<std::uint32_t, std::vector<std::string_view>, std::greater<>> chipsByCycles;
  for (const SimChipModel& chip : kSimChips) {
    if (chip.pageBytes != 0) chipsByCycles[chip.pageWriteCycles].push_back(chip.name);
  }
  std::string text;
  for (const auto& [cycles, names] : chipsByCycles) {
    text += text.empty() ? "; a page write lasts " : ", ";
    text += (cycles == 1 ? std::string("one") : std::to_string(cycles) + " of them") + " on the " +
            ShortChipNames(names);
  }
  return text;
}

// "AT89S51/52/8253": the chips whose rows give them page instructions.
std::string PageChips() {
  std::vector<std::string_view> names;
  for (const SimChipModel& chip : kSimChips) {
    if (chip.pageBytes != 0) names.push_back(chip.name);
  }
  return ShortChipNames(names);
}

// "(default yes for the AT89S51/52, no for the AT89S8253/2051/4051)": the four-byte
// chips grouped by the word for what their rows say, in the order of the table.
std::string FourByteDefaults(std::string_view (*word)(const SimChipModel&)) {
  std::vector<std::pair<std::string_view, std::vector<std::string_view>>> groups;
  for (const SimChipModel& chip : kSimChips) {
    if (chip.instructions != SimInstructionSet::kFourByte) continue;
    const auto group = std::ranges::find_if(
        groups, [&chip, word](const auto& g) { return g.first == word(chip); });
    if (group == groups.end()) {
      groups.push_back({word(chip), {chip.name}});
    } else {
      group->second.push_back(chip.name);
    }
  }
  std::string text;
  for (const auto& [value, names] : groups) {
    text += text.empty() ? "(default " : ", ";
    text += std::string(value) + " for the " + ShortChipNames(names);
  }
  return text + ")";
}

// The target's entry: the chips' names are wrapped after the fixed lines, to the
// width the manual has always had.
std::string TargetHelp() {
  return "what sits behind the cable: nothing\n"
         "(default), a plug that wires SCK back to MISO,\n" +
         WrapHelp("or a chip, named in any case: " + SimChipNames(), kHelpColumn, kHelpColumn, 81);
}

// The line above a group's keys in the manual.
std::string_view Heading(SimKeyGroup group) {
  switch (group) {
    case SimKeyGroup::kUsb:
      return "      For a USB adapter:\n";
    case SimKeyGroup::kChip:
      return "      For a chip:\n";
    case SimKeyGroup::kLine:
      return "      For a line of boards, each with a chip:\n";
    case SimKeyGroup::kRun:
      return "      For scripted runs:\n";
    case SimKeyGroup::kCable:
      break;
  }
  return "";
}

// The keys in the order the messages and the manual list them; built once, never
// changed.
const std::vector<SimKey>& SimKeys() {
  static const std::vector<SimKey> keys{
    SimKey{"target", TargetValues(),
           [](SimOptions& options, std::string_view value) {
             // Which names exist is for whoever builds the target to say.
             if (!IsName(value)) return false;
             options.target = Lower(value);
             return true;
           },
           SimKeyGroup::kCable, "target=none|loopback|CHIP",
           TargetHelp()},
    SimKey{"cable", "lpt1 or lpt2",
           [](SimOptions& options, std::string_view value) {
             const std::string port = Lower(value);
             if (port != "lpt1" && port != "lpt2") return false;
             options.cable = port == "lpt1" ? "LPT1" : "LPT2";
             return true;
           },
           SimKeyGroup::kCable, "cable=lpt1|lpt2",
           "the port the cable hangs on (default lpt1)"},
    SimKey{"sense", "0 (no power) or 1",
           [](SimOptions& options, std::string_view value) {
             const auto level = Level(value);
             if (!level) return false;
             options.powered = *level;
             return true;
           },
           SimKeyGroup::kCable, "sense=0",
           "the cable has no power: SENSE reads 0"},
    SimKey{"miso", "0 or 1 (stuck at that level)",
           [](SimOptions& options, std::string_view value) {
             const auto level = Level(value);
             if (!level) return false;
             options.misoStuckAt = level;
             return true;
           },
           SimKeyGroup::kCable, "miso=0|1",
           "MISO is stuck at that level"},
    SimKey{"miso-lag", "0 or 1 (the USB loop-back plug's MISO one bit late)",
           [](SimOptions& options, std::string_view value) {
             const auto lag = Level(value);
             if (!lag) return false;
             options.misoLag = *lag;
             return true;
           },
           SimKeyGroup::kCable, "miso-lag=0|1",
           "1: the USB adapters' loop-back plug (MOSI to\n"
           "MISO) is faulty: MISO gives MOSI as it was at\n"
           "SCK's previous fall, one bit late (default 0)"},
    SimKey{"adapter", "ft232h or ft2232h or ft232r",
           [](SimOptions& options, std::string_view value) {
             options.adapter = Choice(value, kAdapters);
             return options.adapter.has_value();
           },
           SimKeyGroup::kUsb, kAdapterUsage,
           WrapHelp("the cable hangs on a USB adapter built on that FTDI chip (MPSSE on "
                    "the FT232H and FT2232H, synchronous bit-bang on the FT232R) instead "
                    "of a printer port",
                    kUsageColumn + kAdapterUsage.size() + 2, kHelpColumn, 79)},
    SimKey{"usb-ms",
           "the time of a USB transfer in milliseconds from 0 to 1000 (0.125 for instance)",
           [](SimOptions& options, std::string_view value) {
             const auto ms = Milliseconds(value);
             if (!ms) return false;
             options.usbMs = *ms;
             return true;
           },
           SimKeyGroup::kUsb, "usb-ms=MS",
           "each USB transfer to or from the adapter takes\n"
           "that many milliseconds (default 1)"},
    SimKey{"usb-unplug", "the number of USB transfers after which the adapter is unplugged",
           [](SimOptions& options, std::string_view value) {
             const auto count = Count(value, std::numeric_limits<std::uint32_t>::max());
             if (!count) return false;
             options.usbUnplugAfter = static_cast<std::uint32_t>(*count);
             return true;
           },
           SimKeyGroup::kUsb, "usb-unplug=N",
           "the adapter is unplugged after N USB transfers:\n"
           "the next one and every call after it fail"},
    SimKey{"usb-jitter", "the most microseconds added to a bit-bang byte period (0 to 1000)",
           [](SimOptions& options, std::string_view value) {
             const auto us = Microseconds(value);
             if (!us) return false;
             options.usbJitterUs = *us;
             return true;
           },
           SimKeyGroup::kUsb, "usb-jitter=US",
           "each synchronous bit-bang byte period is\n"
           "lengthened by 0 to US microseconds (decimals\n"
           "allowed), drawn from seed= (default 0)"},
    SimKey{"erase", "the chip erase time in milliseconds (0 to 60000)",
           [](SimOptions& options, std::string_view value) {
             const auto ms = Count(value, kMostEraseMs);
             if (!ms) return false;
             options.chip.eraseMs = static_cast<std::uint32_t>(*ms);
             return true;
           },
           SimKeyGroup::kChip, "erase=MS",
           TimeHelp("chip erase time in milliseconds", &SimChipModel::eraseMs)},
    SimKey{"write", "the byte write time in microseconds (0 to 1000000)",
           [](SimOptions& options, std::string_view value) {
             const auto us = Count(value, kMostWriteUs);
             if (!us) return false;
             options.chip.writeUs = static_cast<std::uint32_t>(*us);
             return true;
           },
           SimKeyGroup::kChip, "write=US",
           TimeHelp("byte write time in microseconds", &SimChipModel::writeUs,
                    &SimChipModel::writeClocks, PageWriteHelp())},
    SimKey{"xtal", "the crystal in MHz from 0.1 to 60 (11.0592 for instance)",
           [](SimOptions& options, std::string_view value) {
             const auto mhz = Megahertz(value);
             if (!mhz) return false;
             options.chip.xtalMHz = *mhz;
             return true;
           },
           SimKeyGroup::kChip, "xtal=MHZ",
           "the chip's crystal in MHz (default 12): SCK\n"
           "must stay low 8 crystal periods before it rises\n"
           "(20 on the AT89S53/8252; high before it falls on\n"
           "the AT89S8253), or the chip takes the bit inverted"},
    SimKey{"echo-from", "the first programming enable that is heard (1 or more)",
           [](SimOptions& options, std::string_view value) {
             const auto first = Count(value, std::numeric_limits<std::uint32_t>::max());
             if (!first || *first == 0) return false;
             options.chip.echoFrom = static_cast<std::uint32_t>(*first);
             return true;
           },
           SimKeyGroup::kChip, "echo-from=N",
           "the chip hears programming enables only from the\n"
           "Nth one on, counted from the start (default 1)"},
    SimKey{"echo", "yes or no (69 in byte 4 of the programming enable)",
           [](SimOptions& options, std::string_view value) {
             options.chip.echo = Choice(value, kYesNo);
             return options.chip.echo.has_value();
           },
           SimKeyGroup::kChip, "echo=yes|no",
           WrapHelp("byte 4 of a programming enable that the chip takes answers 69 (yes) "
                    "or echoes byte 3 (no) " +
                        FourByteDefaults([](const SimChipModel& chip) -> std::string_view {
                          return chip.echoesEnable ? "yes" : "no";
                        }),
                    kHelpColumn, kHelpColumn, 79)},
    SimKey{"lock-read", "set1 or set0 (how a set lock bit reads)",
           [](SimOptions& options, std::string_view value) {
             options.chip.lockRead = Choice(value, kLockReadings);
             return options.chip.lockRead.has_value();
           },
           SimKeyGroup::kChip, "lock-read=set1|set0",
           WrapHelp("a set lock bit reads 1 or 0 in Read Lock Bits " +
                        FourByteDefaults([](const SimChipModel& chip) -> std::string_view {
                          return chip.lockReading == SimLockReading::kSetReadsOne ? "set1"
                                                                                   : "set0";
                        }),
                    kHelpColumn, kHelpColumn, 79)},
    SimKey{"fuse-read", "as-written or inverted (how the AT89S8253's user fuses read)",
           [](SimOptions& options, std::string_view value) {
             const auto reading = Choice(value, kFuseReadings);
             if (!reading) return false;
             options.chip.fuseRead = *reading;
             return true;
           },
           SimKeyGroup::kChip, kFuseReadUsage,
           WrapHelp("how the AT89S8253's Read User Fuses shows F3 F2 F1 in b2..b0: an "
                    "enabled fuse reads 0 as it is written and the bits above read 1 "
                    "(as-written, the default), or an enabled fuse reads 1 and the bits "
                    "above 0 (inverted)",
                    kUsageColumn + kFuseReadUsage.size() + 2, kHelpColumn, 79)},
    SimKey{"rst-abort", "yes or no (RST low cuts a write or erase cycle)",
           [](SimOptions& options, std::string_view value) {
             const auto abort = Choice(value, kYesNo);
             if (!abort) return false;
             options.chip.rstAbort = *abort;
             return true;
           },
           SimKeyGroup::kChip, "rst-abort=yes|no",
           WrapHelp("yes (default): RST low before a write or erase cycle has ended leaves "
                    "the bytes, lock bits or fuses it was writing undefined, drawn from "
                    "seed=; no: the cycle completes regardless",
                    kHelpColumn, kHelpColumn, 79)},
    SimKey{"unheard", "complement or ff or 00 (a read the chip does not carry out)",
           [](SimOptions& options, std::string_view value) {
             const auto answer = Choice(value, kAnswers);
             if (!answer) return false;
             options.chip.unheard = *answer;
             return true;
           },
           SimKeyGroup::kChip, "unheard=complement|ff|00",
           "what a read answers before the\n"
           "programming enable, or while the chip is busy and\n"
           "cannot serve it: the complement of the true answer\n"
           "(default), FF or 00"},
    SimKey{"locked-read", "complement or ff or 00 (the code read of a locked chip)",
           [](SimOptions& options, std::string_view value) {
             const auto answer = Choice(value, kAnswers);
             if (!answer) return false;
             options.chip.lockedRead = *answer;
             return true;
           },
           SimKeyGroup::kChip, "locked-read=complement|ff|00",
           "what a code read answers\n"
           "while lock bit 2 or 3 is set: the complement of\n"
           "the stored byte (default), FF or 00"},
    SimKey{"pages", "yes or no (the page instructions 50 and 30)",
           [](SimOptions& options, std::string_view value) {
             const auto pages = Choice(value, kYesNo);
             if (!pages) return false;
             options.chip.pages = *pages;
             return true;
           },
           SimKeyGroup::kChip, "pages=yes|no",
           WrapHelp("no: the chip takes no page instructions (50, 30) and counts their "
                    "bytes as byte instructions (default yes; only the " +
                        PageChips() + " have them)",
                    kHelpColumn, kHelpColumn, 79)},
    SimKey{"signature",
           "1 to " + std::to_string(kSimSignatureMost) +
               " bytes in hex that replace the chip's signature (1E5106 for instance)",
           [](SimOptions& options, std::string_view value) {
             auto bytes = SignatureBytes(value);
             if (!bytes) return false;
             options.chip.signature = std::move(*bytes);
             return true;
           },
           SimKeyGroup::kChip, "signature=HEX",
           WrapHelp("replaces the chip's signature bytes in the order of their addresses "
                    "(1E5106 on the AT89S51: 1E at 000, 51 at 100, 06 at 200); fewer "
                    "bytes replace only the first, and those beyond the chip's own are "
                    "ignored",
                    kHelpColumn, kHelpColumn, 79)},
    SimKey{"dead", "a code address in hex (0000 to FFFF) that never programs",
           [](SimOptions& options, std::string_view value) {
             options.chip.deadAddress = HexAddress(value);
             return options.chip.deadAddress.has_value();
           },
           SimKeyGroup::kChip, "dead=ADDR",
           "the code cell at hex ADDR never programs: stays FF"},
    SimKey{"flaky", "the rate of read answers with a bit flipped (0 to 1)",
           [](SimOptions& options, std::string_view value) {
             const auto rate = Rate(value);
             if (!rate) return false;
             options.chip.flakyRate = *rate;
             return true;
           },
           SimKeyGroup::kChip, "flaky=RATE",
           "that share (0 to 1) of read answers come back with\n"
           "one bit flipped"},
    SimKey{"seed",
           "a whole number that makes the flaky answers and the boards' faults repeatable "
           "(and usb-jitter and the bytes that cut cycles leave)",
           [](SimOptions& options, std::string_view value) {
             const auto seed = Count(value, std::numeric_limits<std::uint64_t>::max());
             if (!seed) return false;
             options.chip.seed = *seed;
             return true;
           },
           SimKeyGroup::kChip, "seed=N",
           "makes the flaky answers, the bytes of cut cycles,\n"
           "the boards' faults and usb-jitter= repeatable\n"
           "(default 1)"},
    SimKey{"state", "a file that keeps the chip between runs (a folder with boards=N)",
           [](SimOptions& options, std::string_view value) {
             if (value.empty()) return false;
             options.chip.stateFile = std::string(value);
             return true;
           },
           SimKeyGroup::kChip, "state=FILE",
           "keeps code, EEPROM, user row, lock bits and fuses\n"
           "in FILE between runs; a missing file is a fresh\n"
           "erased chip (with boards=N, a folder: see there)"},
    SimKey{"boards", "the number of boards on the line (1 to 1000000)",
           [](SimOptions& options, std::string_view value) {
             const auto count = Count(value, kMostBoards);
             if (!count || *count == 0) return false;
             options.boards = static_cast<std::uint32_t>(*count);
             return true;
           },
           SimKeyGroup::kLine, "boards=N",
           WrapHelp("a line of N boards, each a fresh chip of the target's model; board 1 "
                    "is in the socket at the start. A board is taken off when the cable "
                    "releases it (its buffer goes from enabled to disabled); the socket is "
                    "then empty (SENSE 0), and the next board comes at the first SENSE read "
                    "after one that found it empty. After board N it stays empty. With "
                    "state=DIR, board n keeps its memory in DIR/board-n.state, erased at "
                    "the start",
                    kHelpColumn, kHelpColumn, 79)},
    SimKey{"board-fault-rate", "the share of boards with a dead cell (0 to 1)",
           [](SimOptions& options, std::string_view value) {
             const auto rate = Rate(value);
             if (!rate) return false;
             options.boardFaultRate = *rate;
             return true;
           },
           SimKeyGroup::kLine, kFaultRateUsage,
           WrapHelp("that share (0 to 1) of the boards carry a chip with a cell at 0000 to "
                    "000F that never programs, drawn from seed= (default 0)",
                    kUsageColumn + kFaultRateUsage.size() + 2, kHelpColumn, 79)},
    SimKey{"clock", "virtual (waits take no real time)",
           [](SimOptions& options, std::string_view value) {
             if (Lower(value) != "virtual") return false;
             options.virtualClock = true;
             return true;
           },
           SimKeyGroup::kRun, "clock=virtual",
           "waits take no real time"},
  };
  return keys;
}

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

[[noreturn]] void BadItem(std::string_view item, std::string_view why) {
  throw PortError("VQLISP_SIM item \"" + std::string(item) + "\": " + std::string(why) +
                  ". Valid keys: " + SimOptionKeys() + ".");
}

}  // namespace

std::string SimOptionKeys() {
  std::string keys;
  for (const auto& k : SimKeys()) {
    if (!keys.empty()) keys += ", ";
    keys += k.key;
    keys += '=';
    keys += k.values;
  }
  return keys;
}

std::vector<std::string_view> SimChipKeys() {
  std::vector<std::string_view> keys;
  for (const auto& k : SimKeys()) {
    if (k.group == SimKeyGroup::kChip || k.group == SimKeyGroup::kLine) keys.push_back(k.key);
  }
  return keys;
}

std::string SimOptionsHelp() {
  std::string help = "      Options of the simulated programmer, comma-separated key=value:\n";
  SimKeyGroup group = SimKeyGroup::kCable;
  for (const auto& k : SimKeys()) {
    if (k.group != group) {
      group = k.group;
      help += Heading(group);
    }
    std::string entry = std::string(kUsageColumn, ' ') + std::string(k.usage);
    entry.append(std::max(kHelpColumn, entry.size() + 2) - entry.size(), ' ');
    help += entry + IndentHelp(k.help, kHelpColumn);
  }
  return help;
}

SimOptions ParseSimOptions(std::string_view text) {
  SimOptions options;
  while (!text.empty()) {
    const auto comma = text.find(',');
    const std::string_view item = Trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    if (item.empty()) continue;  // "a=1,,b=2" and a trailing comma are harmless

    const auto equals = item.find('=');
    if (equals == std::string_view::npos) BadItem(item, "not of the form key=value");
    const std::string_view key = Trim(item.substr(0, equals));
    const std::string_view value = Trim(item.substr(equals + 1));

    const auto known = std::ranges::find(SimKeys(), key, &SimKey::key);
    if (known == SimKeys().end()) BadItem(item, "unknown key");
    // Two different values for one key would leave the operator guessing which counts.
    if (options.items.contains(key)) BadItem(item, "the key is given twice");
    if (!known->apply(options, value)) {
      BadItem(item, "the value must be " + known->values);
    }
    options.items.emplace(key, value);
  }
  return options;
}

}  // namespace vql

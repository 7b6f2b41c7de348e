// Production job files: their key=value text read and written, the paths they
// name, and the serial field's bytes.
#include "job/job_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <utility>

#include "image/char_stream.h"
#include "job/job_support.h"

namespace vql {
namespace {

using job_io::Quoted;

constexpr std::size_t kJobFileLimit = 64 * 1024;
constexpr std::string_view kJobSuffix = ".vqljob";

// Each key sets its part of the job from a value, or returns what the value may be.
using SetValue = std::string (*)(Job&, std::string_view);

std::string SetName(std::string& name, std::string_view value, std::string_view what) {
  if (value.empty()) return "give " + std::string(what);
  name = value;
  return {};
}

bool IsSha256(std::string_view value) {
  return value.size() == 64 && std::all_of(value.begin(), value.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

std::string SetSha256(Job& job, std::string_view value) {
  if (!IsSha256(value)) return "give the image's SHA-256 as 64 hex digits";
  job.sha256 = value;
  std::transform(job.sha256.begin(), job.sha256.end(), job.sha256.begin(), [](char c) {
    return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return {};
}

std::string SetLock(Job& job, std::string_view value) {
  if (value.size() != 1 || value[0] < '0' || value[0] > '3') {
    return "the lock level is 0, 1, 2 or 3";
  }
  job.lock = value[0] - '0';
  return {};
}

std::string SetSwitch(bool& flag, std::string_view value, std::string_view on,
                      std::string_view off) {
  if (value != on && value != off) {
    return "give " + std::string(on) + " or " + std::string(off);
  }
  flag = value == on;
  return {};
}

std::string SetSerial(Job& job, std::string_view value) {
  std::string error;
  job.serial = ParseSerialField(value, error);
  return error;
}

struct KeyRule {
  std::string_view key;
  SetValue set;
};

// In the order JobText writes them; the first three are required.
constexpr std::array<KeyRule, 9> kKeys{{
    {"device",
     [](Job& job, std::string_view v) { return SetName(job.device, v, "the device's name"); }},
    {"file",
     [](Job& job, std::string_view v) {
       return SetName(job.file, v, "the HEX file, relative to the job's folder or absolute");
     }},
    {"sha256", SetSha256},
    {"lock", SetLock},
    {"x2", [](Job& job, std::string_view v) { return SetSwitch(job.x2, v, "on", "off"); }},
    {"fast", [](Job& job, std::string_view v) { return SetSwitch(job.fast, v, "yes", "no"); }},
    {"serial", SetSerial},
    {"serial-over-code",
     [](Job& job, std::string_view v) { return SetSwitch(job.serialOverCode, v, "yes", "no"); }},
    {"log",
     [](Job& job, std::string_view v) {
       return SetName(job.log, v, "the log file, relative to the job's folder or absolute");
     }},
}};
constexpr std::size_t kRequiredKeys = 3;

std::string KeyList() {
  std::string list;
  for (const auto& rule : kKeys) list += (list.empty() ? "" : ", ") + std::string(rule.key);
  return list;
}

// The job's lines as key and value, in the order of kKeys, left out: no serial
// field, a serial field that keeps off the file's data, no log.
std::vector<std::pair<std::string_view, std::string>> JobLines(const Job& job) {
  std::vector<std::pair<std::string_view, std::string>> lines{
      {"device", job.device},        {"file", job.file},
      {"sha256", job.sha256},        {"lock", std::to_string(job.lock)},
      {"x2", job.x2 ? "on" : "off"}, {"fast", job.fast ? "yes" : "no"}};
  if (job.serial) lines.emplace_back("serial", SerialFieldText(*job.serial));
  if (job.serialOverCode) lines.emplace_back("serial-over-code", "yes");
  if (!job.log.empty()) lines.emplace_back("log", job.log);
  return lines;
}

const KeyRule* FindKey(std::string_view key) {
  const auto rule =
      std::find_if(kKeys.begin(), kKeys.end(), [key](const KeyRule& r) { return r.key == key; });
  return rule == kKeys.end() ? nullptr : &*rule;
}

// Why a value cannot be written as its key's line and read back the same; empty
// when it can.
std::string UnwritableBecause(std::string_view key, const std::string& value) {
  if (value.find_first_of("\r\n") != std::string::npos) return "it holds a line break";
  if (job_io::Trim(value) != value) return "it starts or ends with a blank";
  Job scratch;
  return FindKey(key)->set(scratch, value);
}

std::string JoinedPath(const std::string& folder, const std::string& name) {
  std::filesystem::path path(name);
  if (path.is_relative()) path = std::filesystem::path(folder) / path;
  return path.lexically_normal().string();
}

std::optional<std::int32_t> ParseAddress(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  std::int32_t value = 0;
  for (const char c : text) {
    std::int32_t digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return std::nullopt;
    value = value * 16 + digit;
  }
  return value;
}

std::optional<SerialFormat> ParseFormat(std::string_view text) {
  for (const auto format :
       {SerialFormat::BigEndian, SerialFormat::LittleEndian, SerialFormat::Bcd}) {
    if (text == job_io::SerialFormatName(format)) return format;
  }
  return std::nullopt;
}

std::vector<std::string_view> SplitColons(std::string_view text) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto colon = text.find(':');
    parts.push_back(job_io::Trim(text.substr(0, colon)));
    if (colon == std::string_view::npos) return parts;
    text.remove_prefix(colon + 1);
  }
}

// Why field is no usable serial field; empty when it is.
std::string FieldProblem(const SerialField& field) {
  if (field.End() > 0x10000) {
    return "its " + std::to_string(field.length) + " bytes from " +
           SerialFieldText(field).substr(0, 4) + " run past FFFF";
  }
  if (!SerialBytes(field, field.first)) {
    return "the first number " + job_io::NoFitText(field, field.first);
  }
  return {};
}

}  // namespace

std::string Job::Folder() const {
  // A job's file= and log= are relative to the job file itself, also when it is
  // reached through a symbolic link in another folder.
  std::error_code error;
  const std::filesystem::path real = std::filesystem::canonical(path, error);
  return (error ? std::filesystem::path(path) : real).parent_path().string();
}

std::string Job::FilePath() const { return JoinedPath(Folder(), file); }

std::string Job::LogPath() const { return log.empty() ? std::string() : JoinedPath(Folder(), log); }

std::string Job::Name() const {
  std::string name = std::filesystem::path(path).filename().string();
  if (name.size() > kJobSuffix.size() && name.ends_with(kJobSuffix)) {
    name.resize(name.size() - kJobSuffix.size());
  }
  return name;
}

Job ParseJob(std::string_view text, const std::string& path) {
  Job job;
  job.path = path;
  std::array<std::int32_t, kKeys.size()> givenOn{};  // the line of each key, 0: none yet
  for (const auto& line : job_io::KeyValueLines(text)) {
    const auto fail = [&](const std::string& what) {
      return JobError(Quoted(path) + " line " + std::to_string(line.number) + ": " + what);
    };
    if (!line.hasEquals) throw fail("no \"=\" in " + Quoted(line.text) + " (a line is key=value)");
    const KeyRule* rule = FindKey(line.key);
    if (rule == nullptr) {
      throw fail("unknown key " + Quoted(line.key) + " (the keys are " + KeyList() + ")");
    }
    auto& given = givenOn[static_cast<std::size_t>(rule - kKeys.data())];
    if (given != 0) {
      throw fail(Quoted(std::string(line.key) + "=") + " given twice (first on line " +
                 std::to_string(given) + ")");
    }
    given = line.number;
    if (const std::string why = rule->set(job, line.value); !why.empty()) {
      throw fail(Quoted(std::string(line.key) + "=" + std::string(line.value)) +
                 " is not allowed: " + why);
    }
  }
  for (std::size_t k = 0; k < kRequiredKeys; ++k) {
    if (givenOn[k] == 0) {
      throw JobError(Quoted(path) + ": no \"" + std::string(kKeys[k].key) + "=\" line");
    }
  }
  return job;
}

Job ReadJobFile(const std::string& path) {
  const std::string absolute = std::filesystem::absolute(path).string();
  const auto text = job_io::ReadSmallFile(absolute, kJobFileLimit, "a job file");
  if (!text) throw JobError(FileErrorText("open", absolute, ENOENT));
  return ParseJob(*text, absolute);
}

std::string JobText(const Job& job) {
  std::string text = "# VQL-ISP production job\n";
  for (const auto& [key, value] : JobLines(job)) text += std::string(key) + "=" + value + "\n";
  return text;
}

void WriteJobFile(const Job& job, const std::string& path) {
  // Checked first: a job written must read back as the same job.
  for (const auto& [key, value] : JobLines(job)) {
    if (const std::string why = UnwritableBecause(key, value); !why.empty()) {
      throw JobError("Cannot write " + Quoted(path) + ": " +
                     Quoted(std::string(key) + "=" + value) + " is not allowed: " + why);
    }
  }
  job_io::ReplaceFile(path, JobText(job));
}

std::optional<SerialField> ParseSerialField(std::string_view text, std::string& error) {
  error.clear();
  const auto refuse = [&error](std::string why) {
    error = std::move(why);
    return std::optional<SerialField>();
  };
  const auto parts = SplitColons(text);
  if (parts.size() != 5) {
    return refuse("a serial field is ADDR:LEN:FORMAT:FIRST:STEP, e.g. 07F0:4:be:1000:1");
  }
  const auto address = ParseAddress(parts[0]);
  const auto length = job_io::ParseDecimal(parts[1]);
  const auto format = ParseFormat(parts[2]);
  const auto first = job_io::ParseDecimal(parts[3]);
  const auto step = job_io::ParseDecimal(parts[4]);
  if (!address) {
    return refuse("the address " + Quoted(parts[0]) + " is not 1 to 4 hex digits (0000..FFFF)");
  }
  if (!length || *length < 1 || *length > 8) {
    return refuse("the length " + Quoted(parts[1]) + " is not 1..8 bytes");
  }
  if (!format) return refuse("the format " + Quoted(parts[2]) + " is not be, le or bcd");
  if (!first) {
    return refuse("the first number " + Quoted(parts[3]) + " is not a decimal number of 64 bits");
  }
  if (!step || *step == 0) {
    return refuse("the step " + Quoted(parts[4]) + " is not a decimal number from 1 up");
  }
  const SerialField field{*address, static_cast<std::int32_t>(*length), *format, *first, *step};
  if (std::string why = FieldProblem(field); !why.empty()) return refuse(std::move(why));
  return field;
}

std::string SerialFieldText(const SerialField& field) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  std::string address;
  for (int shift = 12; shift >= 0; shift -= 4) address += kDigits[(field.address >> shift) & 0xF];
  return address + ":" + std::to_string(field.length) + ":" +
         std::string(job_io::SerialFormatName(field.format)) + ":" + std::to_string(field.first) +
         ":" + std::to_string(field.step);
}

std::optional<std::vector<std::uint8_t>> SerialBytes(const SerialField& field,
                                                     std::uint64_t number) {
  if (field.length < 1 || field.length > 8) return std::nullopt;
  const auto length = static_cast<std::size_t>(field.length);
  std::vector<std::uint8_t> bytes(length);
  if (field.format == SerialFormat::Bcd) {
    // Filled from the last byte, the least significant two digits.
    for (auto byte = bytes.rbegin(); byte != bytes.rend(); ++byte) {
      const auto low = number % 10;
      number /= 10;
      *byte = static_cast<std::uint8_t>((number % 10) << 4 | low);
      number /= 10;
    }
  } else {
    for (std::size_t k = 0; k < length; ++k) {
      const std::size_t at = field.format == SerialFormat::LittleEndian ? k : length - 1 - k;
      bytes[at] = static_cast<std::uint8_t>(number & 0xFF);
      number >>= 8;
    }
  }
  // Whatever is left did not fit.
  if (number != 0) return std::nullopt;
  return bytes;
}

}  // namespace vql

#include "link/config_file.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "image/hex_digits.h"

namespace vql {

std::string ConfigFilePath(std::string_view name) {
  if (name.starts_with('/')) return std::string(name);
  std::vector<char> dir(256);
  while (::getcwd(dir.data(), dir.size()) == nullptr) {
    if (errno != ERANGE) {
      throw FileError(std::string("Cannot find the current directory: ") + std::strerror(errno));
    }
    dir.resize(dir.size() * 2);
  }
  std::string path(dir.data());
  if (!path.ends_with('/')) path += '/';
  path += name;
  return path;
}

namespace {

// The values in file order, by the names the operator knows them by, each with the
// group the shipped file carries for it as an example of a well-written value.
struct ValueName {
  const char* name;
  const char* example;
};
// The positions from which the values are port base addresses.
constexpr std::size_t kFirstBase = 3;
constexpr std::array<ValueName, 5> kValueNames{{{"DelayScale", "[2710]"},
                                                {"BitDelay", "[0000]"},
                                                {"Unused value", "[0000]"},
                                                {"LPT1 base", "[0378]"},
                                                {"LPT2 base", "[0278]"}}};

// One file character as the operator can read it in a message: printable ASCII as it
// is (a quote and a backslash escaped), the usual control characters as \n, \r, \t
// and anything else as \xHH.
void AppendVisible(std::string& text, char c) {
  switch (c) {
    case '\n': text += "\\n"; return;
    case '\r': text += "\\r"; return;
    case '\t': text += "\\t"; return;
    case '"': text += "\\\""; return;
    case '\\': text += "\\\\"; return;
    default: break;
  }
  const auto code = static_cast<unsigned char>(c);
  if (code >= 0x20 && code < 0x7F) {
    text += c;
    return;
  }
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\x%02X", code);
  text += escaped;
}

}  // namespace

std::string ConfigValueWarning(std::size_t position, char c1, char c2, char c3, char c4) {
  const std::array<char, 4> chars{c1, c2, c3, c4};
  bool lowerCase = false;  // a lower-case letter a..f: the digit meant is plain
  bool other = false;      // anything else: a digit is missing or misplaced
  std::string quoted;
  bool cutShort = false;
  for (const char c : chars) {
    if (HexDigitValue(c) < 0) {
      if (c >= 'a' && c <= 'f') {
        lowerCase = true;
      } else {
        other = true;
      }
    }
    // The stream gives an end-of-file character for every character the file lacks:
    // the quote shows what the file holds and a note says where it ended.
    if (c == kEndOfFileChar) cutShort = true;
    if (!cutShort) AppendVisible(quoted, c);
  }
  if (!lowerCase && !other) return {};

  // Every value read lies between -4369 (no digit at all) and 65535, so four hex
  // digits and a sign show it exactly.
  const std::int32_t value = HexQuadValue(c1, c2, c3, c4);
  char read[16];  // room for any unsigned, as the compiler cannot see the range above
  std::snprintf(read, sizeof read, "%s%04X", value < 0 ? "-" : "",
                static_cast<unsigned>(std::abs(value)));

  const ValueName& v = kValueNames.at(position);
  std::string text = std::string(v.name) + " \"" + quoted + "\"";
  if (cutShort) text += " (the file ends there)";
  // A base that is no number at all addresses nothing: its characters say it all.
  if (position >= kFirstBase && value < 0) {
    text += " is no hexadecimal number";
  } else {
    text += " was read as ";
    text += read;
  }
  text += "; write all four digits";
  if (lowerCase) text += " in upper case";
  if (other) text += std::string(", e.g. ") + v.example;
  return text;
}

void ReadConfigValues(CharStream& in, std::int32_t& DelayScale, std::int32_t& BitDelay,
                      std::int32_t& unused, std::int32_t& Lpt1Base, std::int32_t& Lpt2Base,
                      std::vector<std::string>* warnings, std::array<std::string, 5>* texts) {
  const std::array<std::int32_t*, 5> outputs{&DelayScale, &BitDelay, &unused, &Lpt1Base,
                                             &Lpt2Base};
  std::size_t group = 0;
  while (!in.AtEnd()) {
    if (in.Get() != '[') continue;
    const char c1 = in.Get();
    const char c2 = in.Get();
    const char c3 = in.Get();
    const char c4 = in.Get();
    if (group >= outputs.size()) continue;
    *outputs[group] = HexQuadValue(c1, c2, c3, c4);
    if (texts != nullptr) {
      std::string& text = (*texts)[group];
      text.clear();
      for (const char c : {c1, c2, c3, c4}) {
        if (c == kEndOfFileChar) break;
        AppendVisible(text, c);
      }
    }
    if (warnings != nullptr) {
      std::string warning = ConfigValueWarning(group, c1, c2, c3, c4);
      if (!warning.empty()) warnings->push_back(std::move(warning));
    }
    ++group;
  }
}

void ReadConfigFile(std::int32_t& DelayScale, std::int32_t& BitDelay, std::int32_t& unused,
                    std::int32_t& Lpt1Base, std::int32_t& Lpt2Base, std::string_view name,
                    std::vector<std::string>* warnings, std::array<std::string, 5>* texts) {
  DelayScale = BitDelay = unused = Lpt1Base = Lpt2Base = 0;
  if (warnings != nullptr) warnings->clear();
  if (texts != nullptr) *texts = {};
  FileCharStream in(ConfigFilePath(name));
  ReadConfigValues(in, DelayScale, BitDelay, unused, Lpt1Base, Lpt2Base, warnings, texts);
}

}  // namespace vql

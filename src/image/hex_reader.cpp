#include "image/hex_reader.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>

#include "image/hex_digits.h"

namespace vql {

namespace {

constexpr std::size_t kShownLineLength = 60;

// Lower-case digits are digits: they are read, stored and compared as upper case.
constexpr char Upper(char c) { return c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsLineEnd(char c) { return c == '\n' || c == '\r' || c == kEndOfFileChar; }

// Counts lines as characters go by and keeps the text of the current record's line.
class Reader {
 public:
  Reader(CharStream& in, HexLoadReport& report) : in_(in), report_(report) {}

  bool AtEnd() { return in_.AtEnd(); }

  char Get() {
    const char c = in_.Get();
    if (recording_) {
      if (c == '\n' || c == '\r') {
        recording_ = false;
      } else if (text_.size() < kShownLineLength) {
        text_ += c;
      }
    }
    if (c == '\n') ++line_;
    return c;
  }

  // A ":" was just read: a record begins on this line. GCC 12 at -O3 warns that the
  // memcpy of the one-character assignment may overlap, with lengths near SIZE_MAX
  // that no string can have: a false positive of that compiler version (-Wrestrict).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
  void StartRecord() {
    recordLine_ = line_;
    text_ = ":";
    recording_ = true;
    bad_ = false;
  }
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif

  // Something is wrong with the current record; the first problem of the file is kept.
  void Problem(const std::string& what) {
    if (bad_) return;
    bad_ = true;
    if (report_.badLines++ == 0) {
      report_.firstLine = recordLine_;
      report_.firstProblem = what;
      pendingText_ = true;
    }
  }

  // The record is over: the first bad record's text is complete as far as it was read.
  void EndRecord() {
    if (!pendingText_) return;
    pendingText_ = false;
    report_.firstText = text_.size() >= kShownLineLength ? text_ + "..." : text_;
  }

 private:
  CharStream& in_;
  HexLoadReport& report_;
  std::int32_t line_ = 1;
  std::int32_t recordLine_ = 1;
  std::string text_;
  bool recording_ = false;
  bool bad_ = false;
  bool pendingText_ = false;
};

std::string Quoted(char c) {
  char text[16];
  if (c == kEndOfFileChar) return "the end of the file";
  if (c == '\n' || c == '\r') return "the line end";
  if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
    std::snprintf(text, sizeof text, "byte %02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
    return text;
  }
  return std::string("\"") + c + "\"";
}

}  // namespace

std::int32_t ReadHexRecords(CharStream& in, CodeImage& image, HexLoadReport& report) {
  std::vector<bool> ignored;
  return ReadHexRecords(in, image, report, ignored);
}

std::int32_t ReadHexRecords(CharStream& in, CodeImage& image, HexLoadReport& report,
                            std::vector<bool>& recorded) {
  report = {};
  recorded.resize(kImageSize, false);
  Reader reader(in, report);
  std::int64_t extent = 0;
  std::int64_t upper = 0;    // from the last extended-address record
  bool colonRead = false;    // a checksum's place held the next record's ":"
  while (colonRead || !reader.AtEnd()) {
    if (!colonRead && reader.Get() != ':') continue;
    colonRead = false;
    reader.StartRecord();

    std::array<char, 8> header{};
    for (char& c : header) c = Upper(reader.Get());
    for (const char c : header) {
      if (HexDigitValue(c) < 0) {
        reader.Problem(Quoted(c) + " in the record's count, address or type is no hex digit");
        break;
      }
    }
    const std::int32_t count = HexPairValue(header[0], header[1]);
    const std::int32_t address = HexQuadValue(header[2], header[3], header[4], header[5]);
    const std::int32_t type = HexPairValue(header[6], header[7]);

    // The data, by position, whatever it holds; its bytes as values for the checks.
    std::int32_t sum = count + (address >> 8) + (address & 0xFF) + type;
    std::int64_t value = 0;  // the payload of an extended-address record
    bool digits = std::ranges::all_of(header, [](char c) { return HexDigitValue(c) >= 0; });
    for (std::int32_t j = 0; j < count; ++j) {
      const char high = Upper(reader.Get());
      const char low = Upper(reader.Get());
      if (IsLineEnd(high) || IsLineEnd(low)) {
        reader.Problem("the line ends before the record's " + std::to_string(count) +
                       " data bytes do");
      } else if (HexDigitValue(high) < 0 || HexDigitValue(low) < 0) {
        reader.Problem(Quoted(HexDigitValue(high) < 0 ? high : low) +
                       " in the record's data is no hex digit");
      }
      const std::int32_t byte = HexPairValue(high, low);
      digits = digits && byte >= 0;
      sum += byte;
      if (j < 2) value = value * 256 + std::max(byte, 0);  // only two-byte payloads are used
      if (type != 0) continue;
      const std::int64_t target = upper + address + j;
      if (target < 0) continue;
      if (target >= kImageSize) {
        if (address >= 0) {
          ++report.droppedBytes;
          reader.Problem("its data lands at 64 KiB or above and was not loaded");
        }
        continue;
      }
      const auto index = static_cast<std::size_t>(target);
      image.HighDigits[index] = high;
      image.LowDigits[index] = low;
      recorded[index] = true;
    }
    if (type == 0) extent = std::max(extent, upper + address + count);
    if (type == 2 && count == 2 && digits) upper = value * 16;      // segment base, in paragraphs
    if (type == 4 && count == 2 && digits) upper = value * 65536;  // upper 16 bits of a linear address

    // The checksum follows the data; a ":" or the end there is left for the next record.
    if (digits && count >= 0) {
      std::array<char, 2> check{'\0', '\0'};
      for (char& c : check) {
        if (in.AtEnd()) break;
        c = Upper(reader.Get());
        if (c == ':' || IsLineEnd(c)) break;
      }
      const std::int32_t given = HexPairValue(check[0], check[1]);
      colonRead = check[0] == ':' || check[1] == ':';
      if (given < 0) {
        reader.Problem("the record has no checksum");
      } else if (((sum + given) & 0xFF) != 0) {
        char text[80];
        std::snprintf(text, sizeof text, "the checksum is %02X, the record's bytes need %02X",
                      static_cast<unsigned>(given), static_cast<unsigned>((0x100 - (sum & 0xFF)) & 0xFF));
        reader.Problem(text);
      }
    }
    reader.EndRecord();
  }
  return static_cast<std::int32_t>(std::min<std::int64_t>(extent, std::numeric_limits<std::int32_t>::max()));
}

std::int32_t ReadHexRecords(CharStream& in, CodeImage& image) {
  HexLoadReport ignored;
  return ReadHexRecords(in, image, ignored);
}

// GCC 12 at -O3 inlines the "\n" + string and " " + string below into std::string's
// replace and then warns that its memcpy may overlap, with lengths near SIZE_MAX that
// no string can have: a false positive of that compiler version (-Wrestrict).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
std::string HexReportText(const std::string& path, const HexLoadReport& report) {
  std::string text = "\"" + path + "\", line " + std::to_string(report.firstLine) + ": " +
                     report.firstProblem + ":\n" + report.firstText;
  if (report.badLines > 1) {
    text += "\n" + std::to_string(report.badLines) + " lines of the file have such problems.";
  } else {
    text += "\nNo other line has a problem.";
  }
  if (report.droppedBytes > 0) {
    text += " " + std::to_string(report.droppedBytes) + " data bytes at 64 KiB or above were not loaded.";
  }
  text += " The image holds the records as they were read; bytes that are no hex digits are "
          "never sent to a chip.";
  return text;
}
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif

}  // namespace vql

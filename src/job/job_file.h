// A production job: the small key=value file that names what every chip of a run
// gets - the device, the HEX file with the checksum it must still have, the lock
// level, the x2 fuse, the speed, a serial-number field and the log file - and the
// serial numbers' encoding into the chip's bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vql {

// A job file that cannot be read or used; the text names the file and, where it
// applies, the line.
class JobError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class SerialFormat { BigEndian, LittleEndian, Bcd };

// Where each chip's own number goes: length bytes from address, in the format;
// chip k of a run (from 0) gets first + k * step.
struct SerialField {
  std::int32_t address = 0;
  std::int32_t length = 0;  // 1..8 bytes
  SerialFormat format = SerialFormat::BigEndian;
  std::uint64_t first = 0;
  std::uint64_t step = 1;

  std::int32_t End() const { return address + length; }  // one past the last byte
  bool operator==(const SerialField&) const = default;
};

struct Job {
  std::string path;    // the job file, absolute
  std::string device;  // the device's name as the job gives it
  std::string file;    // the HEX file, as the job gives it (relative to its folder)
  std::string sha256;  // of the image over the device's range, 64 lower-case digits
  std::int32_t lock = 0;
  bool x2 = false;
  bool fast = false;
  std::optional<SerialField> serial;
  // The serial field may lie over the file's data (serial-over-code=yes): each chip
  // then holds its number in place of those bytes, and no chip holds the file.
  bool serialOverCode = false;
  std::string log;  // as the job gives it (relative to its folder); empty: none

  // The job's folder, and the file and log as paths from the current directory
  // (absolute when the job's path is).
  std::string Folder() const;
  std::string FilePath() const;
  std::string LogPath() const;  // empty when the job names no log
  // The job's name, for the operator: its file name without ".vqljob".
  std::string Name() const;
};

// Reads a job from its text; path is the job file, for messages and the relative
// paths. Throws JobError naming path and the line for an unknown key, a bad value,
// a key given twice or one missing (device, file and sha256 are required).
Job ParseJob(std::string_view text, const std::string& path);
// Reads the job file at path (made absolute). Throws JobError.
Job ReadJobFile(const std::string& path);

// The job's text, as ParseJob reads it back; a comment line first.
std::string JobText(const Job& job);
// Writes JobText to path through a temporary file and a rename, so that a job is
// never half written. Throws JobError naming path and the reason.
void WriteJobFile(const Job& job, const std::string& path);

// "ADDR:LEN:FORMAT:FIRST:STEP", e.g. "07F0:4:be:1000:1". Nothing, with why in error,
// when the text is no such field.
std::optional<SerialField> ParseSerialField(std::string_view text, std::string& error);
std::string SerialFieldText(const SerialField& field);

// The field's bytes for number, in address order: binary big- or little-endian, or
// packed BCD (two decimal digits a byte, the most significant first). Nothing when
// the number does not fit in the field's length.
std::optional<std::vector<std::uint8_t>> SerialBytes(const SerialField& field,
                                                     std::uint64_t number);

}  // namespace vql

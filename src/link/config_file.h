// The configuration file: where the two printer ports are and how long the delays are.
//
// Five four-digit hexadecimal values, each opened by "[": DelayScale, BitDelay, one
// value without a use, the LPT1 base and the LPT2 base. A group is the next four
// characters whatever they are; everything outside the groups is comment. Values
// are used as read: a character that is no digit weighs -1. Such a value is still
// stored as read, but the reader can also say which values were written wrongly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "image/char_stream.h"

namespace vql {

// current directory + "/" + name; a name that is already absolute is used as it is.
// Throws FileError when the current directory cannot be found out.
std::string ConfigFilePath(std::string_view name);

// One line for the operator about a value whose four characters are not all
// upper-case hexadecimal digits: the value's name, the characters as they stand in
// the file (control characters escaped, as \n), the value as read and what to write:
//   LPT1 base "03f8" was read as 02F8; write all four digits in upper case
//   LPT1 base "378]" was read as 377F; write all four digits, e.g. [0378]
// position is 0..4 in file order. An end-of-file character (the file ended inside
// the group) ends the quoted characters. Empty when all four are digits.
std::string ConfigValueWarning(std::size_t position, char c1, char c2, char c3, char c4);

// Reads value groups from in up to its end and stores the first five, each as soon
// as its group is complete; later groups are read and ignored. Outputs that no
// group reaches keep their values. When warnings is given, one ConfigValueWarning
// line is appended to it for each of the five values that is not written as four
// upper-case digits.
// When texts is given, each value's characters are kept there as the warnings quote
// them, so that a message about a value that is no number can show what it was.
void ReadConfigValues(CharStream& in, std::int32_t& DelayScale, std::int32_t& BitDelay,
                      std::int32_t& unused, std::int32_t& Lpt1Base, std::int32_t& Lpt2Base,
                      std::vector<std::string>* warnings = nullptr,
                      std::array<std::string, 5>* texts = nullptr);

// Sets the five outputs to 0 (and empties warnings, when given), then reads the
// named file from the current directory. Throws FileError, naming the full path and
// the reason, when the file cannot be opened or read; the values stored before a
// read error keep their values.
void ReadConfigFile(std::int32_t& DelayScale, std::int32_t& BitDelay, std::int32_t& unused,
                    std::int32_t& Lpt1Base, std::int32_t& Lpt2Base, std::string_view name,
                    std::vector<std::string>* warnings = nullptr,
                    std::array<std::string, 5>* texts = nullptr);

}  // namespace vql

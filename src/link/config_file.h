// The configuration file: where the two printer ports are and how long the delays are.
//
// Five four-digit hexadecimal values, each opened by "[": DelayScale, BitDelay, one
// value without a use, the LPT1 base and the LPT2 base. A group is the next four
// characters whatever they are; everything outside the groups is comment. Values
// are used as read: a character that is no digit weighs -1, nothing is checked.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "image/char_stream.h"

namespace vql {

// current directory + "/" + name; a name that is already absolute is used as it is.
// Throws FileError when the current directory cannot be found out.
std::string ConfigFilePath(std::string_view name);

// Reads value groups from in up to its end and stores the first five, each as soon
// as its group is complete; later groups are read and ignored. Outputs that no
// group reaches keep their values.
void ReadConfigValues(CharStream& in, std::int32_t& DelayScale, std::int32_t& BitDelay,
                      std::int32_t& unused, std::int32_t& Lpt1Base, std::int32_t& Lpt2Base);

// Sets the five outputs to 0, then reads the named file from the current directory.
// Throws FileError, naming the full path and the reason, when the file cannot be
// opened or read; the values stored before a read error keep their values.
void ReadConfigFile(std::int32_t& DelayScale, std::int32_t& BitDelay, std::int32_t& unused,
                    std::int32_t& Lpt1Base, std::int32_t& Lpt2Base, std::string_view name);

}  // namespace vql

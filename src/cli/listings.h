// What the informational commands print on standard output: the device table, the
// rows of the code image that hold anything, and the configuration in use.
#pragma once

#include <cstdio>

#include "commands/programmer.h"
#include "image/code_image.h"

namespace vql {

// One line per device: name, code size, last address, instruction set, x2-clock fuse.
void PrintDeviceTable(std::FILE* out);

// The image rows of 16 bytes that hold anything but FF, as the grid shows them:
// "0000 02 00 30 ..."
void PrintUsedRows(const CodeImage& image, std::FILE* out);

// The configuration file in use (and where it was looked for), its five values, the
// port captions, the port in use and the calibration, after a start-up that read it.
void PrintConfiguration(Programmer& programmer, std::FILE* out);

}  // namespace vql

// The log of a production job: one key=value line a chip, appended and flushed to
// the disk before the next chip, so that a crash loses no chip already done.
#pragma once

#include <string>

namespace vql {

// A text as one value of a key=value line: "-" for nothing, and no blank or line end
// inside (they, and "%", are written %XX).
std::string LogValue(const std::string& text);

// Appends line and a line end to the file at path (created 0644 when missing) in one
// write, and waits until it is on the disk. Throws JobError naming path and the reason.
void AppendLogLine(const std::string& path, const std::string& line);

}  // namespace vql

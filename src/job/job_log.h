// The log of a production job: one key=value line a chip, appended and flushed to
// the disk before the next chip, so that a crash loses no chip already done. A line
// goes in whole or not at all; one the log cannot take waits in a pending file beside
// the job and goes into the log, ahead of anything else, at the next run.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

namespace vql {

// A text as one value of a key=value line: "-" for nothing, and no blank or line end
// inside (they, and "%", are written %XX).
std::string LogValue(const std::string& text);

// How the log's bytes are written: ::write unless a test puts a disk that fills up
// in its place. Returns what write(2) returns.
using LogWrite = std::function<ssize_t(int fd, const void* data, std::size_t size)>;

// Where the lines of the job at jobPath wait when its log cannot take them:
// jobPath + ".log.pending".
std::string PendingLogPath(const std::string& jobPath);

// Before the first chip: opens the log at path for appending (created 0644 when
// missing) and refuses anything but a regular file there (a folder, /dev/full), then
// appends the lines waiting in pending, whole, and removes pending. Throws JobError
// naming the file and the reason; the log is then as it was.
void PrepareLog(const std::string& path, const std::string& pending);

// Appends line and a line end to the log at path (created 0644 when missing) in one
// write under an exclusive lock of the file, and waits until it is on the disk. A
// line the disk takes only in part is cut off again, so the log always ends with a
// whole line. Throws JobError naming path and the reason.
void AppendLogLine(const std::string& path, const std::string& line, const LogWrite& write = {});

// A chip's line: appended to the log at path; when it cannot be, kept whole in
// pending (or, failing that too, written to standard error), and JobError thrown
// saying why and where the line is.
void LogChipLine(const std::string& path, const std::string& pending, const std::string& line,
                 const LogWrite& write = {});

}  // namespace vql

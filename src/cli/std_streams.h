// Standard output and error as a script relies on them: a write that fails (a full
// disk, a pipe whose reader has gone) ends the run with status 2 instead of passing
// unseen. A broken pipe is noticed at the write, since SIGPIPE is ignored while the
// target must still be released.
#pragma once

namespace vql::std_streams {

// Looks at both streams after writes; the first failure's reason is kept.
void Check();
// Whether a write to standard output or error has failed.
bool Failed();
// Flushes both streams; returns status, or 2 after any failed write, which it
// reports on standard error while that still works.
int Finish(int status);

}  // namespace vql::std_streams

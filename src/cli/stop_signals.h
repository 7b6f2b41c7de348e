// Ctrl-C, a termination signal or a hang-up while the program runs: the handler only
// notes the signal, and the terminal window's message pump turns the note into a
// stop request, so that the operation ends at the next address and the program can
// release the target before it ends, by the same signal. A broken output pipe is ignored for the same
// reason: the target must be released even when nobody reads the output any more.
#pragma once

#include <csignal>

namespace vql {

class StopSignals {
 public:
  // Installs the handlers; the previous ones come back with the destructor.
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Whether a stop signal arrived since the handlers were installed.
  static bool Received();
  // After the handlers are gone and the target has been released: ends the program
  // by the signal that stopped it, with its default action, so that the parent sees
  // it; returns when none arrived.
  static void EndLikeTheSignal();

 private:
  struct sigaction previousInt_{};
  struct sigaction previousTerm_{};
  struct sigaction previousHup_{};
  struct sigaction previousPipe_{};
};

}  // namespace vql

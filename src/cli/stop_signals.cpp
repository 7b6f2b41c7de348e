#include "cli/stop_signals.h"

namespace vql {

namespace {

// The one thing a signal handler may safely touch.
volatile std::sig_atomic_t stopSignal = 0;

void NoteStopSignal(int signal) { stopSignal = signal; }

void Install(int signal, void (*handler)(int), struct sigaction& previous) {
  struct sigaction action{};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // Not restarted: a signal ends an open, read or write that waits (a FIFO nobody
  // reads or writes) with EINTR, and the stop is honoured on the way out.
  action.sa_flags = 0;
  sigaction(signal, &action, &previous);
}

}  // namespace

StopSignals::StopSignals() {
  stopSignal = 0;
  Install(SIGINT, NoteStopSignal, previousInt_);
  Install(SIGTERM, NoteStopSignal, previousTerm_);
  Install(SIGHUP, NoteStopSignal, previousHup_);
  Install(SIGPIPE, SIG_IGN, previousPipe_);
}

StopSignals::~StopSignals() {
  sigaction(SIGINT, &previousInt_, nullptr);
  sigaction(SIGTERM, &previousTerm_, nullptr);
  sigaction(SIGHUP, &previousHup_, nullptr);
  sigaction(SIGPIPE, &previousPipe_, nullptr);
}

bool StopSignals::Received() { return stopSignal != 0; }

}  // namespace vql

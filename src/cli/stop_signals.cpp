#include "cli/stop_signals.h"

#include <cstdio>

namespace vql {

namespace {

// The one thing a signal handler may safely touch.
volatile std::sig_atomic_t stopSignal = 0;

void NoteStopSignal(int signal) { stopSignal = signal; }

void Install(int signal, void (*handler)(int), struct sigaction& previous) {
  // A signal ignored by whoever started the program (nohup, a background job of a
  // script) stays ignored.
  sigaction(signal, nullptr, &previous);
  if (previous.sa_handler == SIG_IGN && handler != SIG_IGN) return;
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

void StopSignals::EndLikeTheSignal() {
  const int signal = stopSignal;
  if (signal == 0) return;
  // The parent - a shell running a loop - must see that the signal ended the
  // program, not an ordinary exit, to stop too.
  std::fflush(nullptr);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

}  // namespace vql

#include "cli/exit_status.h"

namespace vql {

int ExitStatusOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::Done: return kExitOk;
    case Outcome::VerifyMismatch:
    case Outcome::NotBlank:
    case Outcome::ProgrammingTimeOut:
    case Outcome::ReadError:
    case Outcome::LockTimeOut:
    case Outcome::Refused:
    case Outcome::NoFile: return kExitFailed;
    case Outcome::Stopped: return kExitStopped;
    case Outcome::FileError:
    case Outcome::CodeTooLarge:
    case Outcome::NoDevice:
    case Outcome::NoPort:
    case Outcome::NotSupported:
    case Outcome::Busy: return kExitUsage;
  }
  return kExitUsage;
}

}  // namespace vql

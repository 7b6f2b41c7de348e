#include "cli/exit_status.h"

namespace vql {

int ExitStatusOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::Done: return kExitOk;
    case Outcome::VerifyMismatch:
    case Outcome::NotBlank:
    case Outcome::NotProgrammed:
    case Outcome::ReadError:
    case Outcome::ReadLocked:
    case Outcome::WriteLocked:
    case Outcome::NoAnswer:
    case Outcome::WrongDevice:
    case Outcome::LockTimeOut:
    case Outcome::LockNotTaken:
    case Outcome::FuseNotTaken:
    case Outcome::FuseUnknown:
    case Outcome::NotErased:
    case Outcome::LoopTestFailed:
    case Outcome::PortLost:
    case Outcome::Refused: return kExitFailed;
    case Outcome::Stopped: return kExitStopped;
    case Outcome::NoFile:
    case Outcome::FileError:
    case Outcome::DamagedFile:
    case Outcome::CodeTooLarge:
    case Outcome::BadImage:
    case Outcome::NoDevice:
    case Outcome::NoPort:
    case Outcome::NotSupported:
    case Outcome::Busy: return kExitUsage;
  }
  return kExitUsage;
}

}  // namespace vql

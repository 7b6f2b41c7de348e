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

std::string_view ReasonToken(Outcome outcome) {
  switch (outcome) {
    case Outcome::Done: return "ok";
    case Outcome::VerifyMismatch: return "mismatch";
    case Outcome::NotBlank: return "not-blank";
    case Outcome::NotProgrammed: return "not-programmed";
    case Outcome::ReadError: return "unreliable-read";
    case Outcome::ReadLocked:
    case Outcome::WriteLocked: return "locked";
    case Outcome::LockTimeOut:
    case Outcome::LockNotTaken: return "lock-failed";
    case Outcome::FuseNotTaken: return "fuse-failed";
    case Outcome::NotErased: return "not-erased";
    case Outcome::Refused: return "no-power";
    case Outcome::NoAnswer: return "no-answer";
    case Outcome::WrongDevice: return "wrong-device";
    case Outcome::NoFile: return "no-data";
    case Outcome::Stopped: return "stopped";
    case Outcome::LoopTestFailed: return "loop-test-failed";
    case Outcome::FileError:
    case Outcome::DamagedFile:
    case Outcome::BadImage: return "bad-file";
    case Outcome::CodeTooLarge: return "too-large";
    case Outcome::NoPort: return "no-port";
    case Outcome::PortLost: return "port-lost";
    case Outcome::NotSupported: return "not-supported";
    case Outcome::NoDevice:
    case Outcome::Busy: return "usage";
  }
  return "usage";
}

}  // namespace vql

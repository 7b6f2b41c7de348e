#include "devices/outcome.h"

namespace vql {

std::string OutcomeText(Outcome outcome) {
  switch (outcome) {
    case Outcome::Done: return "done";
    case Outcome::VerifyMismatch: return "the chip does not match the image";
    case Outcome::NotBlank: return "the chip is not blank";
    case Outcome::NotProgrammed: return "a byte could not be programmed";
    case Outcome::ReadError: return "the chip could not be read reliably";
    case Outcome::ReadLocked: return "the chip's lock bits forbid reading its code";
    case Outcome::WriteLocked:
      return "the chip's lock bits forbid programming it; its code was not changed";
    case Outcome::LockTimeOut: return "the lock bits could not be confirmed (time-out)";
    case Outcome::LockNotTaken: return "the lock bits did not read back as the level written";
    case Outcome::FuseNotTaken: return "the x2-clock fuse did not read back as written";
    case Outcome::FuseUnknown: return "the user fuses could not show how they read, so none was written";
    case Outcome::NotErased: return "the chip did not read erased after the erase";
    case Outcome::Refused:
      return "the cable refused a byte: the target is not powered or not in program mode";
    case Outcome::NoAnswer:
      return "the chip does not answer: check the cable, the target's power and the device type";
    case Outcome::WrongDevice: return "the chip in the socket is not the selected device";
    case Outcome::NoFile: return "there was no HEX data to write; the chip was not touched";
    case Outcome::Stopped: return "stopped by the operator";
    case Outcome::LoopTestFailed: return "MISO did not follow SCK in the loop test";
    case Outcome::FileError: return "a file could not be read";
    case Outcome::DamagedFile:
      return "the HEX file has damaged records (see above); the chip was not touched";
    case Outcome::CodeTooLarge: return "the code does not fit the device; the chip was not touched";
    case Outcome::BadImage:
      return "the image holds bytes that are no hex digits; the chip was not touched";
    case Outcome::NoDevice: return "no device is selected";
    case Outcome::NoPort: return "the printer port cannot be used";
    case Outcome::PortLost:
      return "the port or cable stopped answering during the command; the chip is in an unknown "
             "state";
    case Outcome::NotSupported: return "the device has no such feature (a user fuse, a serial signature)";
    case Outcome::Busy: return "another command is running";
  }
  return "unknown";
}

std::string_view OutcomeShortText(Outcome outcome) {
  switch (outcome) {
    case Outcome::Done: return "done";
    case Outcome::VerifyMismatch: return "verify mismatch";
    case Outcome::NotBlank: return "not blank";
    case Outcome::NotProgrammed: return "byte not programmed";
    case Outcome::ReadError: return "unreliable read";
    case Outcome::ReadLocked: return "locked against reading";
    case Outcome::WriteLocked: return "locked against writing";
    case Outcome::LockTimeOut: return "lock time-out";
    case Outcome::LockNotTaken: return "lock bits not taken";
    case Outcome::FuseNotTaken: return "fuse not taken";
    case Outcome::FuseUnknown: return "fuses unreadable";
    case Outcome::NotErased: return "not erased";
    case Outcome::Refused: return "no power";
    case Outcome::NoAnswer: return "no answer";
    case Outcome::WrongDevice: return "wrong device";
    case Outcome::NoFile: return "no HEX data";
    case Outcome::Stopped: return "stopped";
    case Outcome::LoopTestFailed: return "loop test";
    case Outcome::FileError: return "file error";
    case Outcome::DamagedFile: return "damaged file";
    case Outcome::CodeTooLarge: return "code too large";
    case Outcome::BadImage: return "bad image";
    case Outcome::NoDevice: return "no device";
    case Outcome::NoPort: return "no port";
    case Outcome::PortLost: return "cable lost";
    case Outcome::NotSupported: return "not on this device";
    case Outcome::Busy: return "busy";
  }
  return "unknown";
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
    case Outcome::FuseUnknown: return "fuse-unknown";
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

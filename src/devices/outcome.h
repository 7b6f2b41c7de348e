// What became of a device operation or an operator command: done, or why not.
#pragma once

namespace vql {

enum class Outcome {
  Done,
  // Device operations.
  VerifyMismatch,      // an address never matched the image
  NotBlank,            // an address never read FF
  ProgrammingTimeOut,  // a three-byte write never read back
  ReadError,           // two reads of an address never agreed
  LockTimeOut,         // a lock mode was never confirmed
  Refused,             // the cable refused a byte: SENSE low
  NoFile,              // no HEX file to write (none chosen, or nothing in it)
  Stopped,             // the operator asked to stop
  // Commands.
  FileError,     // a file could not be opened or read
  CodeTooLarge,  // the loaded code reaches past the device's last address
  NoDevice,      // no device selected
  NoPort,        // the printer port cannot be used
  NotSupported,  // the device has no such feature (a fuse)
  Busy,          // another command is running
};

}  // namespace vql

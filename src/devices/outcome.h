// What became of a device operation or an operator command: done, or why not,
// and the same in plain words.
#pragma once

#include <string>
#include <string_view>

namespace vql {

enum class Outcome {
  Done,
  // Device operations.
  VerifyMismatch,  // an address never matched the image
  NotBlank,        // an address never read FF
  NotProgrammed,   // a byte never read back after its write; the write stopped there
  ReadError,       // two reads of an address never agreed
  ReadLocked,      // the chip's lock bits forbid reading its code: what was read is not it
  WriteLocked,     // the chip's lock bits forbid programming it; nothing was written
  LockTimeOut,     // a lock mode was never confirmed
  LockNotTaken,    // the lock bits did not read back as the level written
  FuseNotTaken,    // the x2-clock fuse did not read back as written
  FuseUnknown,     // the user fuses read so that Fuse1 could not show how they read
  NotErased,       // the chip did not read erased after the erase and its time
  Refused,         // the cable refused a byte: SENSE low
  PortLost,        // the port or cable stopped answering mid-operation: the chip is in an unknown state
  NoAnswer,        // the chip never echoed the programming enable
  WrongDevice,     // a chip of the other instruction set sits in the socket
  NoFile,          // no HEX file to write (none chosen, or nothing in it)
  Stopped,         // the operator asked to stop
  LoopTestFailed,  // MISO did not follow SCK (or, on a USB cable, MOSI) in the loop test
  // Commands.
  FileError,     // a file could not be opened or read
  DamagedFile,   // the HEX file's records are damaged, and the command was to stop on that
  CodeTooLarge,  // the loaded code reaches past the device's last address
  BadImage,      // the image holds characters that are no hex digits
  NoDevice,      // no device selected
  NoPort,        // the printer port cannot be used
  NotSupported,  // the device has no such feature (a fuse)
  Busy,          // another command is running
};

// A plain-words description of an outcome, for front ends that report it.
std::string OutcomeText(Outcome outcome);
// The same in a few words, for a status line: "no answer", "verify mismatch".
std::string_view OutcomeShortText(Outcome outcome);
// The same as one token, for the lines that scripts read: "ok", "no-answer",
// "mismatch", ...
std::string_view ReasonToken(Outcome outcome);

}  // namespace vql

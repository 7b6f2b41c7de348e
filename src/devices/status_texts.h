// The texts of the status box, each written once. A text that says by itself that
// the command went wrong has showsFailure. Any other can stand in the box after a
// failure, a progress text or "Program completed." after a byte that did not
// program, and read as success: the window marks the box then.
#pragma once

#include <string_view>

namespace vql {

struct StatusText {
  std::string_view text;
  bool showsFailure;
};

namespace status {

inline constexpr StatusText kLoadComplete{"Load file complete.", false};
// Followed by the device's last address and "]".
inline constexpr StatusText kCodeOverMemory{"Code over MCU memory [", true};
inline constexpr StatusText kNoFileName{"File name does't indentify!!!.", true};
inline constexpr StatusText kReadChip{"Read Chip...", false};
inline constexpr StatusText kReadChipFinished{"Read Chip finished", false};
inline constexpr StatusText kEraseChip{"Erase Chip...", false};
inline constexpr StatusText kEraseFinished{"Erase finished.", false};
inline constexpr StatusText kBlankCheck{"Blank Check...", false};
inline constexpr StatusText kBlankOk{"Blank chip [OK]", false};
inline constexpr StatusText kNotBlank{"Not blank chip!!!", true};
inline constexpr StatusText kProgramming{"Programming...", false};
// After Program: the four-byte devices' text, and the three-byte devices'.
inline constexpr StatusText kProgramCompleted{"Program completed.", false};
inline constexpr StatusText kProgramFinished{"Program finished.", false};
inline constexpr StatusText kVerifyCode{"Verify Code...", false};
// Auto-program's own verify.
inline constexpr StatusText kVerifyCodeInAuto{"Verify code ...", false};
inline constexpr StatusText kVerifyComplete{"Verify complete.", false};
inline constexpr StatusText kVerifyNotMatch{"Verify not match", true};
inline constexpr StatusText kAutoFinished{"Auto Programming finished.", false};
// Followed by the level.
inline constexpr StatusText kLockLevel{"Lock bit level ", false};
inline constexpr StatusText kNoLockLevel{"Non Lock bit function", false};
inline constexpr StatusText kProgramMode{"PROGRAM MODE.", false};
inline constexpr StatusText kRunMode{"RUN MODE.", false};
// Read Signature's; the second followed by the model that the bytes name and the
// bytes: "Chip AT89S52 (1E 52 06)", short enough for the status box.
inline constexpr StatusText kReadSignature{"Read Signature...", false};
inline constexpr StatusText kSignature{"Chip ", false};
// The window's, after a stop.
inline constexpr StatusText kStopped{"Stopped.", false};

// Every text above, for whoever must show each of them.
inline constexpr StatusText kAll[] = {
    kLoadComplete, kCodeOverMemory, kNoFileName,       kReadChip,     kReadChipFinished,
    kEraseChip,    kEraseFinished,  kBlankCheck,       kBlankOk,      kNotBlank,
    kProgramming,  kProgramCompleted, kProgramFinished, kVerifyCode,  kVerifyCodeInAuto,
    kVerifyComplete, kVerifyNotMatch, kAutoFinished,   kLockLevel,    kNoLockLevel,
    kProgramMode,  kRunMode,        kReadSignature, kSignature,   kStopped};

}  // namespace status
}  // namespace vql

// The operator's commands as rows of one constant table: what each is called, what
// runs it, when it may start, and where the front ends offer it. The window's
// wiring and enabling, the terminal's command words, dispatch and help, and the
// fuzzer's operations are read from here; where a command is placed on the window is
// the window's own business.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "commands/commands.h"

namespace vql {

// In the table's order.
enum class CommandId { Load, ReadChip, Erase, BlankCheck, Program, Verify, AutoProgram, Lock,
                       Fuse, TestIo, ReadSignature };

struct OperatorCommand {
  CommandId id;
  std::string_view name;  // how messages and the fuzzer name it
  CommandResult (Commands::*run)();
  // The window's controls: the button and the menu item, by the names the window
  // gives them ("" where there is none), each with its gate.
  std::string_view button;
  CommandGate buttonGate;
  std::string_view menuItem;
  CommandGate menuGate;
  // The terminal's command word ("" where there is none), whether it loads its FILE
  // first, what its usage line shows after the word, and its help text: lines as they
  // stand, or, where it names devices, words that the manual fills into lines
  // ({fuse devices} stands for the names of the devices with the fuse, "A, B and C",
  // and {fuse device list} for "A, B, C").
  std::string_view cliWord;
  bool takesFile;
  std::string_view cliUsage;
  std::string_view cliHelp;
};

inline constexpr auto kOperatorCommands = std::to_array<OperatorCommand>({
    {CommandId::Load, "Load", &Commands::Load, "btnLoadFile", CommandGate::ProgramMode, "Load1",
     CommandGate::Always, "load", true, "FILE",
     "load an Intel HEX file and print the image rows of 16 bytes\n"
     "that hold anything but FF"},
    {CommandId::ReadChip, "Read Chip", &Commands::ReadChip, "btnReadChip",
     CommandGate::ProgramMode, "ReadChip1", CommandGate::ProgramMode, "read", false, "[-o OUT]",
     "read the whole chip into the image (twice, and the two reads\n"
     "must agree); with -o write the image to OUT, otherwise print\n"
     "the rows that hold anything but FF"},
    {CommandId::Erase, "Erase", &Commands::Erase, "btnErase", CommandGate::ProgramMode, "",
     CommandGate::Always, "erase", false, "", "erase the chip"},
    {CommandId::BlankCheck, "Blank check", &Commands::BlankCheck, "btnBlank",
     CommandGate::ProgramMode, "", CommandGate::Always, "blank", false, "",
     "check that every address of the device reads FF"},
    {CommandId::Program, "Program", &Commands::Program, "btnProgram", CommandGate::ProgramMode,
     "", CommandGate::Always, "program", true, "FILE",
     "write the bytes of FILE that are not FF, then the x2-clock fuse on the {fuse devices}, "
     "then the lock bits when --lock chooses a level; no verify. A byte that does not read "
     "back stops the write, and then no fuse and no lock bits are written"},
    {CommandId::Verify, "Verify", &Commands::Verify, "btnVerify", CommandGate::ProgramMode, "",
     CommandGate::Always, "verify", true, "FILE",
     "compare the chip with FILE, from address 0 to the file's end"},
    {CommandId::AutoProgram, "Auto-program", &Commands::AutoProgram, "btnAuto",
     CommandGate::ProgramMode, "", CommandGate::Always, "auto", true, "FILE",
     "AUTO-PROGRAM: erase, program, verify, and after a good verify\n"
     "the fuse and the lock bits, then \"RUN MODE.\". After a failed\n"
     "write or verify, and with --no-run-after, the command itself\n"
     "leaves the target held; the end of the program then releases\n"
     "it and prints \"RUN MODE.\" all the same"},
    {CommandId::Lock, "Lock", &Commands::WriteLockBits, "SpeedButton1", CommandGate::ProgramMode,
     "", CommandGate::Always, "lock", false, "", "write the lock bits of --lock"},
    {CommandId::Fuse, "Fuse", &Commands::WriteFuse, "btnFuse_Write", CommandGate::FuseDevice, "",
     CommandGate::Always, "fuse", false, "",
     "write the x2-clock fuse as --x2clock says ({fuse device list})"},
    {CommandId::TestIo, "Test IO", &Commands::TestIo, "Button1", CommandGate::Always,
     "TestIO1", CommandGate::Always, "test-io", false, "",
     "the cable loop test: a plug from SCK to MISO (printer port),\n"
     "or a jumper from MOSI to MISO in the chip's place (USB cable)"},
    {CommandId::ReadSignature, "Read Signature", &Commands::ReadSignature, "",
     CommandGate::ProgramMode, "ReadSignature1", CommandGate::ProgramMode, "signature", false, "",
     "read the chip's signature bytes and name the model they give:\n"
     "1E 51 06 (AT89S51) or 1E 52 06 (AT89S52) at 000, 100 and 200;\n"
     "1E 73 (AT89S8253) at 030 and 031, an address its data sheet\n"
     "prints garbled, so unconfirmed. The other devices give none"},
});

constexpr const OperatorCommand& CommandRow(CommandId id) {
  return kOperatorCommands[static_cast<std::size_t>(id)];
}

// The rows are in the order of CommandId.
constexpr bool CommandRowsInOrder() {
  for (std::size_t i = 0; i < kOperatorCommands.size(); ++i) {
    if (static_cast<std::size_t>(kOperatorCommands[i].id) != i) return false;
  }
  return true;
}
static_assert(CommandRowsInOrder());

}  // namespace vql

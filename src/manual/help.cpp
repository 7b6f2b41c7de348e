#include "manual/help.h"

#include <algorithm>

#include "commands/command_table.h"
#include "devices/device_table.h"
#include "link/config_lookup.h"
#include "backends/port_factory.h"
#include "portio/help_text.h"

namespace vql {

namespace {

// The manual; the lines in braces are paragraphs that name devices, filled in from
// the device table by ManualText.
constexpr std::string_view kManual = R"(NAME
  vql-isp-cli - program AT89S-series 8051 flash chips through a printer-port cable

SYNOPSIS
  vql-isp-cli [OPTION]... COMMAND [FILE]
  vql-isp-cli --help | --manual | --version

DESCRIPTION
  The terminal front end of VQL-ISP V2.3, for scripts, production benches and
  machines without a display. A command that drives the chip starts as the window
  does: it reads the configuration file, selects LPT1 (or the USB cable, with
  VQLISP_PORT=ftdi or the simulated adapter), holds the target in program mode,
  calibrates its delays (about 0.6 s) and selects the AT89S8253.
  Then it applies the options, runs one COMMAND, and switches to run mode before
  it ends - also after an error or Ctrl-C - so the target is never left held in
  reset. That switch prints "RUN MODE." as the window's does when it closes, so
  every run that reached the cable ends with that line, whatever the command did.
  load and config need no chip: they drive no port and do not calibrate, and load
  reads no configuration file.

  Every status text goes to standard output, one per line, as the window shows it
  in its status box; a result (a text that is no progress text ending in "...")
  is written when the next step starts or the command ends. After a failure, no
  text that reads as success is left as the last one: "<Command> failed: <a few
  words>" stands in its place, as on the window's amber status box. Every message
  box goes to standard error as one line. When standard error is a terminal, a
  progress bar with the percentage and the elapsed time follows long operations
  there; otherwise nothing else is written. -q leaves only what went wrong, and
  --summary adds one line for scripts at the end (see SUMMARY).

  A FILE of - is standard input, which is kept in a temporary file, so that the
  commands can read it again before they write.

  A command with a FILE first loads it into the 64 KiB code image, as Files > Load
  Code does with that file chosen, so Auto Reload File and AUTO-PROGRAM work from
  it as in the window. When the file cannot be read, when its code does not fit
  the device, or when it holds no data bytes (an empty file, or no Intel HEX
  records in it), the chip is not touched: nothing is erased or written.

  The port back end is chosen by VQLISP_PORT (see ENVIRONMENT). By default it is
  a real parallel port through ppdev when the kernel knows one. The simulated
  programmer is used only when VQLISP_PORT=sim or --port sim asks for it, and
  only with its chip named in VQLISP_SIM (target=AT89S52, none or loopback);
  otherwise a chip command stops with exit status 2 and says why, so that a
  script never takes the simulator's answers for a chip's.

COMMANDS
{commands}
  devices         list the devices: name, code size, last address, instruction
                  set, x2-clock fuse
  config          show the configuration file in use and the places where it
                  was looked for, its five values, the port captions, the port
                  in use and the calibration
  job-new FILE    write a production job for the HEX file FILE (see JOBS): needs
                  --device and -o JOB; takes --lock, --x2clock, --fast, --serial,
                  --log, and over a job whose serial numbers have begun,
                  --continue-serial or --restart-serial
  job JOB         run the job JOB on the chip on the cable now; with --loop, chip
                  after chip as boards come and go (see JOBS)

OPTIONS
  --device NAME      the target device, in any case (default AT89S8253); see
                     the devices command
  --port lpt1|lpt2|sim
                     the printer port of the cable (default lpt1); sim: the
                     simulated programmer, as VQLISP_PORT=sim
  --lock 0..3        the lock level, ticking the Lock Bit boxes up to it; used by
                     program, auto and lock (default 0: no lock)
  --x2clock on|off   the x2 Clock box (default off); program and auto write it to
                     the fuse-capable devices every time, as the window does
  --no-auto-reload   do not read the HEX file again before each write (Option >
                     Auto Reload File, ticked by default)
  --fast             fast programming (Option > Fast Programming): the page
                     instructions and data polling of the chips' data sheets
                     instead of one byte at a time with a fixed 5 ms wait; see
                     FAST PROGRAMMING. Used by read, blank, program, verify and
                     auto
  --ignore-hex-errors
                     go on with a HEX file whose records the loader reported as
                     damaged (see INTEL HEX FILES); without it load, program,
                     verify and auto stop there with exit status 2, before the
                     chip is touched
  --no-run-after     leave the target in program mode after auto (Option > Auto
                     RUN after auto program, ticked by default); the program
                     still releases it when it ends
  --sck-half-us N    the shortest time between two edges of the serial clock,
                     in microseconds, 1 to 10000 (default 4: every device with
                     a crystal of 12 MHz or more); see SERIAL CLOCK. Not stored:
                     each run starts from the default
  --config PATH      read this configuration file alone (default: the first
                     CONFIG.VQL of the places under FILES)
  -o, --output OUT   with read: the Intel HEX file to write, from address 0 to the
                     device's last address: 16 data bytes a record, upper-case
                     digits, checksums, LF line ends, an end-of-file record. A
                     symlink is followed to its target; a device or a FIFO is
                     written directly; a regular file is written under a
                     temporary name beside it and renamed into place, keeping its
                     permission bits, so a failed read or write never replaces
                     or half-writes it. - or a path to standard output itself
                     (-o /dev/stdout >> log) writes into standard output as it
                     stands, never replacing it; the status texts then go to
                     standard error. -oOUT works too.
  -q, --quiet        print only what went wrong: no status texts, notices or
                     progress bar; the data a command prints (read's rows, read
                     -o -) stays
  --summary          end with one line of key=value pairs (see SUMMARY)
  --require-vouched  end with exit status 1 (reason unvouched) when the command
                     is done but a box has said that nothing could check it;
                     the status texts stay as they are, and read -o leaves
                     OUT untouched. With job, such a chip counts as failed.
                     Used by every command that drives the chip, and by job
  --records-only     with verify: compare only the addresses that the file's data
                     records give, not the gaps between them (which verify
                     otherwise takes as FF), for a chip that holds more than the
                     file, such as a serial number
  --loop             with job: wait for a board, program it, wait for it to go,
                     and again, until Ctrl-C or no board can come
  --loop-count N     with job: end the loop after N chips (implies --loop); the
                     exit status is 1 when fewer boards came
  --log FILE         with job: append the chips' lines to FILE instead of the
                     job's log; with job-new: the job's log
  --serial ADDR:LEN:FORMAT:FIRST:STEP
                     with job-new: each chip's own serial number (see JOBS)
  --serial-over-code with job-new: let the serial field lie over the file's data
                     records, each chip holding its number in their place
  --continue-serial  with job-new over a job whose serial numbers have begun
                     (JOB.serial exists): keep them, the next chip gets the
                     next number of the old sequence
  --restart-serial   with job-new over such a job: remove JOB.serial, the next
                     chip gets the new job's first number
  -h, --help         a short help: the commands and the common options
  --manual           this text
  --version          the version and the licence

  An option that the command does not use is refused with exit status 2, so that
  a typing mistake is never silently ignored.

FAST PROGRAMMING
  --fast (the window's Option > Fast Programming) follows the chips' data
  sheets instead of the classic timing, which waits a fixed 5 ms after every
  byte. It has been checked only against the simulated chips, never on
  silicon, so the classic timing stays the default.
    AT89S51, AT89S52   256-byte page writes (50), each page's end found by
                       data polling (its last byte reads with bit 7 inverted
                       until the write is over), then the page read back with
                       one page read (30); read, blank and verify use page
                       reads. Program and auto first read the signature and
                       refuse a chip that gives the other model's.
    AT89S8253          the same with 64-byte pages.
    AT89S53, AT89S8252 no change: they poll their writes already.
    AT89S2051, AT89S4051
                       no change: no data sheet of theirs could be found.
  Everything the classic way checks stays checked: pages of FF are skipped as
  FF bytes are; a byte that does not read back right after its page is written
  again byte by byte the classic way, and stops the write when it never
  programs; a read that differs is read again byte by byte before verify or
  blank fails; read still reads the chip twice. Before its first page
  instruction a command reads page 0 both ways; a chip whose page read differs
  from its byte reads (another model, a poor contact) is served byte by byte,
  with a notice.

EXIT STATUS
  0    the command did what was asked
  1    the chip operation failed: verify mismatch, not blank, a byte that could
       not be programmed, a chip that did not read erased after the erase,
       unreliable reads, a chip locked against reading or programming, lock
       bits or the fuse not taken, a byte refused by the cable (no power, not in
       program mode), a chip that does not answer, the wrong device type in the
       socket, or a failed loop test; with --require-vouched also a command
       done but not vouched for (see below)
  2    usage, configuration and file errors, found before the chip is touched:
       a bad command line, a configuration file that cannot be read, a port that
       cannot be used, a HEX file that cannot be read or written, holds no
       data or has damaged records (unless --ignore-hex-errors), code that does
       not fit the device, a fuse asked of a device without one; also output
       that cannot be written (a full disk, a pipe closed early)
  130  stopped by Ctrl-C, a termination signal or a hang-up: the operation ended
       at the next address and the target was released to run mode; then the
       program ends by the signal itself, so a shell sees 130 (SIGINT), 143
       (SIGTERM) or 129 (SIGHUP), and a loop in a script stops

{exit status 0}

JOBS
  A production job is a small text file (.vqljob) that names everything each
  chip of a run gets. One key=value a line; # begins a comment; an unknown key,
  a key given twice or a bad value is refused with its line number:
    device=AT89S2051          the device (see the devices command)
    file=blink.hex            the HEX file, relative to the job's folder
    sha256=...                the SHA-256 of the file's image over the device's
                              range, as --summary gives it
    lock=0..3                 the lock level (default 0)
    x2=on|off                 the x2-clock fuse (default off)
    fast=yes|no               fast programming (default no)
    serial=07F0:4:be:1000:1   a serial number: its address (hex), its length in
                              bytes (1 to 8), its format (be or le binary, or bcd:
                              two decimal digits a byte, the most significant
                              first), the first number and the step; a
                              field over the file's data records is refused
    serial-over-code=yes      the serial field may lie over the file's data
                              (default no): no chip then holds the file, and
                              the log's sha256= becomes sha256-without-serial=,
                              the SHA-256 of what every chip holds with FF in
                              the field
    log=blink.log             the log file, relative to the job's folder
  vql-isp-cli job-new blink.hex --device AT89S2051 --serial 07F0:4:be:1000:1
  --log blink.log -o blink.vqljob writes one with the checksum filled in.

  job checks that the file still gives the recorded checksum (it refuses the job
  and shows both when it does not), then auto-programs each chip: erase, write,
  verify of the addresses the file's records give (the serial field takes the
  place of whatever the file holds there), then the serial number, written and
  read back, then the fuse and the lock bits; then it releases the chip to run.
  One line a chip goes to standard output, and one key=value line to the log,
  written to the disk before the next chip:
    time=2026-12-08T10:00:00Z job=/path/blink.vqljob device=AT89S2051
    serial=1000 sha256=... result=ok reason=ok vouched=yes seconds=4.02
    port=LPT1%20(0378)
  serial is the number the chip holds, as its serial field read back, or
  partial:N when the write of N was cut (a stop, a lost cable, a cell that did
  not take it): the chip holds part of N at most, and N is never handed out
  again. reason is one of the SUMMARY's (stopped and port-lost too, when a stop
  or a lost cable came around the serial write), or serial-not-written: the
  chip took the file but not its whole serial number. vouched is yes for a chip that passed with nothing
  left in doubt, and no for one whose box said that nothing could check a step
  (the lock bits of a chip that cannot read them back, for instance), or that
  failed. Such a chip passes, its line saying passed (unvouched), unless
  --require-vouched is given: then it fails with reason unvouched and counts
  among the failed chips.

  Serial numbers are kept in JOB.serial beside the job: the next number never
  handed out, and the numbers given back. A chip takes its number before it is
  touched; a chip that fails before its serial number is written gives it back
  for the next chip; a chip whose serial write failed keeps it, and that number
  is never handed out again. The file is changed under a lock of itself and
  replaced through a rename, so several runs of the same job (one a cable)
  share one sequence, and a crash at worst skips a number, never repeats one.
  JOB is the job's real path: a job run through a symbolic link, or from
  another folder, uses the same JOB.serial. A job with hard links in its folder
  keeps one state for all its names (beside the name that has one, else the
  first name in byte order); one with a hard link in another folder is refused.
  job's first line gives the number the next chip gets. job-new refuses to write
  over a job whose JOB.serial exists unless --continue-serial or
  --restart-serial says what becomes of its numbers.

  The log is opened before the first chip: a log that cannot be (a folder, a
  missing folder, a read-only file system) or is no regular file (/dev/full)
  refuses the job with exit status 2, and no board is touched. Each line goes in
  whole or not at all, under a lock of the log, so runs on several cables can
  share one. On a full disk the part of a line written is cut off again, the run
  stops with exit status 2, and that chip's line (its number stays used) waits
  in JOB.log.pending beside the job, or on standard error when that cannot be
  written either. The next run of the job puts the waiting lines into its log
  first and removes the file; when it cannot, it refuses to start.

  With --loop the program calibrates once, then waits for a board: SENSE must
  read on (a powered target) for 100 ms. It programs the chip, releases it,
  holds the cable in program mode again and waits until SENSE reads off (the
  board has gone) before it waits for the next; the board left on the cable is
  held in reset meanwhile. Ctrl-C ends the loop between chips, or stops the chip
  being programmed at its next address. The exit status is 0 when every chip
  passed, 1 when any failed or none came, 2 when the job cannot be run or its
  serial numbers or log cannot be written, 130 after a stop.

SUMMARY
  --summary ends the run with one line on standard output (on standard error
  when read -o - writes the file there) of key=value pairs separated by spaces:
    command=auto device=AT89S52 file=/path/fw.hex sha256=... written=18
    seconds=1.90 result=ok reason=ok vouched=yes
  file is the HEX file's full path (a blank as %20, a % as %25) or -; sha256 the
  SHA-256 of the image over the device's range, from 0 to its last address with
  FF where the file has no data, or -; written the bytes programmed (FF bytes
  are not written); result ok, failed, usage or stopped, as the exit status;
  reason one of ok, no-answer, no-power, not-programmed, mismatch, not-blank,
  not-erased, unreliable-read, locked, lock-failed, fuse-failed, fuse-unknown,
  wrong-device, loop-test-failed, bad-file, no-data, too-large, no-port,
  port-lost, not-supported, usage, stopped, output-failed and unvouched (--require-vouched failed a command done
  but not vouched for); vouched yes for a command done with nothing left in
  doubt, no for one done with a box that says what cannot be vouched for, and no
  for every other result.

SERIAL CLOCK
  The chip samples the serial clock with its own crystal: a half period of SCK
  must last at least 8 crystal periods on the four-byte devices and 20 on the
  three-byte ones (see the devices command). The program times every edge
  against the monotonic clock; twice the need is safe: 4 us covers every device
  with a crystal of 12 MHz or more, 14 us every device at 3 MHz, the lowest
  crystal the data sheets allow for serial programming. When a four-byte chip
  does not echo the programming enable, the program tries again at a quarter of
  the speed, down to a 64 us half period, and says which half period worked.

INTEL HEX FILES
  Data records (type 00) are loaded; the extended-address records (02, 04) set
  the upper address of the data records after them; end and start-address
  records (01, 03, 05) load nothing, and records after an end record still load.
  Lower-case digits are read as upper case. Data that lands at 64 KiB or above
  is not loaded. The loader reports, in one message naming the file, the first
  damaged line (its number and text) and how many lines are damaged: a checksum
  that does not match, a character that is no hex digit, a record whose line
  ends before its data does, data at 64 KiB or above. The file is still loaded
  record by record as it stands; an image byte that is no pair of hex digits is
  never sent to a chip: program, verify and auto refuse it.

)";

constexpr std::string_view kExamples =
    "  vql-isp-cli devices\n"
    "  vql-isp-cli --device at89s52 --lock 3 auto firmware.hex\n"
    "  vql-isp-cli --device AT89S2051 --x2clock on fuse\n"
    "  vql-isp-cli read -o chip.hex\n"
    "  VQLISP_PORT=sim VQLISP_SIM=target=AT89S8253,state=chip.state \\\n"
    "      vql-isp-cli auto examples/blink.hex\n"
    "  VQLISP_PORT=sim VQLISP_SIM=target=AT89S8253,state=chip.state,clock=virtual \\\n"
    "      vql-isp-cli verify examples/blink.hex\n";

constexpr std::string_view kWindowManual = R"(NAME
  vql-isp - program AT89S-series 8051 flash chips through a printer-port cable

SYNOPSIS
  vql-isp [FILE.hex]
  vql-isp --help | --version

DESCRIPTION
  The window of VQL-ISP V2.3: the commands on the left, the device, the lock
  bits, the x2-clock fuse and the operating mode in the middle, the code image as
  a grid of bytes on the right, and the status box with its progress bar. At
  start-up it reads the configuration file, selects LPT1, holds the target in
  program mode, calibrates its delays and selects the AT89S8253. Closing the
  window switches to run mode, so the target is released.

  FILE.hex, when given, is loaded once start-up is done, as Files > Load Code
  does; so is a file dropped on the window. One command runs at a time; Esc
  stops it at its next address. The About box names the configuration file in
  use. The terminal front end, vql-isp-cli, runs the same commands from scripts.

  Files > Open Job... opens a production job (a .vqljob file; see JOBS in
  vql-isp-cli(1)): its file is loaded and checked against the job's checksum,
  its device, lock level, x2 fuse and speed are set, and the job's name and the
  image's checksum show beside the file name. The job panel's Start programs
  board after board as they come and go on the cable, each with its own serial
  number and a line in the job's log, until Stop or Esc; it counts the chips
  passed and failed and shows PASS or FAIL in large letters. While a job is
  open, Verify compares only the addresses that the file's records give, less
  the serial number's, which differ from chip to chip.

  Option > Fast Programming uses the page instructions and data polling of the
  chips' data sheets (see FAST PROGRAMMING in vql-isp-cli(1)); Files > Read
  Signature names the chip by its signature bytes. The window remembers the Fast
  Programming tick, the SCK half period, the device last chosen and the folder of
  the last file opened, in $XDG_CONFIG_HOME/vql-isp/vql-isp.conf (without
  XDG_CONFIG_HOME, ~/.config/vql-isp/vql-isp.conf), written as they change.

  With a USB programming cable (VQLISP_PORT=ftdi, or the simulated programmer's
  adapter= option; see ENVIRONMENT in vql-isp-cli(1)), start-up selects the
  adapter instead of LPT1, and the Port menu names it as a third item.

  The window also takes the Qt toolkit's own options, such as -platform.

)";

// The words filled greedily into lines of at most width characters (a longer word
// stands alone), the first line starting with lead, the others with indent.
std::string Filled(std::string_view lead, std::string_view indent, std::string_view words,
                   std::size_t width) {
  std::string text(lead);
  std::size_t lineStart = 0;
  bool lineEmpty = true;
  std::size_t at = 0;
  while (at < words.size()) {
    const std::size_t end = std::min(words.find(' ', at), words.size());
    const std::string_view word = words.substr(at, end - at);
    at = end + 1;
    if (word.empty()) continue;
    if (!lineEmpty && text.size() - lineStart + 1 + word.size() > width) {
      text += '\n';
      lineStart = text.size();
      text += indent;
      lineEmpty = true;
    }
    if (!lineEmpty) text += ' ';
    text += word;
    lineEmpty = false;
  }
  return text + '\n';
}

void Replace(std::string& text, std::string_view placeholder, const std::string& with) {
  const std::size_t at = text.find(placeholder);
  if (at != std::string::npos) text.replace(at, placeholder.size(), with);
}

// The manual with its device paragraphs, laid out as the rest of it: the command
// entries fill 81 columns, the exit status paragraph 79.
std::string ManualText() {
  const auto fuse = [](const DeviceInfo& d) { return d.hasFuse; };
  // Without an echo of the enable or a lock read, nothing tells a chip from no chip.
  const auto mute = [](const DeviceInfo& d) {
    return d.enable == EnableRule::NoEcho && d.lockRead == LockRead::None;
  };
  constexpr std::string_view kEntryIndent = "                  ";
  std::string text(kManual);
  // The operator's commands that the terminal has, as the command table gives them.
  std::string commands;
  for (const OperatorCommand& row : kOperatorCommands) {
    if (row.cliWord.empty()) continue;
    std::string lead = "  " + std::string(row.cliWord) +
                       (row.cliUsage.empty() ? "" : " " + std::string(row.cliUsage));
    lead.resize(kEntryIndent.size(), ' ');
    std::string words(row.cliHelp);
    if (words.find('{') != std::string::npos) {
      Replace(words, "{fuse devices}", DeviceNames(fuse, ", ", " and "));
      Replace(words, "{fuse device list}", DeviceNames(fuse));
      commands += Filled(lead, kEntryIndent, words, 81);
      continue;
    }
    for (std::size_t at = 0; at < words.size();) {
      const std::size_t end = std::min(words.find('\n', at), words.size());
      commands += (at == 0 ? lead : std::string(kEntryIndent)) + words.substr(at, end - at) + '\n';
      at = end + 1;
    }
  }
  Replace(text, "{commands}\n", commands);
  const auto judged = [](const DeviceInfo& d) { return d.enable == EnableRule::EchoJudged; };
  const auto single = [](const DeviceInfo& d) { return d.enable == EnableRule::SingleTry; };
  const auto any = [](const DeviceInfo& d) { return d.enable != EnableRule::EchoJudged; };
  Replace(text, "{exit status 0}\n",
          Filled("  ", "  ",
                 "What exit status 0 means: the chip, or the output file, is what the command "
                 "says, unless a box has said why that cannot be vouched for; the status is 0 "
                 "then too. After program and auto, every byte of the file is on the chip (auto "
                 "has also verified it), and the fuse and lock bits are written as asked and "
                 "read back where the chip can read them; after erase, the chip read erased "
                 "after its erase time; after blank, it read FF everywhere; after read -o, two "
                 "reads of the chip agreed and OUT holds them. The " +
                     DeviceNames(judged, ", ", " and ") +
                     " echo every programming enable and read their lock bits first, and status "
                     "0 vouches for every command on them. The " +
                     DeviceNames(single, ", ", " and ") +
                     " need not echo the enable (the AT89S8253's data sheet shows no echo), and "
                     "the sources disagree whether a set lock bit of theirs reads 0 or 1, so "
                     "their lock bits decide nothing: a locked chip shows in what follows, a byte "
                     "that does not program or a verify that does not match. The " +
                     DeviceNames(mute, ", ", " and ") +
                     " neither echo the enable nor read back their lock bits. On the " +
                     DeviceNames(any, ", ", " and ") +
                     " a box says when status 0 cannot vouch: an erase when no echo (and on the "
                     "AT89S8253 no signature) came; every "
                     "blank check and read, since a chip that missed the enable, or whose lock "
                     "bits hide its code, answers other bytes (a missing chip reads as a blank "
                     "one); a lock write of a chip that cannot read its lock bits, or whose bits "
                     "read the same before and after it; a program whose every byte read before "
                     "its write as after it; a verify against one byte everywhere, or against "
                     "what such a read gave. Where every byte compared is 00 and the chip "
                     "answered 00 at each (a read of 00 everywhere, a program or verify of 00 "
                     "bytes), a chip that has not shown that it hears fails the command: no chip "
                     "at all, or MISO stuck low, answers so. The device chosen is taken as the chip in the "
                     "socket: another model of the same instruction set takes the same "
                     "instructions, and nothing tells it apart. A chip of the other instruction "
                     "set frames what it hears in its own length from the rise of RST; every "
                     "enable comes after one read of address 0 of its own set, which keeps it "
                     "off the other set's frames, so such a chip never enters programming and "
                     "nothing sent to it changes it. A three-byte device first looks for a "
                     "four-byte chip by its echo and by the AT89S51/52's and AT89S8253's "
                     "signatures, and names one as the wrong device before it sends anything "
                     "else. Once two answers in a command have disagreed, every later compare "
                     "in it needs two reads that agree. A fuse write learns how the fuses read "
                     "from Fuse1, which reads enabled, keeps Fuse1 and Fuse3 as they were, and "
                     "writes nothing where all ones or all zeros from a chip that has not shown "
                     "that it hears cannot tell. A command done "
                     "with such a box still ends with exit status 0, unless --require-vouched "
                     "is given, which makes it end with 1 and reason unvouched; --summary's "
                     "vouched=yes or vouched=no tells the two apart either way.",
                 79));
  return text;
}

// Where the configuration is looked for, with the data directory of this build.
std::string FilesSection() {
  std::string text = R"(FILES
  CONFIG.VQL
      The configuration: five values of four upper-case hexadecimal digits, each
      after a "[": the polling delay scale, the clock-edge delay, a value without
      use, the LPT1 base address and the LPT2 base address. Everything else is
      comment. At start-up the first of these files that exists is read:
        ./CONFIG.VQL
            in the current directory
        $XDG_CONFIG_HOME/vql-isp/CONFIG.VQL
            the user's own; without XDG_CONFIG_HOME, ~/.config/vql-isp/CONFIG.VQL
        /etc/vql-isp/CONFIG.VQL
            for every user of the machine
)";
  text += "        " + InstalledDefaultConfig() + "\n";
  text += R"(            the default installed with the program (LPT1 at 0378, LPT2 at
            0278); a copy installed elsewhere, or into a staging folder, reads
            its own default first:
)";
  text += "            " + InstalledDefaultBesideProgram() + " from the program's folder\n";
  text += R"(      When none exists, the error lists every place that was looked at.

)";
  return text;
}

// The port layer's ENVIRONMENT section without its examples, which are the
// terminal front end's.
std::string EnvironmentSection() {
  std::string text = PortEnvironmentHelp();
  const std::size_t examples = text.find("\nEXAMPLES\n");
  if (examples != std::string::npos) text.erase(examples + 1);
  return text;
}

}  // namespace

std::string VersionText(std::string_view program) {
  return std::string(program) +
         " (VQL-ISP for Linux) 2.3\n"
         "Copyright (c) 2026 the VQL-ISP for Linux authors.\n"
         "License MIT: the LICENSE file that comes with the program. This is free\n"
         "software: you may change and pass it on. There is NO WARRANTY.\n";
}

std::string ShortHelpText() {
  std::string words;
  for (const OperatorCommand& row : kOperatorCommands) {
    if (row.cliWord.empty()) continue;
    words += std::string(row.cliWord) + (row.cliUsage.empty() ? "" : " ") +
             std::string(row.cliUsage) + ", ";
  }
  words += "devices, config, job-new HEX -o JOB, job JOB.";
  return "Usage: vql-isp-cli [OPTION]... COMMAND [FILE]\n"
         "Program AT89S-series 8051 flash chips through a printer-port cable.\n"
         "\n"
         "Commands: " +
         IndentHelp(WrapHelp(words, 10, 10, 79), 10) +
         "\n"
         "Options:\n"
         "  --device NAME       the chip in the socket (default AT89S8253; see devices)\n"
         "  --port PORT         lpt1 (default), lpt2, or sim for the simulated programmer\n"
         "  --lock 0..3         lock level written by program, auto and lock\n"
         "  --x2clock on|off    the x2-clock fuse written by program, auto and fuse\n"
         "  --fast              page writes and reads, as the chips' data sheets allow\n"
         "  -o, --output OUT    with read: the HEX file to write; - for standard output\n"
         "  -q, --quiet         print only what went wrong\n"
         "  --summary           end with one key=value line for scripts and logs\n"
         "  --require-vouched   exit 1 when a box says nothing could check the result\n"
         "  --loop              with job: chip after chip as boards come and go\n"
         "  -h, --help          this text\n"
         "      --manual        the whole manual: every option, the exit statuses,\n"
         "                      the files and the environment (also man vql-isp-cli)\n"
         "      --version       the version and the licence\n"
         "\n"
         "The port: VQLISP_PORT=ppdev or direct for a real cable, sim for the\n"
         "simulated programmer with VQLISP_SIM=target=AT89S52 (or another device).\n"
         "Exit status: 0 done, 1 the chip operation failed, 2 a usage, port or file\n"
         "error found before the chip was touched; a stop ends by its signal.\n";
}

std::string HelpText() {
  std::string text = ManualText();
  text += FilesSection();
  text += PortEnvironmentHelp();
  // The port layer's text may end with examples of its own; ours join them.
  if (text.find("\nEXAMPLES\n") == std::string::npos) text += "\nEXAMPLES\n";
  text += kExamples;
  text += "\nSEE ALSO\n  vql-isp(1), the window\n";
  return text;
}

std::string WindowHelpText() {
  std::string text(kWindowManual);
  text += FilesSection();
  text += EnvironmentSection();
  text += "\nSEE ALSO\n  vql-isp-cli(1), the terminal front end\n";
  return text;
}

}  // namespace vql

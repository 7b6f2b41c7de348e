#include "job/job_runner.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <utility>

#include "devices/device_table.h"
#include "devices/set_operations.h"
#include "image/hex_digits.h"
#include "image/sha256.h"
#include "job/job_log.h"
#include "services/hex_loading.h"

namespace vql {

namespace {

std::string Hex4(std::int32_t n) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(n));
  return text;
}

// The log's serial value: the number the chip holds, "partial:N" for one whose write
// was cut, "-" for none.
std::string SerialLogValue(const ChipReport& report) {
  if (!report.serial) return "-";
  return (report.serialWhole ? "" : "partial:") + std::to_string(*report.serial);
}

std::string UtcNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace

void CheckJobFits(const Job& job, const DeviceInfo& device, std::int32_t extent,
                  const std::vector<bool>& recorded) {
  const std::string name(device.name);
  if (extent > device.lastAddress + 1) {
    throw JobError("\"" + job.FilePath() + "\" reaches " + Hex4(extent - 1) + ", past the " +
                   name + "'s last address, " + Hex4(device.lastAddress));
  }
  if (job.serial && job.serial->End() > device.lastAddress + 1) {
    throw JobError("the serial number at " + Hex4(job.serial->address) + " reaches past the " +
                   name + "'s last address, " + Hex4(device.lastAddress));
  }
  if (job.serial && !job.serialOverCode) {
    // Every chip would hold its number where the file's bytes should be, and none
    // would hold the file the job names.
    std::int32_t first = -1;
    std::int32_t last = -1;
    for (std::int32_t n = job.serial->address; n < job.serial->End(); ++n) {
      if (static_cast<std::size_t>(n) >= recorded.size() || !recorded[static_cast<std::size_t>(n)]) continue;
      if (first < 0) first = n;
      last = n;
    }
    if (first >= 0) {
      throw JobError("the serial number at " + Hex4(job.serial->address) + ".." +
                     Hex4(job.serial->End() - 1) + " lies over the data of \"" + job.FilePath() +
                     "\" at " + Hex4(first) + ".." + Hex4(last) +
                     ": every chip would hold its number in place of those bytes. Move the field "
                     "to addresses the file leaves free, or, where the number is meant to replace "
                     "them, say so (job-new --serial-over-code, or serial-over-code=yes in the job)");
    }
  }
  if (job.x2 && !device.hasFuse) throw JobError("the job sets the x2 fuse, but the " + name + " has none");
}

std::string ChipText(const ChipReport& report) {
  std::string serial = report.serial ? "serial " + std::to_string(*report.serial) : "no serial number";
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, ", %.1f s", report.seconds);
  const std::string chip = "Chip " + std::to_string(report.count);
  if (report.Passed()) {
    return chip + (report.vouched ? ": passed, " : ": passed (unvouched), ") + serial + seconds;
  }
  // A number that went into a failed chip is never handed out again.
  if (report.serial && !report.serialWhole) serial = "part of " + serial;
  if (report.serial) serial += " (skipped: never handed out again)";
  return chip + ": FAILED (" + report.reason + "), " + serial + seconds;
}

JobRunner::JobRunner(Programmer& programmer, Job job, std::string logPath)
    : programmer_(programmer), job_(std::move(job)), logPath_(std::move(logPath)) {
  if (logPath_.empty()) logPath_ = job_.LogPath();
  if (job_.serial) serials_.emplace(job_.path, *job_.serial);
}

void JobRunner::Open() {
  std::string name = job_.device;
  std::ranges::transform(name, name.begin(),
                         [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  const std::int32_t index = DeviceIndexOf(name);
  const DeviceInfo* device = DeviceAt(index);
  if (device == nullptr) {
    throw JobError("\"" + job_.path + "\": the job's device \"" + job_.device +
                   "\" is none that this program knows; 'vql-isp-cli devices' lists them");
  }
  if (programmer_.Cmd.Busy()) throw JobError("a command is running: the job cannot be opened now");
  // A job that cannot be used leaves the image, its file and its extent as they were.
  ImageState kept = programmer_.Image;
  const std::int32_t keptExtent = programmer_.Cmd.CodeExtent;
  try {
    LoadFile(*device);
    // A log that cannot take lines is found before the first chip, not after it, and
    // lines an earlier run could not put there go in first.
    if (!logPath_.empty()) PrepareLog(logPath_, PendingLogPath(job_.path));
  } catch (const JobError&) {
    programmer_.Image = std::move(kept);
    programmer_.Cmd.CodeExtent = keptExtent;
    programmer_.Window().ShowFileName(programmer_.Image.HexFilePath);
    RefreshGrid(programmer_.Image, programmer_.Window());
    throw;
  }
  programmer_.Cmd.SelectDevice(index);
  ApplySettings();
}

void JobRunner::LoadFile(const DeviceInfo& device) {
  ImageState& image = programmer_.Image;
  image.HexFilePath = job_.FilePath();
  std::int32_t extent = 0;
  try {
    extent = ReloadHexFile(image, programmer_.Window());
  } catch (const FileError& error) {
    throw JobError(error.what());
  }
  programmer_.Window().ShowFileName(image.HexFilePath);
  const std::string file = "\"" + image.HexFilePath + "\"";
  if (!image.LastReport.Clean()) {
    throw JobError(file + " has damaged records; a job writes only a file whose every record is sound");
  }
  if (extent == 0) throw JobError(file + " holds no data records");
  CheckJobFits(job_, device, extent, image.Recorded);
  const std::string digest = ImageSha256(image.Image, device.lastAddress).value_or("");
  if (digest != job_.sha256) {
    throw JobError(file + " is not the file the job was made with: the job records SHA-256 " +
                   job_.sha256 + ", the file now gives " + digest);
  }
  // The serial field takes the place of whatever the file holds there: the file's
  // bytes are neither written nor compared, and each chip gets its own number.
  imageCompared_ = image.Recorded;
  if (job_.serial) {
    for (std::int32_t n = job_.serial->address; n < job_.serial->End(); ++n) {
      SetImageByte(image.Image, n, 0xFF);
      imageCompared_[static_cast<std::size_t>(n)] = false;
    }
  }
  digestKey_ = "sha256";
  digest_ = job_.sha256;
  if (job_.serial && job_.serialOverCode) {
    // No chip holds the file: the log names what they all hold, the field left out.
    digestKey_ = "sha256-without-serial";
    digest_ = ImageSha256(image.Image, device.lastAddress).value_or("");
  }
  extent_ = extent;
  programmer_.Cmd.CodeExtent = extent;
  image.CompareOnly = imageCompared_;
  RefreshGrid(image, programmer_.Window());
}

void JobRunner::ApplySettings() {
  Commands& cmd = programmer_.Cmd;
  // The file is checked once, here: a reload would write whatever the file holds by then.
  cmd.SetAutoReloadFile(false);
  cmd.SetAutoRunAfterProgram(true);
  cmd.SetFastProgramming(job_.fast);
  cmd.SetX2Clock(job_.x2);
  for (std::int32_t box = 3; box >= 1; --box) cmd.SetLockBox(box, false);
  if (job_.lock > 0) cmd.SetLockBox(job_.lock, true);
  if (programmer_.Controls.Lock.LockLevel() != job_.lock) {
    throw JobError("the lock boxes cannot be set to the job's level " + std::to_string(job_.lock));
  }
}

bool JobRunner::WaitForBoard(bool on) {
  ProgrammerLink& link = programmer_.Link;
  if (!link.PortUsable()) return false;
  // SENSE shows only while the buffer is on: program mode, the board held in reset.
  programmer_.Cmd.SetOperatingMode(true);
  programmer_.Window().ShowStatus(on ? "Waiting for a board..." : "Take the board off.");
  std::uint32_t seenSince = 0;
  bool seen = false;
  for (;;) {
    if (stop_) return false;
    const bool powered = link.TargetPowered();
    if (!link.PortUsable()) return false;
    const std::uint32_t now = programmer_.Window().GetTickCount();
    if (powered != on) {
      seen = false;
      if (!on || !link.TargetsEnded()) {
        link.WaitMilliseconds(kPollMs, stop_);
        continue;
      }
      return false;
    }
    // Gone counts at once; a new board counts once it has stayed, so that one still
    // being pushed into its connector is not programmed half in contact.
    if (!on) return true;
    if (!seen) {
      seen = true;
      seenSince = now;
    } else if (now - seenSince >= static_cast<std::uint32_t>(kSettleMs)) {
      return true;
    }
    link.WaitMilliseconds(kPollMs, stop_);
  }
}

std::optional<ChipReport> JobRunner::RunChip() {
  number_.reset();
  serialTried_ = false;
  serialVerified_ = false;
  if (serials_) {
    try {
      number_ = serials_->Take();
    } catch (const JobError& error) {
      fault_ = error.what();
      return std::nullopt;
    }
  }
  ChipReport report;
  report.count = ++count_;
  const std::uint32_t start = programmer_.Window().GetTickCount();
  Commands& cmd = programmer_.Cmd;
  programmer_.Image.CompareOnly = imageCompared_;
  cmd.CodeExtent = extent_;
  if (number_) cmd.BeforeFuseAndLock = [this] { return WriteSerial(); };
  const CommandResult result = cmd.AutoProgram();
  cmd.BeforeFuseAndLock = nullptr;
  report.outcome = result.outcome;
  report.reason = std::string(ReasonToken(result.outcome));
  report.vouched = result.Vouched();
  report.passed = result.Ok() && (report.vouched || !requireVouched_);
  if (result.Ok() && !report.passed) report.reason = "unvouched";
  if (number_ && serialTried_) {
    // The number is the chip's now, whole or in part: judged by its bytes as read
    // back, by the write's own verify or, where that did not finish, by a read now.
    report.serial = number_;
    report.serialWhole = serialVerified_;
    if (!serialVerified_ && programmer_.Link.PortUsable()) {
      report.serialWhole = SerialFieldWhole().value_or(false);
    }
    // A stop or a lost cable is the cause, whatever the number became; a failure
    // after the whole number was in (the lock bits, the fuse) keeps its own reason.
    const bool cause = result.outcome == Outcome::Stopped || result.outcome == Outcome::PortLost;
    if (!result.Ok() && !cause && !report.serialWhole) report.reason = "serial-not-written";
  } else if (number_) {
    try {
      serials_->GiveBack(*number_);
    } catch (const JobError& error) {
      fault_ = error.what();  // the next chip would find the state as it is
    }
  }
  // A chip that failed is released too: the board is done with, and goes.
  if (!result.Ok() && programmer_.Link.PortUsable()) cmd.SetOperatingMode(false);
  (report.passed ? passed_ : failed_)++;
  report.seconds = (programmer_.Window().GetTickCount() - start) / 1000.0;
  Log(report);
  return report;
}

Outcome JobRunner::WriteSerial() {
  serialTried_ = true;
  const SerialField& field = *job_.serial;
  const std::vector<std::uint8_t> bytes = SerialBytes(field, *number_).value_or(std::vector<std::uint8_t>{});
  ImageState& image = programmer_.Image;
  const CodeImage file = image.Image;
  // The chip has the file; now only the field's bytes, compared on their own.
  ClearCodeImage(image.Image);
  image.CompareOnly.assign(kImageSize, false);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::int32_t n = field.address + static_cast<std::int32_t>(i);
    SetImageByte(image.Image, n, bytes[i]);
    image.CompareOnly[static_cast<std::size_t>(n)] = true;
  }
  const SetOperations& set = OperationsOf(*programmer_.Selection.Device());
  const std::int32_t last = field.End() - 1;
  Outcome outcome = (programmer_.Ops.*set.WriteCode)(last);
  if (outcome == Outcome::Done) outcome = (programmer_.Ops.*set.VerifyCode)(last);
  serialVerified_ = outcome == Outcome::Done;
  image.Image = file;
  image.CompareOnly = imageCompared_;
  return outcome;
}

std::optional<bool> JobRunner::SerialFieldWhole() {
  const SerialField& field = *job_.serial;
  const std::vector<std::uint8_t> bytes = SerialBytes(field, *number_).value_or(std::vector<std::uint8_t>{});
  ImageState& image = programmer_.Image;
  const CodeImage kept = image.Image;
  DeviceOps& ops = programmer_.Ops;
  // A stop asked for ends what changes the chip; a read changes nothing, and tells
  // what the chip was left holding. A stop asked for during it still ends it.
  const bool stop = std::exchange(ops.StopRequested, false);
  ClearCodeImage(image.Image);
  const SetOperations& set = OperationsOf(*programmer_.Selection.Device());
  const Outcome read = (ops.*set.ReadCode)(field.End() - 1);
  bool whole = read == Outcome::Done;
  for (std::size_t i = 0; i < bytes.size() && whole; ++i) {
    whole = ImageByte(image.Image, field.address + static_cast<std::int32_t>(i)) == bytes[i];
  }
  image.Image = kept;
  RefreshGrid(image, programmer_.Window());
  ops.StopRequested = ops.StopRequested || stop;
  if (read != Outcome::Done) return std::nullopt;
  return whole;
}

void JobRunner::Log(ChipReport& report) {
  const DeviceInfo* device = programmer_.Selection.Device();
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f", report.seconds);
  report.logLine = "time=" + UtcNow() + " job=" + LogValue(job_.path) +
                   " device=" + LogValue(device != nullptr ? std::string(device->name) : "") +
                   " serial=" + SerialLogValue(report) + " " + digestKey_ + "=" + digest_ +
                   " result=" + (report.Passed() ? "ok" : "failed") +
                   " reason=" + report.reason + " vouched=" + (report.vouched ? "yes" : "no") +
                   " seconds=" + seconds +
                   " port=" + LogValue(programmer_.Link.PortName());
  if (logPath_.empty()) return;
  try {
    LogChipLine(logPath_, PendingLogPath(job_.path), report.logLine);
  } catch (const JobError& error) {
    if (fault_.empty()) fault_ = error.what();
  }
}

LoopEnd JobRunner::RunLoop(std::optional<std::int64_t> count,
                           const std::function<void(const ChipReport&)>& onChip) {
  stop_ = false;
  for (std::int64_t done = 0; !count || done < *count; ++done) {
    if (!WaitForBoard(true)) break;
    const std::optional<ChipReport> report = RunChip();
    if (report) onChip(*report);
    if (!fault_.empty()) return LoopEnd::Fault;
    if (report->outcome == Outcome::Stopped || stop_) return LoopEnd::Stopped;
    if (count && done + 1 == *count) return LoopEnd::Count;
    if (!WaitForBoard(false)) break;
  }
  if (stop_) return LoopEnd::Stopped;
  return count && count_ >= *count ? LoopEnd::Count : LoopEnd::NoBoard;
}

void JobRunner::RequestStop() {
  stop_ = true;
  programmer_.Cmd.RequestStop();
}

}  // namespace vql
